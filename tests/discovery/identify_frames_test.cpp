// Protects the identify frames byte for byte and the strict reply checks that decide whether
// whatever answered on a port is a CAMP device.

#include <gtest/gtest.h>

#include "camp_discovery.h"
#include "qt_printers.h"

using namespace CampDiscovery;

namespace {

// Wraps a payload into a frame with a BCC computed over the bytes as given.
QByteArray frameOf(const QByteArray& payload)
{
    return '[' + payload + campBcc(payload) + ']';
}

IdentifyResult sentinel()
{
    IdentifyResult r;
    r.campReply = true;
    r.protocolError = true;
    r.v0Word = QStringLiteral("SENT");
    r.serial = QStringLiteral("1");
    r.firmware = QStringLiteral("2.3");
    return r;
}

void expectUntouched(const IdentifyResult& r)
{
    const IdentifyResult s = sentinel();
    EXPECT_EQ(r.campReply, s.campReply);
    EXPECT_EQ(r.protocolError, s.protocolError);
    EXPECT_EQ(r.v0Word, s.v0Word);
    EXPECT_EQ(r.serial, s.serial);
    EXPECT_EQ(r.firmware, s.firmware);
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
}

TEST(IdentifyFrames, FirstFrameSkipsJunkAndDropsTheRest)
{
    EXPECT_EQ(firstCampFrame("junk]x[0501]tail[06]"), QByteArray("[0501]"));
    EXPECT_EQ(firstCampFrame("[[05]"), QByteArray("[[05]"));
    EXPECT_TRUE(firstCampFrame("[0501").isEmpty());
    EXPECT_TRUE(firstCampFrame("0501]").isEmpty());
    EXPECT_TRUE(firstCampFrame(QByteArray()).isEmpty());
}

TEST(IdentifyFrames, ValidRepliesFillTheWholeResult)
{
    struct Row
    {
        const char* name;
        QByteArray data;
        bool protocolError;
        QString v0Word;
    };
    const QByteArray v1Reply = frameOf("050001000001010ABC");
    QByteArray lowerCase = "050001000001010abc";
    const Row rows[] = {
        {"read reply", v1Reply, false, "0ABC"},
        {"junk before and after", "\r\nhello" + v1Reply + "trailing", false, "0ABC"},
        {"lower-case letters, BCC over the bytes as received", frameOf(lowerCase), false, "0ABC"},
        {"lower-case BCC letters", '[' + lowerCase + campBcc(lowerCase).toLower() + ']', false,
         "0ABC"},
        {"error reply", frameOf("05F001000001000012000034"), true, ""},
        {"write reply without words", frameOf("07000100006401"), false, ""},
        {"shortest frame", frameOf("04"), false, ""},
    };
    for (const Row& row : rows) {
        IdentifyResult r = sentinel();
        EXPECT_TRUE(parseCampReply(row.data, &r)) << row.name;
        EXPECT_TRUE(r.campReply) << row.name;
        EXPECT_EQ(r.protocolError, row.protocolError) << row.name;
        EXPECT_EQ(r.v0Word, row.v0Word) << row.name;
        EXPECT_TRUE(r.serial.isEmpty()) << row.name;
        EXPECT_TRUE(r.firmware.isEmpty()) << row.name;
    }
    EXPECT_TRUE(parseCampReply(v1Reply, nullptr));
}

TEST(IdentifyFrames, InvalidRepliesLeaveTheResultUntouched)
{
    QByteArray offByOne = frameOf("050001000001010ABC");
    offByOne[offByOne.size() - 2] = offByOne[offByOne.size() - 2] + 1;
    const QByteArray nonHex = "050001000001010ABG";
    struct Row
    {
        const char* name;
        QByteArray data;
    };
    const Row rows[] = {
        {"BCC off by one", offByOne},
        {"non-hex character in the payload", '[' + nonHex + campBcc(nonHex) + ']'},
        {"non-hex character in the BCC", "[050001000001010ABC03G1]"},
        {"command 03", frameOf("030001000001010ABC")},
        {"command 0A", frameOf("0A0001000001010ABC")},
        {"too short", "[0400]"},
        {"no closing bracket", "[050001000001010ABC0361"},
        {"plain text service", "SSH-2.0-OpenSSH_9.2\r\n"},
        {"nothing", QByteArray()},
    };
    for (const Row& row : rows) {
        IdentifyResult r = sentinel();
        EXPECT_FALSE(parseCampReply(row.data, &r)) << row.name;
        expectUntouched(r);
    }
    for (const char* code : {"04", "05", "06", "07", "08", "09"}) {
        EXPECT_TRUE(parseCampReply(frameOf(QByteArray(code) + "00"), nullptr)) << code;
    }
}

TEST(IdentifyFrames, ReadWordsTakeWhatTheReplyHolds)
{
    bool errorReply = true;
    EXPECT_EQ(parseCampReadWords(frameOf("05001A00010303000104D2000C"), &errorReply),
              QStringList({"0001", "04D2", "000C"}));
    EXPECT_FALSE(errorReply);

    // Count 00 means 256, but only the three words present are taken.
    EXPECT_EQ(parseCampReadWords(frameOf("05001A000103000001000200ab"), nullptr),
              QStringList({"0001", "0002", "00AB"}));
    // Fewer words than announced, and a partial word at the end.
    EXPECT_EQ(parseCampReadWords(frameOf("05001A00010305000100020"), nullptr),
              QStringList({"0001", "0002"}));
    // More words than announced: the count wins.
    EXPECT_EQ(parseCampReadWords(frameOf("05000100000101AAAABBBB"), nullptr),
              QStringList({"AAAA"}));

    errorReply = false;
    EXPECT_TRUE(parseCampReadWords(frameOf("05F001000001000012000034"), &errorReply).isEmpty());
    EXPECT_TRUE(errorReply);

    errorReply = true;
    EXPECT_TRUE(parseCampReadWords("garbage", &errorReply).isEmpty());
    EXPECT_FALSE(errorReply);
    EXPECT_TRUE(parseCampReadWords(frameOf("070001000001"), nullptr).isEmpty());
    EXPECT_TRUE(parseCampReadWords(frameOf("050001000001ZZ0001"), nullptr).isEmpty());
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
    EXPECT_EQ(identityFromStwWords({}), Map());
}
