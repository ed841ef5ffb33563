// The camp-sim program as a script uses it: port 0 reported on start, presets and options in
// memory, one PLC per listener, a clean exit on SIGTERM and SIGINT, and help that names the codes.
#include "sim_test_support.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include "program_line.h"

#include <csignal>

TEST(CampSimProgram, ServesEveryListenerUntilSignalled)
{
    QTemporaryFile preset;
    ASSERT_TRUE(preset.open());
    preset.write(R"({"words": {"V1": "BEEF"}, "serial": 5})");
    preset.flush();
    for (int signal : {SIGTERM, SIGINT}) {
        QProcess process;
        startProgram(process, QStringLiteral(CAMP_SIM_PATH),
                     {"--listen", "127.0.0.1:0", "--listen", "127.0.0.1:0", "--preset",
                      preset.fileName(), "--serial", "812", "--firmware", "4.10"});
        // The ports from the "listening on" lines, once both were printed.
        const QRegularExpression line(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        QList<quint16> ports;
        QString output;
        while (ports.size() < 2 && process.waitForReadyRead(TestClient::kPatienceMs)) {
            output += QString::fromUtf8(process.readAllStandardOutput());
            ports.clear();
            for (auto matches = line.globalMatch(output); matches.hasNext();) {
                ports.append(static_cast<quint16>(matches.next().captured(1).toUInt()));
            }
        }
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
    EXPECT_TRUE(help.readAllStandardOutput().contains("garbled-digit-percent=N"));
    QTemporaryFile badRecording;
    ASSERT_TRUE(badRecording.open());
    badRecording.write("# a recording\n0.000 1 send [0400010000010100010368]\n1.5 1 recv [X]\n");
    badRecording.flush();
    const QStringList bad[] = {{"--listen", "nowhere"},
                               {"--serial", "70000"},
                               {"--preset", "/nonexistent/preset.json"},
                               {"--faults", "silent-beyond=1 loud=1"},
                               {"--max-read-words", "0"},
                               {"--replay", "/nonexistent/recording"},
                               {"--replay", badRecording.fileName()}};
    for (const QStringList& arguments : bad) {
        QProcess process;
        startProgram(process, QStringLiteral(CAMP_SIM_PATH), arguments);
        ASSERT_TRUE(process.waitForFinished(TestClient::kPatienceMs));
        EXPECT_EQ(2, process.exitCode()) << arguments.join(' ').toStdString();
        const QByteArray message = process.readAllStandardError();
        EXPECT_FALSE(message.isEmpty());
        if (arguments.last() == badRecording.fileName()) {
            EXPECT_TRUE(message.contains(": line 3: the time \"1.5\"")) << message.constData();
        }
    }
}

// A recorded module played back: every recorded request gets its recorded reply byte for byte (a
// request recorded twice its replies in order, the last one repeating), a request the recording
// lacks an error reply and one line on standard error, and one the module never answered nothing.
TEST(CampSimProgram, ReplaysARecordedModule)
{
    QProcess process;
    startProgram(process, QStringLiteral(CAMP_SIM_PATH),
                 {"--listen", "127.0.0.1:0", "--replay",
                  QStringLiteral(KIB_TEST_DATA_DIR "/module_recording.txt")});
    const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QString output;
    while (!listening.match(output).hasMatch() &&
           process.waitForReadyRead(TestClient::kPatienceMs)) {
        output += QString::fromUtf8(process.readAllStandardOutput());
    }
    const QRegularExpressionMatch match = listening.match(output);
    ASSERT_TRUE(match.hasMatch()) << process.readAllStandardError().toStdString();

    TestClient client(static_cast<quint16>(match.captured(1).toUInt()));
    const QByteArray block = "[0400010000640100030373]";
    const QByteArray exchanges[][2] = {
        {"[04001A000103010003037E]", "[05001A00010303032C0004000A052B]"},
        {block, "[0500010000640304D20005FFFF056A]"},
        {"[06000100012C01002A0391]", "[07000100012C0102BF]"},
        {block, "[0500010000640304D30005FFFF056B]"},
        {block, "[0500010000640304D30005FFFF056B]"},
        {"[0400010000010100010368]", "\r\n[0500010000010112340372]"},
        {"[0400010000020100010369]", "[05FF0100000200000000000294000005E3]"},
    };
    for (const auto& exchange : exchanges) {
        EXPECT_EQ(client.exchange(exchange[0]), exchange[1]) << exchange[0].constData();
    }
    ASSERT_TRUE(client.send("[0400020000010100010369]"));
    EXPECT_TRUE(client.staysQuiet(300));

    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(TestClient::kPatienceMs));
    EXPECT_EQ(0, process.exitCode());
    EXPECT_EQ(process.readAllStandardError(),
              QByteArray("camp-sim: not in the recording: [0400010000020100010369]\n"));
}
