// Golden frames for the simulated PLC's protocol, so that a driver that passes against the
// simulator speaks the CAMP frames byte for byte as the 2572 module does.
#include "camp_handler.h"
#include "plc_memory.h"
#include "request_assembler.h"
#include "sim_test_support.h"
#include "simulated_plc.h"

#include <gtest/gtest.h>

using namespace camp_sim;

namespace {

// One request against the example memory: the reply byte for byte and, when given, words
// ("V100=1234 K100=5555") that must hold afterwards.
struct GoldenCase
{
    const char* name;
    const char* request;
    const char* reply;
    const char* after = "";
    void (*fault)(ReplyFaults&) = nullptr;
};

PlcMemory exampleMemory()
{
    PlcMemory memory;
    memory.setWord(kClassV, 1, 0x1234);
    for (quint32 address = 99; address <= 102; ++address) {
        memory.setWord(kClassV, address, 0xAAAA);
    }
    memory.setWord(kClassK, 100, 0x5555);
    memory.setWord(kClassSTW, 259, 812);
    memory.setWord(kClassSTW, 260, 4);
    memory.setWord(kClassSTW, 261, 10);
    return memory;
}

void errorAtV101(ReplyFaults& faults)
{
    faults.errorAddresses.append({kClassV, 101});
}

} // namespace

TEST(CampHandler, AnswersGoldenFrames)
{
    const GoldenCase cases[] = {
        // The worked examples: one V word, the identity status words, a write of two words.
        {"read V1", "[0400010000010100010368]", "[0500010000010112340372]"},
        {"read STW259-261", "[04001A000103010003037E]", "[05001A00010303032C0004000A052B]"},
        {"write V100-101", "[06000100006402123400FF0469]", "[0700010000640202B4]",
         "V99=AAAA V100=1234 V101=00FF V102=AAAA K100=5555"},
        {"V65536 is the last V word", "[0400010100000100010368]", "[0500010100000100000368]"},
        // Refusals, in the order the checks run; none of them changes memory.
        {"bad BCC gives the BCC expected", "[0400010000010100010369]",
         "[05FF0100000100000000000274036805F1]"},
        {"unknown class 03", "[040003000001010001036A]", "[05FF0300000100000000000275000005E3]"},
        {"past the end of V", "[0400010100000100020369]", "[05FF0101000000000000000290000005DE]"},
        {"write past the end of V", "[06000101000002AAAABBBB04B6]",
         "[07FF0101000000000000000290000005E0]", "V65536=0000"},
        {"V0 does not exist", "[0400010000000100010367]", "[05FF0100000000000000000290000005DD]"},
        {"read count 0", "[0400010000010100000367]", "[05FF0100000100000000000271000005DD]"},
        {"read count 257", "[0400010000010101010369]", "[05FF0100000100000000000272000005DE]"},
        {"write count 0", "[0600010000640002B1]", "[07FF0100006400000000000271000005E8]"},
        {"lower-case hex", "[04000a0000010100010398]", "[05FF0000000000000000000276000605E6]"},
        {"odd character count", "[04000100000101000100398]",
         "[05FF0100000100000000000277000005E3]"},
        {"write shorter than its count", "[060001000064021234037D]",
         "[07FF0100006400000000000277000005EE]", "V100=AAAA"},
        {"unknown command 08", "[080001000001010001036C]", "[05FF0100000100000000000291000005DF]"},
        {"missing ]", "[0400010000010100010368", "[05FF0100000100000000000273000005DF]"},
        {"missing [", "0400010000010100010368]", "[05FF0000000000000000000273000005DD]"},
        // Faults that change what a reply says.
        {"short reply", "[04001A000103010003037E]", "[05001A00010301032C0394]", "",
         [](ReplyFaults& f) { f.shortReplyWords = 1; }},
        {"error address inside the block", "[0400010000640100030373]",
         "[05FF0100006400000000000292000005E9]", "", errorAtV101},
        {"error address after the block", "[0400010000630100010370]", "[05000100006301AAAA03B4]",
         "", errorAtV101},
        {"error address before the block", "[0400010000660100010373]", "[05000100006601AAAA03B7]",
         "", errorAtV101},
        {"a module that reads 2 words refuses 3", "[0400010000640100030373]",
         "[05FF0100006400000000000272000205E9]", "", [](ReplyFaults& f) { f.maxReadWords = 2; }},
        {"a module that reads 2 words answers 2", "[0400010000640100020372]",
         "[05000100006402AAAAAAAA04BA]", "", [](ReplyFaults& f) { f.maxReadWords = 2; }},
        // A reply that answers the wrong request, for the driver's checks (the others are on the
        // wire in the simulated PLC's test).
        {"reply for the next address", "[0400010000010100010368]", "[0500010000020100000369]", "",
         [](ReplyFaults& f) { f.readReplyAddressOffset = 1; }},
        {"read reply to a write, which is carried out", "[06000100006402123400FF0469]",
         "[05000100006402123400FF0468]", "V100=1234",
         [](ReplyFaults& f) { f.readReplyToWrite = true; }},
    };
    for (const GoldenCase& c : cases) {
        PlcMemory memory = exampleMemory();
        ReplyFaults faults;
        if (c.fault) {
            c.fault(faults);
        }
        EXPECT_EQ(QByteArray(c.reply), handleRequest(QByteArray(c.request), memory, faults))
            << c.name << "\n  request  " << c.request;
        EXPECT_EQ(c.after,
                  wordsHeld(c.after, [&](int cls, quint32 a) { return memory.word(cls, a); }))
            << c.name;
    }
}

TEST(CampHandler, LongestFramesBothWays)
{
    PlcMemory memory;
    QByteArray words, write = "060001000001FF";
    for (int address = 1; address <= 256; ++address) {
        memory.setWord(kClassV, static_cast<quint32>(address), static_cast<quint16>(address));
        words += QByteArray::number(address, 16).toUpper().rightJustified(4, '0');
        write += address <= 255 ? "0001" : "";
    }
    // A 256-word read: count field 00; the BCC was worked out by hand from the same bytes.
    EXPECT_EQ(QByteArray("[05000100000100") + words + "D6E8]",
              handleRequest("[0400010000010101000368]", memory));
    // A 255-word write is the longest request; its count field is FF.
    ASSERT_EQ(static_cast<int>(kMaxRequestSize), withBcc(write).size());
    EXPECT_EQ(withBcc("070001000001FF"), handleRequest(withBcc(write), memory));
    EXPECT_EQ(1, memory.word(kClassV, 255));
    EXPECT_EQ(256, memory.word(kClassV, 256));
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

    // A request that never ends is cut off at the longest request; the rest of it, up to its
    // "]", is dropped, and the next request is whole.
    RequestAssembler assembler;
    std::string frame;
    const std::string endless = "[" + std::string(5000, '0');
    assembler.append(endless.data(), endless.size());
    ASSERT_TRUE(assembler.next(frame));
    EXPECT_EQ(kMaxRequestSize, frame.size());
    EXPECT_FALSE(assembler.next(frame));
    assembler.append("0][0400010000010100010368]", 26);
    ASSERT_TRUE(assembler.next(frame));
    EXPECT_EQ("[0400010000010100010368]", frame);
    EXPECT_LT(assembler.pendingBytes(), 8u);
}
