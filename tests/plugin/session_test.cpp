// Device sessions under concurrent host calls: one connection per device, and stopPlugin waits
// for the call in progress before it disconnects.

#include <thread>

#include "plugin_fixture.h"

using namespace plugin_test;

TEST_F(PluginTest, ConcurrentFirstRequestsShareOneSession)
{
    Faults faults;
    faults.latencyMs = 50; // keep both calls in flight together
    plc->setFaults(faults);
    plc->setWord(kClassV, 1, 11);

    LogList first = request(9, {entry(memoryItem("v1", kClassV, "1", Integer))});
    LogList second = first;
    bool ok1 = false, ok2 = false;
    std::thread a([&] { ok1 = plugin->readData(&first); });
    std::thread b([&] { ok2 = plugin->readData(&second); });
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
    EXPECT_EQ(valueOf(first.items[0]), QStringLiteral("11"));
    EXPECT_EQ(valueOf(second.items[0]), QStringLiteral("11"));
    EXPECT_EQ(plc->connectionCount(), 1);
}

TEST_F(PluginTest, DevicesOnOneAddressUseTheirOwnConnections)
{
    LogList seven = request(7, {entry(memoryItem("v1", kClassV, "1", Integer))});
    LogList eight = request(8, {entry(memoryItem("v1", kClassV, "1", Integer))});
    ASSERT_TRUE(plugin->readData(&seven));
    ASSERT_TRUE(plugin->readData(&eight));
    ASSERT_TRUE(plugin->readData(&seven));
    EXPECT_EQ(plc->connectionCount(), 2);
}

TEST_F(PluginTest, StopWaitsForThePollInProgressAndDisconnects)
{
    Faults faults;
    faults.latencyMs = 300;
    plc->setFaults(faults);
    plc->setWord(kClassV, 1, 11);

    LogList log = request(7, {entry(memoryItem("v1", kClassV, "1", Integer))});
    bool ok = false;
    std::thread poll([&] { ok = plugin->readData(&log); });
    ASSERT_TRUE(eventually([&] { return plc->requestCount() == 1; }));

    EXPECT_TRUE(plugin->stopPlugin());
    // The poll finished under its session lock before stopPlugin could disconnect.
    EXPECT_EQ(valueOf(log.items[0]), QStringLiteral("11"));
    poll.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(eventually([&] { return plc->openConnections() == 0; }));

    // A later poll opens a new session and connection.
    plc->setFaults(Faults());
    LogList again = request(7, {entry(memoryItem("v1", kClassV, "1", Integer))});
    EXPECT_TRUE(plugin->readData(&again));
    EXPECT_EQ(plc->connectionCount(), 2);
}
