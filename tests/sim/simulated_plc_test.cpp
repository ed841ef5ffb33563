// The simulated PLC over real loopback sockets: each fault does what it says to a plain client,
// the module's limits hold, and stopping never hangs, whatever the connections are doing.
#include "sim_test_support.h"
#include "simulated_plc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace camp_sim;

namespace {

const QByteArray kReadV1 = "[0400010000010100010368]";
const QByteArray kReadStw = "[04001A000103010003037E]";
const QByteArray kStwReply = "[05001A00010303032C0004000A052B]";
const QByteArray kZeroStwReply = "[05001A0001030300000000000004FE]"; // serial and firmware 0
const QByteArray kWriteV100 = "[06000100006402123400FF0469]";
const QByteArray kWriteV100Reply = "[0700010000640202B4]";
const PlcConfig kExample{812, 4, 10, {}};

// A fault as a table row gives it.
struct FaultCase
{
    const char* name;
    void (*fault)(Faults&);
    QByteArray send;
    QByteArray received; // everything the client gets (before stop(), for the waits)
    bool closes = false; // the PLC hangs up after it
    Faults faults() const
    {
        Faults faults;
        fault(faults);
        return faults;
    }
};

// Waits for a value the PLC reports without a signal of its own, for a bounded time.
template <typename Condition> bool eventually(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    return condition();
}

} // namespace

TEST(SimulatedPlc, AnswersAndRecordsWhatItReceived)
{
    SimulatedPlc plc(kExample);
    ASSERT_TRUE(plc.start());
    plc.setWord(kClassV, 1, 0x1234);
    plc.setKeptRequestLimit(2); // the count goes on past the kept frames
    TestClient client(plc.port());
    EXPECT_EQ(kWriteV100Reply, client.exchange(kWriteV100));
    EXPECT_EQ(0x00FF, plc.word(kClassV, 101));
    // A request that arrives a byte at a time is answered once it is whole.
    for (const char byte : kReadStw) {
        ASSERT_TRUE(client.send(QByteArray(1, byte)));
    }
    EXPECT_EQ(kStwReply, client.read());
    // Two requests in one segment, with junk and a line end around them: two replies, in order.
    ASSERT_TRUE(client.send("\r\n" + kReadV1 + "xx" + kReadStw));
    EXPECT_EQ(QByteArray("[0500010000010112340372]"), client.read());
    EXPECT_EQ(kStwReply, client.read());
    EXPECT_EQ(4, plc.requestCount());
    EXPECT_EQ((QList<QByteArray>{kWriteV100, kReadStw}), plc.requests());
    EXPECT_EQ(1, plc.connectionCount());
    EXPECT_EQ(1, plc.openConnections());
    client.close();
    EXPECT_TRUE(plc.waitForOpenConnections(0));
    plc.resetCounters();
    EXPECT_EQ(0, plc.requestCount());
    EXPECT_TRUE(plc.requests().isEmpty());
    EXPECT_EQ(0, plc.connectionCount());
}

// Each fault against a plain client: everything it receives, and whether the PLC hangs up. A
// connection left open answers again once the fault is cleared.
TEST(SimulatedPlc, FaultsOnTheWire)
{
    const FaultCase cases[] = {
        {"junk, then the reply in pieces",
         [](Faults& f) {
             f.junkBeforeReply = "\x01junk";
             f.chunkBytes = 3;
             f.chunkPauseMs = 1;
         },
         kReadStw, "\x01junk" + kStwReply},
        {"close mid reply", [](Faults& f) { f.closeMidReply = true; }, kReadStw,
         kStwReply.left(kStwReply.size() / 2), true},
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
         "[050000000000010G00037D][050000000000010G00037D][050000000000020GFF0000046A]"},
        // A write of 7 to V200, carried out and answered with a well-formed frame of another
        // command.
        {"write answered by a foreign frame", [](Faults& f) { f.foreignWriteReply = true; },
         "[0600010000C8010007038A]", "[0900010000C80102C6]"},
        {"accept and close", [](Faults& f) { f.acceptAndClose = true; }, kReadV1, "", true},
        {"text service", [](Faults& f) { f.textService = true; }, kReadV1,
         "HTTP/1.0 400 Bad Request\r\n", true},
    };
    SimulatedPlc plc(kExample);
    ASSERT_TRUE(plc.start());
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        plc.setFaults(c.faults());
        TestClient client(plc.port());
        client.send(c.send);
        if (c.closes) {
            QByteArray received;
            EXPECT_TRUE(client.readToEnd(&received));
            EXPECT_EQ(c.received, received);
        } else {
            EXPECT_EQ(c.received, client.read(c.received.size()));
            plc.setFaults(Faults()); // faults switch while the connection stays open
            EXPECT_EQ(kStwReply, client.exchange(kReadStw));
        }
    }
    EXPECT_EQ(7, plc.word(kClassV, 200));
}

// stop() closes every connection at once, even one whose reply is held back for minutes, never
// comes, or goes on without end to a client that stopped reading; no reply gets out after it.
// Each case restarts the same PLC on the same port: memory survives, the counts start again.
TEST(SimulatedPlc, StopsWhateverItWaitsForAndStartsAgain)
{
    const FaultCase cases[] = {
        {"no fault", [](Faults&) {}, kWriteV100, kWriteV100Reply},
        {"a long pause between pieces",
         [](Faults& f) {
             f.chunkBytes = 5;
             f.chunkPauseMs = 600000;
         },
         kReadStw, kStwReply.left(5)},
        {"silence", [](Faults& f) { f.silent = true; }, kReadStw, ""},
        {"an endless stream nobody reads", [](Faults& f) { f.endlessStream = true; }, kReadStw,
         "[0500" + QByteArray(4091, '0')},
    };
    SimulatedPlc plc(kExample);
    EXPECT_FALSE(plc.isRunning());
    plc.stop(); // stopping what never ran is harmless
    quint16 port = 0;
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(plc.start(QStringLiteral("127.0.0.1"), port)) << plc.lastError().toStdString();
        EXPECT_FALSE(plc.start()); // already running
        port = plc.port();
        EXPECT_EQ(0, plc.requestCount());
        const Faults faults = c.faults();
        plc.setFaults(faults);
        TestClient client(port);
        ASSERT_TRUE(client.send(c.send));
        ASSERT_TRUE(plc.waitForRequests(1));
        EXPECT_EQ(c.received, client.read(c.received.size()));
        EXPECT_TRUE(faults.endlessStream || client.staysQuiet(50));
        plc.stop();
        plc.stop();
        QByteArray rest;
        EXPECT_TRUE(client.readToEnd(&rest));
        EXPECT_FALSE(rest.contains(']'));
        EXPECT_FALSE(TestClient(port).isConnected());
    }
    SimulatedPlc clash;
    ASSERT_TRUE(plc.start(QStringLiteral("127.0.0.1"), port));
    EXPECT_EQ(0x1234, plc.word(kClassV, 100));
    EXPECT_FALSE(clash.start(QStringLiteral("127.0.0.1"), port));
    EXPECT_FALSE(clash.lastError().isEmpty());
    EXPECT_FALSE(SimulatedPlc().start(QStringLiteral("not an address")));
}

TEST(SimulatedPlcLimits, RefusesConnectionsBeyondTheLimitAndClosesIdleOnes)
{
    PlcConfig config;
    config.maxConnections = 2;
    SimulatedPlc plc(config);
    ASSERT_TRUE(plc.start());
    TestClient first(plc.port()), second(plc.port());
    ASSERT_TRUE(plc.waitForOpenConnections(2));
    TestClient third(plc.port());
    ASSERT_TRUE(third.isConnected()); // the kernel accepts; the module closes it at once
    EXPECT_TRUE(third.readToEnd());
    EXPECT_EQ(1, plc.refusedConnections());
    EXPECT_EQ(2, plc.connectionCount());
    EXPECT_EQ(kZeroStwReply, first.exchange(kReadStw));
    second.close();
    ASSERT_TRUE(plc.waitForOpenConnections(1));
    TestClient fourth(plc.port()); // a slot is free again
    EXPECT_EQ(kZeroStwReply, fourth.exchange(kReadStw));

    config.idleTimeoutMs = 30;
    SimulatedPlc idle(config);
    ASSERT_TRUE(idle.start());
    TestClient client(idle.port());
    EXPECT_EQ(kZeroStwReply, client.exchange(kReadStw));
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
    for (int scan = 0; scan < 2; ++scan) {
        plc.triggerScan();
        for (int i = 8 * scan; i < std::min(10, 8 * scan + 8); ++i) {
            EXPECT_TRUE(clients[size_t(i)]->read().startsWith("[0700")) << i;
        }
        EXPECT_EQ(scan == 0 ? 2 : 0, plc.queuedRequests());
        EXPECT_EQ(scan == 0 ? 7 : 9, plc.word(kClassV, 1));
    }
    // A request still waiting for its scan does not hold up stop().
    ASSERT_TRUE(clients[0]->send(kReadV1));
    ASSERT_TRUE(eventually([&] { return plc.queuedRequests() == 1; }));
    plc.stop();
}
