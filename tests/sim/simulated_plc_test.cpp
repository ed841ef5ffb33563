// The simulated PLC over real loopback sockets: each fault does what it says to a plain client,
// the module's limits hold, and stopping never hangs, whatever the connections are doing.
#include "sim_test_client.h"
#include "simulated_plc.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

using namespace camp_sim;

namespace {

const QByteArray kReadV1 = "[0400010000010100010368]";
const QByteArray kReadV1Reply = "[0500010000010112340372]";
const QByteArray kReadStw = "[04001A000103010003037E]";
const QByteArray kStwReply = "[05001A00010303032C0004000A052B]";
const QByteArray kWriteV100 = "[06000100006402123400FF0469]";
const QByteArray kWriteV100Reply = "[0700010000640202B4]";

PlcConfig exampleConfig()
{
    PlcConfig config;
    config.serial = 812;
    config.firmwareMajor = 4;
    config.firmwareMinor = 10;
    return config;
}

Faults makeFaults(void (*change)(Faults&))
{
    Faults faults;
    change(faults);
    return faults;
}

// Waits for a value the PLC reports without a signal of its own, for a bounded time.
template <typename Condition> bool eventually(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return condition();
}

class SimulatedPlcTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(plc.start()) << plc.lastError().toStdString();
        plc.setWord(kClassV, 1, 0x1234);
    }

    SimulatedPlc plc{exampleConfig()};
};

} // namespace

TEST_F(SimulatedPlcTest, AnswersAndRecordsWhatItReceived)
{
    plc.setKeptRequestLimit(2); // the count goes on past the kept frames
    TestClient client(plc.port());
    EXPECT_EQ(kWriteV100Reply, client.exchange(kWriteV100));
    EXPECT_EQ(0x00FF, plc.word(kClassV, 101));
    // Two requests in one segment, with junk and a line end around them: two replies, in order.
    ASSERT_TRUE(client.send("\r\n" + kReadV1 + "xx" + kReadStw));
    EXPECT_EQ(kReadV1Reply, client.readUntilFrameEnd());
    EXPECT_EQ(kStwReply, client.readUntilFrameEnd());

    EXPECT_EQ(3, plc.requestCount());
    EXPECT_EQ((QList<QByteArray>{kWriteV100, kReadV1}), plc.requests());
    EXPECT_EQ(1, plc.connectionCount());
    EXPECT_EQ(1, plc.openConnections());
    client.close();
    EXPECT_TRUE(plc.waitForOpenConnections(0));
    plc.resetCounters();
    EXPECT_EQ(0, plc.requestCount());
    EXPECT_TRUE(plc.requests().isEmpty());
    EXPECT_EQ(0, plc.connectionCount());
}

// Each fault against a plain client: everything it receives, whether the PLC hangs up, and what
// V100 holds afterwards. A connection left open must answer again once the fault is cleared.
TEST_F(SimulatedPlcTest, FaultsOnTheWire)
{
    struct WireCase
    {
        const char* name;
        void (*fault)(Faults&);
        QByteArray send;
        QByteArray received;
        bool closes;
        quint16 v100;
    };
    const WireCase cases[] = {
        {"junk, then the reply in pieces",
         [](Faults& f) {
             f.junkBeforeReply = "\x01junk";
             f.chunkBytes = 3;
             f.chunkPauseMs = 1;
         },
         kReadStw, "\x01junk" + kStwReply, false, 0},
        {"close after two requests", [](Faults& f) { f.closeAfterRequests = 2; },
         kReadStw + kReadStw + kReadStw, kStwReply + kStwReply, true, 0},
        {"close mid reply", [](Faults& f) { f.closeMidReply = true; }, kReadStw,
         kStwReply.left(kStwReply.size() / 2), true, 0},
        {"short reply, error address",
         [](Faults& f) {
             f.shortReplyWords = 1;
             f.errorAddresses.append({kClassV, 101});
         },
         kReadStw + kWriteV100, "[05001A00010301032C0394][07FF0100006400000000000292000005EB]",
         false, 0},
        // Every fault of a module that answers another request at once: the read reply comes
        // twice, for V2, without echo, with a "G"; the write is answered with a read reply.
        {"replies to other requests",
         [](Faults& f) {
             f.duplicateReadReply = true;
             f.readReplyAddressOffset = 1;
             f.noEcho = true;
             f.nonHexInReplyWords = true;
             f.readReplyToWrite = true;
         },
         kReadV1 + kWriteV100,
         "[050000000000010G00037D][050000000000010G00037D][050000000000020GFF0000046A]", false,
         0x1234},
        {"accept and close", [](Faults& f) { f.acceptAndClose = true; }, kReadV1, "", true, 0},
        {"text service", [](Faults& f) { f.textService = true; }, kReadV1,
         "HTTP/1.0 400 Bad Request\r\n", true, 0},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        plc.setWord(kClassV, 100, 0);
        plc.setFaults(makeFaults(c.fault));
        TestClient client(plc.port());
        client.send(c.send);
        if (c.closes) {
            QByteArray received;
            EXPECT_TRUE(client.readToEnd(&received));
            EXPECT_EQ(c.received, received);
        } else {
            EXPECT_EQ(c.received, client.readBytes(c.received.size()));
            plc.setFaults(Faults()); // faults switch while the connection stays open
            EXPECT_EQ(kStwReply, client.exchange(kReadStw));
        }
        EXPECT_EQ(c.v100, plc.word(kClassV, 100));
    }
}

// stop() closes every connection at once, even one whose reply is held back for minutes, never
// comes, or goes on without end to a client that stopped reading; no reply gets out after it.
TEST(SimulatedPlcStop, InterruptsEveryWait)
{
    struct StopCase
    {
        const char* name;
        void (*fault)(Faults&);
        QByteArray before; // what arrives before stop()
    };
    const StopCase cases[] = {
        {"a long latency", [](Faults& f) { f.latencyMs = 600000; }, ""},
        {"a long pause between pieces",
         [](Faults& f) {
             f.chunkBytes = 5;
             f.chunkPauseMs = 600000;
         },
         kStwReply.left(5)},
        {"silence", [](Faults& f) { f.silent = true; }, ""},
        {"an endless stream nobody reads", [](Faults& f) { f.endlessStream = true; },
         "[0500" + QByteArray(4091, '0')},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedPlc plc(exampleConfig());
        ASSERT_TRUE(plc.start());
        const Faults faults = makeFaults(c.fault);
        plc.setFaults(faults);
        TestClient client(plc.port());
        ASSERT_TRUE(client.send(kReadStw));
        ASSERT_TRUE(plc.waitForRequests(1));
        EXPECT_EQ(c.before, client.readBytes(c.before.size()));
        EXPECT_TRUE(faults.endlessStream || client.staysQuiet(50));
        plc.stop();
        QByteArray rest;
        EXPECT_TRUE(client.readToEnd(&rest));
        EXPECT_FALSE(rest.contains(']'));
    }
}

TEST(SimulatedPlcLimits, RefusesConnectionsBeyondTheLimitAndClosesIdleOnes)
{
    PlcConfig config;
    config.maxConnections = 2;
    SimulatedPlc plc(config);
    ASSERT_TRUE(plc.start());
    const QByteArray reply = "[05001A0001030300000000000004FE]";
    TestClient first(plc.port()), second(plc.port());
    ASSERT_TRUE(plc.waitForOpenConnections(2));
    TestClient third(plc.port());
    ASSERT_TRUE(third.isConnected()); // the kernel accepts; the module closes it at once
    EXPECT_TRUE(third.readToEnd());
    EXPECT_EQ(1, plc.refusedConnections());
    EXPECT_EQ(2, plc.connectionCount());
    EXPECT_EQ(reply, first.exchange(kReadStw));
    second.close();
    ASSERT_TRUE(plc.waitForOpenConnections(1));
    TestClient fourth(plc.port()); // a slot is free again
    EXPECT_EQ(reply, fourth.exchange(kReadStw));

    config.idleTimeoutMs = 30;
    SimulatedPlc idle(config);
    ASSERT_TRUE(idle.start());
    TestClient client(idle.port());
    EXPECT_EQ(reply, client.exchange(kReadStw));
    EXPECT_TRUE(client.readToEnd());
    EXPECT_TRUE(idle.waitForOpenConnections(0));
}

// With a scan time, requests are served at scan boundaries in arrival order, 8 per boundary.
// The scan is an hour long here and the test steps the boundaries itself.
TEST(SimulatedPlcLimits, ServesAtMostEightRequestsPerScanInArrivalOrder)
{
    PlcConfig config;
    config.scanTimeMs = 3600 * 1000;
    SimulatedPlc plc(config);
    ASSERT_TRUE(plc.start());
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 10; ++i) {
        // Client i writes the value i to V1: the last write served tells the order.
        clients.push_back(std::make_unique<TestClient>(plc.port()));
        ASSERT_TRUE(clients.back()->send(withBcc("06000100000101000" + QByteArray::number(i))));
        ASSERT_TRUE(eventually([&] { return plc.queuedRequests() == i + 1; }));
    }
    EXPECT_TRUE(clients[0]->staysQuiet(50)); // nothing is answered before a boundary
    for (int scan = 0; scan < 2; ++scan) {
        plc.triggerScan();
        for (int i = 8 * scan; i < std::min(10, 8 * scan + 8); ++i) {
            EXPECT_TRUE(clients[size_t(i)]->readUntilFrameEnd().startsWith("[0700")) << i;
        }
        EXPECT_EQ(scan == 0 ? 2 : 0, plc.queuedRequests());
        EXPECT_EQ(scan == 0 ? 7 : 9, plc.word(kClassV, 1));
    }
    // A request still waiting for its scan does not hold up stop().
    ASSERT_TRUE(clients[0]->send(kReadV1));
    ASSERT_TRUE(eventually([&] { return plc.queuedRequests() == 1; }));
    plc.stop();

    // Short scans run by themselves.
    config.scanTimeMs = 2;
    SimulatedPlc fast(config);
    ASSERT_TRUE(fast.start());
    TestClient client(fast.port());
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(QByteArray("[05001A0001030300000000000004FE]"), client.exchange(kReadStw));
    }
}

TEST(SimulatedPlcServing, StartsStopsAndRestarts)
{
    SimulatedPlc plc(exampleConfig());
    EXPECT_FALSE(plc.isRunning());
    plc.stop(); // stopping what never ran is harmless
    ASSERT_TRUE(plc.start(QStringLiteral("127.0.0.1"), 0));
    EXPECT_FALSE(plc.start()); // already running
    const quint16 port = plc.port();
    {
        TestClient client(port);
        EXPECT_EQ(kWriteV100Reply, client.exchange(kWriteV100));
        plc.stop();
        EXPECT_TRUE(client.readToEnd());
    }
    EXPECT_FALSE(TestClient(port).isConnected());
    plc.stop();

    // Memory survives a restart; the counts start again. The same port can be taken back.
    ASSERT_TRUE(plc.start(QStringLiteral("127.0.0.1"), port)) << plc.lastError().toStdString();
    EXPECT_EQ(0, plc.requestCount());
    EXPECT_EQ(0x1234, plc.word(kClassV, 100));
    SimulatedPlc clash;
    EXPECT_FALSE(clash.start(QStringLiteral("127.0.0.1"), port));
    EXPECT_FALSE(clash.lastError().isEmpty());
    EXPECT_FALSE(SimulatedPlc().start(QStringLiteral("not an address")));
}
