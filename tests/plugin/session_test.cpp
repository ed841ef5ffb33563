// Device sessions under concurrent host calls: one connection per device. That stopPlugin() waits
// for the calls in progress is the stress test's.

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
