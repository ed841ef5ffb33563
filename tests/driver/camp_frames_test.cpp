// Protects the wire format byte for byte (request frames, block checks, frame assembly, reply
// decoding), the item model and the value codecs, as golden tables without any network.

#include <gtest/gtest.h>

#include <cerrno>

#include "camp_nitp.h"
#include "value_codec.h"

namespace {

// Whether a refusal starts with the expected text (or there is none, as expected).
bool refusedAs(const char* refusal, const char* expected)
{
    return expected == nullptr
               ? refusal == nullptr
               : refusal != nullptr &&
                     QString::fromLatin1(refusal).startsWith(QLatin1String(expected));
}

using camp_wire::FrameStatus;

ItemInstancePlugin makeItem(const QString& addressClass, const QString& dataType,
                            const QString& addressWord)
{
    ItemInstancePlugin item;
    item.columns.insert(QStringLiteral("address_class"), addressClass);
    item.columns.insert(QStringLiteral("data_type"), dataType);
    item.columns.insert(QStringLiteral("address_word"), addressWord);
    return item;
}

// A well-formed read reply carrying the given words, count field as given.
QByteArray readReply(const QByteArray& countField, const QByteArray& words)
{
    const QByteArray reply = "[050001000000" + countField + words; // count field at 13-14
    return reply + CAMP_NITP::calcBCC(reply) + "]";
}

ItemAddress typed(qint32 dataType, quint16 wordCount = 1, bool discrete = false)
{
    ItemAddress address;
    address.dataType = dataType;
    address.wordCount = wordCount;
    address.discrete = discrete;
    return address;
}

} // namespace

TEST(CampFrames, GoldenRequestFramesAndBlockChecks)
{
    const struct
    {
        const char* name;
        QByteArray actual;
        QByteArray expected;
    } cases[] = {
        {"one V word at 1", camp_wire::readRequest(1, 1, 1), "[0400010000010100010368]"},
        {"three STW words at 259", camp_wire::readRequest(26, 259, 3), "[04001A000103010003037E]"},
        {"write 1234 00FF to V100", camp_wire::writeRequest(1, 100, {0x1234, 0x00FF}),
         "[06000100006402123400FF0469]"},
        {"256 words writes count 0100", camp_wire::readRequest(1, 0, 256).mid(13, 6), "010100"},
        {"address 65536", camp_wire::readRequest(1, 65536, 1).mid(7, 6), "010000"},
        {"address 255", camp_wire::readRequest(1, 255, 1).mid(7, 6), "0000FF"},
        {"class WY is 0A", camp_wire::readRequest(10, 0, 1).mid(5, 2), "0A"},
        {"a word is four digits", camp_wire::writeRequest(2, 2, {7}).mid(13, 6), "010007"},
        // The characters after "[" sum to 872 and 894 in the two read examples.
        {"BCC 0368", CAMP_NITP::calcBCC("[040001000001010001"), "0368"},
        {"BCC 037E", CAMP_NITP::calcBCC("[04001A000103010003"), "037E"},
        {"BCC of nothing", CAMP_NITP::calcBCC("["), "0000"},
        {"bytes count as unsigned", CAMP_NITP::calcBCC(QByteArray("[\xE9")), "00E9"},
        // 1000 characters "F" (70 each) sum to 70000 = 0x11170: only 1170 goes into the frame.
        {"BCC keeps 16 bits", CAMP_NITP::calcBCC("[" + QByteArray(1000, 'F')), "1170"},
        // The longest write (255 words of FFFF) keeps its layout, its sum 119BB written 19BB.
        {"longest write", camp_wire::writeRequest(1, 0, camp_wire::Words(255, 0xFFFF)).right(5),
         "19BB]"},
        {"intToHexStr 1A", CAMP_NITP::intToHexStr(26, 2), "1A"},
        {"intToHexStr 00012C", CAMP_NITP::intToHexStr(300, 6), "00012C"},
        {"intToHexStr never cuts", CAMP_NITP::intToHexStr(4096, 2), "1000"},
        {"intToHexStr of -1", CAMP_NITP::intToHexStr(-1, 4), "FFFFFFFF"},
        {"intToHexStr width 0", CAMP_NITP::intToHexStr(0, 0), "0"},
        {"realToHexStr 1.0", CAMP_NITP::realToHexStr(1.0f), "3F800000"},
        {"realToHexStr -2.5", CAMP_NITP::realToHexStr(-2.5f), "C0200000"},
        {"realToHexStr 0", CAMP_NITP::realToHexStr(0.0f), "00000000"},
        {"stringToHexStr", CAMP_NITP::stringToHexStr(QByteArray("A\xE9", 2)), "41E9"},
        {"appendZeros pads", CAMP_NITP::appendZeros("7", 4), "0007"},
        {"appendZeros keeps longer", CAMP_NITP::appendZeros("12345", 4), "12345"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.actual, c.expected) << c.name;
    }
    EXPECT_EQ(camp_wire::writeRequest(1, 0, camp_wire::Words(255, 0xFFFF)).size(), 20 + 4 * 255);
    using Pieces = std::vector<QByteArray>;
    EXPECT_EQ(CAMP_NITP::tokenize("100--109", '-'), (Pieces{"100", "109"}));
    EXPECT_EQ(CAMP_NITP::tokenize("---", '-'), Pieces{});
}

TEST(CampFrames, FrameAssemblyOneByteAtATime)
{
    // Junk before the first "[", a frame, then the start of the next one in the same stream.
    const QByteArray stream = "\r\nJUNK]][0500010000000112340368][05";
    QByteArray pending;
    std::vector<QByteArray> frames;
    for (const char byte : stream) {
        pending.append(byte);
        const camp_wire::FrameScan scan = camp_wire::scanFrame(pending);
        ASSERT_NE(scan.status, FrameStatus::GiveUp);
        if (scan.status == FrameStatus::Frame) {
            frames.push_back(scan.frame);
        }
        pending = scan.rest;
    }
    EXPECT_EQ(frames, std::vector<QByteArray>{"[0500010000000112340368]"});
    EXPECT_EQ(pending, "[05");

    // Two frames in one piece come out one per call, the second from what is kept.
    const camp_wire::FrameScan first = camp_wire::scanFrame("xx[A][B]yy");
    EXPECT_EQ(first.frame, "[A]");
    const camp_wire::FrameScan second = camp_wire::scanFrame(first.rest);
    EXPECT_EQ(second.frame, "[B]");
    EXPECT_EQ(camp_wire::scanFrame(second.rest).status, FrameStatus::NeedMore);

    // 4096 unframed bytes may still turn into a frame; one more is a peer that is not CAMP. Junk
    // dropped before a "[" does not count.
    EXPECT_EQ(camp_wire::scanFrame(QByteArray(4096, 'x')).status, FrameStatus::NeedMore);
    EXPECT_EQ(camp_wire::scanFrame(QByteArray(4097, 'x')).status, FrameStatus::GiveUp);
    EXPECT_EQ(camp_wire::scanFrame("[" + QByteArray(4095, '0')).status, FrameStatus::NeedMore);
    EXPECT_EQ(camp_wire::scanFrame("[" + QByteArray(4096, '0')).status, FrameStatus::GiveUp);
    EXPECT_EQ(camp_wire::scanFrame(QByteArray(4000, 'x') + "[" + QByteArray(200, '0')).status,
              FrameStatus::NeedMore);
}

TEST(CampFrames, ReadReplyDecoding)
{
    QByteArray allWords;
    for (int i = 0; i < 256; ++i) {
        allWords += CAMP_NITP::intToHexStr(i, 4);
    }
    const struct
    {
        const char* name;
        QByteArray reply;
        quint16 requested;
        bool decoded;
        Words words;
    } cases[] = {
        {"count 00 carries 256", readReply("00", allWords), 256, true, {}},
        {"more announced than asked", readReply("03", "111122223333"), 2, true, {0x1111, 0x2222}},
        {"fewer than asked", readReply("03", "111122223333"), 5, true, {0x1111, 0x2222, 0x3333}},
        {"lower case", readReply("01", "abcd"), 1, true, {0xABCD}},
        {"too short for the header", "[0500010000000", 1, false, {}},
        {"too short for its words", "[05000100000002111]", 2, false, {}},
        {"fewer words than announced", readReply("02", "1111"), 2, false, {}}, // not the BCC
        {"none of 256 announced", readReply("00", ""), 1, false, {}},
        // A character that is not a hex digit, in a word or in the count, fails the whole reply.
        {"G in a word", readReply("02", "1G112222"), 2, false, {}},
        {"blank in a word", readReply("02", "11112 22"), 2, false, {}},
        {"x in the count", readReply("0x", "11112222"), 2, false, {}},
        {"error reply", "[05FF01000064000000000002920000]", 1, false, {}},
    };
    for (const auto& c : cases) {
        Words words{0xAAAA}; // appended to, never cleared
        ItemInstancePlugin item;
        EXPECT_EQ(CAMP_NITP::parseReadResponse(c.reply, c.requested, words, &item), c.decoded)
            << c.name;
        if (c.words.empty() && c.decoded) {
            ASSERT_EQ(words.size(), 257u) << c.name;
            EXPECT_EQ(words.back(), 0x00FF) << c.name;
        } else {
            Words expected{0xAAAA};
            expected.insert(expected.end(), c.words.begin(), c.words.end());
            EXPECT_EQ(words, expected) << c.name;
        }
    }
}

TEST(CampFrames, ReplyKindEchoAndErrorCodes)
{
    // A read reply carries 05, a write reply 07. The echo at 5-12 is the request's class and
    // address, in either case.
    EXPECT_TRUE(camp_wire::isReadReply("[0500010000640112340000]"));
    EXPECT_FALSE(camp_wire::isReadReply("[0700010000640202B4]"));
    EXPECT_FALSE(camp_wire::isReadReply("[0"));
    EXPECT_TRUE(camp_wire::echoesRequest("[0500010000640112340000]", 1, 100));
    EXPECT_TRUE(camp_wire::echoesRequest("[05000a0000ff0112340000]", 10, 255));
    EXPECT_FALSE(camp_wire::echoesRequest("[0500010000650112340000]", 1, 100)); // next address
    EXPECT_FALSE(camp_wire::echoesRequest("[0500020000640112340000]", 1, 100)); // other class
    EXPECT_FALSE(camp_wire::echoesRequest("[0500000000000112340000]", 1, 100)); // no echo
    EXPECT_FALSE(camp_wire::echoesRequest("[050001", 1, 100));
    EXPECT_TRUE(camp_wire::isWriteReply("[07000100006401020315]"));
    EXPECT_FALSE(camp_wire::isWriteReply("[09000100006401020317]"));

    // The BCC: the low 16 bits of the byte sum in four digits of either case, or the whole sum in
    // five when it is above FFFF and the count field leaves five characters. One digit changed
    // anywhere changes the sum.
    const QByteArray longWords = QByteArray("05000100006400") + QByteArray(4 * 256, 'F');
    // 256 words whose sum lies between 10000 and 1FFFF, the last data digit "1": a garble that adds
    // 49 to the sum ("1" to "b") passes if the last data digit may be taken for a fifth BCC digit.
    QByteArray ones =
        QByteArray("05000100006400") + QByteArray(4 * 200, 'F') + QByteArray(4 * 56, '1');
    const QByteArray onesGood = '[' + ones + "0850]";
    ones[14 + 4 * 210] = 'b';
    const QByteArray onesGarbled = '[' + ones + "0850]";
    const struct
    {
        QByteArray frame;
        bool good;
    } checks[] = {
        {"[0500010000640112AB0397]", true},
        {"[0500010000640112ab03D7]", true},  // lower-case words count as themselves
        {"[0500010000640112EB039b]", true},  // and a lower-case BCC reads as any other
        {"[0500010000640112AC0397]", false}, // a word's digit garbled
        {"[0500010000640112AB0398]", false},
        {"[0500010000640112AB397]", false},
        {"[0500010000640112AB00397]", false}, // five digits only for a sum above FFFF
        {"[" + longWords + "1AB0]", true},
        {"[" + longWords + "11AB0]", true},
        {"[" + longWords + "11AB1]", false},
        {onesGood, true},
        {onesGarbled, false},
        {"[0500010000640212AB0397]", false}, // count 02: the words run into the check field
        {"[0700010000640102B3]", true},      // a write reply's check field is at 15
        {"[07000100006401020315]", false},   // not wherever four digits fit the sum
        {"[05F00100006401000000000292000B05E6]", true}, // an error reply's at 31
        {"[0500010000640112AB0397", false},
        {"0500010000640112AB0397]", false},
        {"[]", false},
        {"", false},
    };
    for (const auto& c : checks) {
        EXPECT_EQ(camp_wire::hasGoodBcc(c.frame), c.good) << c.frame.data();
    }

    // Status F at 3: the codes at 23-26 and 27-30, for a read or a write alike; a reply cut
    // short gives what is there and is never read past its end.
    const struct
    {
        QByteArray reply;
        bool error;
        const char* text;
    } replies[] = {
        {"[05F00100006401000000000292000B0000]", true, "Error code: 0292 Extended code: 000B"},
        {"[05F00100006401000000000274036B0000]", true,
         "Error code: 0274 Extended code: 036B (bad BCC)"},
        {"[07F00100006401000000000277000B0000]", true,
         "Error code: 0277 Extended code: 000B (odd character count, or a length that does not "
         "fit the request)"},
        {"[07F0010000640100000000010200030000]", true, "Error code: 0102 Extended code: 0003"},
        {"[05F0010000640100000000029", true, "Error code: 029 Extended code: "},
        {"[05F", true, "Error code:  Extended code: "},
        {"[05", false, "unchanged"},
        {"", false, "unchanged"},
        {"[0500010000000112340368]", false, "unchanged"},
    };
    for (const auto& r : replies) {
        ItemInstancePlugin item;
        item.errorText = QStringLiteral("unchanged");
        EXPECT_EQ(CAMP_NITP::checkForError(r.reply, &item), r.error) << r.reply.data();
        EXPECT_EQ(item.errorText, QLatin1String(r.text)) << r.reply.data();
    }
    EXPECT_TRUE(CAMP_NITP::checkForError("[07F0", nullptr));
}

TEST(ItemModel, OneParseOfTheColumns)
{
    const char* const address = "Invalid address";
    const char* const dataType = "Invalid data type";
    const struct
    {
        const char* name;
        ItemInstancePlugin item;
        const char* invalid;
        qint32 cls = 0;
        quint32 start = 0;
        quint16 count = 0;
        bool discrete = false;
    } cases[] = {
        {"Integer", makeItem("1", "1", "100"), nullptr, 1, 100, 1, false},
        {"Float covers two words", makeItem("1", "3", "40"), nullptr, 1, 40, 2, false},
        {"STW Unsigned", makeItem("26", "2", "259"), nullptr, 26, 259, 1, false},
        {"blanks around numbers", makeItem(" 9 ", "0", " 12 "), nullptr, 9, 12, 1, false},
        {"X is discrete", makeItem("6", "1", "3"), nullptr, 6, 3, 1, true},
        {"C is discrete", makeItem("8", "0", "3"), nullptr, 8, 3, 1, true},
        {"String range", makeItem("1", "4", "100-109"), nullptr, 1, 100, 10, false},
        {"String one word", makeItem("1", "4", "100-100"), nullptr, 1, 100, 1, false},
        {"String double minus", makeItem("1", "4", "100--109"), nullptr, 1, 100, 10, false},
        {"String backwards", makeItem("1", "4", "100-99"), address},
        {"String without end", makeItem("1", "4", "100"), address},
        {"String empty", makeItem("1", "4", ""), address},
        {"String only minus signs", makeItem("1", "4", "--"), address},
        {"String three pieces", makeItem("1", "4", "1-2-3"), address},
        {"String letters", makeItem("1", "4", "abc-109"), address},
        {"String range wider than 16 bits", makeItem("1", "4", "0-65535"), address},
        // Never fall back to word 0 of the class: a typo must not read or write the plant.
        {"empty address", makeItem("1", "1", ""), address},
        {"letters", makeItem("1", "1", "abc"), address},
        {"trailing letters", makeItem("1", "1", "12x"), address},
        {"negative", makeItem("1", "1", "-5"), address},
        {"address FFFFFF", makeItem("1", "1", "16777215"), nullptr, 1, 0xFFFFFF, 1, false},
        {"address past FFFFFF", makeItem("1", "1", "16777216"), address},
        {"class 255", makeItem("255", "1", "0"), nullptr, 255, 0, 1, false},
        {"class 256", makeItem("256", "1", "0"), address},
        {"class negative", makeItem("-1", "1", "0"), address},
        {"class not a number", makeItem("V", "1", "0"), address},
        // A data type the plugin does not know names no width: no guessed type.
        {"data type empty", makeItem("1", "", "7"), dataType},
        {"data type 7", makeItem("1", "7", "7"), dataType},
        {"data type with blanks", makeItem("1", " 3", "7"), nullptr, 1, 7, 2, false},
        {"data type Float", makeItem("1", "Float", "7"), dataType},
        {"data type 3.0", makeItem("1", "3.0", "7"), dataType},
        {"data type first", makeItem("V", "three", "x"), dataType},
        {"Long integer covers two words", makeItem("1", "5", "40"), nullptr, 1, 40, 2, false},
        {"Unsigned long integer too", makeItem("2", "6", "40"), nullptr, 2, 40, 2, false},
        // A bit of a word: a Bit item of V, K, WX, WY or STW, bits 0 to 15.
        {"bit of a V word", makeItem("1", "0", "100.3"), nullptr, 1, 100, 1, false},
        {"bit 15 of a status word", makeItem("26", "0", "259.15"), nullptr, 26, 259, 1, false},
        {"bit of a K word", makeItem("2", "0", "5.1"), nullptr, 2, 5, 1, false},
        {"bit 16", makeItem("1", "0", "100.16"), address},
        {"bit -1", makeItem("1", "0", "100.-1"), address},
        {"bit x", makeItem("1", "0", "100.x"), address},
        {"no bit", makeItem("1", "0", "100."), address},
        {"no word", makeItem("1", "0", ".3"), address},
        {"bit of an X word", makeItem("6", "0", "3.1"), address},
        {"bit of an Integer", makeItem("1", "1", "100.3"), address},
    };
    for (const auto& c : cases) {
        const ItemAddress at = itemAddress(c.item);
        EXPECT_STREQ(at.invalid, c.invalid) << c.name;
        if (c.invalid == nullptr) {
            EXPECT_EQ(at.addressClass, c.cls) << c.name;
            EXPECT_EQ(at.startAddress, c.start) << c.name;
            EXPECT_EQ(at.wordCount, c.count) << c.name;
            EXPECT_EQ(at.discrete, c.discrete) << c.name;
        }
        AddressClass cls = AddressClass(0);
        quint32 start = 0;
        quint16 count = 0;
        EXPECT_EQ(CAMP_NITP::itemAddressRange(c.item, cls, start, count), c.invalid == nullptr)
            << c.name;
    }
    // The error text names the column, its value and what is expected there.
    const auto text = [](const ItemInstancePlugin& item) {
        return invalidText(itemAddress(item), item).toStdString();
    };
    EXPECT_EQ(text(makeItem("V", "1", "100")),
              "Invalid address (address_class \"V\": a class number is expected; V is 1)");
    EXPECT_EQ(text(makeItem("300", "1", "100")),
              "Invalid address (address_class \"300\": a class number is expected: V 1, K 2, X "
              "6, Y 7, C 8, WX 9, WY 10, STW 26)");
    EXPECT_EQ(text(makeItem("1", "1", "V100")),
              "Invalid address (address_word \"V100\": a word number from 0 to 16777215 is "
              "expected)");
    EXPECT_EQ(text(makeItem("6", "0", "3.1")),
              "Invalid address (address_word \"3.1\": a bit of a word is for Bit items of V, K, "
              "WX, WY and STW)");
    EXPECT_EQ(text(makeItem("1", "0", "40.16")),
              "Invalid address (address_word \"40.16\": a word number and a bit from 0 to 15 are "
              "expected, for example 40.3)");
    EXPECT_EQ(text(makeItem("1", "9", "1")),
              "Invalid data type (data_type \"9\": a type number is expected: 0 Bit, 1 Integer, 2 "
              "Unsigned integer, 3 Float, 4 String, 5 Long integer, 6 Unsigned long integer)");
    EXPECT_EQ(itemAddress(makeItem("1", "0", "100.3")).bit, 3);
    EXPECT_EQ(itemAddress(makeItem("1", "0", "100")).bit, -1);
    EXPECT_EQ(CAMP_NITP::dataLength(DataType::Float), 2);
    EXPECT_EQ(CAMP_NITP::dataLength(DataType::String), 1);
    EXPECT_EQ(CAMP_NITP::dataLength(static_cast<DataType>(99)), 1);
}

TEST(ValueCodec, DecodesWordsByDataTypeAndClass)
{
    enum { Bit = 0, Integer = 1, Unsigned = 2, Float = 3, String = 4 };
    const struct
    {
        const char* name;
        ItemAddress item;
        Words words;
        const char* value;
    } cases[] = {
        {"signed", typed(Integer), {0xFFFE}, "-2"},
        {"zero", typed(Integer), {0x0000}, "0"},
        {"most negative", typed(Integer), {0x8000}, "-32768"},
        {"unsigned", typed(Unsigned), {0xFFFE}, "65534"},
        {"Bit reads the word", typed(Bit), {0x0102}, "258"},
        {"another type reads as Bit", typed(7), {0x0102}, "258"},
        {"float", typed(Float, 2), {0x3F80, 0x0000}, "1"},
        {"float to six digits", typed(Float, 2), {0x3FAA, 0xAAAB}, "1.33333"},
        {"float short of a word", typed(Float, 2), {0x3F80}, "1"},
        {"string to its first zero", typed(String, 2), {0x4142, 0x4300}, "ABC"},
        {"string all zeros", typed(String, 2), {0x0000, 0x0000}, ""},
        {"string as UTF-8", typed(String, 1), {0xC3A9}, "\xC3\xA9"},
        {"discrete bit set", typed(Integer, 1, true), {0x0003}, "1"},
        {"discrete bit clear", typed(Float, 1, true), {0x0002}, "0"},
        {"no words", typed(Integer), {}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeValue(c.item, c.words.data(), c.words.size()), QString::fromUtf8(c.value))
            << c.name;
    }

    // A poll decodes into the text the entry kept from the last poll, which a host may share: a
    // value of another length, or the same length, replaces it whole and leaves the copy alone.
    QString kept = QStringLiteral("previous");
    for (const int value : {9, 10, 99, 100, 999, 1000, 9999, 10000, 65535, 12345, 54321, 7}) {
        const QString hostCopy = kept;
        const quint16 word = static_cast<quint16>(value);
        decodeValue(typed(Unsigned), &word, 1, kept);
        EXPECT_EQ(kept, QString::number(value));
        EXPECT_NE(hostCopy, kept) << value;
    }
    for (const int value : {-1, -9, -10, -99, -100, -9999, -10000, -32768, -32767, -5}) {
        const quint16 word = static_cast<quint16>(value);
        decodeValue(typed(Integer), &word, 1, kept);
        EXPECT_EQ(kept, QString::number(value));
    }
}

TEST(ValueCodec, EncodesValuesOrSaysWhyNot)
{
    enum { Bit = 0, Integer = 1, Unsigned = 2, Float = 3, String = 4 };
    const char* const invalid = "Invalid value";
    const char* const range = "Value out of range";
    const struct
    {
        const char* name;
        ItemAddress item;
        const char* text;
        Words words;
        const char* refusal = nullptr;
    } cases[] = {
        {"-1", typed(Integer), "-1", {0xFFFF}},
        {"300", typed(Integer), "300", {0x012C}},
        {"65535", typed(Unsigned), "65535", {0xFFFF}},
        {"-32768", typed(Bit), " -32768 ", {0x8000}},
        {"empty", typed(Integer), "", {}, invalid},
        {"letters", typed(Integer), "abc", {}, invalid},
        {"fraction", typed(Unsigned), "1.5", {}, invalid},
        {"65536", typed(Unsigned), "65536", {}, range},
        {"-32769", typed(Integer), "-32769", {}, range},
        {"float 1.0", typed(Float, 2), "1.0", {0x3F80, 0x0000}},
        {"float -2.5e0", typed(Float, 2), "-2.5e0", {0xC020, 0x0000}},
        {"float +2.5", typed(Float, 2), "+2.5", {0x4020, 0x0000}},
        {"float 1e-50 rounds to 0", typed(Float, 2), "1e-50", {0x0000, 0x0000}},
        {"float largest", typed(Float, 2), "3.4028235e38", {0x7F7F, 0xFFFF}},
        {"float subnormal", typed(Float, 2), " -1.4e-45 ", {0x8000, 0x0001}},
        {"float .5", typed(Float, 2), ".5", {0x3F00, 0x0000}},
        {"float 1e39", typed(Float, 2), "1e39", {}, range},
        {"float -3.5e38", typed(Float, 2), "-3.5e38", {}, range},
        {"float 1e400", typed(Float, 2), "1e400", {}, range},
        {"float nan", typed(Float, 2), "nan", {}, invalid},
        {"float -nan", typed(Float, 2), "-nan", {}, invalid},
        {"float inf", typed(Float, 2), "inf", {}, invalid},
        {"float hex", typed(Float, 2), "0x1p3", {}, invalid},
        {"float 1.0x", typed(Float, 2), "1.0x", {}, invalid},
        {"float 1e", typed(Float, 2), "1e", {}, invalid},
        {"float empty", typed(Float, 2), "", {}, invalid},
        {"string pads its range", typed(String, 3), "ABC", {0x4142, 0x4300, 0x0000}},
        {"string empty clears", typed(String, 2), "", {0x0000, 0x0000}},
        {"string UTF-8", typed(String, 1), "\xC3\xA9", {0xC3A9}},
        {"string too long", typed(String, 2), "HELLO", {}, "Value too long"},
        {"string over 255 words", typed(String, 256), "A", {}, "Invalid address"},
        {"discrete 1", typed(Bit, 1, true), "1", {0x0001}},
        {"discrete 0", typed(Integer, 1, true), " 0", {0x0000}},
        {"discrete 2", typed(Bit, 1, true), "2", {}, invalid},
        {"discrete on", typed(Bit, 1, true), "on", {}, invalid},
        {"discrete Float", typed(Float, 2, true), "1", {}, "Data type not writable to X, Y or C"},
        {"discrete String", typed(String, 1, true), "1", {}, "Data type not writable to X, Y or C"},
    };
    for (const auto& c : cases) {
        const EncodedValue encoded = encodeValue(c.item, QString::fromUtf8(c.text));
        EXPECT_TRUE(refusedAs(encoded.refusal, c.refusal))
            << c.name << ": " << (encoded.refusal ? encoded.refusal : "(none)");
        EXPECT_EQ(encoded.words, c.words) << c.name;
    }
    // A refusal names the form or the range of the item's type after its usual start.
    const struct
    {
        ItemAddress item;
        const char* text;
        const char* refusal;
    } named[] = {
        {typed(Integer), "abc", "Invalid value (Integer: a whole number)"},
        {typed(Unsigned), "70000", "Value out of range (Unsigned integer: -32768 to 65535)"},
        {typed(Float, 2), "1e39", "Value out of range (Float: -3.4028235e38 to 3.4028235e38)"},
        {typed(Float, 2), "nan", "Invalid value (Float: a decimal number)"},
        {typed(Bit, 1, true), "2", "Invalid value (Bit: 0 or 1)"},
    };
    for (const auto& n : named) {
        EXPECT_STREQ(encodeValue(n.item, QString::fromUtf8(n.text)).refusal, n.refusal) << n.text;
    }
    EXPECT_EQ(withBit(0x1234, 0, 1), 0x1235);
    EXPECT_EQ(withBit(0x1235, 0, 0), 0x1234);
    EXPECT_EQ(withBit(0xFFFF, 0, 0), 0xFFFE);
    EXPECT_EQ(withBit(0x0000, 15, 1), 0x8000);
    EXPECT_EQ(withBit(0xFFFF, 7, 0), 0xFF7F);
}

// Long integers in two words, the first high, both ways; a value that does not fit the type, or a
// text that is not an optional sign and digits, is refused.
TEST(ValueCodec, LongIntegersBothWays)
{
    enum { Long = 5, ULong = 6 };
    const char* const invalid = "Invalid value";
    const char* const range = "Value out of range";
    const struct
    {
        const char* text;
        Words words;
        const char* signedRefusal;
        const char* unsignedRefusal;
    } cases[] = {
        {"0", {0x0000, 0x0000}, nullptr, nullptr},
        {"1", {0x0000, 0x0001}, nullptr, nullptr},
        {"-1", {0xFFFF, 0xFFFF}, nullptr, range},
        {"65535", {0x0000, 0xFFFF}, nullptr, nullptr},
        {"65536", {0x0001, 0x0000}, nullptr, nullptr},
        {"2147483647", {0x7FFF, 0xFFFF}, nullptr, nullptr},
        {"-2147483648", {0x8000, 0x0000}, nullptr, range},
        {"2147483648", {0x8000, 0x0000}, range, nullptr},
        {"4294967295", {0xFFFF, 0xFFFF}, range, nullptr},
        {"-2147483649", {}, range, range},
        {"4294967296", {}, range, range},
        {"99999999999999999999", {}, range, range},
        {"+70000", {0x0001, 0x1170}, nullptr, nullptr},
        {"1.5", {}, invalid, invalid},
        {"12x", {}, invalid, invalid},
        {"0x10", {}, invalid, invalid},
        {"1e3", {}, invalid, invalid},
        {"", {}, invalid, invalid},
        {"-", {}, invalid, invalid},
        {"--1", {}, invalid, invalid},
    };
    EXPECT_STREQ(encodeValue(typed(Long, 2), QStringLiteral("2147483648")).refusal,
                 "Value out of range (Long integer: -2147483648 to 2147483647)");
    EXPECT_STREQ(encodeValue(typed(ULong, 2), QStringLiteral("-1")).refusal,
                 "Value out of range (Unsigned long integer: 0 to 4294967295)");
    for (const auto& c : cases) {
        for (const int type : {Long, ULong}) {
            const char* const refusal = type == Long ? c.signedRefusal : c.unsignedRefusal;
            const EncodedValue encoded = encodeValue(typed(type, 2), QString::fromUtf8(c.text));
            EXPECT_TRUE(refusedAs(encoded.refusal, refusal)) << c.text << " type " << type;
            EXPECT_EQ(encoded.words, refusal ? Words() : c.words) << c.text << " type " << type;
            if (!refusal) {
                const QString text = QString::fromUtf8(c.text);
                EXPECT_EQ(decodeValue(typed(type, 2), c.words.data(), 2),
                          text.startsWith('+') ? text.mid(1) : text)
                    << c.text << " type " << type;
            }
        }
    }
    EXPECT_STREQ(encodeValue(typed(Long, 2, true), "1").refusal,
                 "Data type not writable to X, Y or C");

    // A bit of a word reads and takes 0 or 1 alone.
    ItemAddress bit3 = typed(0);
    bit3.bit = 3;
    const Words set = {0x0008}, clear = {0xFFF7};
    EXPECT_EQ(decodeValue(bit3, set.data(), 1), QStringLiteral("1"));
    EXPECT_EQ(decodeValue(bit3, clear.data(), 1), QStringLiteral("0"));
    EXPECT_EQ(encodeValue(bit3, "1").words, Words{1});
    EXPECT_STREQ(encodeValue(bit3, "2").refusal, "Invalid value (Bit: 0 or 1)");
}

TEST(CampFrames, WriteRefusalsErrorMessagesAndTimeouts)
{
    EXPECT_EQ(CAMP_NITP::writeRefusal(Words(255, 0)), QString());
    EXPECT_EQ(CAMP_NITP::writeRefusal(Words()), "Nothing to write");
    EXPECT_EQ(CAMP_NITP::writeRefusal(Words(256, 0)), "Too many words to write: 256 (at most 255)");

    const char activity[] = "reading a response from the PLC";
    const struct
    {
        int error;
        const char* prefix;
    } cases[] = {
        {0, "PLC closed the connection while "},
        {EPIPE, "PLC closed the connection while "},
        {EBADF, "Lost connection to PLC while "},
        {EAGAIN, "Timed out while "},
        {ECONNRESET, "PLC reset the connection while "},
        {ECONNABORTED, "PLC aborted the connection while "},
        {ECONNREFUSED, "PLC refused the connection while "},
        {ENETUNREACH, "PLC is unreachable while "},
        {EHOSTDOWN, "PLC is not responding while "},
        {ENETDOWN, "Network is down while "},
        {ENFILE, "Too many open connections while "},
        {EINVAL, "Communication error while "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CAMP_NITP::ioErrorMessage(c.error, activity),
                  QString::fromLatin1(c.prefix) + QString::fromLatin1(activity))
            << "errno " << c.error;
    }

    const auto timeoutOf = [](const char* timeout, const char* connectionTimeout) {
        DeviceInstancePlugin device;
        if (timeout) {
            device.columns.insert(QStringLiteral("timeout"), QString::fromLatin1(timeout));
        }
        if (connectionTimeout) {
            device.columns.insert(QStringLiteral("connection_timeout"),
                                  QString::fromLatin1(connectionTimeout));
        }
        return CAMP_NITP::loadTimeoutMs(device);
    };
    EXPECT_EQ(timeoutOf("2500", "700"), 2500);
    EXPECT_EQ(timeoutOf("0", "700"), 700);
    EXPECT_EQ(timeoutOf("-5", "700"), 700);
    EXPECT_EQ(timeoutOf("abc", "700"), 700);
    EXPECT_EQ(timeoutOf("abc", "0"), 10000);
    EXPECT_EQ(timeoutOf(nullptr, nullptr), 10000);
}
