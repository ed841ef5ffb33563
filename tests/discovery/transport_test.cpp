// Protects the real probe on loopback: the time-bounded socket helpers, and QtTransport's identify
// exchange against a simulated PLC with its faults (pieces, junk, silence, text services).

#include <gtest/gtest.h>

#include <QRegularExpression>

#include "camp_discovery.h"
#include "open_descriptors.h"
#include "posix_net.h"
#include "qt_printers.h"
#include "simulated_plc.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace CampDiscovery;
using camp_sim::Faults;

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");

// A TCP port of its own on 127.0.0.1: listening with the given backlog, or only bound (closed),
// so that no one else takes it.
class LoopbackPort
{
public:
    explicit LoopbackPort(int backlog = -1)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        in_addr loopback;
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in address = posix_net::makeAddr(loopback, 0);
        socklen_t size = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            (backlog >= 0 && ::listen(fd, backlog) != 0) ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "cannot bind on loopback";
        }
        port = ntohs(address.sin_port);
    }
    ~LoopbackPort() { posix_net::closeFd(fd); }

    int fd = -1;
    quint16 port = 0;
};

bool sendAll(int fd, const QByteArray& data)
{
    return ::send(fd, data.constData(), static_cast<size_t>(data.size()), MSG_NOSIGNAL) ==
           data.size();
}

template <typename Change> Faults faults(Change change)
{
    Faults f;
    change(f);
    return f;
}

// "camp error V0=00A1 1234 4.10", the parts present; "none" for nothing at all.
QString summary(const IdentifyResult& r)
{
    const QStringList parts = {r.campReply ? "camp" : "none", r.protocolError ? "error" : "",
                               r.v0Word.isEmpty() ? "" : "V0=" + r.v0Word, r.serial, r.firmware};
    return parts.filter(QRegularExpression(".")).join(' ');
}

} // namespace

TEST(PosixNet, AddressParsing)
{
    struct Row
    {
        const char* text;
        bool ok;
        quint32 address;
    };
    const Row rows[] = {
        {"192.168.1.10", true, 0xC0A8010A},
        {"::ffff:192.168.1.10", true, 0xC0A8010A},
        {"localhost", true, INADDR_LOOPBACK}, // from the hosts file
        {"", false, 0},
        {"::1", false, 0},
    };
    for (const Row& row : rows) {
        in_addr out;
        out.s_addr = 0;
        EXPECT_EQ(posix_net::parseIpv4(row.text, &out), row.ok) << row.text;
        EXPECT_EQ(ntohl(out.s_addr), row.address) << row.text;
    }
    EXPECT_FALSE(posix_net::parseIpv4("192.168.1.10", nullptr));
}

TEST(PosixNet, ConnectSendAndReceive)
{
    LoopbackPort listener(8);
    const int client = posix_net::tcpConnect(kLoopback, listener.port, 1000);
    ASSERT_GE(client, 0);
    const int server = ::accept(listener.fd, nullptr, nullptr);
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

    // No address, no socket left behind; refused at once (a long limit would only show up as a
    // slow test).
    const int descriptors = openDescriptors();
    EXPECT_EQ(posix_net::tcpConnect(QString(), listener.port, 1000), -1);
    EXPECT_EQ(openDescriptors(), descriptors);
    LoopbackPort closed;
    EXPECT_EQ(posix_net::tcpConnect(kLoopback, closed.port, 30000), -1);
    // A listener with a full queue drops further handshakes: nothing answers, the time-out ends it.
    LoopbackPort full(0);
    QList<int> queued;
    for (int i = 0; i < 3; ++i) {
        queued.append(posix_net::tcpConnect(kLoopback, full.port, 50));
    }
    EXPECT_EQ(queued.last(), -1);
    for (int fd : queued) {
        posix_net::closeFd(fd);
    }
}

TEST(IdentifyProbe, FaultsTable)
{
    camp_sim::PlcConfig config;
    config.serial = 1234;
    config.firmwareMajor = 4;
    config.firmwareMinor = 10;
    camp_sim::SimulatedPlc plc(config);
    ASSERT_TRUE(plc.start(kLoopback, 0)) << plc.lastError().toStdString();
    plc.setWord(camp_sim::kClassV, 1, 0x00A1);
    const QPair<int, quint32> v1(camp_sim::kClassV, 1);
    const QPair<int, quint32> stw259(camp_sim::kClassSTW, 259);
    struct Row
    {
        const char* name;
        Faults faults;
        int identifyTimeoutMs;
        const char* expected;
    };
    const Row rows[] = {
        {"healthy", Faults(), 2500, "camp V0=00A1 1234 4.10"},
        {"hangs up after V1", faults([](Faults& f) { f.closeAfterRequests = 1; }), 2500,
         "camp V0=00A1"},
        {"refuses the status words", faults([&](Faults& f) { f.errorAddresses = {stw259}; }), 2500,
         "camp V0=00A1"},
        {"refuses V1: still a device", faults([&](Faults& f) { f.errorAddresses = {v1}; }), 2500,
         "camp error 1234 4.10"},
        {"byte by byte after junk", faults([](Faults& f) {
             f.chunkBytes = 1;
             f.chunkPauseMs = 1;
             f.junkBeforeReply = "\r\nNOISE]";
         }),
         2500, "camp V0=00A1 1234 4.10"},
        // Junk before the "[" is dropped as it comes: the receive limit counts from the "[".
        {"4080 bytes of junk, then the reply in two pieces", faults([](Faults& f) {
             f.junkBeforeReply = QByteArray(4080, 'j');
             f.chunkBytes = 4097;
             f.chunkPauseMs = 10;
         }),
         2500, "camp V0=00A1 1234 4.10"},
        {"text service", faults([](Faults& f) { f.textService = true; }), 2500, "none"},
        {"accept and close", faults([](Faults& f) { f.acceptAndClose = true; }), 2500, "none"},
        {"close mid-reply", faults([](Faults& f) { f.closeMidReply = true; }), 2500, "none"},
        {"silent", faults([](Faults& f) { f.silent = true; }), 100, "none"},
        // More than 4096 bytes without a closing bracket end the wait long before the time-out.
        {"endless stream", faults([](Faults& f) { f.endlessStream = true; }), 60000, "none"},
        {"4097 bytes of junk, the reply much later", faults([](Faults& f) {
             f.junkBeforeReply = QByteArray(4097, 'j');
             f.chunkBytes = 4097;
             f.chunkPauseMs = 60000;
         }),
         120000, "none"},
    };
    for (const Row& row : rows) {
        plc.setFaults(row.faults);
        const IdentifyResult r =
            QtTransport().tcpIdentify(kLoopback, plc.port(), 80, row.identifyTimeoutMs);
        EXPECT_EQ(summary(r), QString::fromLatin1(row.expected)) << row.name;
        if (QByteArray(row.name) == "healthy") {
            EXPECT_EQ(plc.requests(),
                      QList<QByteArray>({"[0400010000010100010368]", "[04001A000103010003037E]"}));
            EXPECT_TRUE(plc.waitForOpenConnections(0)); // the probe closed its socket
        }
    }
    LoopbackPort closed;
    EXPECT_EQ(summary(QtTransport().tcpIdentify(kLoopback, closed.port, 80, 30000)), "none");
}
