// Protects the wire format byte for byte: request frames, block checks, value encoders, reply
// decoding, frame assembly and the item address rules, without any network.

#include <gtest/gtest.h>

#include "camp_nitp.h"
#include "driver_test_words.h"

#include <cerrno>

namespace {

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

} // namespace

TEST(CampFrames, GoldenRequestFrames)
{
    struct Case
    {
        const char* name;
        QByteArray actual;
        QByteArray expected;
    };
    const Case cases[] = {
        {"one V word at 1", CAMP_NITP::readRequest(AddressClass::V, 1, 1),
         "[0400010000010100010368]"},
        {"three STW words at 259", CAMP_NITP::readRequest(AddressClass::STW, 259, 3),
         "[04001A000103010003037E]"},
        {"write 1234 00FF to V100",
         CAMP_NITP::writeRequest(AddressClass::V, 100, wordsOf({"1234", "00FF"})),
         "[06000100006402123400FF0469]"},
        {"256 words writes count 0100", CAMP_NITP::readRequest(AddressClass::V, 0, 256).mid(13, 6),
         "010100"},
        {"address 65536", CAMP_NITP::readRequest(AddressClass::V, 65536, 1).mid(7, 6), "010000"},
        {"address 255", CAMP_NITP::readRequest(AddressClass::V, 255, 1).mid(7, 6), "0000FF"},
        {"class WY is 0A", CAMP_NITP::readRequest(AddressClass::WY, 0, 1).mid(5, 2), "0A"},
        {"short write word is zero-filled",
         CAMP_NITP::writeRequest(AddressClass::K, 2, wordsOf({"7"})).mid(13, 6), "010007"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.actual, c.expected) << c.name;
    }
}

TEST(CampFrames, BlockCheckIsTheLowSixteenBitsInFourDigits)
{
    // The characters after "[" sum to 872 and 894 in the two read examples.
    EXPECT_EQ(CAMP_NITP::calcBCC("[040001000001010001"), "0368");
    EXPECT_EQ(CAMP_NITP::calcBCC("[04001A000103010003"), "037E");
    EXPECT_EQ(CAMP_NITP::calcBCC("["), "0000");
    // Bytes count as unsigned: E9 adds 233, not -23.
    EXPECT_EQ(CAMP_NITP::calcBCC(QByteArray("[\xE9")), "00E9");

    // 1000 characters "F" (70 each) sum to 70000 = 0x11170: only 1170 goes into the frame.
    EXPECT_EQ(CAMP_NITP::calcBCC("[" + QByteArray(1000, 'F')), "1170");

    // The longest write (255 words of FFFF, a sum of 72123) keeps the fixed layout of
    // 20 + 4 * 255 characters, its check sum 119BB written as 19BB.
    const Words full(255, QByteArray("FFFF"));
    const QByteArray frame = CAMP_NITP::writeRequest(AddressClass::V, 0, full);
    ASSERT_EQ(frame.size(), 20 + 4 * 255);
    EXPECT_EQ(frame.right(5), "19BB]");
}

TEST(CampFrames, Encoders)
{
    struct IntCase
    {
        qint32 value;
        quint8 width;
        QByteArray expected;
    };
    const IntCase ints[] = {{26, 2, "1A"},       {0, 4, "0000"}, {300, 6, "00012C"},
                            {-1, 4, "FFFFFFFF"}, {255, 2, "FF"}, {4096, 2, "1000"},
                            {65535, 4, "FFFF"},  {0, 0, "0"}};
    for (const IntCase& c : ints) {
        EXPECT_EQ(CAMP_NITP::intToHexStr(c.value, c.width), c.expected)
            << c.value << " at width " << int(c.width);
    }

    EXPECT_EQ(CAMP_NITP::realToHexStr(1.0f), "3F800000");
    EXPECT_EQ(CAMP_NITP::realToHexStr(0.0f), "00000000");
    EXPECT_EQ(CAMP_NITP::realToHexStr(-2.5f), "C0200000");

    EXPECT_EQ(CAMP_NITP::stringToHexStr("AB"), "4142");
    EXPECT_EQ(CAMP_NITP::stringToHexStr("A"), "41");
    EXPECT_EQ(CAMP_NITP::stringToHexStr(""), "");
    EXPECT_EQ(CAMP_NITP::stringToHexStr(QByteArray("\xE9\x00", 2)), "E900");

    EXPECT_EQ(CAMP_NITP::appendZeros("7", 4), "0007");
    EXPECT_EQ(CAMP_NITP::appendZeros("12345", 4), "12345");
    EXPECT_EQ(CAMP_NITP::appendZeros("", 2), "00");

    EXPECT_EQ(CAMP_NITP::dataLength(DataType::Float), 2);
    EXPECT_EQ(CAMP_NITP::dataLength(DataType::Bit), 1);
    EXPECT_EQ(CAMP_NITP::dataLength(DataType::String), 1);
    EXPECT_EQ(CAMP_NITP::dataLength(static_cast<DataType>(99)), 1);

    using Pieces = std::vector<QByteArray>;
    EXPECT_EQ(CAMP_NITP::tokenize("100--109", '-'), (Pieces{"100", "109"}));
    EXPECT_EQ(CAMP_NITP::tokenize("-a-b-", '-'), (Pieces{"a", "b"}));
    EXPECT_EQ(CAMP_NITP::tokenize("---", '-'), Pieces{});
    EXPECT_EQ(CAMP_NITP::tokenize("", '-'), Pieces{});
}

TEST(CampFrames, ItemAddressRange)
{
    struct Case
    {
        const char* name;
        ItemInstancePlugin item;
        bool located;
        qint32 cls;
        quint32 address;
        quint16 count;
    };
    const Case cases[] = {
        {"Integer", makeItem("1", "1", "100"), true, 1, 100, 1},
        {"Float covers two words", makeItem("1", "3", "40"), true, 1, 40, 2},
        {"STW Unsigned", makeItem("26", "2", "259"), true, 26, 259, 1},
        {"blanks around numbers", makeItem(" 9 ", "0", " 12 "), true, 9, 12, 1},
        {"String range", makeItem("1", "4", "100-109"), true, 1, 100, 10},
        {"String one word", makeItem("1", "4", "100-100"), true, 1, 100, 1},
        {"String double minus", makeItem("1", "4", "100--109"), true, 1, 100, 10},
        {"String backwards", makeItem("1", "4", "100-99"), false, 0, 0, 0},
        {"String without end", makeItem("1", "4", "100"), false, 0, 0, 0},
        {"String empty", makeItem("1", "4", ""), false, 0, 0, 0},
        {"String only minus signs", makeItem("1", "4", "--"), false, 0, 0, 0},
        {"String three pieces", makeItem("1", "4", "1-2-3"), false, 0, 0, 0},
        {"String letters", makeItem("1", "4", "abc-109"), false, 0, 0, 0},
        {"String range wider than 16 bits", makeItem("1", "4", "0-65535"), false, 0, 0, 0},
        // Never fall back to word 0 of the class: a typo must not read or write the plant.
        {"empty address", makeItem("1", "1", ""), false, 0, 0, 0},
        {"letters", makeItem("1", "1", "abc"), false, 0, 0, 0},
        {"trailing letters", makeItem("1", "1", "12x"), false, 0, 0, 0},
        {"negative", makeItem("1", "1", "-5"), false, 0, 0, 0},
        {"address FFFFFF", makeItem("1", "1", "16777215"), true, 1, 0xFFFFFF, 1},
        {"address past FFFFFF", makeItem("1", "1", "16777216"), false, 0, 0, 0},
        {"class 255", makeItem("255", "1", "0"), true, 255, 0, 1},
        {"class 256", makeItem("256", "1", "0"), false, 0, 0, 0},
        {"class negative", makeItem("-1", "1", "0"), false, 0, 0, 0},
        {"class not a number", makeItem("V", "1", "0"), false, 0, 0, 0},
        // A data type that is not a number names no width: never read it as one word.
        {"data type empty reads as Bit", makeItem("1", "", "7"), true, 1, 7, 1},
        {"data type 7 reads as one word", makeItem("1", "7", "7"), true, 1, 7, 1},
        {"data type Float", makeItem("1", "Float", "7"), false, 0, 0, 0},
        {"data type 3.0", makeItem("1", "3.0", "7"), false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        AddressClass cls = AddressClass(0);
        quint32 address = 0;
        quint16 count = 0;
        const bool located = CAMP_NITP::itemAddressRange(c.item, cls, address, count);
        EXPECT_EQ(located, c.located) << c.name;
        if (located && c.located) {
            EXPECT_EQ(cls, c.cls) << c.name;
            EXPECT_EQ(address, c.address) << c.name;
            EXPECT_EQ(count, c.count) << c.name;
        }
    }
}

TEST(CampFrames, FrameAssemblyOneByteAtATime)
{
    // Junk before the first "[", a frame, then the start of the next one in the same stream.
    const QByteArray stream = "\r\nJUNK]][0500010000000112340368][05";
    QByteArray pending;
    std::vector<QByteArray> frames;
    for (const char byte : stream) {
        pending.append(byte);
        const CAMP_NITP::FrameScan scan = CAMP_NITP::scanFrame(pending);
        ASSERT_NE(scan.status, CAMP_NITP::FrameStatus::GiveUp);
        if (scan.status == CAMP_NITP::FrameStatus::Frame) {
            frames.push_back(scan.frame);
        }
        pending = scan.rest;
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], "[0500010000000112340368]");
    EXPECT_EQ(pending, "[05");

    // Two frames in one piece come out one per call, the second from what is kept.
    CAMP_NITP::FrameScan first = CAMP_NITP::scanFrame("xx[A][B]yy");
    ASSERT_EQ(first.status, CAMP_NITP::FrameStatus::Frame);
    EXPECT_EQ(first.frame, "[A]");
    CAMP_NITP::FrameScan second = CAMP_NITP::scanFrame(first.rest);
    ASSERT_EQ(second.status, CAMP_NITP::FrameStatus::Frame);
    EXPECT_EQ(second.frame, "[B]");
    EXPECT_EQ(CAMP_NITP::scanFrame(second.rest).status, CAMP_NITP::FrameStatus::NeedMore);

    // 4096 unframed bytes may still turn into a frame; one more is a peer that is not CAMP.
    EXPECT_EQ(CAMP_NITP::scanFrame(QByteArray(4096, 'x')).status, CAMP_NITP::FrameStatus::NeedMore);
    EXPECT_EQ(CAMP_NITP::scanFrame(QByteArray(4097, 'x')).status, CAMP_NITP::FrameStatus::GiveUp);
    EXPECT_EQ(CAMP_NITP::scanFrame("[" + QByteArray(4096, '0')).status,
              CAMP_NITP::FrameStatus::GiveUp);
    // Junk dropped before a "[" does not count.
    EXPECT_EQ(CAMP_NITP::scanFrame(QByteArray(4000, 'x') + "[" + QByteArray(200, '0')).status,
              CAMP_NITP::FrameStatus::NeedMore);
}

TEST(CampFrames, ReadReplyDecoding)
{
    // Count field 00 carries 256 words.
    QByteArray allWords;
    for (int i = 0; i < 256; ++i) {
        allWords += CAMP_NITP::intToHexStr(i, 4);
    }
    Words words;
    ASSERT_TRUE(CAMP_NITP::parseReadResponse(readReply("00", allWords), 256, words, nullptr));
    ASSERT_EQ(words.size(), 256u);
    EXPECT_EQ(words.front(), "0000");
    EXPECT_EQ(words.back(), "00FF");

    // More words announced than asked for: only the asked ones. Fewer: the ones there are.
    // The output is appended to, not cleared.
    words = wordsOf({"AAAA"});
    ASSERT_TRUE(CAMP_NITP::parseReadResponse(readReply("03", "111122223333"), 2, words, nullptr));
    EXPECT_EQ(words, wordsOf({"AAAA", "1111", "2222"}));
    words.clear();
    ASSERT_TRUE(CAMP_NITP::parseReadResponse(readReply("03", "111122223333"), 5, words, nullptr));
    EXPECT_EQ(words, wordsOf({"1111", "2222", "3333"}));

    // Words are passed on as the PLC wrote them, lower case included.
    words.clear();
    ASSERT_TRUE(CAMP_NITP::parseReadResponse(readReply("01", "abcd"), 1, words, nullptr));
    EXPECT_EQ(words, wordsOf({"abcd"}));

    // Too short for the header, or for the words announced: nothing appended, no text here.
    ItemInstancePlugin item;
    words.clear();
    EXPECT_FALSE(CAMP_NITP::parseReadResponse("[0500010000000", 1, words, &item));
    EXPECT_FALSE(CAMP_NITP::parseReadResponse("[05000100000002111]", 2, words, &item));
    EXPECT_TRUE(words.empty());
    EXPECT_TRUE(item.errorText.isEmpty());

    // A character that is not a hex digit, in a word or in the count, fails the whole reply.
    for (const QByteArray& broken : {readReply("02", "1G112222"), readReply("02", "11112 22"),
                                     readReply("0x", "11112222"), readReply("02", "1111222-")}) {
        words.clear();
        EXPECT_FALSE(CAMP_NITP::parseReadResponse(broken, 2, words, nullptr)) << broken.data();
        EXPECT_TRUE(words.empty()) << broken.data();
    }
}

TEST(CampFrames, ReplyKindAndEcho)
{
    // A read reply carries 05; a write reply 07. The echo at 5-12 is the request's class (2 hex
    // digits) and address (6), in either case.
    EXPECT_TRUE(CAMP_NITP::isReadReply("[0500010000640112340000]"));
    EXPECT_FALSE(CAMP_NITP::isReadReply("[0700010000640202B4]"));
    EXPECT_FALSE(CAMP_NITP::isReadReply("[0"));
    EXPECT_FALSE(CAMP_NITP::isReadReply(""));
    EXPECT_TRUE(CAMP_NITP::echoesRequest("[0500010000640112340000]", 1, 100));
    EXPECT_TRUE(CAMP_NITP::echoesRequest("[05001A0001030112340000]", 26, 259));
    EXPECT_TRUE(CAMP_NITP::echoesRequest("[05000a0000ff0112340000]", 10, 255));
    EXPECT_FALSE(CAMP_NITP::echoesRequest("[0500010000650112340000]", 1, 100)); // next address
    EXPECT_FALSE(CAMP_NITP::echoesRequest("[0500020000640112340000]", 1, 100)); // other class
    EXPECT_FALSE(CAMP_NITP::echoesRequest("[0500000000000112340000]", 1, 100)); // no echo
    EXPECT_FALSE(CAMP_NITP::echoesRequest("[050001", 1, 100));
}

TEST(CampFrames, ErrorReplies)
{
    // Status F0 at 3, eight uninterpreted characters, count, eight more, then the two codes.
    const QByteArray body = "[05F0"
                            "01000064"
                            "01"
                            "00000000"
                            "0292"
                            "000B";
    const QByteArray reply = body + CAMP_NITP::calcBCC(body) + "]";
    ItemInstancePlugin item;
    Words words;
    EXPECT_FALSE(CAMP_NITP::parseReadResponse(reply, 1, words, &item));
    EXPECT_EQ(item.errorText, "Error code: 0292 Extended code: 000B");
    EXPECT_TRUE(words.empty());

    // The same test applies to the reply of a write, and a null item is fine.
    EXPECT_TRUE(CAMP_NITP::checkForError("[07F0"
                                         "01000064"
                                         "01"
                                         "00000000"
                                         "0102"
                                         "0003"
                                         "0000]",
                                         nullptr));

    // Cut short: the codes hold what is there, nothing is read past the end.
    item.errorText.clear();
    EXPECT_TRUE(CAMP_NITP::checkForError("[05F0"
                                         "01000064"
                                         "01"
                                         "00000000"
                                         "029",
                                         &item));
    EXPECT_EQ(item.errorText, "Error code: 029 Extended code: ");
    EXPECT_TRUE(CAMP_NITP::checkForError("[05F", &item));
    EXPECT_EQ(item.errorText, "Error code:  Extended code: ");

    // No position 3, or no "F" there: not an error reply, and the item is left alone.
    item.errorText = QStringLiteral("unchanged");
    EXPECT_FALSE(CAMP_NITP::checkForError("[05", &item));
    EXPECT_FALSE(CAMP_NITP::checkForError("", &item));
    EXPECT_FALSE(CAMP_NITP::checkForError("[0500010000000112340368]", &item));
    EXPECT_EQ(item.errorText, "unchanged");
}

TEST(CampFrames, WriteRefusals)
{
    EXPECT_EQ(CAMP_NITP::writeRefusal(wordsOf({"1234", "00ff"})), QString());
    EXPECT_EQ(CAMP_NITP::writeRefusal(Words(255, "0000")), QString());
    EXPECT_EQ(CAMP_NITP::writeRefusal(Words()), "Nothing to write");
    EXPECT_EQ(CAMP_NITP::writeRefusal(Words(256, "0000")),
              "Too many words to write: 256 (at most 255)");
    EXPECT_EQ(CAMP_NITP::writeRefusal(wordsOf({"1234", "12345"})), "Invalid data word: 12345");
    EXPECT_EQ(CAMP_NITP::writeRefusal(wordsOf({"12G4"})), "Invalid data word: 12G4");
    EXPECT_EQ(CAMP_NITP::writeRefusal(wordsOf({"12]"})), "Invalid data word: 12]");
    EXPECT_EQ(CAMP_NITP::writeRefusal(wordsOf({""})), "Invalid data word: ");
}

TEST(CampFrames, ErrorMessagesAndTimeouts)
{
    const char activity[] = "reading a response from the PLC";
    struct Case
    {
        int error;
        const char* prefix;
    };
    const Case cases[] = {
        {0, "PLC closed the connection while "},
        {EPIPE, "PLC closed the connection while "},
        {EBADF, "Lost connection to PLC while "},
        {ENOTCONN, "Lost connection to PLC while "},
        {EAGAIN, "Timed out while "},
        {EWOULDBLOCK, "Timed out while "},
        {ETIMEDOUT, "Timed out while "},
        {ECONNRESET, "PLC reset the connection while "},
        {ECONNABORTED, "PLC aborted the connection while "},
        {ECONNREFUSED, "PLC refused the connection while "},
        {ENETUNREACH, "PLC is unreachable while "},
        {EHOSTUNREACH, "PLC is unreachable while "},
        {EHOSTDOWN, "PLC is not responding while "},
        {ENETDOWN, "Network is down while "},
        {ENFILE, "Too many open connections while "},
        {EMFILE, "Too many open connections while "},
        {EINVAL, "Communication error while "},
        {-1, "Communication error while "},
    };
    for (const Case& c : cases) {
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
    EXPECT_EQ(timeoutOf(nullptr, "700"), 700);
    EXPECT_EQ(timeoutOf("abc", "0"), 10000);
    EXPECT_EQ(timeoutOf(nullptr, nullptr), 10000);
}
