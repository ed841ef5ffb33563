// That host calls and stopPlugin() may meet in any order: 64 simulated PLCs (half of them named
// by a host name), 8 host threads polling and writing at random through the loaded plugin, and
// stopPlugin() called again and again while calls are in flight. Nothing may crash, hang or fail:
// every acknowledged write reaches its PLC exactly once and in order, every refused one never does,
// a thread always reads back what it wrote last, and the descriptors and heap in use come back to
// where they started. KIB_STRESS_SECONDS=N keeps the threads at it for N seconds instead of a few
// seconds' worth.

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "hostconfig.h"
#include "kib_requests.h"
#include "open_descriptors.h"
#include "plugin_loader.h"
#include "simulated_plc.h"

namespace {

using namespace camp_sim;
using namespace kib_requests;
using Clock = std::chrono::steady_clock;

constexpr int kDevices = 64;
constexpr int kThreads = 8;
constexpr int kCallsPerThread = 600; // the short run
constexpr int kCallsBetweenStops = 40;
constexpr quint32 kOwnWord = 1000;     // thread t writes V(1000 + t) on every device
constexpr quint32 kRefusedWord = 3000; // V(3000 + t): the PLC answers every write with an error

// Every other device is addressed by a host name, resolved by each new connection on the threads
// at once.
QString deviceAddress(int device)
{
    return device % 2 ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1");
}

DataItem vWord(quint32 address, const QString& value = QString())
{
    return entry(
        memoryItem(QStringLiteral("v%1").arg(address), kClassV, QString::number(address), Unsigned),
        value);
}

// What one host thread did to one device: its own word holds `acknowledged` after the writes of
// 1, 2, 3 ... to it; `refusedByPlc` writes got an error reply.
struct Ledger
{
    int acknowledged = 0;
    int refusedByPlc = 0;
};

class StressRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HostConfig::instance().reset();
        plugin = loadPlugin();
        ASSERT_NE(plugin, nullptr) << pluginLoader().errorString().toStdString();
        Faults faults;
        for (int t = 0; t < kThreads; ++t) {
            faults.errorAddresses.append({kClassV, kRefusedWord + quint32(t)});
        }
        for (int d = 0; d < kDevices; ++d) {
            plcs.push_back(std::make_unique<SimulatedPlc>());
            ASSERT_TRUE(plcs.back()->start()) << plcs.back()->lastError().toStdString();
            plcs.back()->setFaults(faults);
        }
    }

    void TearDown() override { plugin->stopPlugin(); }

    // One call of a host thread to a device: a poll of every thread's word (its own must hold its
    // last write), a write of the next value to its own word, a write the PLC refuses, or one
    // refused before anything is sent.
    void call(int thread, int device, int kind, Ledger& ledger)
    {
        const quint32 own = kOwnWord + quint32(thread);
        QList<DataItem> items;
        for (int t = 0; kind < 4 && t < kThreads; ++t) {
            items.append(vWord(kOwnWord + quint32(t)));
        }
        if (kind >= 4) {
            items = {kind == 8   ? vWord(kRefusedWord + quint32(thread), "7")
                     : kind == 9 ? vWord(own, "70000")
                                 : vWord(own, QString::number(ledger.acknowledged + 1))};
        }
        LogList log =
            deviceRequest(100 + device, QStringLiteral("press-%1").arg(device),
                          deviceAddress(device), plcs[size_t(device)]->port(), 10000, items);
        ASSERT_TRUE(kind < 4 ? plugin->readData(&log) : plugin->writeData(&log))
            << log.errorText.toStdString();
        const DataItem& mine = log.items[kind < 4 ? thread : 0];
        EXPECT_EQ(kind == 8 ? QStringLiteral("Error code: 0292 Extended code: 0000")
                  : kind == 9
                      ? QStringLiteral("Value out of range (Unsigned integer: -32768 to 65535)")
                      : QString(),
                  mine.item.errorText)
            << "thread " << thread << " device " << device;
        EXPECT_TRUE(kind >= 4 || valueOf(mine) == QString::number(ledger.acknowledged))
            << "thread " << thread << " device " << device << " read "
            << valueOf(mine).toStdString();
        ledger.acknowledged += kind >= 4 && kind < 8 ? 1 : 0;
        ledger.refusedByPlc += kind == 8 ? 1 : 0;
    }

    KIBInterface* plugin = nullptr;
    std::vector<std::unique_ptr<SimulatedPlc>> plcs;
};

TEST_F(StressRun, ManyThreadsManyDevicesAndStopsInFlight)
{
    // One call on every device first, so that what Qt and the plugin set up once is there
    // before the descriptors and the heap are counted.
    Ledger warmUp;
    for (int d = 0; d < kDevices; ++d) {
        call(0, d, 0, warmUp);
    }
    plugin->stopPlugin();
    for (const auto& plc : plcs) {
        ASSERT_TRUE(plc->waitForOpenConnections(0));
        plc->resetCounters();
    }
    HostConfig::instance().reset();
    const int descriptorsBefore = openDescriptors();
    const size_t heapBefore = mallinfo2().uordblks;

    const char* seconds = std::getenv("KIB_STRESS_SECONDS");
    const Clock::time_point until =
        Clock::now() + std::chrono::seconds(seconds ? std::atoi(seconds) : 0);
    std::vector<std::vector<Ledger>> ledgers(kThreads, std::vector<Ledger>(kDevices));
    std::atomic<int> finished{0}, running{kThreads};
    int stops = 0;
    auto run = std::async(std::launch::async, [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 random(20261206u + unsigned(t));
                for (int n = 0; seconds ? Clock::now() < until : n < kCallsPerThread; ++n) {
                    const int device = int(random() % kDevices), kind = int(random() % 10);
                    Ledger& ledger = ledgers[size_t(t)][size_t(device)];
                    call(t, device, kind < 8 && ledger.acknowledged == 0xFFFF ? 0 : kind, ledger);
                    ++finished;
                }
                --running;
            });
        }
        // stopPlugin() after every few finished calls, while the other calls are still going.
        for (int next = kCallsBetweenStops; running > 0;
             std::this_thread::sleep_for(std::chrono::microseconds(200))) {
            if (finished >= next) {
                plugin->stopPlugin();
                ++stops;
                next = finished + kCallsBetweenStops;
            }
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    // Not a time limit on the work: a bound on waiting for a deadlock that would never end.
    if (run.wait_for(std::chrono::minutes(10)) != std::future_status::ready) {
        std::fprintf(stderr, "stress run hung: a deadlock between host calls and stopPlugin()\n");
        std::abort();
    }
    plugin->stopPlugin();
    std::printf("%d calls, %d stopPlugin() calls while calls were in flight\n", finished.load(),
                stops);

    // Every acknowledged write reached its PLC exactly once and in order; nothing refused did.
    for (int d = 0; d < kDevices; ++d) {
        const SimulatedPlc& plc = *plcs[size_t(d)];
        QMap<quint32, QList<int>> written; // word: the values of its write frames, in order
        for (const QByteArray& frame : plc.requests()) {
            if (frame.mid(1, 2) == "06") {
                written[frame.mid(7, 6).toUInt(nullptr, 16)] << frame.mid(15, 4).toInt(nullptr, 16);
            }
        }
        for (int t = 0; t < kThreads; ++t) {
            const Ledger& ledger = ledgers[size_t(t)][size_t(d)];
            QList<int> acknowledged;
            for (int v = 1; v <= ledger.acknowledged; ++v) {
                acknowledged << v;
            }
            SCOPED_TRACE(QStringLiteral("thread %1 device %2").arg(t).arg(d).toStdString());
            EXPECT_EQ(acknowledged, written.take(kOwnWord + quint32(t)));
            EXPECT_EQ(ledger.refusedByPlc, written.take(kRefusedWord + quint32(t)).size());
            EXPECT_EQ(ledger.acknowledged, plc.word(kClassV, kOwnWord + quint32(t)));
            EXPECT_EQ(0, plc.word(kClassV, kRefusedWord + quint32(t)));
        }
        EXPECT_TRUE(written.isEmpty()) << "device " << d; // a write refused here is never sent
    }

    // Every connection closed, every descriptor returned, the heap as it was.
    for (const auto& plc : plcs) {
        EXPECT_TRUE(plc->waitForOpenConnections(0));
        plc->resetCounters(); // the kept request frames
    }
    HostConfig::instance().reset(); // the host's debug log of every write
    EXPECT_EQ(descriptorsBefore, openDescriptors());
    EXPECT_TRUE(!KIB_HEAP_COUNTED || mallinfo2().uordblks < heapBefore + 512 * 1024)
        << "heap in use grew from " << heapBefore << " to " << mallinfo2().uordblks << " bytes";
}

} // namespace
