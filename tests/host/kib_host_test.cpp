// kib-host end to end: init, poll, write and the errors a user meets, each run as a child
// process against simulated PLCs on loopback.

#include "host_fixture.h"

using namespace host_test;
using camp_sim::PlcConfig;
using camp_sim::SimulatedPlc;

namespace {

enum Type { Bit = 0, Integer = 1, Unsigned = 2, Float = 3, String = 4 };
enum Class { V = 1, C = 8 };

// Values by uid from one JSON line of poll --json.
QMap<QString, QString> valuesOf(const QJsonObject& line, const QString& key = "value")
{
    QMap<QString, QString> values;
    for (const QJsonValue& item : line.value(QStringLiteral("items")).toArray()) {
        values.insert(item.toObject().value(QStringLiteral("uid")).toString(),
                      item.toObject().value(key).toString());
    }
    return values;
}

QList<QJsonObject> jsonLines(const Outcome& run)
{
    QList<QJsonObject> lines;
    for (const QString& text : run.outLines()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << text.toStdString();
        lines.append(document.object());
    }
    return lines;
}

class KibHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        press1 = startPlc(812, 4, 10);
        press2 = startPlc(2001, 5, 2);
        // press-1: V100 Integer FFFE, V101 Unsigned FFFE, V117 Float 1.5, V200-V202 "ABC".
        press1->setWord(V, 100, 0xFFFE);
        press1->setWord(V, 101, 0xFFFE);
        press1->setWord(V, 117, 0x3FC0);
        press1->setWord(V, 118, 0x0000);
        press1->setWord(V, 200, 0x4142);
        press1->setWord(V, 201, 0x4300);
        // press-2: C5 with bit 0 and another bit set.
        press2->setWord(C, 5, 0x0003);
        project.write(twoPresses());
    }

    static std::unique_ptr<SimulatedPlc> startPlc(quint16 serial, quint16 major, quint16 minor)
    {
        PlcConfig config;
        config.serial = serial;
        config.firmwareMajor = major;
        config.firmwareMinor = minor;
        auto plc = std::make_unique<SimulatedPlc>(config);
        EXPECT_TRUE(plc->start()) << plc->lastError().toStdString();
        return plc;
    }

    QJsonObject twoPresses() const
    {
        QJsonObject first = device(
            7, QStringLiteral("127.0.0.1"), press1->port(),
            {memoryItem("v100", V, "100", Integer), memoryItem("v101", V, "101", Unsigned),
             memoryItem("v117", V, "117", Float), memoryItem("recipe", V, "200-203", String)});
        first.insert(QStringLiteral("location"), QStringLiteral("hall 2")); // not the host's
        const QJsonObject second =
            device(8, QStringLiteral("127.0.0.1"), press2->port(), {memoryItem("c5", C, "5", Bit)});
        return {{QStringLiteral("comment"), QStringLiteral("kept as it is")},
                {QStringLiteral("settings"), QJsonObject{}},
                {QStringLiteral("devices"), QJsonArray{first, second}}};
    }

    ProjectDir project;
    std::unique_ptr<SimulatedPlc> press1;
    std::unique_ptr<SimulatedPlc> press2;
};

TEST_F(KibHostTest, InitSavesTheIdentityItemsOnceAndShowsTheColumns)
{
    const Outcome first = project.kibHost({QStringLiteral("init")});
    ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_TRUE(first.out.contains(QStringLiteral("Plugin camp_nitp loaded from")));
    EXPECT_TRUE(first.out.contains(QStringLiteral("port                default \"4450\"")));
    EXPECT_TRUE(first.out.contains(QStringLiteral("STW (\"26\")")));
    EXPECT_TRUE(first.out.contains(QStringLiteral("init() created 4 identity items")));

    const QJsonObject saved = project.json();
    EXPECT_EQ(itemUids(saved, 7), (QStringList{"v100", "v101", "v117", "recipe",
                                               "identity_7_serial", "identity_7_firmware"}));
    EXPECT_EQ(itemUids(saved, 8), (QStringList{"c5", "identity_8_serial", "identity_8_firmware"}));
    const QJsonObject serial = saved.value("devices")[0]["items"][4].toObject();
    EXPECT_EQ(serial.value("name").toString(), QStringLiteral("Serial"));
    EXPECT_EQ(serial.value("columns").toObject(),
              (QJsonObject{{"address_word", "__identity.serial"},
                           {"address_class", "26"},
                           {"data_type", "4"},
                           {"item_tags", "serial"}}));
    // Keys kib-host does not know survive, and no temporary file is left beside the project.
    EXPECT_EQ(saved.value("comment").toString(), QStringLiteral("kept as it is"));
    EXPECT_EQ(saved.value("devices")[0]["location"].toString(), QStringLiteral("hall 2"));
    EXPECT_EQ(project.files(), QStringList{"project.json"});

    const QByteArray afterFirst = project.bytes();
    const Outcome second = project.kibHost({QStringLiteral("init")});
    ASSERT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_TRUE(second.out.contains(QStringLiteral("init() created no items")));
    EXPECT_EQ(project.bytes(), afterFirst);
}

TEST_F(KibHostTest, PollJsonGivesEveryDeviceItsValuesAndIdentity)
{
    const Outcome run = project.kibHost({"poll", "--json", "--count", "2", "--interval", "0"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QList<QJsonObject> lines = jsonLines(run);
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();

    QMap<int, QList<int>> roundsByDevice;
    for (const QJsonObject& line : lines) {
        EXPECT_TRUE(line.value("ok").toBool());
        EXPECT_EQ(line.value("error").toString(), QString());
        const int deviceId = line.value("device").toInt();
        roundsByDevice[deviceId].append(line.value("round").toInt());
        const QMap<QString, QString> values = valuesOf(line);
        if (deviceId == 7) {
            EXPECT_EQ(values, (QMap<QString, QString>{{"v100", "-2"},
                                                      {"v101", "65534"},
                                                      {"v117", "1.5"},
                                                      {"recipe", "ABC"},
                                                      {"identity_7_serial", "812"},
                                                      {"identity_7_firmware", "4.10"}}));
        } else {
            EXPECT_EQ(values, (QMap<QString, QString>{{"c5", "1"},
                                                      {"identity_8_serial", "2001"},
                                                      {"identity_8_firmware", "5.2"}}));
        }
        for (const QString& error : valuesOf(line, "error")) {
            EXPECT_EQ(error, QString());
        }
    }
    // Each device thread runs its own rounds in order.
    EXPECT_EQ(roundsByDevice.value(7), (QList<int>{1, 2}));
    EXPECT_EQ(roundsByDevice.value(8), (QList<int>{1, 2}));
    // The poll's init() saved the identity items as well.
    EXPECT_TRUE(itemUids(project.json(), 8).contains("identity_8_serial"));
}

TEST_F(KibHostTest, PollTableShowsDevicesItemsAndErrors)
{
    QJsonObject broken = twoPresses();
    QJsonArray devices = broken.value("devices").toArray();
    QJsonObject first = devices[0].toObject();
    first.insert("items", QJsonArray{memoryItem("v100", V, "100", Integer),
                                     memoryItem("bad", V, "300-2", String)});
    devices[0] = first;
    broken.insert("devices", devices);
    project.write(broken);

    const Outcome run = project.kibHost({"poll", "--device", "7"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList lines = run.outLines();
    ASSERT_EQ(lines.size(), 5) << run.out.toStdString(); // header, two items, two identity items
    EXPECT_TRUE(lines[0].startsWith("DEVICE     ITEM UID"));
    EXPECT_TRUE(lines[1].contains(QRegularExpression("^7 press-7 +v100 +V100 +-2$")));
    EXPECT_TRUE(lines[2].contains(QRegularExpression("^7 press-7 +bad +BAD +Invalid address$")));
}

TEST_F(KibHostTest, WrittenValuesReachThePlcAndComeBackInAPoll)
{
    const Outcome write =
        project.kibHost({"write", "--device", "7", "v100=-42", "v117=2.5", "recipe=Hi"});
    ASSERT_EQ(write.exitCode, 0) << write.err.toStdString() << write.out.toStdString();
    EXPECT_EQ(write.out.count(QStringLiteral("written")), 3) << write.out.toStdString();
    EXPECT_EQ(press1->word(V, 100), 0xFFD6);
    EXPECT_EQ(press1->word(V, 117), 0x4020);
    EXPECT_EQ(press1->word(V, 200), 0x4869);
    EXPECT_EQ(press1->word(V, 201), 0x0000); // the rest of the old text is cleared

    const Outcome discrete = project.kibHost({"write", "--device", "8", "c5=0"});
    ASSERT_EQ(discrete.exitCode, 0) << discrete.out.toStdString();
    EXPECT_EQ(press2->word(C, 5), 0x0002); // only bit 0 changed

    const Outcome poll = project.kibHost({"poll", "--json"});
    ASSERT_EQ(poll.exitCode, 0) << poll.err.toStdString();
    for (const QJsonObject& line : jsonLines(poll)) {
        const QMap<QString, QString> values = valuesOf(line);
        if (line.value("device").toInt() == 7) {
            EXPECT_EQ(values.value("v100"), "-42");
            EXPECT_EQ(values.value("v117"), "2.5");
            EXPECT_EQ(values.value("recipe"), "Hi");
        } else {
            EXPECT_EQ(values.value("c5"), "0");
        }
    }
}

TEST_F(KibHostTest, RefusedWriteEntriesAreReportedAndTheRestIsWritten)
{
    const Outcome run = project.kibHost(
        {"write", "--device", "7", "v100=abc", "v101=70000", "recipe=far too long", "v117=-1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains(QRegularExpression("v100 +abc +Invalid value")));
    EXPECT_TRUE(run.out.contains(QRegularExpression("v101 +70000 +Value out of range")));
    EXPECT_TRUE(run.out.contains(QRegularExpression("recipe +far too long +Value too long")));
    EXPECT_TRUE(run.out.contains(QRegularExpression("v117 +-1 +written")));
    EXPECT_EQ(press1->word(V, 100), 0xFFFE);
    EXPECT_EQ(press1->word(V, 101), 0xFFFE);
    EXPECT_EQ(press1->word(V, 117), 0xBF80);
}

TEST_F(KibHostTest, AnUnreachableDeviceFailsThePollButNotTheOthers)
{
    const quint16 deadPort = press2->port();
    press2->stop(); // nothing listens there any more

    const Outcome run = project.kibHost({"poll", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(run.crashed);
    for (const QJsonObject& line : jsonLines(run)) {
        const bool answered = line.value("device").toInt() == 7;
        EXPECT_EQ(line.value("ok").toBool(), answered);
        if (!answered) {
            EXPECT_EQ(line.value("error").toString(),
                      QStringLiteral("Couldn't connect to 127.0.0.1:%1").arg(deadPort));
        }
    }

    const Outcome write = project.kibHost({"write", "--device", "8", "c5=1"});
    EXPECT_EQ(write.exitCode, 1);
    EXPECT_TRUE(write.out.contains(QStringLiteral("device: Couldn't connect to")));
}

// Mistakes in the command line or the project end with one line on standard error and
// status 2, never with a crash.
TEST_F(KibHostTest, MistakesGiveOneLineAndStatusTwo)
{
    struct Case
    {
        const char* name;
        QByteArray project; // empty: the fixture's project
        QStringList arguments;
        QString message;
    };
    const QList<Case> cases = {
        {"malformed JSON", "{\"devices\": [", {"poll"}, "project.json: not valid JSON"},
        {"device without id", R"({"devices": [{"name": "x"}]})", {"poll"}, "needs an \"id\""},
        {"unknown device", {}, {"poll", "--device", "99"}, "the project has no device 99"},
        {"unknown item", {}, {"write", "--device", "7", "nope=1"}, "device 7 has no item \"nope\""},
        {"identity item",
         {},
         {"write", "--device", "7", "identity_7_serial=1"},
         "cannot be written"},
        {"missing plugin", {}, {"--plugin", "/nonexistent/plugin.so", "init"}, "no plugin file at"},
        {"not a plugin", {}, {"--plugin", KIB_HOST_PROGRAM, "init"}, "cannot load the plugin"},
        {"bad count", {}, {"poll", "--count", "0"}, "--count takes a whole number"},
        {"unknown command", {}, {"frobnicate"}, "unknown command \"frobnicate\""},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        if (!testCase.project.isEmpty()) {
            project.write(testCase.project);
        }
        const Outcome run = project.kibHost(testCase.arguments);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, 2);
        ASSERT_EQ(run.errLines().size(), 1) << run.err.toStdString();
        EXPECT_TRUE(run.err.startsWith("kib-host: ")) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(testCase.message)) << run.err.toStdString();
        if (!testCase.project.isEmpty()) {
            project.write(twoPresses());
        }
    }
}

TEST(KibHostHelp, EveryCommandHasHelp)
{
    for (const QString command : {"init", "poll", "write", "discover"}) {
        const Outcome run = runProgram(kibHostLine({command, "--help"}));
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_TRUE(run.out.startsWith("Usage: kib-host --project FILE " + command))
            << run.out.toStdString();
    }
    const Outcome program = runProgram(kibHostLine({"--help"}));
    EXPECT_EQ(program.exitCode, 0);
    EXPECT_TRUE(program.out.contains("discovery service is always taken from the linked plugin"));
}

} // namespace
