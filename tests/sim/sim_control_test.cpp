// What a test uses to steer a camp-sim process and to check what it saw: the command lines of
// --commands against a real simulated PLC, the oracle pattern that tells a word's place and time,
// and the write journal that keeps written words through a restart.
#include "control_commands.h"
#include "oracle_pattern.h"
#include "plc_memory.h"
#include "sim_test_client.h"
#include "simulated_plc.h"
#include "write_journal.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace camp_sim;

TEST(ControlCommands, FaultsAreReplacedWholeAndOnlyByALineWithoutMistakes)
{
    SimulatedPlc plc;
    EXPECT_EQ("ok", runControlCommand("faults latency-ms=1500 duplicate-read-reply=1 "
                                      "read-reply-address-offset=-40 error-address=V100 "
                                      "error-address=k7 junk-before-reply=]]",
                                      plc));
    Faults faults = plc.faults();
    EXPECT_EQ(1500, faults.latencyMs);
    EXPECT_TRUE(faults.duplicateReadReply);
    EXPECT_EQ(-40, faults.readReplyAddressOffset);
    EXPECT_EQ((QList<QPair<int, quint32>>{{kClassV, 100}, {kClassK, 7}}), faults.errorAddresses);
    EXPECT_EQ(QByteArray("]]"), faults.junkBeforeReply);

    for (const char* bad : {"faults silent=2", "faults silent", "faults latency-ms=-1",
                            "faults no-such-fault=1", "faults silent=1 error-address=Q9"}) {
        EXPECT_TRUE(runControlCommand(bad, plc).startsWith("error: ")) << bad;
        EXPECT_EQ(1500, plc.faults().latencyMs) << bad; // unchanged
    }
    EXPECT_EQ("ok", runControlCommand("faults silent=1", plc));
    EXPECT_TRUE(plc.faults().silent);
    EXPECT_EQ(0, plc.faults().latencyMs); // everything not named is off
    EXPECT_EQ("ok", runControlCommand("faults", plc));
    EXPECT_FALSE(plc.faults().silent);
}

TEST(ControlCommands, SetReadStatusAndMistakes)
{
    SimulatedPlc plc;
    EXPECT_EQ("ok", runControlCommand("set V100 1234 ff 0", plc));
    EXPECT_EQ("ok 1234 00FF 0000", runControlCommand("read v100 3", plc));
    EXPECT_EQ("ok 1234", runControlCommand("  read   V100  ", plc));
    EXPECT_EQ("ok open 0 accepted 0 refused 0 requests 0", runControlCommand("status", plc));
    for (const char* bad :
         {"", "nonsense", "set V100", "set V100 12345", "set V65537 1", "read V0", "read V100 257",
          "read Q1", "status now", "scan-time-ms 10", "scan-time-ms x"}) {
        EXPECT_TRUE(runControlCommand(bad, plc).startsWith("error: ")) << bad;
    }
    EXPECT_EQ("ok 1234", runControlCommand("read V100", plc));
}

TEST(ControlCommands, StretchTheScanAndDropConnectionsOfARunningPlc)
{
    PlcConfig config;
    config.scanTimeMs = 3600 * 1000;
    SimulatedPlc plc(config);
    ASSERT_TRUE(plc.start());
    TestClient client(plc.port());
    ASSERT_TRUE(client.send("[04001A000103010003037E]"));
    ASSERT_TRUE(plc.waitForRequests(1));
    EXPECT_EQ("ok", runControlCommand("scan-time-ms 1", plc));
    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), client.readUntilFrameEnd());
    EXPECT_EQ("ok open 1 accepted 1 refused 0 requests 1", runControlCommand("status", plc));
    EXPECT_EQ("ok", runControlCommand("drop-connections", plc));
    EXPECT_TRUE(client.readToEnd());
}

TEST(OraclePattern, EachWordTellsItsPlaceAndGeneration)
{
    // Neighbours, the same address in another class and words a block apart all differ.
    const quint8 v100 = patternMark(kClassV, 100);
    for (const auto& other : {std::make_pair(int(kClassV), 101u),
                              {kClassV, 99u},
                              {kClassK, 100u},
                              {kClassV, 356u},
                              {kClassV, 100u + 65536u}}) {
        EXPECT_NE(v100, patternMark(other.first, other.second))
            << other.first << " " << other.second;
    }

    const quint16 word = patternWord(kClassV, 100, 7);
    EXPECT_EQ(v100, word >> 8);
    EXPECT_TRUE(isPatternWordWithin(word, kClassV, 100, 7, 7));
    EXPECT_TRUE(isPatternWordWithin(word, kClassV, 100, 5, 9));
    EXPECT_TRUE(isPatternWordWithin(word, kClassV, 100, 256 + 5, 256 + 9)); // the round wraps
    EXPECT_TRUE(isPatternWordWithin(patternWord(kClassV, 100, 1), kClassV, 100, 250, 260));
    EXPECT_FALSE(isPatternWordWithin(word, kClassV, 100, 8, 9));          // too old
    EXPECT_FALSE(isPatternWordWithin(word, kClassV, 100, 3, 6));          // not yet
    EXPECT_FALSE(isPatternWordWithin(word, kClassV, 101, 7, 7));          // another word's
    EXPECT_TRUE(isPatternWordWithin(word, kClassV, 100, 100, 100 + 255)); // a whole round
}

TEST(OraclePattern, RangesAndTheProgramThatFillsThem)
{
    QList<WordRange> ranges;
    QString error;
    ASSERT_TRUE(parseWordRanges("V1-3, wx17", &ranges, &error)) << error.toStdString();
    ASSERT_EQ(2, ranges.size());
    EXPECT_EQ(kClassWX, ranges[1].addressClass);
    EXPECT_EQ(17u, ranges[1].first);
    EXPECT_EQ(17u, ranges[1].last);
    for (const char* bad : {"", "V", "V3-1", "V0-2", "Q1-2", "V1-2,"}) {
        EXPECT_FALSE(parseWordRanges(bad, &ranges, &error)) << bad;
    }

    ASSERT_TRUE(parseWordRanges("V1-3,WX17", &ranges, &error));
    PlcMemory memory;
    memory.setWord(kClassV, 4, 0xBEEF);
    OraclePattern pattern(ranges);
    pattern.apply(memory, 9);
    for (quint32 address = 1; address <= 3; ++address) {
        EXPECT_EQ(patternWord(kClassV, address, 9), memory.word(kClassV, address));
    }
    EXPECT_EQ(patternWord(kClassWX, 17, 9), memory.word(kClassWX, 17));
    EXPECT_EQ(0xBEEF, memory.word(kClassV, 4)); // outside the ranges: left alone
    pattern.apply(memory, 10);
    EXPECT_EQ(patternWord(kClassV, 2, 10), memory.word(kClassV, 2));
}

TEST(WriteJournal, LinesRoundTripAndAnUnfinishedLastLineIsLeftOut)
{
    const JournalEntry entry{kClassWY, 2001, {0x0005, 0xABCD}};
    EXPECT_EQ(QByteArray("WY2001 0005 ABCD\n"), journalLine(entry));
    JournalEntry parsed;
    ASSERT_TRUE(parseJournalLine("WY2001 0005 ABCD\n", &parsed));
    EXPECT_EQ(kClassWY, parsed.addressClass);
    EXPECT_EQ(2001u, parsed.address);
    EXPECT_EQ(entry.words, parsed.words);
    for (const char* bad : {"", "V1", "V1 12345", "Q1 0001", "V1 00g1", "1 0001"}) {
        EXPECT_FALSE(parseJournalLine(bad, &parsed)) << bad;
    }

    QTemporaryDir folder;
    const QString path = folder.filePath("journal");
    QList<JournalEntry> entries;
    QString error;
    EXPECT_TRUE(readJournal(path, &entries, &error)); // none yet
    EXPECT_TRUE(entries.isEmpty());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("V100 0001\nV100 0002\nV1");
    file.close();
    ASSERT_TRUE(readJournal(path, &entries, &error)) << error.toStdString();
    ASSERT_EQ(2, entries.size());
    EXPECT_EQ(QList<quint16>{2}, entries[1].words);
}

// A PLC with a journal keeps what it was written through a restart, the way a battery-backed PLC
// keeps its memory through a power cycle.
TEST(WriteJournal, APlcKeepsItsWrittenWordsThroughARestart)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("journal");
    QString error;
    {
        SimulatedPlc plc;
        ASSERT_TRUE(attachWriteJournal(path, plc, &error)) << error.toStdString();
        ASSERT_TRUE(plc.start());
        TestClient client(plc.port());
        EXPECT_EQ(QByteArray("[0700010000640202B4]"),
                  client.exchange("[06000100006402123400FF0469]"));
    }
    SimulatedPlc restarted;
    ASSERT_TRUE(attachWriteJournal(path, restarted, &error)) << error.toStdString();
    EXPECT_EQ(0x1234, restarted.word(kClassV, 100));
    EXPECT_EQ(0x00FF, restarted.word(kClassV, 101));

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("V70000 0001\n");
    file.close();
    SimulatedPlc tooSmall;
    EXPECT_FALSE(attachWriteJournal(path, tooSmall, &error));
}
