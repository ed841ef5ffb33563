// Golden frames for the simulated PLC's protocol: every reply byte for byte, so that a driver
// that passes against the simulator speaks the CAMP frames as the 2572 module does.
#include "camp_handler.h"
#include "plc_memory.h"
#include "request_assembler.h"
#include "simulated_plc.h"

#include <gtest/gtest.h>

using namespace camp_sim;

namespace {

PlcMemory exampleMemory()
{
    PlcMemory memory;
    memory.setWord(kClassV, 1, 0x1234);
    memory.setWord(kClassSTW, 259, 812);
    memory.setWord(kClassSTW, 260, 4);
    memory.setWord(kClassSTW, 261, 10);
    return memory;
}

struct GoldenCase
{
    const char* name;
    const char* request;
    const char* reply;
};

} // namespace

TEST(CampHandler, AnswersGoldenFrames)
{
    const GoldenCase cases[] = {
        // The worked examples: one V word at 1, and the identity status words 259 to 261.
        {"read V1", "[0400010000010100010368]", "[0500010000010112340372]"},
        {"read STW259-261", "[04001A000103010003037E]", "[05001A00010303032C0004000A052B]"},
        {"read last STW word", "[04001A000400010001037C]", "[05001A000400010000037C]"},
        {"bad BCC gives the BCC expected", "[0400010000010100010369]",
         "[05FF0100000100000000000274036805F1]"},
        {"unknown class 03", "[040003000001010001036A]", "[05FF0300000100000000000275000005E3]"},
        {"V65536 is the last V word", "[0400010100000100010368]", "[0500010100000100000368]"},
        {"past the end of V", "[0400010100000100020369]", "[05FF0101000000000000000290000005DE]"},
        {"V0 does not exist", "[0400010000000100010367]", "[05FF0100000000000000000290000005DD]"},
        {"read count 0", "[0400010000010100000367]", "[05FF0100000100000000000271000005DD]"},
        {"read count 257", "[0400010000010101010369]", "[05FF0100000100000000000272000005DE]"},
        {"write count 0", "[0600010000640002B1]", "[07FF0100006400000000000271000005E8]"},
        {"lower-case hex", "[04000a0000010100010398]", "[05FF0000000000000000000276000605E6]"},
        {"odd character count", "[04000100000101000100398]",
         "[05FF0100000100000000000277000005E3]"},
        {"write shorter than its count", "[060001000064021234037D]",
         "[07FF0100006400000000000277000005EE]"},
        {"unknown command 08", "[080001000001010001036C]", "[05FF0100000100000000000291000005DF]"},
        {"missing ]", "[0400010000010100010368", "[05FF0100000100000000000273000005DF]"},
        {"missing [", "0400010000010100010368]", "[05FF0000000000000000000273000005DD]"},
    };
    for (const GoldenCase& c : cases) {
        PlcMemory memory = exampleMemory();
        EXPECT_EQ(QByteArray(c.reply), handleRequest(QByteArray(c.request), memory))
            << c.name << "\n  request  " << c.request;
    }
}

TEST(CampHandler, WriteChangesExactlyTheWordsNamed)
{
    PlcMemory memory;
    for (quint32 address = 98; address <= 103; ++address) {
        memory.setWord(kClassV, address, 0xAAAA);
    }
    memory.setWord(kClassK, 100, 0x5555);

    // The worked example: 1234 and 00FF to V100.
    EXPECT_EQ(QByteArray("[0700010000640202B4]"),
              handleRequest("[06000100006402123400FF0469]", memory));
    EXPECT_EQ(0xAAAA, memory.word(kClassV, 99));
    EXPECT_EQ(0x1234, memory.word(kClassV, 100));
    EXPECT_EQ(0x00FF, memory.word(kClassV, 101));
    EXPECT_EQ(0xAAAA, memory.word(kClassV, 102));
    EXPECT_EQ(0x5555, memory.word(kClassK, 100)); // same address, other class

    // A refused write leaves memory alone, even for the words that were in range.
    PlcMemory small(QMap<int, quint32>{{kClassV, 3}});
    EXPECT_EQ(QByteArray("[07FF0100000300000000000290000005E2]"),
              handleRequest("[06000100000302AAAABBBB04B8]", small));
    EXPECT_EQ(0, small.word(kClassV, 3));
}

TEST(CampHandler, ReadsTheFullBlockOf256Words)
{
    PlcMemory memory;
    for (quint32 address = 1; address <= 256; ++address) {
        memory.setWord(kClassV, address, static_cast<quint16>(address));
    }
    const QByteArray reply = handleRequest("[0400010000010101000368]", memory);

    QByteArray words;
    for (int address = 1; address <= 256; ++address) {
        words += QByteArray::number(address, 16).toUpper().rightJustified(4, '0');
    }
    // Count field 00 stands for 256; the BCC was worked out by hand from the same bytes.
    EXPECT_EQ(QByteArray("[05000100000100") + words + "D6E8]", reply);
    EXPECT_EQ(20 + 4 * 256, reply.size());
}

TEST(CampHandler, ReplyFaultsChangeWhatTheReplySays)
{
    PlcMemory memory = exampleMemory();
    ReplyFaults shortReply;
    shortReply.shortReplyWords = 1;
    EXPECT_EQ(QByteArray("[05001A00010301032C0394]"),
              handleRequest("[04001A000103010003037E]", memory, shortReply));

    ReplyFaults errorAtV101;
    errorAtV101.errorAddresses.append({kClassV, 101});
    // V100 to V102 touches V101; V99 and V102 alone do not.
    EXPECT_EQ(QByteArray("[05FF0100006400000000000292000005E9]"),
              handleRequest("[0400010000640100030373]", memory, errorAtV101));
    EXPECT_TRUE(handleRequest("[0400010000630100010370]", memory, errorAtV101).startsWith("[0500"));
    EXPECT_TRUE(handleRequest("[0400010000660100010373]", memory, errorAtV101).startsWith("[0500"));
    // Writes fail the same way, with the write's reply code.
    EXPECT_TRUE(
        handleRequest("[06000100006402123400FF0469]", memory, errorAtV101).startsWith("[07FF"));
    EXPECT_EQ(0, memory.word(kClassV, 100));

    // Replies that answer the wrong request, for the driver's checks.
    ReplyFaults duplicate;
    duplicate.duplicateReadReply = true;
    EXPECT_EQ(QByteArray("[0500010000010112340372][0500010000010112340372]"),
              handleRequest("[0400010000010100010368]", memory, duplicate));
    ReplyFaults nextAddress;
    nextAddress.readReplyAddressOffset = 1;
    EXPECT_EQ(QByteArray("[0500010000020100000369]"),
              handleRequest("[0400010000010100010368]", memory, nextAddress));
    ReplyFaults nonHex;
    nonHex.nonHexInReplyWords = true;
    EXPECT_EQ(QByteArray("[050001000001011G340387]"),
              handleRequest("[0400010000010100010368]", memory, nonHex));
    ReplyFaults readReplyToWrite;
    readReplyToWrite.readReplyToWrite = true;
    EXPECT_EQ(QByteArray("[05000100006402123400FF0468]"),
              handleRequest("[06000100006402123400FF0469]", memory, readReplyToWrite));
    EXPECT_EQ(0x1234, memory.word(kClassV, 100)); // the write itself was carried out
}

TEST(CampHandler, WritesOfEveryLengthFitTheirLayout)
{
    // A 255-word write is the longest request; its count field is FF.
    PlcMemory memory;
    QByteArray body = "060001000001FF";
    for (int i = 0; i < 255; ++i) {
        body += "0001";
    }
    quint32 sum = 0;
    for (char c : body) {
        sum += static_cast<unsigned char>(c);
    }
    const QByteArray bcc = QByteArray::number(sum & 0xFFFF, 16).toUpper().rightJustified(4, '0');
    const QByteArray request = "[" + body + bcc + "]";
    ASSERT_EQ(static_cast<int>(kMaxRequestSize), request.size());
    EXPECT_TRUE(handleRequest(request, memory).startsWith("[070001000001FF"));
    EXPECT_EQ(1, memory.word(kClassV, 255));
    EXPECT_EQ(0, memory.word(kClassV, 256));
}

// The assembler must cut a stream into the same requests however it is split.
TEST(RequestAssembler, CutsFramesOutOfAnyStream)
{
    const std::string stream = "junk[0400010000010100010368]\r\n[04001A000103010003037E]"
                               "[0400[04001A000103010003037E]stray]";
    const std::vector<std::string> expected = {"[0400010000010100010368]",
                                               "[04001A000103010003037E]", "[0400",
                                               "[04001A000103010003037E]", "stray]"};
    for (size_t piece : {size_t(1), size_t(3), size_t(7), stream.size()}) {
        RequestAssembler assembler;
        std::vector<std::string> frames;
        std::string frame;
        for (size_t offset = 0; offset < stream.size(); offset += piece) {
            assembler.append(stream.data() + offset, std::min(piece, stream.size() - offset));
            while (assembler.next(frame)) {
                frames.push_back(frame);
            }
        }
        EXPECT_EQ(expected, frames) << "pieces of " << piece;
        EXPECT_EQ(0u, assembler.pendingBytes());
    }
}

TEST(RequestAssembler, CutsOffARequestThatNeverEnds)
{
    RequestAssembler assembler;
    std::string frame;
    const std::string endless(5000, '0');
    assembler.append("[", 1);
    assembler.append(endless.data(), endless.size());
    ASSERT_TRUE(assembler.next(frame));
    EXPECT_EQ(kMaxRequestSize, frame.size());
    EXPECT_FALSE(assembler.next(frame));
    // The rest of the overlong request, up to its "]", is dropped; the next request is whole.
    assembler.append("0]", 2);
    assembler.append("[0400010000010100010368]", 24);
    ASSERT_TRUE(assembler.next(frame));
    EXPECT_EQ("[0400010000010100010368]", frame);
    EXPECT_LT(assembler.pendingBytes(), 8u);

    PlcMemory memory;
    EXPECT_EQ(QByteArray("[05FF0000000000000000000273000005DD]"),
              handleRequest(QByteArray(endless.data(), 40).prepend('['), memory));
}
