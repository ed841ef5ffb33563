// Protects the identify frames byte for byte and the strict reply checks that decide whether
// whatever answered on a port is a CAMP device, and which words its reply holds.

#include <gtest/gtest.h>

#include "camp_discovery.h"
#include "camp_wire.h"
#include "qt_printers.h"

using namespace CampDiscovery;

namespace {

// Wraps a payload into a frame with a BCC computed over the bytes as given.
QByteArray frameOf(const QByteArray& payload)
{
    return '[' + payload + campBcc(payload) + ']';
}

// What both parsers make of the bytes: "none" (the result left as it was), or "camp", "error"
// and the data word; then, after "|", the read words or "error".
QString verdict(const QByteArray& data)
{
    IdentifyResult r;
    r.campReply = r.protocolError = true;
    r.v0Word = r.serial = r.firmware = QStringLiteral("old");
    QString text;
    if (!parseCampReply(data, &r)) {
        const bool untouched = r.campReply && r.protocolError && r.v0Word == "old" &&
                               r.serial == "old" && r.firmware == "old";
        text = untouched ? QStringLiteral("none") : QStringLiteral("none, result changed");
    } else {
        text = r.campReply ? QStringLiteral("camp") : QStringLiteral("not camp");
        text += r.protocolError ? QStringLiteral(" error") : QString();
        text += r.v0Word.isEmpty() ? QString() : QStringLiteral(" V0=") + r.v0Word;
        text += r.serial.isEmpty() && r.firmware.isEmpty() ? QString() : QStringLiteral(" old");
    }
    bool errorReply = true;
    const QStringList words = parseCampReadWords(data, &errorReply);
    return text + QStringLiteral(" |") + (errorReply ? QStringLiteral(" error") : QString()) +
           (words.isEmpty() ? QString() : QStringLiteral(" ") + words.join(' '));
}

// The same with the whole byte sum as the check, as a module writes one above FFFF: five digits.
QByteArray frameWithWholeSum(const QByteArray& payload)
{
    quint32 sum = 0;
    for (const char c : payload) {
        sum += static_cast<unsigned char>(c);
    }
    return '[' + payload + camp_wire::hex(sum, 4) + ']';
}

} // namespace

TEST(IdentifyFrames, RequestsAreByteExact)
{
    EXPECT_EQ(vMemoryIdentifyRequest(), QByteArray("[0400010000010100010368]"));
    EXPECT_EQ(stwIdentityRequest(), QByteArray("[04001A000103010003037E]"));
    EXPECT_EQ(readDataRequest(kAddressClassV, 100, 19), QByteArray("[0400010000640100130374]"));
    EXPECT_EQ(hexAscii(26, 2), QByteArray("1A"));
    EXPECT_EQ(hexAscii(0x1FFFF, 4), QByteArray("FFFF"));
    EXPECT_EQ(hexAscii(5, 6), QByteArray("000005"));
    // Oversized fields keep their width, so the frame keeps its shape.
    EXPECT_EQ(readDataRequest(kAddressClassV, 0x1234567, 1).size(), 24);
    EXPECT_EQ(campBcc(QByteArray()), QByteArray("0000"));

    EXPECT_EQ(firstCampFrame("junk]x[0501]tail[06]"), QByteArray("[0501]"));
    EXPECT_EQ(firstCampFrame("[[05]"), QByteArray("[[05]"));
    EXPECT_TRUE(firstCampFrame("[0501").isEmpty());
    EXPECT_TRUE(firstCampFrame("0501]").isEmpty());
}

TEST(IdentifyFrames, RepliesTable)
{
    const QByteArray lower = "050001000001010abc";
    const QByteArray nonHex = "050001000001010ABG";
    QByteArray offByOne = frameOf("050001000001010ABC");
    offByOne[offByOne.size() - 2] = offByOne[offByOne.size() - 2] + 1;
    struct Row
    {
        const char* name;
        QByteArray data;
        QByteArray expected;
    };
    const Row rows[] = {
        {"read reply", frameOf("050001000001010ABC"), "camp V0=0ABC | 0ABC"},
        {"junk around it", "\r\nhi" + frameOf("050001000001010ABC") + "[x]", "camp V0=0ABC | 0ABC"},
        {"lower-case, BCC over the bytes as received", frameOf(lower), "camp V0=0ABC | 0ABC"},
        {"lower-case BCC", '[' + lower + campBcc(lower).toLower() + ']', "camp V0=0ABC | 0ABC"},
        {"error reply", frameOf("05F00100006401000000000292000B"), "camp error | error"},
        {"error reply cut short: no check field after the codes",
         frameOf("05F001000001000012000034"), "none |"},
        {"write reply", frameOf("07000100006401"), "camp |"},
        {"write reply with a word after its count", frameOf("070001000064010003"), "none |"},
        {"shortest frame", frameOf("04"), "camp |"},
        {"lowest command", frameOf("0400"), "camp |"},
        {"highest command", frameOf("0900"), "camp |"},
        {"three words", frameOf("05001A00010303000104D2000C"), "camp V0=0001 | 0001 04D2 000C"},
        {"count 00 is 256, three there: the check field is not where the count puts it",
         frameOf("05001A000103000001000200ab"), "none |"},
        {"fewer than announced, a partial word", frameOf("05001A00010305000100020"), "none |"},
        {"more than announced", frameOf("05000100000101AAAABBBB"), "none |"},
        {"read reply without a count", frameOf("0500"), "none |"},
        {"256 words, a sum above FFFF in five digits",
         frameWithWholeSum("05000100000100" + QByteArray(4 * 256, 'F')),
         "camp V0=FFFF | " + QByteArray("FFFF ").repeated(255) + "FFFF"},
        {"BCC off by one", offByOne, "none |"},
        {"non-hex payload", '[' + nonHex + campBcc(nonHex) + ']', "none |"},
        {"non-hex count", frameOf("050001000001ZZ0001"), "none |"},
        {"non-hex BCC", "[050001000001010ABC03G1]", "none |"},
        {"command 03", frameOf("030001000001010ABC"), "none |"},
        {"command 0A", frameOf("0A0001000001010ABC"), "none |"},
        {"too short", "[0400]", "none |"},
        {"no closing bracket", "[050001000001010ABC0361", "none |"},
        {"text service", "SSH-2.0-OpenSSH_9.2\r\n", "none |"},
        {"nothing", QByteArray(), "none |"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(verdict(row.data), QString::fromLatin1(row.expected)) << row.name;
    }
    EXPECT_TRUE(parseCampReply(frameOf("050001000001010ABC"), nullptr));
    EXPECT_TRUE(parseCampReadWords(frameOf("05F0"), nullptr).isEmpty());
}

TEST(IdentifyFrames, IdentityFromStatusWords)
{
    using Map = QMap<QString, QString>;
    EXPECT_EQ(identityFromStwWords({"0000", "0003", "000C"}), Map({{"firmware", "3.12"}}));
    EXPECT_EQ(identityFromStwWords({"04D2", "0000", "0000"}), Map({{"serial", "1234"}}));
    EXPECT_EQ(identityFromStwWords({"04d2", "0004", "000A", "FFFF"}),
              Map({{"serial", "1234"}, {"firmware", "4.10"}}));
    EXPECT_EQ(identityFromStwWords({"FFFF", "0000", "0001"}),
              Map({{"serial", "65535"}, {"firmware", "0.1"}}));
    EXPECT_EQ(identityFromStwWords({"zz", "0000", "0000"}), Map());
    EXPECT_EQ(identityFromStwWords({"04D2", "0003"}), Map());
}
