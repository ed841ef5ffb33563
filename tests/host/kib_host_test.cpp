// Protects kib-host as a user meets it: init, poll, write, the commands without a project (read,
// write, identify), help and every mistake, each run as a child process against simulated PLCs on
// loopback, with what it prints and saves.

#include "host_fixture.h"
#include "shell_syntax.h"
#include "simulated_plc.h"

#include <QRegularExpression>
#include <QTcpServer>

#include <memory>

#include <csignal>
#include <sys/types.h>

using namespace host_test;
using camp_sim::SimulatedPlc;

namespace {

enum Type { Bit = 0, Integer = 1, Unsigned = 2, Float = 3, String = 4 };
enum Class { V = 1, K = 2, C = 8 };

using Values = QMap<QString, QString>;

// Each line of poll --json, and the item values of one line by uid.
QList<QJsonObject> jsonLines(const Outcome& run)
{
    QList<QJsonObject> lines;
    for (const QString& text : run.outLines()) {
        QJsonParseError error;
        lines.append(QJsonDocument::fromJson(text.toUtf8(), &error).object());
        EXPECT_EQ(error.error, QJsonParseError::NoError) << text.toStdString();
    }
    return lines;
}

Values valuesOf(const QJsonObject& line, const QString& key = "value", const QString& name = "uid")
{
    Values values;
    for (const QJsonValue& item : line.value(QStringLiteral("items")).toArray()) {
        values.insert(item[name].toString(), item[key].toString());
    }
    return values;
}

bool hasLine(const Outcome& run, const QString& pattern)
{
    return run.out.contains(QRegularExpression(pattern, QRegularExpression::MultilineOption));
}

std::unique_ptr<SimulatedPlc> startPlc(quint16 serial, quint16 major, quint16 minor)
{
    camp_sim::PlcConfig config;
    config.serial = serial;
    config.firmwareMajor = major;
    config.firmwareMinor = minor;
    auto plc = std::make_unique<SimulatedPlc>(config);
    EXPECT_TRUE(plc->start()) << plc->lastError().toStdString();
    return plc;
}

// A round's first line: its number and the time it began, ISO 8601 with milliseconds.
const QString kRoundTitle =
    QStringLiteral("^Round %1 at [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}"
                   "(Z|[+-][0-9]{2}:[0-9]{2})$");

class KibHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // press-1: V100 Integer FFFE, V101 Unsigned FFFE, V117 Float 1.5, V200-V202 "ABC".
        for (auto word : {qMakePair(100, 0xFFFE), qMakePair(101, 0xFFFE), qMakePair(117, 0x3FC0),
                          qMakePair(200, 0x4142), qMakePair(201, 0x4300)}) {
            press1->setWord(V, word.first, static_cast<quint16>(word.second));
        }
        press2->setWord(C, 5, 0x0003); // C5: bit 0 and another bit set
        project.write(twoPresses());
    }

    QJsonObject twoPresses(const QJsonArray& press1Items = {}) const
    {
        QJsonObject first =
            device(7, "127.0.0.1", press1->port(),
                   press1Items.isEmpty() ? QJsonArray{memoryItem("v100", V, "100", Integer),
                                                      memoryItem("v101", V, "101", Unsigned),
                                                      memoryItem("v117", V, "117", Float),
                                                      memoryItem("recipe", V, "200-203", String)}
                                         : press1Items);
        first.insert("location", "hall 2"); // not the host's
        const QJsonObject second =
            device(8, "127.0.0.1", press2->port(), {memoryItem("c5", C, "5", Bit)});
        return {{"comment", "kept as it is"},
                {"settings", QJsonObject{}},
                {"devices", QJsonArray{first, second}}};
    }

    std::unique_ptr<SimulatedPlc> press1 = startPlc(812, 4, 10);
    std::unique_ptr<SimulatedPlc> press2 = startPlc(2001, 5, 2);
    ProjectDir project;
};

TEST_F(KibHostTest, InitSavesTheIdentityItemsOnceAndShowsTheColumns)
{
    const Outcome first = project.kibHost({"init"});
    ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
    for (const char* shown :
         {"Plugin camp_nitp loaded from", "port                default \"4450\"", "STW (\"26\")",
          "init() created 4 identity items"}) {
        EXPECT_TRUE(first.out.contains(shown)) << shown;
    }
    const QJsonObject saved = project.json();
    EXPECT_EQ(itemUids(saved, 7), (QStringList{"v100", "v101", "v117", "recipe",
                                               "identity_7_serial", "identity_7_firmware"}));
    EXPECT_EQ(itemUids(saved, 8), (QStringList{"c5", "identity_8_serial", "identity_8_firmware"}));
    const QJsonObject serial = saved["devices"][0]["items"][4].toObject();
    EXPECT_EQ(serial["name"].toString(), QStringLiteral("Serial"));
    EXPECT_EQ(serial["columns"].toObject(), (QJsonObject{{"address_word", "__identity.serial"},
                                                         {"address_class", "26"},
                                                         {"data_type", "4"},
                                                         {"item_tags", "serial"}}));
    // Keys kib-host does not know survive, and no temporary file is left beside the project.
    EXPECT_EQ(saved["comment"].toString(), QStringLiteral("kept as it is"));
    EXPECT_EQ(saved["devices"][0]["location"].toString(), QStringLiteral("hall 2"));
    EXPECT_EQ(project.files(), QStringList{"project.json"});

    const QByteArray afterFirst = project.bytes();
    const Outcome second = project.kibHost({"init"});
    ASSERT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_TRUE(second.out.contains("init() created no items"));
    EXPECT_EQ(project.bytes(), afterFirst);
}

TEST_F(KibHostTest, PollGivesEveryDeviceItsValuesAndIdentity)
{
    const Outcome run = project.kibHost({"poll", "--json", "--count", "2", "--interval", "0"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QList<QJsonObject> lines = jsonLines(run);
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
    const QMap<int, Values> expected{
        {7,
         {{"v100", "-2"},
          {"v101", "65534"},
          {"v117", "1.5"},
          {"recipe", "ABC"},
          {"identity_7_serial", "812"},
          {"identity_7_firmware", "4.10"}}},
        {8, {{"c5", "1"}, {"identity_8_serial", "2001"}, {"identity_8_firmware", "5.2"}}}};
    QMap<int, QList<int>> rounds;
    for (const QJsonObject& line : lines) {
        const int id = line["device"].toInt();
        rounds[id].append(line["round"].toInt());
        EXPECT_TRUE(line["ok"].toBool() && line["error"].toString().isEmpty());
        EXPECT_EQ(valuesOf(line), expected.value(id));
        EXPECT_EQ(valuesOf(line, "error").values().join(QString()), QString());
    }
    // Each device thread runs its own rounds in order; the poll's init() saved the identity items.
    EXPECT_EQ(rounds, (QMap<int, QList<int>>{{7, {1, 2}}, {8, {1, 2}}}));
    EXPECT_TRUE(itemUids(project.json(), 8).contains("identity_8_serial"));

    // The table: a header, then one line per item with its value or its error.
    project.write(
        twoPresses({memoryItem("v100", V, "100", Integer), memoryItem("bad", V, "300-2", String)}));
    // A configuration mistake is told once (by init, not again by the poll) and fails the run.
    const QString told = QStringLiteral(
        "CAMP_NITP configuration: press-7 item bad: address_word \"300-2\": a String takes its "
        "first and last word, for example 100-109\n"
        "kib-host: 1 configuration mistake above; the plugin goes on with what each line says it "
        "uses\n");
    const Outcome init = project.kibHost({"init"});
    EXPECT_EQ(init.exitCode, 1);
    EXPECT_EQ(init.err, told);
    const Outcome table = project.kibHost({"poll", "--device", "7"});
    EXPECT_EQ(table.exitCode, 1);
    EXPECT_EQ(table.err, told);
    const QStringList rows = table.outLines().mid(1);
    ASSERT_EQ(rows.size(), 5) << table.out.toStdString(); // two items, two identity items
    EXPECT_TRUE(table.outLines()[0].contains(QRegularExpression(kRoundTitle.arg("1 of 1"))));
    EXPECT_TRUE(rows[0].startsWith("DEVICE     ITEM UID"));
    EXPECT_TRUE(rows[1].contains(QRegularExpression("^7 press-7 +v100 +V100 +-2$")));
    EXPECT_TRUE(rows[2].contains(QRegularExpression(
        "^7 press-7 +bad +BAD +Invalid address \\(address_word \"300-2\": .*\\)$")));
}

// Writes to a project's items by uid; the lines they print are the shell write's, tested there.
TEST_F(KibHostTest, WritesReachThePlc)
{
    const Outcome write =
        project.kibHost({"write", "--device", "7", "v100=-42", "v117=2.5", "recipe=Hi"});
    ASSERT_EQ(write.exitCode, 0) << write.err.toStdString() << write.out.toStdString();
    EXPECT_EQ(write.out.count(QStringLiteral("written")), 3) << write.out.toStdString();
    EXPECT_EQ(press1->word(V, 100), 0xFFD6);
    EXPECT_EQ(press1->word(V, 117), 0x4020);
    EXPECT_EQ(press1->word(V, 200), 0x4869);
    EXPECT_EQ(press1->word(V, 201), 0x0000); // the rest of the old text is cleared
    const Outcome refused = project.kibHost({"write", "--device", "8", "c5=0", "c5=2"});
    EXPECT_EQ(refused.exitCode, 2);        // c5=2 is no bit: nothing is written
    EXPECT_EQ(press2->word(C, 5), 0x0003); // as the fixture put it
    const Outcome written = project.kibHost({"write", "--device", "8", "c5=0"});
    EXPECT_EQ(written.exitCode, 0);
    EXPECT_EQ(press2->word(C, 5), 0x0002); // only bit 0 changed
}

TEST_F(KibHostTest, AnUnreachableDeviceFailsButNotTheOthers)
{
    const quint16 deadPort = press2->port();
    press2->stop(); // nothing listens there any more
    // Three rounds take the dead device off-scan; the fourth fails at once and says so.
    const Outcome run = project.kibHost({"poll", "--json", "--count", "4", "--interval", "0"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(run.crashed);
    for (const QJsonObject& line : jsonLines(run)) {
        const bool answered = line["device"].toInt() == 7;
        const int round = line["round"].toInt();
        EXPECT_EQ(line["ok"].toBool(), answered);
        EXPECT_EQ(line["state"].toString(), answered || round < 3 ? "on-scan" : "off-scan");
        const QString error = line["error"].toString();
        if (answered) {
            EXPECT_EQ(error, QString());
        } else if (round < 4) {
            EXPECT_EQ(
                error,
                QString("Couldn't connect to 127.0.0.1:%1: connection refused").arg(deadPort));
        } else {
            EXPECT_TRUE(error.startsWith("Off-scan since ")) << error.toStdString();
        }
    }
    const Outcome write = project.kibHost({"write", "--device", "8", "c5=1"});
    EXPECT_EQ(write.exitCode, 1);
    EXPECT_TRUE(write.out.contains(QStringLiteral("device: Couldn't connect to")));
}

// From the shell, with no project: write reaches the PLC, read shows what a host gets, and
// identify tells a module from a port where nothing listens and from one that never answers.
TEST_F(KibHostTest, ReadWriteAndIdentifyWithoutAProject)
{
    const QString module = QStringLiteral("127.0.0.1:%1").arg(press1->port());
    // One mistake and nothing is written: every mistake is told, no frame goes out.
    press1->resetCounters();
    const Outcome refused =
        runProgram(kibHostLine({"write", module, "V300=1", "V101=70000", "Q1=3", "V100=abc",
                                "STW259=5", "V40.3=2", "V102-103=x"}));
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.err, QStringLiteral("kib-host: nothing was written: 6 entries cannot be "
                                          "written\n"
                                          "  V101=70000: Value out of range (Integer: -32768 to "
                                          "65535)\n"
                                          "  \"Q1\": no memory class Q; %1\n"
                                          "  V100=abc: Invalid value (Integer: a whole number)\n"
                                          "  STW259=5: Status words are read-only\n"
                                          "  V40.3=2: Invalid value (Bit: 0 or 1)\n"
                                          "  V102-103=x: Invalid value (Integer: a whole number)\n")
                               .arg(kib_host::shellItemForms()));
    EXPECT_EQ(press1->connectionCount(), 0);
    EXPECT_EQ(press1->requestCount(), 0);

    const Outcome write = runProgram(kibHostLine(
        {"write", module, "V300=42", "V200-203:string=Hi", "V10:long=-70000", "V40.3=1"}));
    EXPECT_EQ(write.exitCode, 0);
    for (const char* line : {"^V300 +42 +written$", "^V200-203:string +Hi +written$",
                             "^V10:long +-70000 +written$", "^V40.3 +1 +written$"}) {
        EXPECT_TRUE(hasLine(write, line)) << line << write.out.toStdString();
    }
    EXPECT_EQ(press1->word(V, 300), 42);
    EXPECT_EQ(press1->word(V, 11), 0xEE90); // -70000 is FFFE EE90
    EXPECT_EQ(press1->word(V, 40), 0x0008);
    EXPECT_EQ(press1->word(V, 100), 0xFFFE);

    const Outcome read =
        runProgram(kibHostLine({"read", "--json", "--count", "2", "--interval", "0", module, "V300",
                                "v200-203:string", "V100-101:unsigned", "V10:long", "V40.3"}));
    ASSERT_EQ(read.exitCode, 0) << read.err.toStdString();
    const QList<QJsonObject> lines = jsonLines(read);
    ASSERT_EQ(lines.size(), 2) << read.out.toStdString();
    for (int round = 1; round <= 2; ++round) {
        const QJsonObject& line = lines[round - 1];
        EXPECT_EQ(line["module"].toString(), module);
        EXPECT_EQ(line["round"].toInt(), round);
        EXPECT_TRUE(line["ok"].toBool());
        EXPECT_EQ(valuesOf(line, "value", "item"), (Values{{"V300", "42"},
                                                           {"v200-203:string", "Hi"},
                                                           {"V100:unsigned", "65534"},
                                                           {"V101:unsigned", "65534"},
                                                           {"V10:long", "-70000"},
                                                           {"V40.3", "1"}}));
    }
    // The table; an item the module refuses fails the run.
    const QString beyond = QStringLiteral("K%1").arg(press1->memorySize(K) + 1);
    const Outcome table = runProgram(kibHostLine({"read", module, "V100", beyond}));
    EXPECT_EQ(table.exitCode, 1);
    EXPECT_TRUE(hasLine(table, "^ITEM +VALUE +ERROR$")) << table.out.toStdString();
    EXPECT_TRUE(hasLine(table, "^V100 +-2$"));
    EXPECT_TRUE(hasLine(table, "^" + beyond + " +Error code: "));

    QTcpServer silent; // takes connections (the system accepts them) and never answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 deadPort = closed.serverPort();
    closed.close();                                              // nothing listens there any more
    std::unique_ptr<SimulatedPlc> hangingUp = startPlc(1, 1, 0); // closes every connection
    camp_sim::Faults closeAtOnce;
    closeAtOnce.acceptAndClose = true;
    hangingUp->setFaults(closeAtOnce);
    const QString silentModule = QStringLiteral("127.0.0.1:%1").arg(silent.serverPort());
    const QString deadModule = QStringLiteral("127.0.0.1:%1").arg(deadPort);
    const QString closingModule = QStringLiteral("127.0.0.1:%1").arg(hangingUp->port());
    const Outcome identify = runProgram(
        kibHostLine({"identify", "-t", "3000", module, silentModule, deadModule, closingModule}));
    EXPECT_EQ(identify.exitCode, 1);
    for (const QString& line :
         {"^" + module + " +812 +4.10 +CAMP module$",
          "^" + silentModule +
              " +- +- +not a CAMP module: it took the connection but gave no CAMP reply within "
              "3000 ms$",
          "^" + closingModule +
              " +- +- +not a CAMP module: it took the connection and closed it without a CAMP "
              "reply$",
          "^" + deadModule +
              QStringLiteral(" +- +- +refused: nothing listens on port %1$").arg(deadPort)}) {
        EXPECT_TRUE(hasLine(identify, line)) << line.toStdString() << identify.out.toStdString();
    }
    // The table carries the failure; the driver's own lines come with -v only, with the frames.
    const Outcome unreachable = runProgram(kibHostLine({"read", deadModule, "V100"}));
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_TRUE(hasLine(unreachable,
                        "^device: Couldn't connect to " + deadModule + ": connection refused$"));
    const Outcome hungUp = runProgram(kibHostLine({"read", closingModule, "V100"}));
    EXPECT_EQ(hungUp.exitCode, 1);
    EXPECT_TRUE(hasLine(hungUp, "^device: PLC (closed|reset) the connection while"));
    EXPECT_EQ(hungUp.err, QString());
    const Outcome told = runProgram(kibHostLine({"-v", "read", closingModule, "V100"}));
    EXPECT_TRUE(told.err.contains(
        QRegularExpression("\nCAMP_NITP error read. PLC (closed|reset) the connection while")))
        << told.err.toStdString();
    const Outcome verbose = runProgram(kibHostLine({"read", "-v", module, "V100"}));
    const QStringList frames = verbose.err.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(frames.size(), 2) << verbose.err.toStdString();
    EXPECT_TRUE(frames[0].contains(QRegularExpression("^[0-9]+\\.[0-9]{3} 1 send "
                                                      "\\[040001000064010001[0-9A-F]{4}\\]$")))
        << frames[0].toStdString();
    EXPECT_TRUE(frames[1].contains(QRegularExpression("^[0-9]+\\.[0-9]{3} 1 recv "
                                                      "\\[0500010000640[01]FFFE[0-9A-F]{4}\\]$")))
        << frames[1].toStdString();
}

// A reader that goes away (kib-host read ... | head -1) ends the rounds: kib-host stops with status
// 3 and sends nothing more. An interrupted write ends after the entry in flight and tells every
// entry, "not sent" for those it never reached, with status 130.
TEST_F(KibHostTest, StopsWhenItsReaderGoesAndTellsAnInterruptedWrite)
{
    const QString module = QStringLiteral("127.0.0.1:%1").arg(press1->port());
    const int framesBefore = press1->requestCount();
    const QStringList reading =
        kibHostLine({"read", "--count", "100000", "--interval", "10", module, "V1"});
    // kib-host read ... | head -n 1, with kib-host's own status.
    const Outcome headOne =
        runProgram(QStringList{QStringLiteral("bash"), QStringLiteral("-c"),
                               QStringLiteral("\"$0\" \"$@\" | head -n 1; exit ${PIPESTATUS[0]}")} +
                   reading);
    EXPECT_EQ(headOne.exitCode, 3) << headOne.err.toStdString();
    ASSERT_EQ(headOne.outLines().size(), 1);
    EXPECT_TRUE(headOne.outLines()[0].contains(QRegularExpression(kRoundTitle.arg("1 of 100000"))));
    EXPECT_LE(press1->requestCount() - framesBefore, 3); // the first rounds, not 100000

    camp_sim::Faults slow;
    slow.latencyMs = 5;
    press1->setFaults(slow);
    const QStringList writing = kibHostLine({"write", module, "V1-2000=9"});
    QProcess writer;
    writer.start(writing.first(), writing.mid(1));
    ASSERT_TRUE(press1->waitForRequests(press1->requestCount() + 20, 30000));
    writer.terminate(); // SIGTERM, as Ctrl-C
    ASSERT_TRUE(writer.waitForFinished(30000));
    EXPECT_EQ(writer.exitCode(), 130);
    const QStringList lines = QString::fromUtf8(writer.readAllStandardOutput()).split('\n');
    int written = 0;
    int notSent = 0;
    for (const QString& line : lines) {
        written += line.endsWith(QLatin1String(" written")) ? 1 : 0;
        notSent += line.endsWith(QLatin1String(" not sent")) ? 1 : 0;
    }
    EXPECT_GE(written, 10);
    EXPECT_GT(notSent, 0);
    EXPECT_EQ(written + notSent, 2000);
    int nines = 0;
    for (quint32 word = 1; word <= 2000; ++word) {
        nines += press1->word(V, word) == 9 ? 1 : 0;
    }
    EXPECT_EQ(nines, written); // every entry told "written" is in memory, and no other
}

// A poller as plant engineers know them: rounds until Ctrl-C, each with its time; a rhythm kept
// after time-outs (late rounds are skipped and counted, never sent in a burst); words in hex.
TEST_F(KibHostTest, APollerKeepsItsRhythmAndRunsUntilCtrlC)
{
    const QString module = QStringLiteral("127.0.0.1:%1").arg(press1->port());
    const Outcome hex = runProgram(kibHostLine({"write", module, "V301:hex=0x1F4a", "V302:hex=7"}));
    EXPECT_EQ(hex.exitCode, 0) << hex.err.toStdString();
    EXPECT_EQ(press1->word(V, 301), 0x1F4A);
    EXPECT_TRUE(hasLine(hex, "^V301:hex +0x1F4a +written$")) << hex.out.toStdString();
    const Outcome shown = runProgram(kibHostLine({"read", "-j", module, "V301-302:hex"}));
    EXPECT_EQ(valuesOf(jsonLines(shown).value(0), "value", "item"),
              (Values{{"V301:hex", "0x1F4A"}, {"V302:hex", "0x0007"}}));

    QTcpServer silent; // every round waits its whole time-out
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    const Outcome late =
        runProgram(kibHostLine({"read", "-j", "-c", "4", "-i", "300", "-t", "700",
                                QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()), "V1"}));
    const QList<QJsonObject> rounds = jsonLines(late);
    ASSERT_EQ(rounds.size(), 4) << late.out.toStdString();
    int skipped = 0;
    for (int i = 0; i < rounds.size(); ++i) {
        const QDateTime began =
            QDateTime::fromString(rounds[i]["time"].toString(), Qt::ISODateWithMs);
        ASSERT_TRUE(began.isValid()) << rounds[i]["time"].toString().toStdString();
        skipped += rounds[i]["skipped"].toInt();
        if (i > 0) {
            const QDateTime before =
                QDateTime::fromString(rounds[i - 1]["time"].toString(), Qt::ISODateWithMs);
            EXPECT_GE(before.msecsTo(began), 150) << "round " << i + 1;
        }
    }
    EXPECT_GT(skipped, 0);

    const QStringList untilStopped =
        kibHostLine({"read", "--json", "-c", "0", "-i", "20", module, "V1"});
    QProcess poller;
    poller.start(untilStopped.first(), untilStopped.mid(1));
    ASSERT_TRUE(press1->waitForRequests(press1->requestCount() + 3, 30000));
    ::kill(static_cast<pid_t>(poller.processId()), SIGINT);
    ASSERT_TRUE(poller.waitForFinished(30000));
    EXPECT_EQ(poller.exitCode(), 130);
    Outcome stopped;
    stopped.out = QString::fromUtf8(poller.readAllStandardOutput());
    const QList<QJsonObject> done = jsonLines(stopped);
    ASSERT_GE(done.size(), 2);
    for (int i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i]["round"].toInt(), i + 1);
        EXPECT_TRUE(done[i]["ok"].toBool());
    }
}

// Help goes to standard output with status 0; mistakes in the command line or the project end
// with one line on standard error and status 2, never with a crash, and nothing is sent.
TEST_F(KibHostTest, HelpAndMistakesTable)
{
    // The command line, its words split at blanks: "@" runs it on the fixture's project (or on
    // the row's), %press is press-1's HOST:PORT, %self a file that is no plugin.
    struct Row
    {
        const char* line;
        int exitCode;
        const char* shown; // a line of the help, or what the error line must say
        QByteArray project = {};
    };
    const Row rows[] = {
        {"@ --help", 0, "discovery service is always taken from the linked plugin"},
        {"@ poll --help", 0, "Usage: kib-host --project FILE poll"},
        {"@ poll", 2, "project.json: not valid JSON", "{\"devices\": ["},
        {"@ poll --device 99", 2, "the project has no device 99"},
        {"@ write --device 8 nope=1 c5=2", 2,
         "  nope=1: device 8 has no item \"nope\"\n  c5=2: Invalid value (Bit: 0 or 1)"},
        {"@ write --device 7 identity_7_serial=1", 2,
         "1 entry cannot be written\n  identity_7_serial=1: Identity items are read-only"},
        {"@ --plugin %self init", 2, "cannot load the plugin"},
        {"@ poll -c -1", 2, "--count takes a whole number from 0 to 1000000"},
        {"@ frobnicate", 2, "unknown command \"frobnicate\""},
        {"read --help", 0, "Usage: kib-host read"},
        {"write --help", 0, "kib-host write [-t MS] [-p PORT]"},
        {"read %press V100 Q7", 2, "\"Q7\": no memory class Q; items are written V100"},
        {"write %press V100", 2, "\"V100\" is not ITEM=VALUE"},
        {"read %press", 2, "read needs HOST[:PORT] and at least one item"},
        {"identify 127.0.0.1:70000", 2, "\"127.0.0.1:70000\" is not HOST or HOST:PORT"},
        {"@ read %press V100", 2, "read takes no --project"},
        {"write --device 7 v100=1", 2, "write --device needs --project FILE"},
        {"check --help", 0, "Usage: kib-host check"},
        {"check %press --connections 33", 2, "--connections takes a whole number from 1 to 32"},
        {"check", 2, "check needs one HOST[:PORT]"},
        {"@ check %press", 2, "check takes no --project"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        QStringList arguments =
            QString::fromUtf8(row.line)
                .replace("%press", QStringLiteral("127.0.0.1:%1").arg(press1->port()))
                .replace("%self", KIB_HOST_PROGRAM)
                .split(' ');
        if (!row.project.isEmpty()) {
            project.write(row.project);
        }
        const bool withProject = arguments.first() == "@";
        const Outcome run =
            withProject ? project.kibHost(arguments.mid(1)) : runProgram(kibHostLine(arguments));
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, row.exitCode);
        if (row.exitCode == 0) {
            EXPECT_TRUE(run.out.contains(row.shown)) << run.out.toStdString();
        } else {
            // One line, or a first line that the listed mistakes follow, indented.
            const QStringList lines = run.err.trimmed().split('\n');
            EXPECT_TRUE(run.err.startsWith("kib-host: ") && run.err.endsWith('\n') &&
                        lines.filter(QRegularExpression("^  \\S")).size() == lines.size() - 1 &&
                        run.err.contains(row.shown))
                << run.err.toStdString();
        }
        project.write(twoPresses());
    }
    EXPECT_EQ(press1->connectionCount(), 0);
}

} // namespace
