#include "posix_net.h"

#include <QElapsedTimer>
#include <QHostAddress>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace posix_net {

namespace {

constexpr int kRecvBlockBytes = 4096;

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) >= 0;
}

bool resolveHostName(const QByteArray& name, in_addr* out)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found) {
        return false;
    }
    *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

// The connection's pending error after a non-blocking connect: 0 when it is established.
bool connectSucceeded(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

} // namespace

void closeFd(int fd)
{
    if (fd >= 0) {
        ::close(fd);
    }
}

int pollWait(int fd, short events, int timeoutMs)
{
    if (fd < 0) {
        return -1;
    }
    pollfd entry;
    entry.fd = fd;
    entry.events = events;
    entry.revents = 0;
    const int ready = ::poll(&entry, 1, std::max(0, timeoutMs));
    if (ready <= 0) {
        return ready;
    }
    if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
        return ready;
    }
    // A hang-up may still leave data to read: only a bare error is a failure.
    return (entry.revents & events) != 0 ? ready : -1;
}

bool parseIpv4(const QString& text, in_addr* out)
{
    if (!out) {
        return false;
    }
    const QByteArray utf8 = text.toUtf8();
    if (::inet_pton(AF_INET, utf8.constData(), out) == 1) {
        return true;
    }
    const QHostAddress address(text);
    const quint32 ipv4 = address.toIPv4Address();
    if (address.protocol() == QAbstractSocket::IPv4Protocol || ipv4 != 0) {
        out->s_addr = htonl(ipv4);
        return true;
    }
    return resolveHostName(utf8, out);
}

sockaddr_in makeAddr(in_addr addr, quint16 port)
{
    sockaddr_in socketAddress;
    std::memset(&socketAddress, 0, sizeof socketAddress);
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    socketAddress.sin_addr = addr;
    return socketAddress;
}

int tcpConnect(const QString& host, quint16 port, int timeoutMs)
{
    // Close-on-exec: a probe socket must not leak into a program the host starts meanwhile.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return -1;
    }
    if (!setNonBlocking(fd)) {
        closeFd(fd);
        return -1;
    }
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    in_addr address;
    if (!parseIpv4(host, &address)) {
        closeFd(fd);
        return -1;
    }
    const sockaddr_in target = makeAddr(address, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        return fd;
    }
    if (errno != EINPROGRESS) {
        closeFd(fd);
        return -1;
    }
    if (pollWait(fd, POLLOUT, timeoutMs) < 1 || !connectSucceeded(fd)) {
        closeFd(fd);
        return -1;
    }
    return fd;
}

bool tcpSend(int fd, const QByteArray& data, int timeoutMs)
{
    if (fd < 0) {
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    qint64 sent = 0;
    while (sent < data.size()) {
        const qint64 remaining = timeoutMs - timer.elapsed();
        if (remaining < 1) {
            return false;
        }
        if (pollWait(fd, POLLOUT, static_cast<int>(remaining)) < 1) {
            return false;
        }
        const ssize_t n = ::send(fd, data.constData() + sent,
                                 static_cast<size_t>(data.size() - sent), MSG_NOSIGNAL);
        if (n >= 0) {
            sent += n;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

QByteArray tcpRecvAll(int fd, int timeoutMs, StreamEnd* end)
{
    QByteArray received;
    StreamEnd ignored = StreamEnd::Open;
    end = end ? end : &ignored;
    *end = StreamEnd::Open;
    if (fd < 0 || pollWait(fd, POLLIN, timeoutMs) < 1) {
        return received;
    }
    char block[kRecvBlockBytes];
    for (;;) {
        const ssize_t n = ::recv(fd, block, sizeof block, MSG_DONTWAIT);
        if (n > 0) {
            received.append(block, static_cast<int>(n));
            if (pollWait(fd, POLLIN, 0) < 1) {
                break;
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // The peer closed or reset the stream, or nothing more is there.
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                *end = StreamEnd::Closed;
            }
            break;
        }
    }
    return received;
}

} // namespace posix_net
