// The simulated PLC over real loopback sockets: each fault does what it says against a plain
// client, the module's limits hold, and stopping never hangs, whatever the connections are doing.
#include "plc_memory.h"
#include "sim_test_client.h"
#include "simulated_plc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace camp_sim;

namespace {

const QByteArray kReadV1 = "[0400010000010100010368]";
const QByteArray kReadStw = "[04001A000103010003037E]";
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
const QByteArray kStwReply = "[05001A00010303032C0004000A052B]";

// "[" + body + BCC + "]", for requests made up inside a test.
QByteArray withBcc(const QByteArray& body)
{
    quint32 sum = 0;
    for (char c : body) {
        sum += static_cast<unsigned char>(c);
    }
    return "[" + body + QByteArray::number(sum & 0xFFFF, 16).toUpper().rightJustified(4, '0') + "]";
}

class SimulatedPlcTest : public ::testing::Test
{
protected:
    void startPlc(const PlcConfig& config = exampleConfig())
    {
        plc = std::make_unique<SimulatedPlc>(config);
        ASSERT_TRUE(plc->start()) << plc->lastError().toStdString();
        ASSERT_NE(0, plc->port());
    }
    void SetUp() override { startPlc(); }
    void TearDown() override { plc->stop(); }

    void setFaults(void (*change)(Faults&))
    {
        Faults faults;
        change(faults);
        plc->setFaults(faults);
    }

    std::unique_ptr<SimulatedPlc> plc;
};

// Waits for a value the PLC reports without a signal of its own, for a bounded time.
template <typename Condition> bool eventually(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

} // namespace

TEST_F(SimulatedPlcTest, AnswersAndRecordsWhatItReceived)
{
    TestClient client(plc->port());
    ASSERT_TRUE(client.isConnected());
    EXPECT_EQ(kStwReply, client.exchange(kReadStw));
    EXPECT_EQ(kWriteV100Reply, client.exchange(kWriteV100));
    EXPECT_EQ(0x1234, plc->word(kClassV, 100));
    EXPECT_EQ(0x00FF, plc->word(kClassV, 101));

    // Two requests in one segment, with junk and a line end around them: two replies, in order.
    plc->setWord(kClassV, 1, 0x1234);
    ASSERT_TRUE(client.send("\r\n" + kReadV1 + "xx" + kReadStw));
    EXPECT_EQ(QByteArray("[0500010000010112340372]"), client.readUntilFrameEnd());
    EXPECT_EQ(kStwReply, client.readUntilFrameEnd());

    EXPECT_EQ(4, plc->requestCount());
    EXPECT_EQ((QList<QByteArray>{kReadStw, kWriteV100, kReadV1, kReadStw}), plc->requests());
    EXPECT_EQ(1, plc->connectionCount());
    EXPECT_EQ(1, plc->openConnections());

    client.close();
    EXPECT_TRUE(plc->waitForOpenConnections(0));
    plc->resetCounters();
    EXPECT_EQ(0, plc->requestCount());
    EXPECT_TRUE(plc->requests().isEmpty());
    EXPECT_EQ(0, plc->connectionCount());
}

TEST_F(SimulatedPlcTest, DelaysAndCutsReplies)
{
    setFaults([](Faults& f) {
        f.latencyMs = 50;
        f.junkBeforeReply = "\x01junk";
        f.chunkBytes = 3;
        f.chunkPauseMs = 1;
    });
    TestClient client(plc->port());
    const auto sent = std::chrono::steady_clock::now();
    // The reply comes whole after the junk, however it was cut; and not before the latency.
    EXPECT_EQ("\x01junk" + kStwReply, client.exchange(kReadStw));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(50));

    // A long pause between pieces: exactly the first piece arrives, and stop() interrupts.
    setFaults([](Faults& f) {
        f.chunkBytes = 5;
        f.chunkPauseMs = 600000;
    });
    ASSERT_TRUE(client.send(kReadStw));
    EXPECT_EQ(kStwReply.left(5), client.readBytes(5));
    EXPECT_TRUE(client.staysQuiet(100));
    plc->stop();
    QByteArray rest;
    EXPECT_TRUE(client.readToEnd(&rest));
    EXPECT_TRUE(rest.isEmpty());
}

TEST_F(SimulatedPlcTest, StopInterruptsALongLatency)
{
    setFaults([](Faults& f) { f.latencyMs = 600000; });
    TestClient client(plc->port());
    ASSERT_TRUE(client.send(kReadV1));
    ASSERT_TRUE(plc->waitForRequests(1));
    plc->stop();
    QByteArray received;
    EXPECT_TRUE(client.readToEnd(&received));
    EXPECT_TRUE(received.isEmpty());
}

TEST_F(SimulatedPlcTest, SilentPlcReadsButNeverAnswers)
{
    setFaults([](Faults& f) { f.silent = true; });
    TestClient client(plc->port());
    ASSERT_TRUE(client.send(kWriteV100));
    ASSERT_TRUE(plc->waitForRequests(1));
    EXPECT_TRUE(client.staysQuiet(100));
    EXPECT_EQ(0, plc->word(kClassV, 100)); // a request it does not answer, it does not carry out
    // Faults switch while the connection stays open.
    setFaults([](Faults&) {});
    EXPECT_EQ(kStwReply, client.exchange(kReadStw));
}

TEST_F(SimulatedPlcTest, ClosesAfterRequestsOrMidReply)
{
    setFaults([](Faults& f) { f.closeAfterRequests = 2; });
    {
        TestClient client(plc->port());
        EXPECT_EQ(kStwReply, client.exchange(kReadStw));
        EXPECT_EQ(kStwReply, client.exchange(kReadStw));
        QByteArray rest;
        EXPECT_TRUE(client.readToEnd(&rest));
        EXPECT_TRUE(rest.isEmpty());
    }
    setFaults([](Faults& f) { f.closeMidReply = true; });
    {
        TestClient client(plc->port());
        ASSERT_TRUE(client.send(kReadStw));
        QByteArray received;
        EXPECT_TRUE(client.readToEnd(&received));
        EXPECT_EQ(kStwReply.left(kStwReply.size() / 2), received);
    }
}

TEST_F(SimulatedPlcTest, ShortRepliesAndErrorAddresses)
{
    setFaults([](Faults& f) {
        f.shortReplyWords = 1;
        f.errorAddresses.append({kClassV, 101});
    });
    TestClient client(plc->port());
    EXPECT_EQ(QByteArray("[05001A00010301032C0394]"), client.exchange(kReadStw));
    EXPECT_EQ(QByteArray("[07FF0100006400000000000292000005EB]"), client.exchange(kWriteV100));
    EXPECT_EQ(0, plc->word(kClassV, 100));
}

TEST_F(SimulatedPlcTest, EndlessStreamNeverCloses)
{
    setFaults([](Faults& f) { f.endlessStream = true; });
    {
        TestClient client(plc->port());
        ASSERT_TRUE(client.send(kReadV1));
        const QByteArray received = client.readBytes(256 * 1024);
        ASSERT_EQ(256 * 1024, received.size());
        EXPECT_TRUE(received.startsWith('['));
        EXPECT_FALSE(received.contains(']'));
    }
    EXPECT_TRUE(plc->waitForOpenConnections(0)); // the client hung up, the stream ends

    TestClient stillReading(plc->port());
    ASSERT_TRUE(stillReading.send(kReadV1));
    EXPECT_EQ(4096, stillReading.readBytes(4096).size());
    plc->stop(); // a client that stops reading must not keep the PLC from stopping
}

TEST_F(SimulatedPlcTest, AcceptAndCloseAndTextService)
{
    setFaults([](Faults& f) { f.acceptAndClose = true; });
    {
        TestClient client(plc->port());
        ASSERT_TRUE(client.isConnected());
        QByteArray received;
        EXPECT_TRUE(client.readToEnd(&received));
        EXPECT_TRUE(received.isEmpty());
        EXPECT_TRUE(plc->waitForConnections(1));
    }
    setFaults([](Faults& f) { f.textService = true; });
    {
        TestClient client(plc->port());
        ASSERT_TRUE(client.send(kReadV1));
        QByteArray received;
        EXPECT_TRUE(client.readToEnd(&received));
        EXPECT_EQ(QByteArray("HTTP/1.0 400 Bad Request\r\n"), received);
        EXPECT_EQ(QList<QByteArray>{kReadV1}, plc->requests());
    }
}

TEST(SimulatedPlcLimits, RefusesConnectionsBeyondTheLimit)
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

    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), first.exchange(kReadStw));
    second.close();
    ASSERT_TRUE(plc.waitForOpenConnections(1));
    TestClient fourth(plc.port()); // a slot is free again
    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), fourth.exchange(kReadStw));
}

TEST(SimulatedPlcLimits, ClosesIdleConnections)
{
    PlcConfig config;
    config.idleTimeoutMs = 30;
    SimulatedPlc plc(config);
    ASSERT_TRUE(plc.start());
    TestClient client(plc.port());
    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), client.exchange(kReadStw));
    EXPECT_TRUE(client.readToEnd());
    EXPECT_TRUE(plc.waitForOpenConnections(0));
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
        const QByteArray request =
            withBcc("06000100000101" + QByteArray::number(i, 16).toUpper().rightJustified(4, '0'));
        ASSERT_TRUE(clients.back()->send(request));
        ASSERT_TRUE(eventually([&] { return plc.queuedRequests() == i + 1; }));
    }
    EXPECT_TRUE(clients[0]->staysQuiet(50)); // nothing is answered before a boundary

    plc.triggerScan();
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(clients[static_cast<size_t>(i)]->readUntilFrameEnd().startsWith("[0700"));
    }
    EXPECT_EQ(2, plc.queuedRequests());
    EXPECT_EQ(7, plc.word(kClassV, 1));

    plc.triggerScan();
    for (int i = 8; i < 10; ++i) {
        EXPECT_TRUE(clients[static_cast<size_t>(i)]->readUntilFrameEnd().startsWith("[0700"));
    }
    EXPECT_EQ(9, plc.word(kClassV, 1));

    // A request still waiting for its scan does not hold up stop().
    ASSERT_TRUE(clients[0]->send(kReadV1));
    ASSERT_TRUE(eventually([&] { return plc.queuedRequests() == 1; }));
    plc.stop();
}

TEST(SimulatedPlcLimits, ShortScansAnswerEveryRequest)
{
    PlcConfig config;
    config.scanTimeMs = 2;
    SimulatedPlc plc(config);
    ASSERT_TRUE(plc.start());
    TestClient client(plc.port());
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(QByteArray("[05001A0001030300000000000004FE]"), client.exchange(kReadStw));
    }
}

// A busy PLC's scan stretches and shrinks while clients wait: a request waiting for an hour-long
// scan is answered as soon as the scan shrinks, and the next one waits for a stretched scan again.
TEST(SimulatedPlcLimits, AScanStretchesAndShrinksWhileRunning)
{
    PlcConfig config;
    config.scanTimeMs = 3600 * 1000;
    SimulatedPlc plc(config);
    ASSERT_TRUE(plc.start());
    TestClient client(plc.port());
    ASSERT_TRUE(client.send(kReadStw));
    ASSERT_TRUE(eventually([&] { return plc.queuedRequests() == 1; }));

    EXPECT_TRUE(plc.setScanTimeMs(1));
    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), client.readUntilFrameEnd());
    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), client.exchange(kReadStw));

    EXPECT_TRUE(plc.setScanTimeMs(3600 * 1000));
    ASSERT_TRUE(client.send(kReadStw));
    ASSERT_TRUE(eventually([&] { return plc.queuedRequests() == 1; }));
    plc.triggerScan();
    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), client.readUntilFrameEnd());

    SimulatedPlc atOnce; // no scan to stretch
    EXPECT_FALSE(atOnce.setScanTimeMs(100));
}

TEST(SimulatedPlcLimits, DropsEveryConnectionAndAcceptsNewOnes)
{
    SimulatedPlc plc;
    ASSERT_TRUE(plc.start());
    TestClient first(plc.port()), second(plc.port());
    ASSERT_TRUE(plc.waitForOpenConnections(2));
    plc.dropConnections();
    EXPECT_EQ(0, plc.openConnections()); // the slots are free on return
    EXPECT_TRUE(first.readToEnd());
    EXPECT_TRUE(second.readToEnd());
    TestClient third(plc.port());
    EXPECT_EQ(QByteArray("[05001A0001030300000000000004FE]"), third.exchange(kReadStw));
}

// The PLC's own program runs before every request is served, and the write journal hears of every
// write that changed memory, with the words as they are now, and of nothing else.
TEST(SimulatedPlcServing, ProgramAndWriteJournal)
{
    SimulatedPlc plc;
    int runs = 0;
    plc.setProgram([&runs](PlcMemory& memory) { memory.setWord(kClassV, 1, quint16(++runs)); });
    struct Written
    {
        int addressClass;
        quint32 address;
        QList<quint16> words;
    };
    std::vector<Written> journal;
    plc.setWriteJournal([&journal](int addressClass, quint32 address, const QList<quint16>& words) {
        journal.push_back({addressClass, address, words});
    });
    ASSERT_TRUE(plc.start());
    TestClient client(plc.port());
    EXPECT_EQ(QByteArray("[0500010000010100010369]"), client.exchange(kReadV1));
    EXPECT_EQ(QByteArray("[050001000001010002036A]"), client.exchange(kReadV1));

    EXPECT_EQ(kWriteV100Reply, client.exchange(kWriteV100));
    Faults faults;
    faults.errorAddresses.append({kClassV, 300});
    faults.readReplyToWrite = true; // carried out, though answered with a read reply
    plc.setFaults(faults);
    EXPECT_TRUE(client.exchange(withBcc("06000100012C010007")).startsWith("[07FF"));
    EXPECT_TRUE(client.exchange(withBcc("0600010000C8010007")).startsWith("[0500"));

    plc.stop(); // joins the serving threads that ran the program and the journal
    ASSERT_EQ(2u, journal.size());
    EXPECT_EQ(kClassV, journal[0].addressClass);
    EXPECT_EQ(100u, journal[0].address);
    EXPECT_EQ((QList<quint16>{0x1234, 0x00FF}), journal[0].words);
    EXPECT_EQ(200u, journal[1].address);
    EXPECT_EQ(QList<quint16>{7}, journal[1].words);
    EXPECT_EQ(5, runs);
}

TEST(SimulatedPlcServing, ManyClientsOfSeveralPlcs)
{
    PlcConfig configA = exampleConfig();
    PlcConfig configB;
    configB.serial = 1;
    SimulatedPlc a(configA), b(configB);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_NE(a.port(), b.port());
    a.setWord(kClassV, 1, 0x1234);
    a.setKeptRequestLimit(10);

    constexpr int kClients = 8;
    constexpr int kRequestsEach = 300;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            TestClient client(c % 2 == 0 ? a.port() : b.port());
            const QByteArray expected = c % 2 == 0 ? QByteArray("[0500010000010112340372]")
                                                   : QByteArray("[0500010000010100000368]");
            for (int i = 0; i < kRequestsEach; ++i) {
                if (client.exchange(kReadV1) != expected) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(kClients / 2 * kRequestsEach, a.requestCount());
    EXPECT_EQ(kClients / 2 * kRequestsEach, b.requestCount());
    EXPECT_EQ(10, a.requests().size()); // the count goes on past the kept frames
    EXPECT_EQ(1, b.word(kClassSTW, 259));
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
