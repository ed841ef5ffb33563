// What a test or the soak uses to steer a camp-sim process and to check what it saw: the command
// lines of --commands against a real simulated PLC, and the write journal that keeps written words
// through a restart. The oracle pattern is checked by the soak's own oracle test.
#include "control_commands.h"
#include "oracle_pattern.h"
#include "plc_memory.h"
#include "program_line.h"
#include "sim_test_support.h"
#include "simulated_plc.h"
#include "write_journal.h"

#include <QProcess>
#include <QRegularExpression>
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
    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), client.read());
    EXPECT_EQ("ok open 1 accepted 1 refused 0 requests 1", runControlCommand("status", plc));
    EXPECT_EQ("ok", runControlCommand("drop-connections", plc));
    EXPECT_TRUE(client.readToEnd());
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

namespace {

// One command line to the program, and the line it answers with.
QByteArray command(QProcess& process, const QByteArray& line)
{
    process.write(line + "\n");
    while (!process.canReadLine() && process.waitForReadyRead(TestClient::kPatienceMs)) {
    }
    return process.readLine().trimmed();
}

// The port of a camp-sim that was started on port 0, from its "listening on" line.
quint16 listeningPort(QProcess& process)
{
    const QRegularExpression line(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    if (!process.waitForStarted(TestClient::kPatienceMs)) {
        return 0;
    }
    QString output;
    while (process.canReadLine() || process.waitForReadyRead(TestClient::kPatienceMs)) {
        output += QString::fromUtf8(process.readLine());
        const QRegularExpressionMatch match = line.match(output);
        if (match.hasMatch()) {
            return static_cast<quint16>(match.captured(1).toUInt());
        }
    }
    return 0;
}

void startSteeredPlc(QProcess& process, const QString& journal,
                     const QStringList& more = QStringList())
{
    startProgram(process, QStringLiteral(CAMP_SIM_PATH),
                 QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                             QStringLiteral("--commands"), QStringLiteral("--scan-time-ms"),
                             QStringLiteral("2"), QStringLiteral("--journal"), journal,
                             QStringLiteral("--oracle-pattern"), QStringLiteral("V1-10")} +
                     more);
}

} // namespace

// A test steers camp-sim through its standard input, reads the oracle pattern over TCP, and finds
// every write in the journal, which a killed and restarted PLC replays.
TEST(CampSimProgram, TakesCommandsKeepsAJournalAndShowsThePattern)
{
    QTemporaryDir folder;
    const QString journal = folder.filePath(QStringLiteral("plc.journal"));
    QProcess process;
    startSteeredPlc(process, journal);
    const quint16 port = listeningPort(process);
    ASSERT_NE(0, port) << process.readAllStandardError().toStdString();

    EXPECT_EQ("ok", command(process, "set V100 1234"));
    TestClient client(port);
    EXPECT_EQ(QByteArray("[050001000064011234037B]"), client.exchange("[0400010000640100010371]"));
    const QByteArray patterned = client.exchange("[040001000005010001036C]");
    const quint16 word = static_cast<quint16>(patterned.mid(15, 4).toUInt(nullptr, 16));
    EXPECT_EQ(camp_sim::patternMark(camp_sim::kClassV, 5), word >> 8) << patterned.constData();
    EXPECT_EQ(QByteArray("[0700010000C80102C4]"), client.exchange("[0600010000C80100050388]"));

    QFile file(journal);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QByteArray("V200 0005\n"), file.readAll());
    EXPECT_EQ("ok open 1 accepted 1 refused 0 requests 3", command(process, "status"));
    EXPECT_EQ("ok", command(process, "faults silent=1 latency-ms=10"));
    EXPECT_TRUE(command(process, "faults loud=1").startsWith("error: "));

    process.kill(); // SIGKILL: no chance to save anything
    ASSERT_TRUE(process.waitForFinished(TestClient::kPatienceMs));
    // Started again as another module, with a fault from its first connection on.
    QProcess restarted;
    startSteeredPlc(restarted, journal, {"--faults", " foreign-write-reply=1\tlatency-ms=0 "});
    const quint16 restartedPort = listeningPort(restarted);
    ASSERT_NE(0, restartedPort);
    EXPECT_EQ("ok 0005", command(restarted, "read V200"));
    EXPECT_EQ("ok 0000", command(restarted, "read V100")); // set by hand: not kept
    EXPECT_EQ(QByteArray("[0900010000C80102C6]"),
              TestClient(restartedPort).exchange("[0600010000C8010007038A]"));
    EXPECT_EQ("ok 0007", command(restarted, "read V200"));
    restarted.closeWriteChannel(); // the end of the commands stops it
    ASSERT_TRUE(restarted.waitForFinished(TestClient::kPatienceMs));
    EXPECT_EQ(0, restarted.exitCode());
    EXPECT_TRUE(restarted.readAll().contains("camp-sim stopping (end of input)"));
}
