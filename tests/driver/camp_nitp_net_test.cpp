// The driver over real TCP against the simulated PLC on 127.0.0.1: connection reuse, transport
// failures and their messages, the memory commands, and refusals that keep bad frames off the
// wire. That no descriptor is left behind after a fault is the fault matrix's.

#include <gtest/gtest.h>

#include "camp_nitp.h"
#include "driver_test_words.h"
#include "module_probe.h"
#include "simulated_plc.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <functional>
#include <future>
#include <sched.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char kTimedOutReading[] = "Timed out while reading a response from the PLC";
const char kClosedReading[] = "PLC closed the connection while reading a response from the PLC";
const char kLostReading[] = "Lost connection to PLC while reading a response from the PLC";

ItemInstancePlugin makeItem(int addressClass, int dataType, const QString& addressWord)
{
    ItemInstancePlugin item;
    item.columns.insert(QStringLiteral("address_class"), QString::number(addressClass));
    item.columns.insert(QStringLiteral("data_type"), QString::number(dataType));
    item.columns.insert(QStringLiteral("address_word"), addressWord);
    return item;
}

// This process's TCP socket from port `local` to port `peer` (0: any), or -1: the driver's end of
// a connection. Only looked at, never used: the simulated PLC's threads own theirs.
int socketBetween(quint16 local, quint16 peer)
{
    for (const QString& name : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System)) {
        sockaddr_in mine{}, theirs{};
        socklen_t size = sizeof mine;
        const int fd = name.toInt();
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &size) == 0 &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &size) == 0 &&
            mine.sin_family == AF_INET && (local == 0 || ntohs(mine.sin_port) == local) &&
            (peer == 0 || ntohs(theirs.sin_port) == peer)) {
            return fd;
        }
    }
    return -1;
}

// Runs body on a thread of its own inside a new, empty network namespace (only a loopback that
// is down): name look-ups there cannot reach any resolver. False when the namespace could not be
// made (not root).
bool runInEmptyNetworkNamespace(const std::function<void()>& body)
{
    bool entered = false;
    std::thread isolated([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            return;
        }
        entered = true;
        body();
    });
    isolated.join();
    return entered;
}

class DriverOverTcp : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(plc.start()) << plc.lastError().toStdString();
        device.address = QStringLiteral("127.0.0.1");
        setPort(plc.port());
        device.columns.insert(QStringLiteral("timeout"), QStringLiteral("5000"));
    }

    void setPort(int port) { device.columns.insert(QStringLiteral("port"), QString::number(port)); }

    void setTimeout(const QString& timeout, const QString& connectionTimeout = QString())
    {
        device.columns.insert(QStringLiteral("timeout"), timeout);
        device.columns.insert(QStringLiteral("connection_timeout"), connectionTimeout);
    }

    void setFaults(const std::function<void(camp_sim::Faults&)>& change)
    {
        camp_sim::Faults faults;
        change(faults);
        plc.setFaults(faults);
    }

    Words read(AddressClass cls, quint32 address, quint16 count, ItemInstancePlugin* item = nullptr)
    {
        Words words;
        EXPECT_TRUE(driver.readMemoryBlock(cls, address, count, words, item))
            << driver.sessionError().toStdString();
        return words;
    }

    camp_sim::SimulatedPlc plc;
    DeviceInstancePlugin device;
    CAMP_NITP driver; // declared last: closes before the PLC stops
};

TEST_F(DriverOverTcp, ConnectReusesAndReconnectsOnChangedHostOrPort)
{
    plc.setWord(camp_sim::kClassV, 7, 0x1234);
    ASSERT_TRUE(driver.connectToPLC(&device)) << device.errorText.toStdString();
    EXPECT_EQ(read(AddressClass::V, 7, 1), wordsOf({"1234"}));
    ASSERT_TRUE(driver.connectToPLC(&device));
    EXPECT_EQ(read(AddressClass::V, 7, 1), wordsOf({"1234"}));
    EXPECT_EQ(plc.connectionCount(), 1);
    EXPECT_EQ(plc.requests(),
              (QList<QByteArray>{"[040001000007010001036E]", "[040001000007010001036E]"}));

    // The same PLC by another host text is another connection.
    device.address = QStringLiteral("localhost");
    ASSERT_TRUE(driver.connectToPLC(&device)) << device.errorText.toStdString();
    EXPECT_EQ(read(AddressClass::V, 7, 1), wordsOf({"1234"}));
    EXPECT_EQ(plc.connectionCount(), 2);
    EXPECT_TRUE(plc.waitForOpenConnections(1));
    EXPECT_EQ(driver.moduleAddress(), "127.0.0.1:" + QByteArray::number(plc.port()));

    camp_sim::SimulatedPlc other;
    ASSERT_TRUE(other.start());
    other.setWord(camp_sim::kClassV, 7, 0xBEEF);
    setPort(other.port());
    ASSERT_TRUE(driver.connectToPLC(&device)) << device.errorText.toStdString();
    EXPECT_EQ(read(AddressClass::V, 7, 1), wordsOf({"BEEF"}));
    EXPECT_EQ(other.connectionCount(), 1);
    EXPECT_TRUE(plc.waitForOpenConnections(0)); // the old connection was closed
    driver.disconnectFromPLC();
    EXPECT_FALSE(driver.isConnected());
}

// A port no module can have is named; a refused connection is in the fault matrix.
TEST_F(DriverOverTcp, OpeningFailuresGoIntoTheDeviceErrorText)
{
    device.columns.remove(QStringLiteral("port"));
    EXPECT_FALSE(driver.connectToPLC(&device));
    EXPECT_EQ(device.errorText, "Couldn't connect to 127.0.0.1:0 (port \"\": a number from 1 to "
                                "65535 is expected)");
    EXPECT_FALSE(driver.isConnected());
    EXPECT_FALSE(driver.hasSessionError());

    device.columns.insert(QStringLiteral("port"), QStringLiteral("1445O")); // shown as given
    EXPECT_FALSE(driver.connectToPLC(&device));
    EXPECT_EQ(device.errorText, "Couldn't connect to 127.0.0.1:1445O (port \"1445O\": a number "
                                "from 1 to 65535 is expected)");

    setPort(70000); // would wrap around to port 4464
    EXPECT_FALSE(driver.connectToPLC(&device));
    EXPECT_EQ(device.errorText, "Couldn't connect to 127.0.0.1:70000 (port \"70000\": a number "
                                "from 1 to 65535 is expected)");

    setPort(65535); // the highest port is tried (nothing listens there)
    EXPECT_FALSE(driver.connectToPLC(&device));
    EXPECT_EQ(device.errorText, "Couldn't connect to 127.0.0.1:65535: connection refused");

    // A success leaves the device's error text to its owner.
    setPort(plc.port());
    device.errorText = QStringLiteral("kept");
    EXPECT_TRUE(driver.connectToPLC(&device));
    EXPECT_EQ(device.errorText, "kept");
}

// From a network namespace with nothing in it: a name nobody can resolve is no such host, and a
// connect the system refuses at once (no route) fails there and then with its reason, never taken
// for one still under way.
TEST_F(DriverOverTcp, ConnectsThatCannotLeaveTheHostSayWhy)
{
    const bool nameCache = QFile::exists(QStringLiteral("/var/run/nscd/socket"));
    const struct
    {
        QString address;
        QString errorText;
    } rows[] = {
        {"no-such-plc.invalid", "No such host no-such-plc.invalid"},
        {"10.77.0.9",
         "Couldn't connect to 10.77.0.9:" + QString::number(plc.port()) + ": no route"},
    };
    for (const auto& row : rows) {
        if (nameCache && !row.address.front().isDigit()) {
            continue; // a name service cache would resolve outside the test's namespace
        }
        DeviceInstancePlugin target = device;
        target.address = row.address;
        bool connected = true;
        const bool isolated = runInEmptyNetworkNamespace([&] {
            CAMP_NITP isolatedDriver;
            connected = isolatedDriver.connectToPLC(&target);
        });
        if (!isolated) {
            GTEST_SKIP() << "cannot create a network namespace here";
        }
        EXPECT_FALSE(connected) << row.address.toStdString();
        EXPECT_EQ(target.errorText, row.errorText);
    }
}

TEST_F(DriverOverTcp, TransportFailuresEndTheSessionWithTheirMessage)
{
    const struct
    {
        const char* name;
        std::function<void(camp_sim::Faults&)> fault;
        const char* timeout;
        const char* connectionTimeout;
        bool write;
        const char* sessionError;
    } rows[] = {
        {"silent PLC, time-out from connection_timeout",
         [](camp_sim::Faults& f) { f.silent = true; }, "abc", "300", true,
         "Timed out while reading a write response from the PLC"},
        // Every byte comes well within the time-out, the whole reply far after it.
        {"trickled reply",
         [](camp_sim::Faults& f) {
             f.chunkBytes = 1;
             f.chunkPauseMs = 100;
         },
         "500", "", false, kTimedOutReading},
        {"endless stream without a frame", [](camp_sim::Faults& f) { f.endlessStream = true; },
         "5000", "", false, kLostReading},
        {"closed mid-reply", [](camp_sim::Faults& f) { f.closeMidReply = true; }, "5000", "", false,
         kClosedReading},
    };
    for (const auto& row : rows) {
        setFaults(row.fault);
        setTimeout(QLatin1String(row.timeout), QLatin1String(row.connectionTimeout));
        ASSERT_TRUE(driver.connectToPLC(&device)) << row.name;
        EXPECT_FALSE(driver.hasSessionError()) << row.name;
        ItemInstancePlugin item = makeItem(1, 1, QStringLiteral("5"));
        Words words;
        const bool done = row.write ? driver.writeMemory(&item, wordsOf({"0001"}))
                                    : driver.readMemoryBlock(AddressClass::V, 5, 4, words, &item);
        EXPECT_FALSE(done) << row.name;
        EXPECT_EQ(driver.sessionError(), row.sessionError) << row.name;
        EXPECT_TRUE(item.errorText.isEmpty()) << row.name; // the device's failure, not the item's
        EXPECT_FALSE(driver.isConnected()) << row.name;
        EXPECT_TRUE(words.empty()) << row.name;
    }
}

TEST_F(DriverOverTcp, TheSessionErrorStaysUntilTheNextConnect)
{
    plc.setWord(camp_sim::kClassV, 100, 0x4242);
    setFaults([](camp_sim::Faults& f) { f.closeMidReply = true; });
    ASSERT_TRUE(driver.connectToPLC(&device));
    Words words;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(driver.readMemoryBlock(AddressClass::V, 100, 3, words, nullptr));
    // Each line names the device's address and port.
    const std::string where = " (127.0.0.1:" + std::to_string(plc.port()) + ")";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("CAMP_NITP error read. ") + kClosedReading + where +
                  "\nCAMP_NITP error read. (READ) Class: 1 Address: 100 Word count: 3" + where +
                  "\n");
    EXPECT_EQ(driver.sessionError(), kClosedReading);
    EXPECT_FALSE(driver.readMemoryBlock(AddressClass::V, 100, 1, words, nullptr));
    EXPECT_TRUE(driver.hasSessionError());
    plc.setFaults(camp_sim::Faults());
    ASSERT_TRUE(driver.connectToPLC(&device));
    EXPECT_FALSE(driver.hasSessionError());
    EXPECT_EQ(read(AddressClass::V, 100, 1), wordsOf({"4242"}));

    // Commands on a driver that was never connected lose the connection in the send.
    CAMP_NITP idle;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(idle.readMemoryBlock(AddressClass::V, 1, 2, words, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CAMP_NITP error writing. Lost connection to PLC while sending a read command to the "
              "PLC\nCAMP_NITP error writing. (READ) Class: 1 Address: 1 Word count: 2\n");
    ItemInstancePlugin item = makeItem(1, 1, QStringLiteral("1"));
    EXPECT_FALSE(idle.writeMemory(&item, wordsOf({"0001"})));
    EXPECT_EQ(idle.sessionError(),
              "Lost connection to PLC while sending a write command to the PLC");
}

// Reads of whole blocks and of items, writes from an item's first word, and the PLC's refusals,
// which land on the item and keep the connection.
TEST_F(DriverOverTcp, MemoryCommands)
{
    // The PLC numbers words from 1; word n holds (n - 1) * 0101 hex.
    for (quint32 address = 1; address <= 256; ++address) {
        plc.setWord(camp_sim::kClassV, address, static_cast<quint16>((address - 1) * 257));
    }
    ASSERT_TRUE(driver.connectToPLC(&device));
    const Words all = read(AddressClass::V, 1, 256);
    ASSERT_EQ(all.size(), 256u);
    EXPECT_EQ(all[1], 0x0101);
    EXPECT_EQ(all[255], 0xFFFF);
    EXPECT_EQ(plc.requests().last(), camp_wire::readRequest(AddressClass::V, 1, 256));

    // A count of 0 or above 256 sends nothing.
    Words words;
    EXPECT_FALSE(driver.readMemoryBlock(AddressClass::V, 0, 0, words, nullptr));
    EXPECT_FALSE(driver.readMemoryBlock(AddressClass::V, 0, 257, words, nullptr));
    setFaults([](camp_sim::Faults& f) { f.shortReplyWords = 3; });
    EXPECT_EQ(read(AddressClass::V, 21, 5), wordsOf({"1414", "1515", "1616"}));
    EXPECT_EQ(plc.requestCount(), 2);

    // An item is read with its own range; a String is written from the start of its range.
    plc.setFaults(camp_sim::Faults());
    ItemInstancePlugin floatItem = makeItem(1, DataType::Float, QStringLiteral("41"));
    ASSERT_TRUE(driver.readMemory(&floatItem, words));
    EXPECT_EQ(words, wordsOf({"2828", "2929"}));
    ItemInstancePlugin text = makeItem(1, DataType::String, QStringLiteral("200-209"));
    EXPECT_TRUE(driver.writeMemory(&text, wordsOf({"4142", "4300", "0000"})));
    EXPECT_EQ(plc.requests().last(),
              camp_wire::writeRequest(AddressClass::V, 200, wordsOf({"4142", "4300", "0000"})));
    EXPECT_EQ(plc.word(camp_sim::kClassV, 201), 0x4300);

    setFaults([](camp_sim::Faults& f) { f.errorAddresses = {{camp_sim::kClassV, 100}}; });
    ItemInstancePlugin item = makeItem(1, 1, QStringLiteral("100"));
    words.clear();
    EXPECT_FALSE(driver.readMemory(&item, words));
    EXPECT_EQ(item.errorText, "Error code: 0292 Extended code: 0000");
    EXPECT_TRUE(words.empty());
    item.errorText.clear();
    EXPECT_FALSE(driver.writeMemory(&item, wordsOf({"0001"})));
    EXPECT_EQ(item.errorText, "Error code: 0292 Extended code: 0000");
    EXPECT_EQ(plc.word(camp_sim::kClassV, 100), 0x6363);
    EXPECT_TRUE(driver.isConnected());
    EXPECT_FALSE(driver.hasSessionError());
    EXPECT_EQ(plc.connectionCount(), 1);
}

TEST_F(DriverOverTcp, UnframeableCommandsNeverReachTheWire)
{
    ASSERT_TRUE(driver.connectToPLC(&device));
    struct Case
    {
        const char* name;
        ItemInstancePlugin item;
        Words values;
        const char* errorText;
    };
    const Case cases[] = {
        {"trailing letters", makeItem(1, 1, QStringLiteral("12x")), wordsOf({"0001"}),
         "Invalid address (address_word \"12x\": a word number from 0 to 16777215 is expected)"},
        {"no word", makeItem(1, 1, QStringLiteral("1")), Words(), "Nothing to write"},
        {"256 words", makeItem(1, 4, QStringLiteral("0-299")), Words(256, 0),
         "Too many words to write: 256 (at most 255)"},
    };
    for (const Case& c : cases) {
        ItemInstancePlugin item = c.item;
        EXPECT_FALSE(driver.writeMemory(&item, c.values)) << c.name;
        EXPECT_EQ(item.errorText, c.errorText) << c.name;
        EXPECT_TRUE(driver.isConnected()) << c.name;
        EXPECT_FALSE(driver.hasSessionError()) << c.name;
    }

    ItemInstancePlugin typo = makeItem(1, 1, QStringLiteral("1O0"));
    Words words;
    EXPECT_FALSE(driver.readMemory(&typo, words));
    EXPECT_TRUE(typo.errorText.startsWith("Invalid address (address_word \"1O0\""));
    ItemInstancePlugin blockItem;
    EXPECT_FALSE(driver.readMemoryBlock(AddressClass(300), 0, 1, words, &blockItem));
    EXPECT_FALSE(driver.readMemoryBlock(AddressClass::V, 0x1000000, 1, words, &blockItem));
    EXPECT_EQ(blockItem.errorText, "Invalid address");

    // One good read: on this one connection it is the first and only request the PLC saw.
    EXPECT_EQ(read(AddressClass::V, 1, 1).size(), 1u);
    EXPECT_EQ(plc.requestCount(), 1);
    EXPECT_EQ(plc.requests(), QList<QByteArray>{camp_wire::readRequest(AddressClass::V, 1, 1)});
    // Class 0 is a class like any other to the driver: the PLC says whether it has one.
    ItemInstancePlugin classZero;
    EXPECT_EQ(driver.read(0, 1, 1, words, &classZero), CAMP_NITP::Result::ItemFailed);
    EXPECT_EQ(plc.requestCount(), 2);
}

// A module known to echo the request's class and address is replaced by one that writes zeros
// there: the first reply with zeros is refused (it could answer another request), the first reply
// of the next new connection is believed. Each replacement counts afresh.
TEST_F(DriverOverTcp, AReplacementThatDoesNotEchoIsBelievedOnItsSecondConnection)
{
    plc.setWord(camp_sim::kClassV, 1, 0x1234);
    ASSERT_TRUE(driver.connectToPLC(&device));
    testing::internal::CaptureStderr();
    for (int replacement = 0; replacement < 2; ++replacement) {
        Words words;
        EXPECT_EQ(driver.read(camp_sim::kClassV, 1, 1, words, nullptr), CAMP_NITP::Result::Done);
        camp_sim::Faults noEcho;
        noEcho.noEcho = true;
        plc.setFaults(noEcho);
        plc.dropConnections();
        driver.disconnectFromPLC(); // the old module's connection is gone with it
        ASSERT_TRUE(driver.connectToPLC(&device));
        ItemInstancePlugin item;
        EXPECT_EQ(driver.read(camp_sim::kClassV, 1, 1, words, &item), CAMP_NITP::Result::Refused)
            << replacement;
        words.clear();
        EXPECT_EQ(driver.read(camp_sim::kClassV, 1, 1, words, &item), CAMP_NITP::Result::Done)
            << replacement;
        EXPECT_EQ(words, Words{0x1234}) << replacement;
        plc.setFaults(camp_sim::Faults()); // the echoing module is back
        plc.dropConnections();
        driver.disconnectFromPLC(); // the old module's connection is gone with it
        ASSERT_TRUE(driver.connectToPLC(&device));
    }
    testing::internal::GetCapturedStderr();
}

// A PLC that vanishes without a FIN (power cut, pulled cable) is noticed within about a minute;
// a blocking call on the socket waits no longer than the device's time-out.
TEST_F(DriverOverTcp, ConnectionsAreKeptAliveAndTimed)
{
    setTimeout(QStringLiteral("999"));
    ASSERT_TRUE(driver.connectToPLC(&device));
    const int fd = socketBetween(0, plc.port());
    ASSERT_GE(fd, 0);
    int keepAlive = 0, idle = 0, interval = 0, probes = 0;
    socklen_t size = sizeof(int);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, &size), 0);
    EXPECT_EQ(keepAlive, 1);
    EXPECT_EQ(idle + interval * probes, 60) << idle << " + " << interval << " x " << probes;
    const auto expectTimeouts = [](int socket, int ms) {
        for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
            timeval wait{};
            socklen_t length = sizeof wait;
            ASSERT_EQ(::getsockopt(socket, SOL_SOCKET, option, &wait, &length), 0);
            EXPECT_NEAR(wait.tv_sec * 1000 + wait.tv_usec / 1000, ms, 10); // the kernel's ticks
        }
    };
    expectTimeouts(fd, 999);
    driver.disconnectFromPLC();
    setTimeout(QStringLiteral("2000")); // whole seconds
    ASSERT_TRUE(driver.connectToPLC(&device));
    expectTimeouts(socketBetween(0, plc.port()), 2000);
}

// Bytes on the socket before a request can only be a reply to an earlier one: the connection is
// dropped and the request goes out on a new one, so no stale reply is taken for its answer. The
// module sends its reply twice, the copy a moment later: it waits on the socket, unread.
TEST_F(DriverOverTcp, BytesWaitingBeforeARequestCostTheConnection)
{
    plc.setWord(camp_sim::kClassV, 1, 0x1111);
    plc.setWord(camp_sim::kClassV, 2, 0x2222);
    setFaults([](camp_sim::Faults& f) {
        f.duplicateReadReply = true;
        f.chunkBytes = 24; // one reply of one word
        f.chunkPauseMs = 200;
    });
    ASSERT_TRUE(driver.connectToPLC(&device));
    EXPECT_EQ(read(AddressClass::V, 1, 1), wordsOf({"1111"}));
    pollfd copy{socketBetween(0, plc.port()), POLLIN, 0};
    ASSERT_EQ(::poll(&copy, 1, 10000), 1); // on the driver's socket, not yet read
    plc.setFaults(camp_sim::Faults());
    testing::internal::CaptureStderr();
    EXPECT_EQ(read(AddressClass::V, 2, 1), wordsOf({"2222"}));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("unexpected data from 127.0.0.1:"),
              std::string::npos);
    EXPECT_EQ(plc.connectionCount(), 2);

    // The new connection cannot be opened (the module has gone): the request ends there, with
    // the reason, and nothing is sent.
    setFaults([](camp_sim::Faults& f) {
        f.duplicateReadReply = true;
        f.chunkBytes = 24;
        f.chunkPauseMs = 200;
    });
    EXPECT_EQ(read(AddressClass::V, 1, 1), wordsOf({"1111"}));
    pollfd second{socketBetween(0, plc.port()), POLLIN, 0};
    ASSERT_EQ(::poll(&second, 1, 10000), 1);
    const quint16 gone = plc.port();
    plc.stop();
    Words words;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(driver.readMemoryBlock(AddressClass::V, 2, 1, words, nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(driver.sessionError(),
              QStringLiteral("Couldn't connect to 127.0.0.1:%1: connection refused").arg(gone));
}

// A connection the PLC reset fails the next request at once, in its send: never as a time-out.
TEST_F(DriverOverTcp, AResetConnectionIsNoTimeOut)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    setPort(server.serverPort());
    ASSERT_TRUE(driver.connectToPLC(&device));
    ASSERT_TRUE(server.waitForNewConnection(10000));
    QTcpSocket* accepted = server.nextPendingConnection();
    const linger reset{1, 0};
    ::setsockopt(int(accepted->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    pollfd ours{socketBetween(0, server.serverPort()), POLLIN, 0};
    server.close();
    accepted->abort();
    ASSERT_EQ(::poll(&ours, 1, 10000), 1); // the reset has reached the driver's socket
    Words words;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(driver.readMemoryBlock(AddressClass::V, 1, 1, words, nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(driver.sessionError().endsWith("while sending a read command to the PLC") &&
                !driver.sessionError().startsWith("Timed out"))
        << driver.sessionError().toStdString();
}

// A module that stops taking in what it is sent: the send gives up at the time-out, and says so.
TEST_F(DriverOverTcp, ASendThatCannotGoOutTimesOut)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    setPort(server.serverPort());
    setTimeout(QStringLiteral("200"));
    ASSERT_TRUE(driver.connectToPLC(&device));
    ASSERT_TRUE(server.waitForNewConnection(10000));
    QTcpSocket* accepted = server.nextPendingConnection(); // never read
    const int small = 2048;
    ::setsockopt(int(accepted->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const int ours = socketBetween(0, server.serverPort());
    ::setsockopt(ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    testing::internal::CaptureStderr();
    CAMP_NITP::Result sent = CAMP_NITP::Result::Done;
    for (int requests = 0; sent == CAMP_NITP::Result::Done && requests < 1000000; ++requests) {
        sent = driver.sendRead(camp_sim::kClassV, 1, 1, nullptr);
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(sent, CAMP_NITP::Result::ConnectionLost);
    EXPECT_EQ(driver.sessionError(), "Timed out while sending a read command to the PLC");
    EXPECT_TRUE(driver.lostByTimeout());
}

TEST_F(DriverOverTcp, ConnectWaitWorksAboveTheSelectLimit)
{
    // Occupy every descriptor below 1100 so the driver's socket gets a number past FD_SETSIZE.
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    if (original.rlim_max < 1200) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    const rlimit raised{std::max<rlim_t>(original.rlim_cur, 1200), original.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    std::vector<int> fillers;
    while (fillers.empty() || (fillers.back() >= 0 && fillers.back() < 1100)) {
        fillers.push_back(::dup(0));
    }
    const bool connected = driver.connectToPLC(&device);
    Words words;
    const bool readOk = connected && driver.readMemoryBlock(AddressClass::V, 1, 1, words, nullptr);
    driver.disconnectFromPLC();
    for (const int fd : fillers) {
        ::close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &original);
    ASSERT_GE(fillers.back(), 1100);
    EXPECT_TRUE(connected) << device.errorText.toStdString();
    EXPECT_TRUE(readOk) << driver.sessionError().toStdString();
}

} // namespace

// The off-scan probe counts only an answer to its own request: a read reply or an error reply. A
// peer that sends the request back, as a connection to itself does, has not answered.
TEST(ModuleProbe, CountsOnlyAnAnswerToItsOwnRequest)
{
    const auto probeOutcome = [](quint16 port) {
        ModuleProbe probe;
        ModuleProbe::State state = probe.start("127.0.0.1", port, 0, 5000);
        for (int look = 0; state == ModuleProbe::State::Waiting && look < 500; ++look) {
            QThread::msleep(10);
            state = probe.look(0);
        }
        return state;
    };

    camp_sim::SimulatedPlc plc;
    ASSERT_TRUE(plc.start());
    EXPECT_EQ(probeOutcome(plc.port()), ModuleProbe::State::Answered);
    camp_sim::Faults faults;
    faults.errorAddresses = {{camp_sim::kClassV, 1}};
    plc.setFaults(faults);
    EXPECT_EQ(probeOutcome(plc.port()), ModuleProbe::State::Answered);

    std::promise<quint16> mirrorPort;
    std::thread mirror([&] {
        QTcpServer server;
        mirrorPort.set_value(server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0);
        if (server.waitForNewConnection(5000)) {
            QTcpSocket* connection = server.nextPendingConnection();
            while (connection->waitForReadyRead(5000)) {
                connection->write(connection->readAll());
                connection->waitForBytesWritten(1000);
            }
        }
    });
    const quint16 port = mirrorPort.get_future().get();
    EXPECT_NE(port, 0);
    EXPECT_EQ(probeOutcome(port), ModuleProbe::State::Failed);
    mirror.join();
}
