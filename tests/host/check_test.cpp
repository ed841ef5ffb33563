// Protects kib-host check as a commissioning engineer meets it: against simulated modules of
// several kinds it reports what each does, names the columns to set, never sends a write and
// leaves no connection open.

#include "host_fixture.h"
#include "simulated_plc.h"

#include <QRegularExpression>
#include <QTemporaryDir>

using namespace host_test;
using camp_sim::SimulatedPlc;

namespace {

struct Guise
{
    const char* name;
    camp_sim::PlcConfig config;
    camp_sim::Faults faults;
    QStringList options;
    int exitCode;
    QStringList lines;    // patterns of whole lines of the report; "!" first: no line matches
    bool stopped = false; // nothing listens on the port
};

camp_sim::PlcConfig config(int maxConnections = 24, quint32 vWords = 65536, int scanTimeMs = 0)
{
    camp_sim::PlcConfig config;
    config.serial = 812;
    config.firmwareMajor = 4;
    config.firmwareMinor = 10;
    config.maxConnections = maxConnections;
    config.memorySizes = {{camp_sim::kClassV, vWords}};
    config.scanTimeMs = scanTimeMs;
    return config;
}

camp_sim::Faults noEcho()
{
    camp_sim::Faults faults;
    faults.noEcho = true;
    return faults;
}

camp_sim::Faults readsUpTo(int words)
{
    camp_sim::Faults faults;
    faults.maxReadWords = words;
    return faults;
}

camp_sim::Faults silent()
{
    camp_sim::Faults faults;
    faults.silent = true;
    return faults;
}

bool hasLine(const QString& text, const QString& pattern)
{
    return text.contains(QRegularExpression(pattern, QRegularExpression::MultilineOption));
}

// Every frame the module received is a read request.
void expectReadsOnly(const QList<QByteArray>& frames)
{
    for (const QByteArray& frame : frames) {
        EXPECT_TRUE(frame.startsWith("[04")) << frame.toStdString();
    }
}

TEST(CheckTest, ReportsEachKindOfModuleWithReadsOnly)
{
    const Guise guises[] = {
        {"plain",
         config(),
         {},
         {},
         0,
         {"^identity +serial 812, firmware 4.10$", "^echo of class and address +yes$",
          "^check field \\(BCC\\) +4 hex digits, upper case$",
          "^read of 256 words +256 words, count field 00$", "^largest read +256 words$",
          "^connections at once +8 of 8$",
          "^class 1F \\(unknown\\) +error code 0275, extended code 0000$",
          "^V16777215 \\(past the end\\) +error code 0290, extended code 0000$", "^timeout +1000 ",
          "^connections +7 ", "!^max_block_words"}},
        {"two connections, 100 V words",
         config(2, 100),
         {},
         {"--connections", "4"},
         0,
         {"^connections at once +2 of 4; connection 3: .*clos", "^largest read +64 words$",
          "^read of 256 words +error code 0290, extended code 0000$",
          "^read of 128 words +error code 0290, extended code 0000$", "^connections +1 ",
          "^max_block_words +64 "}},
        {"reads of at most 64 words",
         config(),
         readsUpTo(64),
         {},
         0,
         {"^read of 256 words +error code 0272, extended code 0040$", "^largest read +64 words$",
          "^max_block_words +64 "}},
        {"no echo",
         config(),
         noEcho(),
         {},
         0,
         {"^echo of class and address +no \\(positions 5-12 hold 00000000\\)$",
          "^largest read +256 words$"}},
        {"20 ms scan",
         config(24, 65536, 20),
         {},
         {},
         0,
         {"^round trip \\(20 reads of V1\\) +min ([2-9]|[1-9][0-9]+)\\.[0-9]+ ms",
          "^timeout +[0-9]+ "}},
        {"silent",
         config(),
         silent(),
         {"-t", "500"},
         1,
         {"^Module 127.0.0.1:[0-9]+: not measured: the read of STW259 to STW261: no reply "
          "within 500 ms$",
          "!^timeout"}},
        {"nothing listens",
         config(),
         {},
         {},
         1,
         {"^Module 127.0.0.1:[0-9]+: not measured: refused: nothing listens on port [0-9]+$"},
         true},
    };
    for (const Guise& guise : guises) {
        SCOPED_TRACE(guise.name);
        SimulatedPlc plc(guise.config);
        ASSERT_TRUE(plc.start()) << plc.lastError().toStdString();
        plc.setFaults(guise.faults);
        const QString module = QStringLiteral("127.0.0.1:%1").arg(plc.port());
        if (guise.stopped) {
            plc.stop();
        }
        const Outcome run = runProgram(kibHostLine(QStringList{"check", module} + guise.options));
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, guise.exitCode) << run.err.toStdString();
        for (const QString& line : guise.lines) {
            const bool absent = line.startsWith('!');
            EXPECT_NE(hasLine(run.out, line.mid(absent ? 1 : 0)), absent)
                << line.toStdString() << "\n"
                << run.out.toStdString();
        }
        EXPECT_TRUE(guise.stopped || plc.requestCount() > 0);
        expectReadsOnly(plc.requests());
        EXPECT_TRUE(plc.waitForOpenConnections(0));
    }
}

// The JSON report, and the recording: one line a frame, the frames the module received.
TEST(CheckTest, JsonReportAndRecording)
{
    SimulatedPlc plc(config());
    ASSERT_TRUE(plc.start()) << plc.lastError().toStdString();
    const QTemporaryDir dir;
    const QString recording = dir.filePath(QStringLiteral("check.frames"));
    const Outcome run = runProgram(kibHostLine({"check", "--json", "--record", recording,
                                                QStringLiteral("127.0.0.1:%1").arg(plc.port())}));
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    ASSERT_EQ(run.outLines().size(), 1);
    const QJsonObject report = QJsonDocument::fromJson(run.out.toUtf8()).object();
    EXPECT_TRUE(report["ok"].toBool());
    EXPECT_EQ(report["identity"]["serial"].toString(), QStringLiteral("812"));
    EXPECT_EQ(report["identity"]["firmware"].toString(), QStringLiteral("4.10"));
    EXPECT_TRUE(report["echo"].toBool());
    EXPECT_EQ(report["bcc"].toObject(), (QJsonObject{{"width", 4}, {"case", "upper"}}));
    EXPECT_EQ(report["read_256"].toObject(),
              (QJsonObject{{"result", "answered"}, {"words", 256}, {"count_field", "00"}}));
    EXPECT_EQ(report["round_trip_ms"]["reads"].toInt(), 20);
    EXPECT_EQ(report["largest_read"].toInt(), 256);
    EXPECT_EQ(report["connections"]["taken"].toInt(), 8);
    EXPECT_EQ(report["unknown_class"]["code"].toString(), QStringLiteral("0275"));
    EXPECT_EQ(report["past_end"]["code"].toString(), QStringLiteral("0290"));
    EXPECT_EQ(report["set"].toObject(), (QJsonObject{{"timeout", 1000}, {"connections", 7}}));

    QFile file(recording);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QRegularExpression form(
        QStringLiteral("^[0-9]+\\.[0-9]{3} ([0-9]+) (send|recv) (\\S+)$"));
    QList<QByteArray> sent;
    QSet<QString> connections;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.isEmpty()) {
            continue;
        }
        const QRegularExpressionMatch match = form.match(QString::fromLatin1(line));
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        connections.insert(match.captured(1));
        if (match.captured(2) == QLatin1String("send")) {
            sent.append(match.captured(3).toLatin1());
        }
    }
    EXPECT_EQ(sent, plc.requests()); // every frame sent, in order, and read requests only
    expectReadsOnly(sent);
    EXPECT_EQ(connections.size(), 8);
    EXPECT_TRUE(plc.waitForOpenConnections(0));
}

// A recording of check, played back by camp-sim --replay, is the module again: check reports the
// same (but for the times it measures), and read gets the same value.
TEST(CheckTest, AReplayedRecordingIsTheSameModule)
{
    camp_sim::Faults faults = readsUpTo(64);
    faults.noEcho = true;
    SimulatedPlc plc(config());
    ASSERT_TRUE(plc.start()) << plc.lastError().toStdString();
    plc.setFaults(faults);
    plc.setWord(camp_sim::kClassV, 1, 0x04D2);
    const QTemporaryDir dir;
    const QString recording = dir.filePath(QStringLiteral("module.frames"));
    const Outcome measured = runProgram(kibHostLine(
        {"check", "--record", recording, QStringLiteral("127.0.0.1:%1").arg(plc.port())}));
    ASSERT_EQ(measured.exitCode, 0) << measured.err.toStdString();

    QProcess replay;
    startProgram(replay, QStringLiteral(CAMP_SIM_PROGRAM),
                 {"--listen", "127.0.0.1:0", "--replay", recording});
    const QRegularExpression listening(QStringLiteral("listening on (127\\.0\\.0\\.1:\\d+)"));
    QString output;
    while (!listening.match(output).hasMatch() && replay.waitForReadyRead(30000)) {
        output += QString::fromUtf8(replay.readAllStandardOutput());
    }
    const QString module = listening.match(output).captured(1);
    ASSERT_FALSE(module.isEmpty()) << replay.readAllStandardError().toStdString();
    const Outcome replayed = runProgram(kibHostLine({"check", module}));
    const Outcome read = runProgram(kibHostLine({"read", "-j", module, "V1"}));
    replay.terminate();
    replay.waitForFinished(30000);

    // What check measures in time, and the module's port, differ from run to run.
    const auto report = [](const Outcome& run) {
        static const QRegularExpression timed(
            QStringLiteral("^(Module|round trip|time of a|timeout) "));
        QStringList lines = run.outLines();
        lines.erase(
            std::remove_if(lines.begin(), lines.end(),
                           [](const QString& line) { return timed.match(line).hasMatch(); }),
            lines.end());
        return lines;
    };
    EXPECT_EQ(replayed.exitCode, 0) << replayed.err.toStdString();
    EXPECT_EQ(report(replayed), report(measured)) << replayed.out.toStdString();
    EXPECT_TRUE(hasLine(measured.out, "^largest read +64 words$"));
    EXPECT_EQ(QJsonDocument::fromJson(read.out.toUtf8())["items"][0]["value"].toString(),
              QStringLiteral("1234"));
}

} // namespace
