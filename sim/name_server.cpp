#include "name_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace camp_sim {

namespace {

constexpr int kHeaderBytes = 12;
constexpr quint16 kTypeA = 1;
constexpr quint16 kClassIn = 1;

quint16 read16(const QByteArray& bytes, int at)
{
    return static_cast<quint16>(static_cast<quint8>(bytes.at(at)) << 8 |
                                static_cast<quint8>(bytes.at(at + 1)));
}

void append16(QByteArray& out, quint16 value)
{
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value & 0xFF));
}

// The question's name ("plc.plant") and the position after its labels, or -1 when the labels run
// past the end or use compression (a query never does).
int readName(const QByteArray& query, QByteArray& name)
{
    int at = kHeaderBytes;
    while (at < query.size()) {
        const int length = static_cast<quint8>(query.at(at));
        if (length == 0) {
            return at + 1;
        }
        if (length > 63 || at + 1 + length > query.size()) {
            return -1;
        }
        if (!name.isEmpty()) {
            name.append('.');
        }
        name.append(query.mid(at + 1, length).toLower());
        at += 1 + length;
    }
    return -1;
}

} // namespace

bool NameServer::start(const QString& address, quint16 port)
{
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (fd < 0 || inet_pton(AF_INET, address.toLatin1().constData(), &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        error = QStringLiteral("cannot serve names on %1:%2: %3")
                    .arg(address)
                    .arg(port)
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        stop();
        return false;
    }
    listenAddress = address;
    stopping = false;
    server = std::thread([this] { serve(); });
    return true;
}

void NameServer::stop()
{
    stopping = true;
    if (server.joinable()) {
        server.join();
    }
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
}

void NameServer::setAddress(const QByteArray& name, const QByteArray& dottedAddress)
{
    std::lock_guard<std::mutex> lock(mutex);
    names.insert(name.toLower(), dottedAddress);
}

QByteArray NameServer::resolvConf(int timeoutSeconds) const
{
    return "nameserver " + listenAddress.toLatin1() +
           "\noptions timeout:" + QByteArray::number(timeoutSeconds) + " attempts:1\n";
}

void NameServer::serve()
{
    while (!stopping) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) {
            continue;
        }
        char datagram[512];
        sockaddr_in client{};
        socklen_t clientSize = sizeof(client);
        const ssize_t got = ::recvfrom(fd, datagram, sizeof(datagram), 0,
                                       reinterpret_cast<sockaddr*>(&client), &clientSize);
        if (got < kHeaderBytes) {
            continue;
        }
        const QByteArray reply = answer(QByteArray(datagram, static_cast<int>(got)));
        if (!reply.isEmpty()) {
            ::sendto(fd, reply.constData(), static_cast<size_t>(reply.size()), 0,
                     reinterpret_cast<const sockaddr*>(&client), clientSize);
        }
    }
}

// The reply to one query: the question repeated, then one A record when the name is known;
// NXDOMAIN for an unknown name, no record for another type. Nothing while silent.
QByteArray NameServer::answer(const QByteArray& query)
{
    QByteArray name;
    const int questionEnd = readName(query, name);
    if (questionEnd < 0 || questionEnd + 4 > query.size()) {
        return QByteArray();
    }
    const quint16 type = read16(query, questionEnd);
    if (type == kTypeA) {
        ++queryCount;
    }
    if (isSilent) {
        return QByteArray();
    }
    QByteArray address;
    {
        std::lock_guard<std::mutex> lock(mutex);
        address = names.value(name);
    }
    in_addr resolved{};
    const bool known =
        !address.isEmpty() && inet_pton(AF_INET, address.constData(), &resolved) == 1;
    const bool withRecord = known && type == kTypeA;

    QByteArray reply = query.left(2);                           // the query's id
    append16(reply, known || type != kTypeA ? 0x8180 : 0x8183); // a reply, recursion; NXDOMAIN
    append16(reply, 1);                                         // one question ...
    append16(reply, withRecord ? 1 : 0);                        // ... and its answer
    append16(reply, 0);
    append16(reply, 0);
    reply.append(query.mid(kHeaderBytes, questionEnd + 4 - kHeaderBytes));
    if (withRecord) {
        append16(reply, 0xC000 | kHeaderBytes); // the question's name
        append16(reply, kTypeA);
        append16(reply, kClassIn);
        append16(reply, 0); // time to live: 0 s, so nothing caches it
        append16(reply, 0);
        append16(reply, 4);
        reply.append(reinterpret_cast<const char*>(&resolved.s_addr), 4);
    }
    return reply;
}

} // namespace camp_sim
