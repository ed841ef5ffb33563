// The stress run: 64 simulated PLCs, 8 host threads polling and writing at random through the
// loaded plugin, and stopPlugin() called again and again while calls are in flight. Nothing may
// crash, hang, fail, lose or repeat a write: every acknowledged write reaches its PLC exactly once
// and in order, every refused one never does, a thread always reads back what it wrote last, and
// the descriptors and heap in use come back to where they started.
//
// The run is short by default (a few seconds of work); KIB_STRESS_SECONDS=N keeps the threads at it
// for N seconds instead.

#include <gtest/gtest.h>

#include <QDir>

#include <malloc.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "hostconfig.h"
#include "plugin_loader.h"
#include "plugin_requests.h"
#include "simulated_plc.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KIB_STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KIB_STRESS_SANITIZED 1
#endif
#endif

namespace {

using namespace camp_sim;
using namespace kib_test;
using Clock = std::chrono::steady_clock;

constexpr int kDevices = 64;
constexpr int kThreads = 8;
constexpr int kOpsPerThread = 600; // the short run
constexpr int kOpsBetweenStops = 40;
constexpr quint32 kOwnWord = 1000;       // thread t writes V(1000 + t) on every device
constexpr quint32 kRefusedWord = 3000;   // V(3000 + t): the PLC answers every write with an error
constexpr int kLongestWaitSeconds = 600; // past this the run counts as hung

int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size());
}

size_t heapInUse()
{
    return mallinfo2().uordblks;
}

ItemInstancePlugin vWord(quint32 address)
{
    return memoryItem(QStringLiteral("v%1").arg(address), kClassV, QString::number(address),
                      Unsigned);
}

// What one host thread did to one device.
struct Ledger
{
    int acknowledged = 0; // writes of 1, 2, 3 ... to its own word, each acknowledged
    int refusedByPlc = 0; // writes the PLC answered with an error reply
    int refusedHere = 0;  // writes refused before anything was sent
};

class StressRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HostConfig::instance().reset();
        plugin = loadPlugin();
        ASSERT_NE(plugin, nullptr) << pluginLoader().errorString().toStdString();
        plugin->stopPlugin();
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

    void TearDown() override
    {
        plugin->stopPlugin();
        plcs.clear();
    }

    LogList request(int device, const QList<DataItem>& items) const
    {
        return deviceRequest(100 + device, QStringLiteral("press-%1").arg(device),
                             QStringLiteral("127.0.0.1"), plcs[size_t(device)]->port(), 10000,
                             items);
    }

    // Reads every thread's own word of a device; the caller's own word must hold its last write.
    void poll(int thread, int device, const Ledger& ledger)
    {
        QList<DataItem> items;
        for (int t = 0; t < kThreads; ++t) {
            items.append(DataItem(vWord(kOwnWord + quint32(t))));
        }
        LogList log = request(device, items);
        EXPECT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
        const DataItem& own = log.items[thread];
        EXPECT_EQ(own.item.errorText, QString());
        EXPECT_EQ(valueOf(own), QString::number(ledger.acknowledged))
            << "thread " << thread << " device " << device;
    }

    void writeOwnWord(int thread, int device, Ledger& ledger)
    {
        LogList log = request(device, {entry(vWord(kOwnWord + quint32(thread)),
                                             QString::number(ledger.acknowledged + 1))});
        const bool ok = plugin->writeData(&log);
        EXPECT_TRUE(ok) << log.errorText.toStdString();
        EXPECT_EQ(log.items[0].item.errorText, QString());
        if (ok && log.items[0].item.errorText.isEmpty()) {
            ++ledger.acknowledged;
        }
    }

    void writeRefused(int thread, int device, Ledger& ledger, bool byPlc)
    {
        const quint32 word = byPlc ? kRefusedWord + quint32(thread) : kOwnWord + quint32(thread);
        LogList log = request(
            device, {entry(vWord(word), byPlc ? QStringLiteral("7") : QStringLiteral("70000"))});
        EXPECT_TRUE(plugin->writeData(&log)) << log.errorText.toStdString();
        EXPECT_EQ(log.items[0].item.errorText,
                  byPlc ? QStringLiteral("Error code: 0292 Extended code: 0000")
                        : QStringLiteral("Value out of range"));
        ++(byPlc ? ledger.refusedByPlc : ledger.refusedHere);
    }

    void hostThread(int thread, Clock::time_point until, std::vector<Ledger>& ledgers)
    {
        std::mt19937 random(20261206u + unsigned(thread));
        std::uniform_int_distribution<int> pickDevice(0, kDevices - 1);
        std::uniform_int_distribution<int> pickOp(0, 9);
        for (int op = 0; running(op, until); ++op) {
            const int device = pickDevice(random);
            Ledger& ledger = ledgers[size_t(device)];
            const int kind = pickOp(random);
            if (kind < 4) {
                poll(thread, device, ledger);
            } else if (kind < 8 && ledger.acknowledged < 65535) {
                writeOwnWord(thread, device, ledger);
            } else {
                writeRefused(thread, device, ledger, kind == 8);
            }
            finishedOne();
        }
    }

    bool running(int op, Clock::time_point until) const
    {
        return until == Clock::time_point() ? op < kOpsPerThread : Clock::now() < until;
    }

    void finishedOne()
    {
        {
            std::lock_guard<std::mutex> lock(progressMutex);
            ++finishedOps;
        }
        progress.notify_all();
    }

    // Calls stopPlugin() after every few finished calls, while the others are still going.
    void stopper(const std::atomic<bool>& done)
    {
        int next = kOpsBetweenStops;
        for (;;) {
            std::unique_lock<std::mutex> lock(progressMutex);
            progress.wait(lock, [&] { return finishedOps >= next || done.load(); });
            if (done.load()) {
                return;
            }
            next = finishedOps + kOpsBetweenStops;
            lock.unlock();
            plugin->stopPlugin();
            ++stops;
        }
    }

    // The write frames one PLC received for a word, in order: their values.
    static QList<int> writtenValues(const SimulatedPlc& plc, quint32 word)
    {
        QList<int> values;
        for (const QByteArray& frame : plc.requests()) {
            if (frame.mid(1, 2) == "06" && frame.mid(7, 6).toUInt(nullptr, 16) == word) {
                values.append(frame.mid(15, 4).toInt(nullptr, 16));
            }
        }
        return values;
    }

    KIBInterface* plugin = nullptr;
    std::vector<std::unique_ptr<SimulatedPlc>> plcs;
    std::mutex progressMutex;
    std::condition_variable progress;
    int finishedOps = 0;
    int stops = 0;
};

TEST_F(StressRun, ManyThreadsManyDevicesAndStopsInFlight)
{
    // One call on every device first, so that what Qt and the plugin set up once is there
    // before the descriptors and the heap are counted.
    for (int d = 0; d < kDevices; ++d) {
        LogList log = request(d, {DataItem(vWord(kOwnWord))});
        ASSERT_TRUE(plugin->readData(&log)) << log.errorText.toStdString();
    }
    plugin->stopPlugin();
    for (const auto& plc : plcs) {
        ASSERT_TRUE(plc->waitForOpenConnections(0));
        plc->resetCounters();
    }
    HostConfig::instance().reset();
    const int descriptorsBefore = openDescriptors();
    const size_t heapBefore = heapInUse();

    Clock::time_point until;
    if (const char* seconds = std::getenv("KIB_STRESS_SECONDS")) {
        until = Clock::now() + std::chrono::seconds(std::atoi(seconds));
    }

    std::vector<std::vector<Ledger>> ledgers(kThreads, std::vector<Ledger>(kDevices));
    std::atomic<bool> done{false};
    auto run = std::async(std::launch::async, [&] {
        std::thread stopping([&] { stopper(done); });
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] { hostThread(t, until, ledgers[size_t(t)]); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        done = true;
        progress.notify_all();
        stopping.join();
    });
    // Not a time limit on the work: a bound on waiting for a deadlock that would never end.
    if (run.wait_for(std::chrono::seconds(kLongestWaitSeconds)) != std::future_status::ready) {
        std::fprintf(stderr, "stress run hung: a deadlock between host calls and stopPlugin()\n");
        std::abort();
    }
    plugin->stopPlugin();
    std::printf("%d calls, %d stopPlugin() calls while calls were in flight\n", finishedOps, stops);

    // Every acknowledged write reached its PLC exactly once and in order; nothing refused did.
    for (int d = 0; d < kDevices; ++d) {
        const SimulatedPlc& plc = *plcs[size_t(d)];
        int framesExpected = 0;
        for (int t = 0; t < kThreads; ++t) {
            const Ledger& ledger = ledgers[size_t(t)][size_t(d)];
            QList<int> expected;
            for (int v = 1; v <= ledger.acknowledged; ++v) {
                expected.append(v);
            }
            EXPECT_EQ(writtenValues(plc, kOwnWord + quint32(t)), expected)
                << "thread " << t << " device " << d;
            EXPECT_EQ(plc.word(kClassV, kOwnWord + quint32(t)), ledger.acknowledged);
            EXPECT_EQ(plc.word(kClassV, kRefusedWord + quint32(t)), 0);
            EXPECT_EQ(writtenValues(plc, kRefusedWord + quint32(t)).size(), ledger.refusedByPlc);
            framesExpected += ledger.acknowledged + ledger.refusedByPlc;
        }
        int writeFrames = 0;
        for (const QByteArray& frame : plc.requests()) {
            writeFrames += frame.mid(1, 2) == "06" ? 1 : 0;
        }
        EXPECT_EQ(writeFrames, framesExpected) << "device " << d; // refused here: never sent
    }

    // Every connection closed, every descriptor returned, the heap as it was.
    for (const auto& plc : plcs) {
        EXPECT_TRUE(plc->waitForOpenConnections(0));
        plc->resetCounters(); // the kept request frames
    }
    HostConfig::instance().reset(); // the host's debug log of every write
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
#ifndef KIB_STRESS_SANITIZED
    // The sanitizers' allocators do not keep these counts; LeakSanitizer checks leaks there.
    const size_t heapAfter = heapInUse();
    EXPECT_LT(heapAfter, heapBefore + 512 * 1024)
        << "heap in use grew from " << heapBefore << " to " << heapAfter << " bytes";
#else
    (void)heapBefore;
#endif
}

} // namespace
