// Protects the real probe on loopback: the time-bounded socket helpers, and QtTransport's identify
// exchange against a simulated PLC with its faults (pieces, junk, silence, text services).

#include <gtest/gtest.h>

#include "camp_discovery.h"
#include "posix_net.h"
#include "qt_printers.h"
#include "simulated_plc.h"

#include <QHostAddress>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace CampDiscovery;

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");

// A listening TCP socket on 127.0.0.1 at a free port, for the socket helper tests.
class Listener
{
public:
    explicit Listener(int backlog = 8)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        in_addr loopback;
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in address = posix_net::makeAddr(loopback, 0);
        socklen_t size = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(fd, backlog) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
        }
        port = ntohs(address.sin_port);
    }
    ~Listener() { posix_net::closeFd(fd); }

    // The server side of a connection that has completed its handshake.
    int accept() const { return ::accept(fd, nullptr, nullptr); }

    int fd = -1;
    quint16 port = 0;
};

// A port on loopback where nothing listens: bound, so no one else takes it, but not listening.
class ClosedPort
{
public:
    ClosedPort()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        in_addr loopback;
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in address = posix_net::makeAddr(loopback, 0);
        socklen_t size = sizeof address;
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~ClosedPort() { posix_net::closeFd(fd); }

    int fd = -1;
    quint16 port = 0;
};

bool sendAll(int fd, const QByteArray& data)
{
    return ::send(fd, data.constData(), static_cast<size_t>(data.size()), MSG_NOSIGNAL) ==
           data.size();
}

class IdentifyProbe : public ::testing::Test
{
protected:
    void SetUp() override
    {
        camp_sim::PlcConfig config;
        config.serial = 1234;
        config.firmwareMajor = 4;
        config.firmwareMinor = 10;
        plc = std::make_unique<camp_sim::SimulatedPlc>(config);
        ASSERT_TRUE(plc->start(kLoopback, 0)) << plc->lastError().toStdString();
        plc->setWord(camp_sim::kClassV, 1, 0x00A1);
    }

    IdentifyResult identify(int identifyTimeoutMs = kIdentifyTimeoutMs)
    {
        return QtTransport().tcpIdentify(kLoopback, plc->port(), kTcpConnectTimeoutMs,
                                         identifyTimeoutMs);
    }

    void setFaults(const std::function<void(camp_sim::Faults&)>& change)
    {
        camp_sim::Faults faults;
        change(faults);
        plc->setFaults(faults);
    }

    std::unique_ptr<camp_sim::SimulatedPlc> plc;
};

void expectNoDevice(const IdentifyResult& r, const char* what)
{
    EXPECT_FALSE(r.campReply) << what;
    EXPECT_FALSE(r.protocolError) << what;
    EXPECT_TRUE(r.v0Word.isEmpty()) << what;
    EXPECT_TRUE(r.serial.isEmpty()) << what;
    EXPECT_TRUE(r.firmware.isEmpty()) << what;
}

} // namespace

TEST(PosixNet, AddressParsing)
{
    in_addr out;
    ASSERT_TRUE(posix_net::parseIpv4("192.168.1.10", &out));
    EXPECT_EQ(ntohl(out.s_addr), 0xC0A8010Au);

    out.s_addr = 0;
    ASSERT_TRUE(posix_net::parseIpv4("::ffff:192.168.1.10", &out));
    EXPECT_EQ(ntohl(out.s_addr), 0xC0A8010Au);

    out.s_addr = 0;
    ASSERT_TRUE(posix_net::parseIpv4("localhost", &out)); // from the hosts file
    EXPECT_EQ(ntohl(out.s_addr), INADDR_LOOPBACK);

    EXPECT_FALSE(posix_net::parseIpv4("", &out));
    EXPECT_FALSE(posix_net::parseIpv4("::1", &out));
    EXPECT_FALSE(posix_net::parseIpv4("192.168.1.10", nullptr));

    in_addr address;
    address.s_addr = htonl(0x0A4D0001);
    const sockaddr_in built = posix_net::makeAddr(address, 4450);
    EXPECT_EQ(built.sin_family, AF_INET);
    EXPECT_EQ(ntohs(built.sin_port), 4450);
    EXPECT_EQ(ntohl(built.sin_addr.s_addr), 0x0A4D0001u);
}

TEST(PosixNet, ConnectSendAndReceive)
{
    Listener listener;
    const int client = posix_net::tcpConnect(kLoopback, listener.port, 1000);
    ASSERT_GE(client, 0);
    const int server = listener.accept();
    ASSERT_GE(server, 0);

    // Negative time-outs never wait; nothing is there yet.
    EXPECT_EQ(posix_net::pollWait(client, POLLIN, -1), 0);
    EXPECT_EQ(posix_net::pollWait(-1, POLLIN, 0), -1);
    EXPECT_TRUE(posix_net::tcpRecvAll(client, 20).isEmpty());
    EXPECT_TRUE(posix_net::tcpRecvAll(-1, 0).isEmpty());

    EXPECT_TRUE(posix_net::tcpSend(client, QByteArray(), 0));
    EXPECT_FALSE(posix_net::tcpSend(client, "x", 0));
    EXPECT_FALSE(posix_net::tcpSend(-1, "x", 1000));
    ASSERT_TRUE(posix_net::tcpSend(client, "[request]", 1000));
    char received[16] = {};
    ASSERT_EQ(::recv(server, received, sizeof received, 0), 9);
    EXPECT_STREQ(received, "[request]");

    // A burst larger than one receive block comes back in one call.
    const QByteArray burst(10000, 'x');
    ASSERT_TRUE(sendAll(server, burst));
    ASSERT_GT(posix_net::pollWait(client, POLLIN, 1000), 0);
    EXPECT_EQ(posix_net::tcpRecvAll(client, 1000), burst);

    // Data followed by a hang-up is still returned; afterwards the end of stream gives nothing.
    ASSERT_TRUE(sendAll(server, "last words"));
    ::close(server);
    EXPECT_EQ(posix_net::tcpRecvAll(client, 1000), QByteArray("last words"));
    EXPECT_TRUE(posix_net::tcpRecvAll(client, 1000).isEmpty());
    posix_net::closeFd(client);
    posix_net::closeFd(-1);
}

TEST(PosixNet, ConnectFailures)
{
    ClosedPort closed;
    // Refused at once; a long limit would only show up as a slow test.
    EXPECT_EQ(posix_net::tcpConnect(kLoopback, closed.port, 30000), -1);

    // A listener with a full queue drops further handshakes: nothing answers, the time-out ends it.
    Listener full(0);
    QList<int> queued;
    for (int i = 0; i < 3; ++i) {
        queued.append(posix_net::tcpConnect(kLoopback, full.port, 50));
    }
    EXPECT_EQ(queued.last(), -1);
    for (int fd : queued) {
        posix_net::closeFd(fd);
    }
}

TEST_F(IdentifyProbe, ReadsSerialAndFirmware)
{
    const IdentifyResult r = identify();
    EXPECT_TRUE(r.campReply);
    EXPECT_FALSE(r.protocolError);
    EXPECT_EQ(r.v0Word, QStringLiteral("00A1"));
    EXPECT_EQ(r.serial, QStringLiteral("1234"));
    EXPECT_EQ(r.firmware, QStringLiteral("4.10"));
    EXPECT_EQ(plc->requests(),
              QList<QByteArray>({"[0400010000010100010368]", "[04001A000103010003037E]"}));
    EXPECT_TRUE(plc->waitForOpenConnections(0)); // the probe closed its socket
}

TEST_F(IdentifyProbe, DeviceWithoutStatusWords)
{
    // Answers the V request, then hangs up.
    setFaults([](camp_sim::Faults& f) { f.closeAfterRequests = 1; });
    IdentifyResult r = identify();
    EXPECT_TRUE(r.campReply);
    EXPECT_EQ(r.v0Word, QStringLiteral("00A1"));
    EXPECT_TRUE(r.serial.isEmpty());
    EXPECT_TRUE(r.firmware.isEmpty());

    // Refuses the status words with an error reply.
    setFaults([](camp_sim::Faults& f) {
        f.errorAddresses.append(qMakePair(int(camp_sim::kClassSTW), quint32(259)));
    });
    r = identify();
    EXPECT_TRUE(r.campReply);
    EXPECT_FALSE(r.protocolError);
    EXPECT_EQ(r.v0Word, QStringLiteral("00A1"));
    EXPECT_TRUE(r.serial.isEmpty());
    EXPECT_TRUE(r.firmware.isEmpty());

    // An error reply to the V request is still a CAMP device.
    setFaults([](camp_sim::Faults& f) {
        f.errorAddresses.append(qMakePair(int(camp_sim::kClassV), quint32(1)));
    });
    r = identify();
    EXPECT_TRUE(r.campReply);
    EXPECT_TRUE(r.protocolError);
    EXPECT_TRUE(r.v0Word.isEmpty());
    EXPECT_EQ(r.serial, QStringLiteral("1234"));
}

TEST_F(IdentifyProbe, AssemblesFramesAndSkipsJunk)
{
    setFaults([](camp_sim::Faults& f) {
        f.chunkBytes = 1;
        f.chunkPauseMs = 1;
        f.junkBeforeReply = "\r\nNOISE]";
    });
    const IdentifyResult r = identify();
    EXPECT_TRUE(r.campReply);
    EXPECT_EQ(r.v0Word, QStringLiteral("00A1"));
    EXPECT_EQ(r.serial, QStringLiteral("1234"));
    EXPECT_EQ(r.firmware, QStringLiteral("4.10"));
}

TEST_F(IdentifyProbe, NonDevicesGiveNothing)
{
    ClosedPort closed;
    expectNoDevice(QtTransport().tcpIdentify(kLoopback, closed.port, 80, 30000), "closed port");

    setFaults([](camp_sim::Faults& f) { f.textService = true; });
    expectNoDevice(identify(), "text service");

    setFaults([](camp_sim::Faults& f) { f.acceptAndClose = true; });
    expectNoDevice(identify(), "accept and close");

    setFaults([](camp_sim::Faults& f) { f.closeMidReply = true; });
    expectNoDevice(identify(), "close mid-reply");

    setFaults([](camp_sim::Faults& f) { f.silent = true; });
    expectNoDevice(identify(100), "silent");

    // More than 4096 bytes without a closing bracket end the wait long before the time-out.
    setFaults([](camp_sim::Faults& f) { f.endlessStream = true; });
    expectNoDevice(identify(60000), "endless stream");

    // 4097 bytes of junk, then the real reply much later: the probe gives up on the junk.
    setFaults([](camp_sim::Faults& f) {
        f.junkBeforeReply = QByteArray(4097, 'j');
        f.chunkBytes = 4097;
        f.chunkPauseMs = 60000;
    });
    expectNoDevice(identify(120000), "4097 bytes of junk");
}
