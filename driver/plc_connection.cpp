// The socket under the driver: opening it within its time-out, and moving whole frames both ways
// by a deadline.

#include "plc_connection.h"

#include "camp_wire.h"
#include "diagnostic_lines.h"
#include "host_resolver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <utility>

namespace {

const char kOpening[] = "opening a connection to the PLC";
const char kPreparing[] = "preparing the PLC connection";

constexpr int kKeepAliveIdleSeconds = 30;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 3;

timeval toTimeval(int ms)
{
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

bool applySocketTimeouts(int fd, int ms)
{
    const timeval tv = toTimeval(ms);
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0;
}

// A PLC that vanishes without a FIN (power cut, pulled cable) is noticed within about a minute.
bool applyKeepAlive(int fd)
{
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0) {
        return false;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof(int));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds, sizeof(int));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(int));
    return true;
}

bool setBlocking(int fd, bool blocking)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, wanted) == 0;
}

// Why a connect failed, after "Couldn't connect to HOST:PORT", in the words a user checks first.
QString connectFailure(int errorNumber, int timeoutMs)
{
    switch (errorNumber) {
    case ECONNREFUSED:
        return QStringLiteral(": connection refused");
    case ENETUNREACH:
    case EHOSTUNREACH:
        return QStringLiteral(": no route");
    case EAGAIN:
    case ETIMEDOUT:
        return QStringLiteral(": timed out after %1 ms").arg(timeoutMs);
    default:
        return QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errorNumber)).toLower();
    }
}

QString joinHostAndPort(const QByteArray& host, int port)
{
    return QString::fromUtf8(host) + QLatin1Char(':') + QString::number(port);
}

QByteArray dottedAddress(const in_addr& address, int port)
{
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, dotted, sizeof(dotted));
    return QByteArray(dotted) + ':' + QByteArray::number(port);
}

} // namespace

qint64 PlcConnection::nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

QString PlcConnection::open(const QByteArray& host, int port, int timeoutMs)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return ioErrorMessage(errno, kOpening);
    }
    // A name waits for the name server one time-out at most; one that resolved before gives
    // its last address at once.
    const HostResolver::Answer resolved = HostResolver::shared().resolve(host, timeoutMs);
    if (resolved.status != HostResolver::Status::Resolved) {
        return failOpening(HostResolver::failureText(host, resolved.status, timeoutMs));
    }
    const QString failure = connectWithin(resolved.address, host, port, timeoutMs);
    if (!failure.isEmpty()) {
        return failOpening(failure);
    }
    if (!applySocketTimeouts(fd, timeoutMs)) {
        return failOpening(QStringLiteral("Couldn't apply socket timeout to ") +
                           joinHostAndPort(host, port));
    }
    applyKeepAlive(fd);
    connectedHost = host;
    connectedPort = port;
    connectedModule = dottedAddress(resolved.address, port);
    connectionNumber = nextConnectionNumber();
    return QString();
}

// Connects the socket without blocking longer than timeoutMs and leaves it blocking; the user's
// message on failure, or an empty text.
QString PlcConnection::connectWithin(const in_addr& address, const QByteArray& host, int port,
                                     int timeoutMs)
{
    const QString couldNotConnect =
        QStringLiteral("Couldn't connect to ") + joinHostAndPort(host, port);
    if (port < 0 || port > 0xFFFF) {
        return couldNotConnect; // would silently wrap to another port
    }
    if (!setBlocking(fd, false)) {
        return ioErrorMessage(errno, kPreparing);
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<quint16>(port));
    peer.sin_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) {
            return couldNotConnect + connectFailure(errno, timeoutMs);
        }
        if (!waitUntil(POLLOUT, nowMs() + timeoutMs)) {
            return couldNotConnect + connectFailure(errno, timeoutMs);
        }
        int pendingError = 0;
        socklen_t length = sizeof(pendingError);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pendingError, &length) != 0) {
            pendingError = errno;
        }
        if (pendingError != 0) {
            return couldNotConnect + connectFailure(pendingError, timeoutMs);
        }
    }
    if (!setBlocking(fd, true)) {
        return ioErrorMessage(errno, kPreparing);
    }
    return QString();
}

QString PlcConnection::failOpening(const QString& message)
{
    close();
    forgetTarget();
    return message;
}

void PlcConnection::close()
{
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
    receiveBuffer.clear();
}

void PlcConnection::forgetTarget()
{
    connectedHost.clear();
    connectedPort = 0;
}

bool PlcConnection::isOpenTo(const QByteArray& host, int port) const
{
    if (!isOpen() || connectedHost != host || connectedPort != port) {
        return false;
    }
    pollfd entry{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&entry, 1, 0) <= 0) {
        return true;
    }
    return (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

QString PlcConnection::hostAndPort() const
{
    return joinHostAndPort(connectedHost, connectedPort);
}

bool PlcConnection::hasBytesWaiting() const
{
    if (!receiveBuffer.isEmpty()) {
        return true;
    }
    char next = 0;
    return ::recv(fd, &next, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// Waits for the socket to be ready for events until the deadline. A deadline that has passed still
// looks once, so that a reply that came while the caller waited for another is taken. A time-out
// leaves errno EAGAIN, so it reads as "Timed out while ...".
bool PlcConnection::waitUntil(short events, qint64 deadlineMs) const
{
    for (;;) {
        const qint64 remaining = std::max<qint64>(0, deadlineMs - nowMs());
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(remaining));
        if (ready > 0) {
            return true; // an error or hang-up is reported by the call that follows
        }
        if (ready == 0) {
            errno = EAGAIN;
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Continues after partial writes until the whole frame is out.
bool PlcConnection::sendFrame(const QByteArray& frame, qint64 deadlineMs, int& errorNumber)
{
    traceFrame(connectionNumber, FrameDirection::Sent, frame);
    int sent = 0;
    while (sent < frame.size()) {
        if (fd < 0) {
            errorNumber = EBADF;
            return false;
        }
        // A request nearly always fits the socket's send buffer at once, so the wait comes only
        // when it does not. MSG_NOSIGNAL: a peer that went away gives EPIPE, never a SIGPIPE.
        const ssize_t written =
            ::send(fd, frame.constData() + sent, static_cast<size_t>(frame.size() - sent),
                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written >= 0) {
            sent += static_cast<int>(written);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitUntil(POLLOUT, deadlineMs)) {
            errorNumber = errno;
            return false;
        }
    }
    return true;
}

// The deadline bounds the wait for the whole frame, so a peer that trickles bytes cannot hold the
// device (and the host thread) past it.
PlcConnection::Received PlcConnection::receiveFrame(QByteArray& frame, qint64 deadlineMs,
                                                    int& errorNumber)
{
    QByteArray pending = receiveBuffer;
    receiveBuffer.clear();
    for (;;) {
        const camp_wire::FrameScan scan = camp_wire::scanFrame(pending);
        if (scan.status == camp_wire::FrameStatus::Frame) {
            frame = scan.frame;
            receiveBuffer = scan.rest;
            traceFrame(connectionNumber, FrameDirection::Received, frame);
            return Received::Frame;
        }
        if (scan.status == camp_wire::FrameStatus::GiveUp) {
            return Received::NotCamp;
        }
        pending = std::move(scan.rest); // alone with its bytes, it grows in place

        if (fd < 0) {
            errorNumber = EBADF;
            return Received::Failed;
        }
        if (!waitUntil(POLLIN, deadlineMs)) {
            errorNumber = errno;
            return Received::Failed;
        }
        char chunk[kReceiveChunkBytes];
        const ssize_t received = ::recv(fd, chunk, sizeof(chunk), 0);
        if (received < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (received <= 0) {
            errorNumber = received == 0 ? 0 : errno;
            return Received::Failed;
        }
        pending.append(chunk, static_cast<int>(received));
    }
}

QString PlcConnection::ioErrorMessage(int errorNumber, const char* activity)
{
    const char* prefix = "Communication error while ";
    switch (errorNumber) {
    case 0: // end of stream
    case EPIPE:
        prefix = "PLC closed the connection while ";
        break;
    case EBADF:
    case ENOTCONN:
        prefix = "Lost connection to PLC while ";
        break;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT:
        prefix = "Timed out while ";
        break;
    case ECONNRESET:
        prefix = "PLC reset the connection while ";
        break;
    case ECONNABORTED:
        prefix = "PLC aborted the connection while ";
        break;
    case ECONNREFUSED:
        prefix = "PLC refused the connection while ";
        break;
    case ENETUNREACH:
    case EHOSTUNREACH:
        prefix = "PLC is unreachable while ";
        break;
    case EHOSTDOWN:
        prefix = "PLC is not responding while ";
        break;
    case ENETDOWN:
        prefix = "Network is down while ";
        break;
    case ENFILE:
    case EMFILE:
        prefix = "Too many open connections while ";
        break;
    default:
        break;
    }
    return QString::fromLatin1(prefix) + QString::fromLatin1(activity);
}
