// Protects kib-host discover end to end, run only inside a network namespace this test creates:
// an ifb interface with a 10.77.1.0/24 subnet and camp-sim PLCs on /32 addresses of it. Nothing
// here ever scans the machine's own interfaces; without root the tests skip.

#include <QRegularExpression>

#include <csignal>

#include "host_fixture.h"
#include "network_namespace.h"

using namespace host_test;

namespace {

const QString kInterface = QStringLiteral("kibscan0");

class DiscoverInNamespace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const QString reason = ns.create();
        if (!reason.isEmpty()) {
            GTEST_SKIP() << reason.toStdString();
        }
        ASSERT_TRUE(ns.addQuietInterface(kInterface));
        for (const char* cidr : {"10.77.1.1/24", "10.77.1.10/32", "10.77.1.11/32"}) {
            ASSERT_TRUE(ns.addAddress(kInterface, cidr)) << cidr;
        }
        // Serials 3001 at .10:4450, 3002 at .10:4451 and 3003 at .11:4450.
        const QStringList line =
            inside(programLine(CAMP_SIM_PROGRAM, {"--listen", "10.77.1.10:4450", "--listen",
                                                  "10.77.1.10:4451", "--listen", "10.77.1.11:4450",
                                                  "--serial", "3001", "--firmware", "6.1"}));
        sim.start(line.first(), line.mid(1));
        QByteArray output;
        while (output.count("listening on") < 3 && sim.waitForReadyRead(30000)) {
            output += sim.readAllStandardOutput();
        }
        ASSERT_EQ(output.count("listening on"), 3) << output.toStdString();
    }

    QStringList inside(const QStringList& line) const
    {
        return QStringList{"ip", "netns", "exec", name} + line;
    }
    Outcome kibHost(const QStringList& arguments) const
    {
        return runProgram(inside(project.line(arguments)));
    }

    const QString name = camp_sim::NetworkNamespace::uniqueName("kibhost");
    camp_sim::NetworkNamespace ns{name};
    QProcess sim; // stopped before the namespace goes
    ProjectDir project;
};

TEST_F(DiscoverInNamespace, FindsNewControllersImportsThemAndOffersThemOnlyOnce)
{
    // The project knows the PLC at .11 already.
    project.write(QJsonObject{{"devices", QJsonArray{device(1, "10.77.1.11", 4450, {})}}});
    const Outcome run = kibHost(
        {"discover", "--interface", kInterface, "--ports", "4450,4451", "--import", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    QStringList found;
    for (const QJsonValue& candidate : QJsonDocument::fromJson(run.out.toUtf8()).array()) {
        found.append(candidate["uid_hint"].toString() + " | " + candidate["name"].toString() +
                     " | " + candidate["description"].toString());
    }
    found.sort();
    EXPECT_EQ(found, QStringList({"camp_nitp_10_77_1_10_4450 | 3001 (10.77.1.10) | CAMP NITP at "
                                  "10.77.1.10:4450, serial 3001, firmware 6.1",
                                  "camp_nitp_10_77_1_10_4451 | 3002 (10.77.1.10) | CAMP NITP at "
                                  "10.77.1.10:4451, serial 3002, firmware 6.1"}))
        << run.out.toStdString();

    const QJsonArray devices = project.json()["devices"].toArray();
    ASSERT_EQ(devices.size(), 3);
    const QJsonObject imported = devices[1].toObject();
    EXPECT_EQ(imported["id"].toInt(), 2);
    EXPECT_EQ(imported["uid"].toString(), QStringLiteral("camp_nitp_10_77_1_10_4450"));
    EXPECT_EQ(imported["address"].toString(), QStringLiteral("10.77.1.10"));
    EXPECT_EQ(imported["columns"].toObject(),
              (QJsonObject{{"port", "4450"}, {"timeout", "10000"}}));
    EXPECT_EQ(devices[2]["id"].toInt(), 3);

    // Now all are known: a scan of every interface on the default port offers nothing.
    const Outcome again = kibHost({"discover", "--interface", "all", "--import", "--json"});
    ASSERT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(again.out.toUtf8()).array().size(), 0);
    EXPECT_EQ(project.json()["devices"].toArray().size(), 3);

    // The imported device polls like any other, identity included.
    const Outcome poll = kibHost({"poll", "--device", "2", "--json"});
    ASSERT_EQ(poll.exitCode, 0) << poll.out.toStdString() << poll.err.toStdString();
    EXPECT_TRUE(
        poll.out.contains("\"uid\":\"identity_2_serial\",\"name\":\"Serial\",\"value\":\"3001\""))
        << poll.out.toStdString();
}

TEST_F(DiscoverInNamespace, CtrlCStopsTheScanAndStillReports)
{
    project.write(QJsonObject{{"devices", QJsonArray{}}});
    // 64 ports on 254 hosts would keep the scan busy for many seconds.
    QProcess host;
    const QStringList line = inside(
        project.line({"discover", "--interface", kInterface, "--ports", "4450-4513", "--import"}));
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
    EXPECT_TRUE(project.json()["devices"].isArray());
}

} // namespace
