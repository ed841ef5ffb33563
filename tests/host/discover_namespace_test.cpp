// kib-host discover, run only inside a network namespace this test creates: an ifb interface
// with a 10.77.1.0/24 subnet, and simulated PLCs bound to two /32 addresses of it. Nothing here
// ever scans the machine's own interfaces. Creating a namespace needs root; the tests skip
// without it.

#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

#include "host_fixture.h"

using namespace host_test;

namespace {

const QString kInterface = QStringLiteral("kibscan0");
const QString kPlcA = QStringLiteral("10.77.1.10");
const QString kPlcB = QStringLiteral("10.77.1.11");

bool ip(const QStringList& arguments)
{
    const Outcome run = runProgram(QStringList{QStringLiteral("ip")} + arguments);
    EXPECT_EQ(run.exitCode, 0) << "ip " << arguments.join(' ').toStdString() << ": "
                               << run.err.toStdString();
    return run.exitCode == 0;
}

// The namespace and the simulated PLCs inside it; all removed again when the test ends, whatever
// happened.
class Namespace
{
public:
    Namespace() : name(QStringLiteral("kibhost-test-%1").arg(getpid())) {}

    ~Namespace()
    {
        if (sim.state() != QProcess::NotRunning) {
            sim.terminate();
            if (!sim.waitForFinished(10000)) {
                sim.kill();
            }
            sim.waitForFinished(10000);
        }
        if (created) {
            runProgram(
                {QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("delete"), name});
        }
    }

    bool create()
    {
        created = ip({"netns", "add", name});
        return created && ip({"-n", name, "link", "set", "lo", "up"}) &&
               ip({"-n", name, "link", "add", kInterface, "type", "ifb"}) &&
               ip({"-n", name, "addr", "add", "10.77.1.1/24", "dev", kInterface}) &&
               ip({"-n", name, "addr", "add", kPlcA + "/32", "dev", kInterface}) &&
               ip({"-n", name, "addr", "add", kPlcB + "/32", "dev", kInterface}) &&
               ip({"-n", name, "link", "set", kInterface, "up"});
    }

    QStringList exec(const QStringList& line) const
    {
        return QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"),
                           name} +
               line;
    }

    // Two PLCs (serials 3001 and 3002) on port 4450 of the two addresses; true once both listen.
    bool startPlcs()
    {
        const QStringList line =
            exec(programLine(QStringLiteral(CAMP_SIM_PROGRAM),
                             {"--listen", kPlcA + ":4450", "--listen", kPlcB + ":4450", "--serial",
                              "3001", "--firmware", "6.1"}));
        sim.start(line.first(), line.mid(1));
        QByteArray output;
        while (output.count("listening on") < 2 && sim.waitForReadyRead(30000)) {
            output += sim.readAllStandardOutput();
        }
        EXPECT_EQ(output.count("listening on"), 2)
            << output.toStdString() << sim.readAllStandardError().toStdString();
        return output.count("listening on") == 2;
    }

    Outcome kibHost(const ProjectDir& project, const QStringList& arguments) const
    {
        return runProgram(exec(kibHostLine(QStringList{"--project", project.path()} + arguments)));
    }

    QString name;
    QProcess sim;
    bool created = false;
};

class DiscoverInNamespace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "creating a network namespace needs root; discovery is tested only "
                            "inside a namespace of its own";
        }
        ASSERT_TRUE(space.create());
        ASSERT_TRUE(space.startPlcs());
    }

    Namespace space;
    ProjectDir project;
};

TEST_F(DiscoverInNamespace, FindsNewControllersImportsThemAndOffersThemOnlyOnce)
{
    // The project knows the PLC at .11 already.
    project.write(QJsonObject{{"devices", QJsonArray{device(1, kPlcB, 4450, QJsonArray{})}}});

    const Outcome run = space.kibHost(
        project, {"discover", "--interface", kInterface, "--ports", "4450", "--import", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QJsonArray candidates = QJsonDocument::fromJson(run.out.toUtf8()).array();
    ASSERT_EQ(candidates.size(), 1) << run.out.toStdString();
    const QJsonObject found = candidates[0].toObject();
    EXPECT_EQ(found.value("uid_hint").toString(), QStringLiteral("camp_nitp_10_77_1_10_4450"));
    EXPECT_EQ(found.value("name").toString(), QStringLiteral("3001 (10.77.1.10)"));
    EXPECT_EQ(found.value("description").toString(),
              QStringLiteral("CAMP NITP at 10.77.1.10:4450, serial 3001, firmware 6.1"));

    const QJsonArray devices = project.json().value("devices").toArray();
    ASSERT_EQ(devices.size(), 2);
    const QJsonObject imported = devices[1].toObject();
    EXPECT_EQ(imported.value("id").toInt(), 2);
    EXPECT_EQ(imported.value("uid").toString(), QStringLiteral("camp_nitp_10_77_1_10_4450"));
    EXPECT_EQ(imported.value("address").toString(), kPlcA);
    EXPECT_EQ(imported.value("columns").toObject(),
              (QJsonObject{{"port", "4450"}, {"timeout", "10000"}}));

    // Now both are known: a second scan offers nothing.
    const Outcome again =
        space.kibHost(project, {"discover", "--interface", kInterface, "--import", "--json"});
    ASSERT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(again.out.toUtf8()).array().size(), 0);
    EXPECT_EQ(project.json().value("devices").toArray().size(), 2);

    // The imported device polls like any other, identity included.
    const Outcome poll = space.kibHost(project, {"poll", "--device", "2", "--json"});
    ASSERT_EQ(poll.exitCode, 0) << poll.out.toStdString() << poll.err.toStdString();
    EXPECT_TRUE(poll.out.contains("\"uid\":\"identity_2_serial\",\"name\":\"Serial\","
                                  "\"value\":\"3001\""))
        << poll.out.toStdString();
}

TEST_F(DiscoverInNamespace, CtrlCStopsTheScanAndStillReports)
{
    project.write(QJsonObject{{"devices", QJsonArray{}}});
    // 64 ports on 254 hosts would keep the scan busy for many seconds.
    QProcess host;
    const QStringList line =
        space.exec(kibHostLine({"--project", project.path(), "discover", "--interface", kInterface,
                                "--ports", "4450-4513", "--import"}));
    host.start(line.first(), line.mid(1));
    QByteArray output;
    while (!output.contains("Scanning") && host.waitForReadyRead(30000)) {
        output += host.readAllStandardOutput();
    }
    ASSERT_TRUE(output.contains("Scanning")) << output.toStdString();

    ::kill(static_cast<pid_t>(host.processId()), SIGINT);
    ASSERT_TRUE(host.waitForFinished(60000));
    output += host.readAllStandardOutput();
    EXPECT_EQ(host.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(host.exitCode(), 130);
    // The scan ended early: it did not make all of its probes.
    const QString err = QString::fromUtf8(host.readAllStandardError());
    const QRegularExpressionMatch stopped =
        QRegularExpression("stopped by Ctrl-C after (\\d+) of (\\d+) probes").match(err);
    ASSERT_TRUE(stopped.hasMatch()) << err.toStdString();
    EXPECT_EQ(stopped.captured(2).toInt(), 254 * 64);
    EXPECT_LT(stopped.captured(1).toInt(), stopped.captured(2).toInt());
    // What was found before the stop is shown and imported; the file stays valid JSON.
    EXPECT_TRUE(output.contains("new controllers")) << output.toStdString();
    EXPECT_TRUE(project.json().value("devices").isArray());
}

} // namespace
