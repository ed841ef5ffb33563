// What the soak uses to steer a camp-sim process and to check what it saw: the command lines of
// --commands and their mistakes, and the write journal that keeps written words through a restart.
// The soak itself runs them in a camp-sim process (and checks its oracle pattern in its own test).
#include "control_commands.h"
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
                                      "error-address=k7 junk-before-reply=]] "
                                      "garbled-digit-percent=30 foreign-write-reply=1 "
                                      "connection-limit=2 silent-beyond=1",
                                      plc));
    Faults faults = plc.faults();
    EXPECT_EQ(1500, faults.latencyMs);
    EXPECT_TRUE(faults.duplicateReadReply);
    EXPECT_EQ(-40, faults.readReplyAddressOffset);
    EXPECT_EQ((QList<QPair<int, quint32>>{{kClassV, 100}, {kClassK, 7}}), faults.errorAddresses);
    EXPECT_EQ(QByteArray("]]"), faults.junkBeforeReply);
    EXPECT_EQ(30, faults.garbledDigitPercent);
    EXPECT_TRUE(faults.foreignWriteReply);
    EXPECT_EQ(2, faults.connectionLimit);
    EXPECT_EQ(1, faults.silentBeyond);

    for (const char* bad : {"faults silent=2", "faults silent", "faults latency-ms=-1",
                            "faults no-such-fault=1", "faults silent=1 error-address=Q9",
                            "faults garbled-digit-percent=101", "faults silent-beyond=-1"}) {
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

// A journal line a word list; an unfinished last line (a PLC killed mid-write) is left out, and a
// journal that names words the PLC does not have is refused.
TEST(WriteJournal, LinesRoundTripAndAnUnfinishedLastLineIsLeftOut)
{
    EXPECT_EQ(QByteArray("WY2001 0005 ABCD\n"), journalLine({kClassWY, 2001, {0x0005, 0xABCD}}));
    for (const char* bad : {"", "V1", "V1 12345", "Q1 0001", "V1 00g1", "1 0001"}) {
        JournalEntry parsed;
        EXPECT_FALSE(parseJournalLine(bad, &parsed)) << bad;
    }
    QTemporaryDir folder;
    const QString path = folder.filePath("journal");
    QList<JournalEntry> entries;
    QString error;
    EXPECT_TRUE(readJournal(path, &entries, &error)); // none yet
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("WY2001 0005 ABCD\nV100 0002\nV1");
    file.close();
    ASSERT_TRUE(readJournal(path, &entries, &error)) << error.toStdString();
    ASSERT_EQ(2, entries.size());
    EXPECT_EQ(kClassWY, entries[0].addressClass);
    EXPECT_EQ(2001u, entries[0].address);
    EXPECT_EQ((QList<quint16>{5, 0xABCD}), entries[0].words);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("V70000 0001\n");
    file.close();
    SimulatedPlc tooSmall;
    EXPECT_FALSE(attachWriteJournal(path, tooSmall, &error));
}
