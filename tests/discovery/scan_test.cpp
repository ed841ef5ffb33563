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

// Answers as configured and records every probe ("host:port") and the thread that made it. With
// rendezvous set, the first probes wait until that many threads are probing at the same time.
class FakeTransport : public Transport
{
public:
    QSet<QString> answering; // "host:port" that answer as CAMP devices (on 4451 with an error)
    int rendezvous = 0;
    std::function<void(quint16 port)> onProbe;

    IdentifyResult tcpIdentify(const QString& host, quint16 port, int connectTimeoutMs,
                               int identifyTimeoutMs) override
    {
        EXPECT_EQ(connectTimeoutMs, 80);
        EXPECT_EQ(identifyTimeoutMs, 2500);
        const QString target = QStringLiteral("%1:%2").arg(host).arg(port);
        {
            std::unique_lock<std::mutex> lock(mutex);
            probeList.append(target);
            threads.insert(std::this_thread::get_id());
            if (rendezvous > 0 && !met) {
                met = static_cast<int>(threads.size()) >= rendezvous;
                arrived.notify_all();
                // A deadlock guard, not a timing expectation.
                missed = !arrived.wait_for(lock, std::chrono::seconds(30), [this] { return met; });
                met = true;
            }
        }
        if (onProbe) {
            onProbe(port);
        }
        IdentifyResult result;
        result.campReply = answering.contains(target);
        result.protocolError = result.campReply && port == 4451;
        if (result.campReply) {
            result.v0Word = QStringLiteral("00A1");
            result.serial = QStringLiteral("812");
            result.firmware = QStringLiteral("4.10");
        }
        return result;
    }

    QStringList probes() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        QStringList sorted = probeList;
        sorted.sort();
        return sorted;
    }
    // The threads that probed, or -1 when the rendezvous was never met.
    int threadCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return missed ? -1 : static_cast<int>(threads.size());
    }

private:
    mutable std::mutex mutex;
    std::condition_variable arrived;
    QStringList probeList;
    std::set<std::thread::id> threads;
    bool met = false;
    bool missed = false;
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

QStringList keys(const QList<Candidate>& candidates)
{
    QStringList found;
    for (const Candidate& c : candidates) {
        found.append(QStringLiteral("%1:%2 %3 %4 %5%6")
                         .arg(c.address)
                         .arg(c.port)
                         .arg(c.v0Word, c.serial, c.firmware,
                              c.protocolError ? QStringLiteral(" error") : QString()));
    }
    found.sort();
    return found;
}

} // namespace

TEST(DiscoveryScan, UpTo48WorkersClaimEveryTargetOnce)
{
    FakeTransport three;
    three.rendezvous = 3;
    discoverDevices(optionsFor({"10.77.0.1", "10.77.0.2", "10.77.0.3"}), three, nullptr, nullptr);
    EXPECT_EQ(three.threadCount(), 3);

    FakeTransport many;
    many.rendezvous = kMaxSynWorkers;
    discoverDevices(optionsFor(numberedHosts(1000), {4450, 4451}), many, nullptr, nullptr);
    EXPECT_EQ(many.threadCount(), kMaxSynWorkers);
    QStringList probes = many.probes();
    EXPECT_EQ(probes.size(), 2000);
    EXPECT_EQ(probes.removeDuplicates(), 0);
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
    // Filtered entries are never probed; the duplicate is probed twice but reported once.
    EXPECT_EQ(transport.probes(), QStringList({"10.77.0.5:4450", "10.77.0.5:4450", "10.77.0.5:4451",
                                               "10.77.0.5:4451", "10.77.0.6:4450", "10.77.0.6:4451",
                                               "10.77.0.7:4450", "10.77.0.7:4451"}));
    // Known uids are skipped per port and compared case-sensitively.
    EXPECT_EQ(keys(found),
              QStringList({"10.77.0.5:4450 00A1 812 4.10", "10.77.0.5:4451 00A1 812 4.10 error",
                           "10.77.0.6:4451 00A1 812 4.10 error"}));
    EXPECT_EQ(log, QStringList({"CAMP NITP discovery probes TCP 4450, 4451 . Accept commas and "
                                "ranges, for example 4450, 4480 or 4450-4451."}));
}

TEST(DiscoveryScan, NothingToDoStartsNoWorker)
{
    FakeTransport transport;
    QStringList log;
    Options off = optionsFor({"10.77.0.1"});
    off.tcpSubnetScan = false;
    qputenv("KIB_DISCOVERY_DEBUG", QByteArray()); // a scan without workers tells nothing
    testing::internal::CaptureStderr();
    EXPECT_TRUE(discoverDevices(off, transport, &log, nullptr).isEmpty());
    EXPECT_TRUE(discoverDevices(optionsFor({"10.77.0.1"}, {}), transport, &log, nullptr).isEmpty());
    EXPECT_TRUE(discoverDevices(optionsFor({"", "0.0.0.0", "127.1.2.3"}), transport, &log, nullptr)
                    .isEmpty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    qunsetenv("KIB_DISCOVERY_DEBUG");
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
    for (int window : {0, -1}) {
        closedWindow.timeoutMs = window;
        EXPECT_TRUE(discoverDevices(closedWindow, transport, nullptr, nullptr).isEmpty());
    }
    EXPECT_TRUE(transport.probes().isEmpty());

    // Cancelled while all 48 workers are in their first probe: those probes end, the hosts'
    // other ports are not probed, and no further target is claimed.
    FakeTransport cancelledInFlight;
    cancel = false;
    cancelledInFlight.rendezvous = kMaxSynWorkers;
    cancelledInFlight.onProbe = [&cancel](quint16) { cancel = true; };
    EXPECT_TRUE(discoverDevices(optionsFor(numberedHosts(100), {4450, 4451}), cancelledInFlight,
                                nullptr, &cancel)
                    .isEmpty());
    EXPECT_EQ(cancelledInFlight.threadCount(), kMaxSynWorkers);
    EXPECT_EQ(cancelledInFlight.probes().size(), kMaxSynWorkers);
    EXPECT_TRUE(cancelledInFlight.probes().filter(":4451").isEmpty());

    // The window passes while all 48 workers are in their first probe: each still probes its
    // host's second port, but the 49th host is never claimed.
    FakeTransport windowPasses;
    windowPasses.answering = {"10.77.0.1:4451"};
    windowPasses.rendezvous = kMaxSynWorkers;
    const QStringList hosts = numberedHosts(kMaxSynWorkers + 1);
    Options shortWindow = optionsFor(hosts, {4450, 4451});
    shortWindow.timeoutMs = 1000; // long enough for all 48 workers to start on a loaded machine
    windowPasses.onProbe = [&shortWindow](quint16 port) {
        // Started after the scan's window, so the window has passed when this returns.
        QElapsedTimer sinceProbe;
        sinceProbe.start();
        while (port == 4450 && sinceProbe.elapsed() <= shortWindow.timeoutMs) {
            QThread::msleep(5);
        }
    };
    const QList<Candidate> found = discoverDevices(shortWindow, windowPasses, nullptr, nullptr);
    EXPECT_EQ(keys(found), QStringList({"10.77.0.1:4451 00A1 812 4.10 error"}));
    EXPECT_EQ(windowPasses.threadCount(), kMaxSynWorkers);
    EXPECT_EQ(windowPasses.probes().size(), 2 * kMaxSynWorkers);
    EXPECT_TRUE(windowPasses.probes().filter(hosts.last() + ':').isEmpty());
}

TEST(DiscoveryScan, WorkersThatCannotStartAreNotWaitedFor)
{
    std::atomic<int> runs{0};
    auto work = [&runs] { ++runs; };
    EXPECT_EQ(detail::runWorkers(5, work), 5);
    EXPECT_EQ(runs.load(), 5);
    EXPECT_EQ(detail::runWorkers(0, work), 0);

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
    const std::string written = testing::internal::GetCapturedStderr();
    qunsetenv("KIB_DISCOVERY_DEBUG");
    EXPECT_EQ(written, "CAMP NITP discovery importable=2\nCAMP NITP discovery importable=0\n");
}
