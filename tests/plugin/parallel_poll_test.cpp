// One poll's blocks over several connections ("connections" device column) against a simulated PLC
// that serves requests at scan boundaries: fewer scans, the same values and frames as one
// connection, no more connections than asked for, and no value on a wrong item when a connection
// breaks.

#include <algorithm>
#include <atomic>
#include <thread>

#include "plugin_fixture.h"

using namespace plugin_test;

namespace {

constexpr int kBlocks = 40;

// One-word items 20 words apart: every item is a block of its own.
QList<DataItem> separateBlocks()
{
    QList<DataItem> items;
    for (int k = 0; k < kBlocks; ++k) {
        const quint32 address = 1 + 20 * quint32(k);
        items.append(entry(memoryItem(QStringLiteral("v%1").arg(address), kClassV,
                                      QString::number(address), Unsigned)));
    }
    return items;
}

class ParallelPoll : public PluginTest
{
protected:
    // A PLC whose scans end only when the test says so.
    void startSteppedPlc()
    {
        plc->stop();
        PlcConfig config;
        config.scanTimeMs = 3600000;
        plc = std::make_unique<SimulatedPlc>(config);
        plc->setTrace([this](const QByteArray&, const QByteArray& reply) {
            served += reply.isEmpty() ? 0 : 1;
        });
        ASSERT_TRUE(plc->start());
        for (int k = 0; k < kBlocks; ++k) {
            plc->setWord(kClassV, 1 + 20 * quint32(k), quint16(0x1000 + k));
        }
    }

    LogList pollOf(const char* connections) const
    {
        LogList log = request(7, separateBlocks());
        log.columns.insert(QStringLiteral("connections"), QLatin1String(connections));
        return log;
    }

    // Polls in a thread of its own and ends each scan as soon as `perScan` requests (or all that
    // are left) wait for it. Returns the number of scans the poll took.
    int pollInScans(LogList& log, int perScan, bool& ok)
    {
        std::atomic<bool> done{false};
        std::thread poller([&] {
            ok = plugin->readData(&log);
            done = true;
        });
        int scans = 0;
        for (int left = kBlocks; !done && left > 0; left -= perScan, ++scans) {
            const int waiting = std::min(perScan, left);
            if (!eventually([&] { return done || plc->queuedRequests() == waiting; }) || done) {
                break;
            }
            const int servedBefore = served;
            plc->triggerScan();
            eventually([&] { return served == servedBefore + waiting; });
        }
        poller.join();
        return scans;
    }

    std::atomic<int> served{0}; // replies the PLC has sent

    void expectEveryValue(const LogList& log) const
    {
        for (int k = 0; k < kBlocks; ++k) {
            EXPECT_EQ(valueOf(log.items[k]), QString::number(0x1000 + k)) << "item " << k;
        }
    }
};

} // namespace

TEST_F(ParallelPoll, FourConnectionsReadFortyBlocksInTenScans)
{
    startSteppedPlc();
    LogList parallel = pollOf("4");
    bool ok = false;
    EXPECT_EQ(pollInScans(parallel, 4, ok), 10);
    EXPECT_TRUE(ok) << parallel.errorText.toStdString();
    expectEveryValue(parallel);
    EXPECT_EQ(plc->connectionCount(), 4);
    QList<QByteArray> parallelFrames = plc->requests();

    // One connection: one block a scan, the same frames in the planner's order.
    plugin->stopPlugin();
    plc->resetCounters();
    LogList single = pollOf("1");
    EXPECT_EQ(pollInScans(single, 1, ok), kBlocks);
    EXPECT_TRUE(ok);
    expectEveryValue(single);
    EXPECT_EQ(plc->connectionCount(), 1);
    const QList<QByteArray> singleFrames = plc->requests();
    std::sort(parallelFrames.begin(), parallelFrames.end());
    QList<QByteArray> sortedSingle = singleFrames;
    std::sort(sortedSingle.begin(), sortedSingle.end());
    EXPECT_EQ(parallelFrames, sortedSingle);
    ASSERT_EQ(singleFrames.size(), kBlocks);
    EXPECT_EQ(decode(singleFrames.first()).address, 1u);
    EXPECT_EQ(decode(singleFrames.last()).address, 1 + 20u * (kBlocks - 1));
}

// "99" opens no more than 8, and a poll of fewer blocks no more than it needs; how the column
// reads is tabled with the planner.
TEST_F(ParallelPoll, NoMoreConnectionsThanTheColumnOrTheBlocksAsk)
{
    for (int k = 0; k < kBlocks; ++k) {
        plc->setWord(kClassV, 1 + 20 * quint32(k), quint16(0x1000 + k));
    }
    LogList most = pollOf("99");
    ASSERT_TRUE(plugin->readData(&most));
    expectEveryValue(most);
    EXPECT_EQ(plc->connectionCount(), 8);
    plugin->stopPlugin();
    plc->resetCounters();
    LogList two = request(7, separateBlocks().mid(0, 2));
    two.columns.insert(QStringLiteral("connections"), QStringLiteral("8"));
    ASSERT_TRUE(plugin->readData(&two));
    EXPECT_EQ(plc->connectionCount(), 2);
}

TEST_F(ParallelPoll, ABrokenConnectionFailsThePollAndPutsNoValueOnAWrongItem)
{
    for (int k = 0; k < kBlocks; ++k) {
        plc->setWord(kClassV, 1 + 20 * quint32(k), quint16(0x1000 + k));
    }
    Faults faults;
    faults.closeAfterRequests = 3; // every connection breaks after its third request
    plc->setFaults(faults);
    LogList broken = pollOf("4");
    EXPECT_FALSE(plugin->readData(&broken));
    EXPECT_FALSE(broken.errorText.isEmpty());
    for (int k = 0; k < kBlocks; ++k) {
        const QString value = valueOf(broken.items[k]);
        EXPECT_TRUE(value.isNull() || value == QString::number(0x1000 + k)) << "item " << k;
        EXPECT_NE(value.isNull(), broken.items[k].item.errorText.isEmpty()) << "item " << k;
    }
    plc->setFaults(Faults());
    LogList again = pollOf("4");
    ASSERT_TRUE(plugin->readData(&again)) << again.errorText.toStdString();
    expectEveryValue(again);
}
