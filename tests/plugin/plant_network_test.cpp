// A plant's network, not loopback: the plugin polls a simulated PLC inside a network namespace
// whose link drops everything for a moment when asked (a connect then waits a second for its SYN to
// go again), and whose name server answers or falls silent. Values are checked against the
// simulated memory on every poll. Needs root for the namespace; skipped otherwise.

#include "plugin_fixture.h"

#include <QDir>
#include <QTemporaryFile>

#include <chrono>
#include <thread>

#include "name_server.h"
#include "network_namespace.h"

using namespace plugin_test;

namespace {

constexpr quint32 kWord = 100;

class PlantNetwork : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const QString why = ns.create();
        if (!why.isEmpty()) {
            GTEST_SKIP() << why.toStdString();
        }
        ASSERT_TRUE(ns.enter()); // this thread, and the PLC's and plugin's threads it starts
        plugin = loadPlugin();
        ASSERT_NE(plugin, nullptr);
        plugin->stopPlugin();
        plc = std::make_unique<SimulatedPlc>();
        ASSERT_TRUE(plc->start()) << plc->lastError().toStdString();
    }

    void TearDown() override
    {
        if (plugin) {
            plugin->stopPlugin();
        }
        plc.reset();
    }

    // The name server the thread's look-ups go to from now on.
    void serveNames(int resolverTimeoutSeconds)
    {
        ASSERT_TRUE(names.start()) << names.lastError().toStdString();
        names.setAddress("press.plant", "127.0.0.1");
        ASSERT_TRUE(resolvConf.open());
        resolvConf.write(names.resolvConf(resolverTimeoutSeconds));
        resolvConf.flush();
        ASSERT_TRUE(NetworkNamespace::useResolvConf(resolvConf.fileName()));
    }

    LogList pollOf(const QString& host, int timeoutMs) const
    {
        LogList log = deviceRequest(7, QStringLiteral("press-7"), host, plc->port(), timeoutMs,
                                    {entry(memoryItem("v", kClassV, "100", Unsigned))});
        log.columns.insert(QStringLiteral("offscan_after"), QStringLiteral("1"));
        return log;
    }

    // One poll that must read the word's new value; the device's error when it does not.
    QString pollOnce(LogList log)
    {
        plc->setWord(kClassV, kWord, ++generation);
        if (plugin->readData(&log) && valueOf(log.items[0]) == QString::number(generation)) {
            return QString();
        }
        return log.errorText.isEmpty() ? QStringLiteral("no value") : log.errorText;
    }

    NetworkNamespace ns{NetworkNamespace::uniqueName(QStringLiteral("kib_plant"))};
    NameServer names;
    QTemporaryFile resolvConf{QDir::tempPath() + QStringLiteral("/poll_write_test-XXXXXX")};
    HostConfigScope host;
    KIBInterface* plugin = nullptr;
    std::unique_ptr<SimulatedPlc> plc;
    quint16 generation = 0;
};

} // namespace

// A device off-scan after an outage, polled once every 1.6 s with a 1.5 s time-out, on a link that
// loses the first packets of the polls around the module's return: each connect waits a second for
// its SYN to go again. The probe gives its connection the device time-out and its read a time-out
// of its own, so the module is seen again, and every poll from the third after its return is whole.
TEST_F(PlantNetwork, AnOffScanDeviceComesBackOverSlowConnects)
{
    const LogList poll = pollOf(QStringLiteral("127.0.0.1"), 1500);
    EXPECT_EQ(pollOnce(poll), QString());
    ASSERT_TRUE(ns.setDropping(true));
    EXPECT_NE(pollOnce(poll), QString()); // a time-out: off-scan
    ASSERT_TRUE(ns.setDropping(false));

    QStringList outcomes;
    for (int round = 0; round < 6; ++round) {
        const auto started = std::chrono::steady_clock::now();
        // The probe's connect, the probe's read and the first poll's connect each lose their
        // first packet; the polls after them run on a quiet link.
        if (round < 3) {
            ASSERT_TRUE(ns.dropFor(150));
        }
        const QString error = pollOnce(poll);
        outcomes.append(error.isEmpty() ? QStringLiteral("whole") : error);
        std::this_thread::sleep_until(started + std::chrono::milliseconds(1600));
    }
    for (int round = 2; round < outcomes.size(); ++round) {
        EXPECT_EQ(outcomes[round], QStringLiteral("whole"))
            << "poll " << round + 1 << ": " << outcomes.join(QStringLiteral(" | ")).toStdString();
    }
}

// The name server goes silent (it often goes with the module's switch). A device whose name
// resolved before goes on polling its address, also across reconnects and while it is off-scan;
// a name that never resolved fails the poll within the device time-out and says why. The
// resolver itself would wait 3 s for the silent server.
TEST_F(PlantNetwork, ANamedDeviceRidesOutASilentNameServer)
{
    serveNames(3);
    const LogList poll = pollOf(QStringLiteral("press.plant"), 500);
    EXPECT_EQ(pollOnce(poll), QString());
    EXPECT_GE(names.queries(), 1);

    names.setSilent(true);
    for (int reconnect = 0; reconnect < 3; ++reconnect) {
        plc->dropConnections();
        EXPECT_EQ(pollOnce(poll), QString()) << "reconnect " << reconnect;
    }

    LogList unknown = pollOf(QStringLiteral("other.plant"), 500);
    unknown.id = 8;
    EXPECT_FALSE(plugin->readData(&unknown));
    EXPECT_EQ(unknown.errorText,
              QStringLiteral(
                  "Couldn't resolve other.plant: the name server did not answer within 500 ms"));

    // The module goes away and comes back while the name server is still silent.
    const quint16 port = plc->port();
    plc->stop();
    EXPECT_NE(pollOnce(poll), QString());
    EXPECT_TRUE(pollOnce(poll).startsWith(QStringLiteral("Off-scan since")));
    ASSERT_TRUE(plc->start(QStringLiteral("127.0.0.1"), port));
    QString comingBack = QStringLiteral("not polled");
    for (int offScanPoll = 0; offScanPoll < 5 && !comingBack.isEmpty(); ++offScanPoll) {
        QThread::msleep(100); // the probe's reply arrives between polls
        comingBack = pollOnce(poll);
    }
    EXPECT_EQ(comingBack, QString());
    EXPECT_EQ(pollOnce(poll), QString());
}
