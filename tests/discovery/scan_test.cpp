// Protects the scan engine's bookkeeping with a fake probe: how many workers run, which targets are
// claimed and how often, which finds are reported, and how the window and the cancel flag stop it.
// Every test passes explicit hosts; none touches a real interface.

#include <gtest/gtest.h>

#include "camp_discovery.h"
#include "qt_printers.h"
#include "worker_pool.h"

#include <QElapsedTimer>
#include <QThread>

#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

using namespace CampDiscovery;

namespace {

// A deadlock guard for the rendezvous below, not a timing expectation.
constexpr std::chrono::seconds kGuard(30);

struct Probe
{
    QString host;
    quint16 port;
    int connectTimeoutMs;
    int identifyTimeoutMs;
};

// Answers as configured and records every probe and the thread that made it. When rendezvous is
// set, the first probes wait until that many different threads are probing at the same time.
class FakeTransport : public Transport
{
public:
    QSet<QString> answering; // "host:port" that answer as CAMP devices
    int rendezvous = 0;
    std::function<void(const Probe&)> onProbe;

    IdentifyResult tcpIdentify(const QString& host, quint16 port, int connectTimeoutMs,
                               int identifyTimeoutMs) override
    {
        const Probe probe{host, port, connectTimeoutMs, identifyTimeoutMs};
        {
            std::unique_lock<std::mutex> lock(mutex);
            probes.append(probe);
            threads.insert(std::this_thread::get_id());
            if (rendezvous > 0 && !met) {
                if (static_cast<int>(threads.size()) >= rendezvous) {
                    met = true;
                    arrived.notify_all();
                } else if (!arrived.wait_for(lock, kGuard, [this] { return met; })) {
                    met = true; // let the rest run out; the test reports the shortfall
                    timedOut = true;
                }
            }
        }
        if (onProbe) {
            onProbe(probe);
        }
        IdentifyResult result;
        if (answering.contains(QStringLiteral("%1:%2").arg(host).arg(port))) {
            result.campReply = true;
            result.v0Word = QStringLiteral("00A1");
            result.serial = QStringLiteral("812");
            result.firmware = QStringLiteral("4.10");
        }
        return result;
    }

    QList<Probe> probeList() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return probes;
    }
    int threadCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(threads.size());
    }
    bool rendezvousTimedOut() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return timedOut;
    }

private:
    mutable std::mutex mutex;
    std::condition_variable arrived;
    QList<Probe> probes;
    std::set<std::thread::id> threads;
    bool met = false;
    bool timedOut = false;
};

Options optionsFor(const QStringList& hosts, const QList<quint16>& ports = {4450})
{
    Options options;
    options.hosts = hosts;
    options.tcpPorts = ports;
    return options;
}

QStringList numberedHosts(int count)
{
    QStringList hosts;
    for (int i = 0; i < count; ++i) {
        hosts.append(QStringLiteral("10.77.%1.%2").arg(i / 250).arg(i % 250 + 1));
    }
    return hosts;
}

QStringList candidateKeys(const QList<Candidate>& candidates)
{
    QStringList keys;
    for (const Candidate& c : candidates) {
        keys.append(QStringLiteral("%1:%2").arg(c.address).arg(c.port));
    }
    keys.sort();
    return keys;
}

} // namespace

TEST(DiscoveryScan, StartsOneWorkerPerTargetUpToTheLimit)
{
    FakeTransport three;
    three.rendezvous = 3;
    discoverDevices(optionsFor({"10.77.0.1", "10.77.0.2", "10.77.0.3"}), three, nullptr, nullptr);
    EXPECT_FALSE(three.rendezvousTimedOut());
    EXPECT_EQ(three.threadCount(), 3);

    FakeTransport many;
    many.rendezvous = kMaxSynWorkers;
    discoverDevices(optionsFor(numberedHosts(1000)), many, nullptr, nullptr);
    EXPECT_FALSE(many.rendezvousTimedOut());
    EXPECT_EQ(many.threadCount(), kMaxSynWorkers);
    EXPECT_EQ(many.probeList().size(), 1000);
}

TEST(DiscoveryScan, EveryTargetIsClaimedOnceWithTheFixedTimeOuts)
{
    FakeTransport transport;
    const QStringList hosts = numberedHosts(600);
    discoverDevices(optionsFor(hosts, {4450, 4451}), transport, nullptr, nullptr);

    QMap<QString, int> probesPerTarget;
    for (const Probe& probe : transport.probeList()) {
        ++probesPerTarget[QStringLiteral("%1:%2").arg(probe.host).arg(probe.port)];
        EXPECT_EQ(probe.connectTimeoutMs, 80);
        EXPECT_EQ(probe.identifyTimeoutMs, 2500);
    }
    EXPECT_EQ(probesPerTarget.size(), 1200);
    for (auto it = probesPerTarget.cbegin(); it != probesPerTarget.cend(); ++it) {
        EXPECT_EQ(it.value(), 1) << it.key().toStdString();
    }
}

TEST(DiscoveryScan, FiltersTargetsAndReportsEachFindOnce)
{
    FakeTransport transport;
    transport.answering = {"10.77.0.5:4450", "10.77.0.5:4451", "10.77.0.6:4450",
                           "10.77.0.6:4451", "127.0.0.1:4450", "0.0.0.0:4450"};
    Options options =
        optionsFor({"", "0.0.0.0", "127.0.0.1", "10.77.0.5", "10.77.0.6", "10.77.0.5", "10.77.0.7"},
                   {4450, 4451});
    options.existingUids = QStringList({"camp_nitp_10_77_0_6_4450", "CAMP_NITP_10_77_0_6_4451"});

    QStringList log;
    const QList<Candidate> found = discoverDevices(options, transport, &log, nullptr);

    QStringList probed;
    for (const Probe& probe : transport.probeList()) {
        probed.append(QStringLiteral("%1:%2").arg(probe.host).arg(probe.port));
    }
    probed.sort();
    // Filtered entries are never probed; the duplicate is probed twice.
    EXPECT_EQ(probed, QStringList({"10.77.0.5:4450", "10.77.0.5:4450", "10.77.0.5:4451",
                                   "10.77.0.5:4451", "10.77.0.6:4450", "10.77.0.6:4451",
                                   "10.77.0.7:4450", "10.77.0.7:4451"}));
    // Known uids are skipped per port and compared case-sensitively.
    EXPECT_EQ(candidateKeys(found),
              QStringList({"10.77.0.5:4450", "10.77.0.5:4451", "10.77.0.6:4451"}));
    for (const Candidate& c : found) {
        EXPECT_EQ(c.v0Word, QStringLiteral("00A1"));
        EXPECT_EQ(c.serial, QStringLiteral("812"));
        EXPECT_EQ(c.firmware, QStringLiteral("4.10"));
        EXPECT_FALSE(c.protocolError);
    }
    EXPECT_EQ(log, QStringList({"CAMP NITP discovery probes TCP 4450, 4451 . Accept commas and "
                                "ranges, for example 4450, 4480 or 4450-4451."}));
}

TEST(DiscoveryScan, NothingToDoStartsNoWorker)
{
    FakeTransport transport;
    QStringList log;

    Options off = optionsFor({"10.77.0.1"});
    off.tcpSubnetScan = false;
    EXPECT_TRUE(discoverDevices(off, transport, &log, nullptr).isEmpty());

    EXPECT_TRUE(discoverDevices(optionsFor({"10.77.0.1"}, {}), transport, &log, nullptr).isEmpty());
    EXPECT_TRUE(discoverDevices(optionsFor({"", "0.0.0.0", "127.1.2.3"}), transport, &log, nullptr)
                    .isEmpty());

    EXPECT_TRUE(transport.probeList().isEmpty());
    EXPECT_EQ(transport.threadCount(), 0);
    ASSERT_EQ(log.size(), 3); // the probes line is written every time
    EXPECT_TRUE(log[1].startsWith(QStringLiteral("CAMP NITP discovery probes TCP  . Accept")));
}

TEST(DiscoveryScan, CancelAndWindowStopNewClaims)
{
    FakeTransport transport;
    transport.answering = {"10.77.0.1:4450"};
    std::atomic<bool> cancel{true};
    EXPECT_TRUE(
        discoverDevices(optionsFor(numberedHosts(100)), transport, nullptr, &cancel).isEmpty());

    Options closedWindow = optionsFor(numberedHosts(100));
    closedWindow.timeoutMs = 0;
    EXPECT_TRUE(discoverDevices(closedWindow, transport, nullptr, nullptr).isEmpty());
    closedWindow.timeoutMs = -1;
    EXPECT_TRUE(discoverDevices(closedWindow, transport, nullptr, nullptr).isEmpty());
    EXPECT_TRUE(transport.probeList().isEmpty());

    // Cancelled while all 48 workers are in their first probe: those probes end, the hosts'
    // other ports are not probed, and no further target is claimed.
    FakeTransport cancelledInFlight;
    cancel = false;
    cancelledInFlight.rendezvous = kMaxSynWorkers;
    cancelledInFlight.onProbe = [&cancel](const Probe&) { cancel = true; };
    EXPECT_TRUE(discoverDevices(optionsFor(numberedHosts(100), {4450, 4451}), cancelledInFlight,
                                nullptr, &cancel)
                    .isEmpty());
    EXPECT_FALSE(cancelledInFlight.rendezvousTimedOut());
    EXPECT_EQ(cancelledInFlight.probeList().size(), kMaxSynWorkers);
    for (const Probe& probe : cancelledInFlight.probeList()) {
        EXPECT_EQ(probe.port, 4450);
    }

    // The window passes while all 48 workers are in their first probe: each still probes its
    // host's second port, but the 49th host is never claimed.
    FakeTransport windowPasses;
    windowPasses.answering = {"10.77.0.1:4451"};
    windowPasses.rendezvous = kMaxSynWorkers;
    Options shortWindow = optionsFor(numberedHosts(kMaxSynWorkers + 1), {4450, 4451});
    // Long enough for all 48 workers to start and claim on a loaded machine.
    shortWindow.timeoutMs = 1000;
    windowPasses.onProbe = [&shortWindow](const Probe& probe) {
        if (probe.port != 4450) {
            return;
        }
        // Started after the scan's window, so the window has passed when this returns.
        QElapsedTimer sinceProbe;
        sinceProbe.start();
        while (sinceProbe.elapsed() <= shortWindow.timeoutMs) {
            QThread::msleep(5);
        }
    };
    const QList<Candidate> found = discoverDevices(shortWindow, windowPasses, nullptr, nullptr);
    EXPECT_EQ(candidateKeys(found), QStringList({"10.77.0.1:4451"}));
    EXPECT_FALSE(windowPasses.rendezvousTimedOut()) << windowPasses.threadCount() << " threads";
    EXPECT_EQ(windowPasses.probeList().size(), 2 * kMaxSynWorkers);
    for (const Probe& probe : windowPasses.probeList()) {
        EXPECT_NE(probe.host, numberedHosts(kMaxSynWorkers + 1).last());
    }
}

TEST(DiscoveryScan, WorkersThatCannotStartAreNotWaitedFor)
{
    std::atomic<int> runs{0};
    auto work = [&runs] { ++runs; };

    EXPECT_EQ(detail::runWorkers(5, work), 5);
    EXPECT_EQ(runs.load(), 5);

    // The third start fails: no further thread is tried, the two running are joined.
    runs = 0;
    int attempts = 0;
    auto failThird = [&attempts](const std::function<void()>& w) {
        if (++attempts == 3) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(w);
    };
    EXPECT_EQ(detail::runWorkers(10, work, failThird), 2);
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(runs.load(), 2);

    EXPECT_EQ(detail::runWorkers(0, work), 0);
}

TEST(DiscoveryScan, DebugLineFollowsTheEnvironment)
{
    FakeTransport transport;
    transport.answering = {"10.77.0.1:4450", "10.77.0.2:4450"};
    const Options options = optionsFor({"10.77.0.1", "10.77.0.2", "10.77.0.3"});
    std::atomic<bool> cancel{true};

    qunsetenv("KIB_DISCOVERY_DEBUG");
    testing::internal::CaptureStderr();
    discoverDevices(options, transport, nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    qputenv("KIB_DISCOVERY_DEBUG", QByteArray());
    testing::internal::CaptureStderr();
    discoverDevices(options, transport, nullptr, nullptr);
    discoverDevices(options, transport, nullptr, &cancel);
    discoverDevices(optionsFor({"127.0.0.1"}), transport, nullptr, nullptr); // no workers, no line
    const std::string written = testing::internal::GetCapturedStderr();
    qunsetenv("KIB_DISCOVERY_DEBUG");
    EXPECT_EQ(written, "CAMP NITP discovery importable=2\nCAMP NITP discovery importable=0\n");
}
