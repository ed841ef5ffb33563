// The camp-sim program as a script uses it: port 0 reported on start, presets and options in
// memory, one PLC per listener, a clean exit on SIGTERM and SIGINT, and help that names the codes.
#include "sim_test_client.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include "oracle_pattern.h"
#include "program_line.h"
#include "simulated_plc.h"

#include <csignal>

namespace {

// The ports from the "listening on" lines, once `count` of them were printed.
QList<quint16> listeningPorts(QProcess& process, int count)
{
    static const QRegularExpression line(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QList<quint16> ports;
    QByteArray output;
    while (ports.size() < count && process.waitForReadyRead(TestClient::kPatienceMs)) {
        output += process.readAllStandardOutput();
        ports.clear();
        auto matches = line.globalMatch(QString::fromUtf8(output));
        while (matches.hasNext()) {
            ports.append(static_cast<quint16>(matches.next().captured(1).toUInt()));
        }
    }
    return ports;
}

// One command line to the program, and the line it answers with.
QByteArray command(QProcess& process, const QByteArray& line)
{
    process.write(line + "\n");
    while (!process.canReadLine() && process.waitForReadyRead(TestClient::kPatienceMs)) {
    }
    return process.readLine().trimmed();
}

QStringList steeredPlcArguments(const QString& journal)
{
    return {QStringLiteral("--listen"),
            QStringLiteral("127.0.0.1:0"),
            QStringLiteral("--commands"),
            QStringLiteral("--scan-time-ms"),
            QStringLiteral("2"),
            QStringLiteral("--journal"),
            journal,
            QStringLiteral("--oracle-pattern"),
            QStringLiteral("V1-10")};
}

} // namespace

// A test steers camp-sim through its standard input, reads the oracle pattern over TCP, and finds
// every write in the journal, which a killed and restarted PLC replays.
TEST(CampSimProgram, TakesCommandsKeepsAJournalAndShowsThePattern)
{
    QTemporaryDir folder;
    const QString journal = folder.filePath(QStringLiteral("plc.journal"));
    QProcess process;
    startProgram(process, QStringLiteral(CAMP_SIM_PATH), steeredPlcArguments(journal));
    const QList<quint16> ports = listeningPorts(process, 1);
    ASSERT_EQ(1, ports.size()) << process.readAllStandardError().toStdString();

    EXPECT_EQ("ok", command(process, "set V100 1234"));
    TestClient client(ports[0]);
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
    EXPECT_EQ("ok", command(process, "scan-time-ms 50"));
    EXPECT_TRUE(command(process, "faults loud=1").startsWith("error: "));

    process.kill(); // SIGKILL: no chance to save anything
    ASSERT_TRUE(process.waitForFinished(TestClient::kPatienceMs));
    QProcess restarted;
    startProgram(restarted, QStringLiteral(CAMP_SIM_PATH), steeredPlcArguments(journal));
    ASSERT_EQ(1, listeningPorts(restarted, 1).size());
    EXPECT_EQ("ok 0005", command(restarted, "read V200"));
    EXPECT_EQ("ok 0000", command(restarted, "read V100")); // set by hand: not kept

    restarted.closeWriteChannel(); // the end of the commands stops it
    ASSERT_TRUE(restarted.waitForFinished(TestClient::kPatienceMs));
    EXPECT_EQ(0, restarted.exitCode());
    EXPECT_TRUE(restarted.readAll().contains("camp-sim stopping (end of input)"));

    QProcess twoPlcs;
    startProgram(twoPlcs, QStringLiteral(CAMP_SIM_PATH),
                 steeredPlcArguments(journal) +
                     QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    ASSERT_TRUE(twoPlcs.waitForFinished(TestClient::kPatienceMs));
    EXPECT_EQ(2, twoPlcs.exitCode());
}

TEST(CampSimProgram, ServesEveryListenerUntilSignalled)
{
    QTemporaryFile preset;
    ASSERT_TRUE(preset.open());
    preset.write(R"({"words": {"V1": "BEEF"}, "serial": 5})");
    preset.flush();

    for (int signal : {SIGTERM, SIGINT}) {
        QProcess process;
        startProgram(process, QStringLiteral(CAMP_SIM_PATH),
                     {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                      QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                      QStringLiteral("--preset"), preset.fileName(), QStringLiteral("--serial"),
                      QStringLiteral("812"), QStringLiteral("--firmware"), QStringLiteral("4.10")});
        const QList<quint16> ports = listeningPorts(process, 2);
        ASSERT_EQ(2, ports.size()) << process.readAllStandardError().toStdString();

        // The option beats the preset's serial; the second PLC counts one up.
        TestClient first(ports[0]), second(ports[1]);
        EXPECT_EQ(QByteArray("[05001A00010303032C0004000A052B]"),
                  first.exchange("[04001A000103010003037E]"));
        EXPECT_EQ(QByteArray("[05001A00010303032D0004000A052C]"),
                  second.exchange("[04001A000103010003037E]"));
        EXPECT_EQ(QByteArray("[05000100000101BEEF03BA]"),
                  second.exchange("[0400010000010100010368]"));

        ::kill(static_cast<pid_t>(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(TestClient::kPatienceMs));
        EXPECT_EQ(QProcess::NormalExit, process.exitStatus());
        EXPECT_EQ(0, process.exitCode());
        EXPECT_TRUE(first.readToEnd());
    }
}

TEST(CampSimProgram, ExplainsItselfAndRejectsBadOptions)
{
    QProcess help;
    startProgram(help, QStringLiteral(CAMP_SIM_PATH), {QStringLiteral("--help")});
    ASSERT_TRUE(help.waitForFinished(TestClient::kPatienceMs));
    EXPECT_EQ(0, help.exitCode());
    const QString text = QString::fromUtf8(help.readAllStandardOutput());
    for (const char* expected : {"--listen", "--serial", "--firmware", "--preset", "--latency-ms",
                                 "--verbose", "0271", "0274", "0277", "0290"}) {
        EXPECT_TRUE(text.contains(QLatin1String(expected))) << expected;
    }

    const QStringList bad[] = {
        {QStringLiteral("--listen"), QStringLiteral("nowhere")},
        {QStringLiteral("--firmware"), QStringLiteral("four")},
        {QStringLiteral("--serial"), QStringLiteral("70000")},
        {QStringLiteral("--preset"), QStringLiteral("/nonexistent/preset.json")},
        {QStringLiteral("--no-such-option")},
    };
    for (const QStringList& arguments : bad) {
        QProcess process;
        startProgram(process, QStringLiteral(CAMP_SIM_PATH), arguments);
        ASSERT_TRUE(process.waitForFinished(TestClient::kPatienceMs));
        EXPECT_EQ(2, process.exitCode()) << arguments.join(' ').toStdString();
        EXPECT_FALSE(process.readAllStandardError().isEmpty());
    }
}
