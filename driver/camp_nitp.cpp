// The I/O half of the driver: the TCP connection to the PLC's Ethernet module and the two memory
// commands on it. The frames are camp_wire's; every reply is checked against its request here.

#include "camp_nitp.h"

#include "diagnostic_lines.h"
#include "host_resolver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const char kOpening[] = "opening a connection to the PLC";
const char kPreparing[] = "preparing the PLC connection";
const char kSendingRead[] = "sending a read command to the PLC";
const char kReadingResponse[] = "reading a response from the PLC";
const char kSendingWrite[] = "sending a write command to the PLC";
const char kReadingWriteResponse[] = "reading a write response from the PLC";

// Why a reply was refused, for the line on standard error.
const char kBadBcc[] = "has a wrong BCC";
const char kNotAnAnswer[] = "does not answer the request";

constexpr int kKeepAliveIdleSeconds = 30;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 3;
// First replies of new connections in a row that carry zeros where the module used to echo, before
// the driver takes the module for a replacement that does not echo. One could be a fluke; a second
// on a further new connection is not.
constexpr int kZeroEchoesOfAReplacement = 2;

qint64 nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

qint64 nowMs()
{
    return nowNs() / 1000000;
}

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

// True when the module has closed or reset the connection since the last command, as a module
// does with connections that stay idle: reusing it would fail the next command for nothing.
bool peerHasClosed(int fd)
{
    pollfd entry{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&entry, 1, 0) <= 0) {
        return false;
    }
    return (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
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

QString hostAndPort(const QByteArray& host, int port)
{
    return QString::fromUtf8(host) + QLatin1Char(':') + QString::number(port);
}

// Every line names the device's address and port (when the driver has been given one), so that
// two failing devices are told apart: " (HOST:PORT)".
QByteArray where(const QByteArray& target)
{
    return target.isEmpty() ? QByteArray() : " (" + target + ')';
}

void printCommandFailure(const QByteArray& target, const char* direction, const char* command,
                         int cls, quint32 address, int count)
{
    printDiagnostic("CAMP_NITP error %s. (%s) Class: %d Address: %d Word count: %d%s\n", direction,
                    command, cls, static_cast<int>(address), count, where(target).constData());
}

} // namespace

CAMP_NITP::~CAMP_NITP()
{
    disconnectFromPLC();
}

bool CAMP_NITP::connectToPLC(DeviceInstancePlugin* device)
{
    const QByteArray host = device->address.toUtf8();
    const int port = loadPort(*device);
    timeoutMs = loadTimeoutMs(*device);
    target = host + ':' + QByteArray::number(port);
    sessionErrorText.clear();
    timedOut = false;

    // "1445O" or a missing port would reach no module: say which column is wrong, as it was
    // given, and send nothing.
    if (port < 1 || port > 0xFFFF) {
        disconnectFromPLC();
        const QString given = device->columns.value(QStringLiteral("port"));
        device->errorText =
            QStringLiteral("Couldn't connect to %1:%2 (port \"%3\": a number from 1 to 65535 is "
                           "expected)")
                .arg(QString::fromUtf8(host), given.isEmpty() ? QStringLiteral("0") : given, given);
        return false;
    }

    if (isConnected()) {
        if (connectedHost == host && connectedPort == port && !peerHasClosed(socketFd)) {
            return true;
        }
        disconnectFromPLC();
    }
    const QString failure = openConnection(host, port);
    if (!failure.isEmpty()) {
        device->errorText = failure;
        return false;
    }
    return true;
}

// Opens a connection to host:port with the time-outs and keep-alive set; the user's message on
// failure, with nothing left open, or an empty text.
QString CAMP_NITP::openConnection(const QByteArray& host, int port)
{
    socketFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        const int error = errno;
        socketFd = -1;
        return ioErrorMessage(error, kOpening);
    }
    // A name waits for the name server one time-out at most; one that resolved before gives
    // its last address at once.
    const HostResolver::Answer resolved = HostResolver::shared().resolve(host, timeoutMs);
    if (resolved.status != HostResolver::Status::Resolved) {
        return failOpening(HostResolver::failureText(host, resolved.status, timeoutMs));
    }
    const in_addr address = resolved.address;
    const QString couldNotConnect =
        QStringLiteral("Couldn't connect to ") + hostAndPort(host, port);
    if (port < 0 || port > 0xFFFF) {
        return failOpening(couldNotConnect); // would silently wrap to another port
    }
    if (!setBlocking(socketFd, false)) {
        return failOpening(ioErrorMessage(errno, kPreparing));
    }

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<quint16>(port));
    peer.sin_addr = address;
    if (::connect(socketFd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) {
            return failOpening(couldNotConnect + connectFailure(errno, timeoutMs));
        }
        if (!waitUntil(POLLOUT, nowMs() + timeoutMs)) {
            return failOpening(couldNotConnect + connectFailure(errno, timeoutMs));
        }
        int pendingError = 0;
        socklen_t length = sizeof(pendingError);
        if (getsockopt(socketFd, SOL_SOCKET, SO_ERROR, &pendingError, &length) != 0) {
            pendingError = errno;
        }
        if (pendingError != 0) {
            return failOpening(couldNotConnect + connectFailure(pendingError, timeoutMs));
        }
    }

    if (!setBlocking(socketFd, true)) {
        return failOpening(ioErrorMessage(errno, kPreparing));
    }
    if (!applySocketTimeouts(socketFd, timeoutMs)) {
        return failOpening(QStringLiteral("Couldn't apply socket timeout to ") +
                           hostAndPort(host, port));
    }
    applyKeepAlive(socketFd);
    connectedHost = host;
    connectedPort = port;
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, dotted, sizeof(dotted));
    connectedModule = QByteArray(dotted) + ':' + QByteArray::number(port);
    repliesOnConnection = 0;
    connectionNumber = nextConnectionNumber();
    if (everConnected) {
        ++link->reconnects;
    }
    everConnected = true;
    return QString();
}

QString CAMP_NITP::failOpening(const QString& message)
{
    disconnectFromPLC();
    return message;
}

bool CAMP_NITP::disconnectFromPLC()
{
    dropConnection();
    connectedHost.clear();
    connectedPort = 0;
    return true;
}

// Closes the connection but keeps its target: the next request connects again.
void CAMP_NITP::dropConnection()
{
    if (socketFd >= 0) {
        ::close(socketFd);
    }
    socketFd = -1;
    receiveBuffer.clear();
    repliesOnConnection = 0;
}

void CAMP_NITP::failSession(const QString& message)
{
    sessionErrorText = message;
    answeredBeforeLoss = repliesOnConnection > 0;
    disconnectFromPLC();
}

bool CAMP_NITP::failTransfer(const char* direction, int errorNumber, const char* activity)
{
    const QString message = ioErrorMessage(errorNumber, activity);
    timedOut = errorNumber == EAGAIN || errorNumber == EWOULDBLOCK || errorNumber == ETIMEDOUT;
    printDiagnostic("CAMP_NITP error %s. %s%s\n", direction, message.toLocal8Bit().constData(),
                    where(target).constData());
    failSession(message);
    return false;
}

// Waits for the socket to be ready for events until the deadline. A deadline that has passed still
// looks once, so that a reply that came while the caller waited for another is taken. A time-out
// leaves errno EAGAIN, so it reads as "Timed out while ...".
bool CAMP_NITP::waitUntil(short events, qint64 deadlineMs)
{
    for (;;) {
        const qint64 remaining = std::max<qint64>(0, deadlineMs - nowMs());
        pollfd entry{socketFd, events, 0};
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

// The whole frame goes out within one time-out, continuing after partial writes.
bool CAMP_NITP::sendAll(const QByteArray& frame, const char* activity)
{
    traceFrame(connectionNumber, FrameDirection::Sent, frame);
    const qint64 deadline = nowMs() + timeoutMs;
    int sent = 0;
    while (sent < frame.size()) {
        if (socketFd < 0) {
            return failTransfer("writing", EBADF, activity);
        }
        // A request nearly always fits the socket's send buffer at once, so the wait comes only
        // when it does not. MSG_NOSIGNAL: a peer that went away gives EPIPE, never a SIGPIPE.
        const ssize_t written =
            ::send(socketFd, frame.constData() + sent, static_cast<size_t>(frame.size() - sent),
                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written >= 0) {
            sent += static_cast<int>(written);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return failTransfer("writing", errno, activity);
        }
        if (!waitUntil(POLLOUT, deadline)) {
            return failTransfer("writing", errno, activity);
        }
    }
    return true;
}

// The next frame from the stream, by one time-out after the request went out. The deadline bounds
// the wait for the whole frame, so a peer that trickles bytes cannot hold the device (and the host
// thread) past it.
bool CAMP_NITP::recvMessage(QByteArray& frame, const char* activity)
{
    QByteArray pending = receiveBuffer;
    receiveBuffer.clear();
    const qint64 deadline = replyDeadlineMs;
    for (;;) {
        const camp_wire::FrameScan scan = camp_wire::scanFrame(pending);
        if (scan.status == camp_wire::FrameStatus::Frame) {
            frame = scan.frame;
            receiveBuffer = scan.rest;
            traceFrame(connectionNumber, FrameDirection::Received, frame);
            return true;
        }
        if (scan.status == camp_wire::FrameStatus::GiveUp) {
            failSession(
                QStringLiteral("Lost connection to PLC while reading a response from the PLC"));
            return false;
        }
        pending = scan.rest;

        if (socketFd < 0) {
            return failTransfer("read", EBADF, activity);
        }
        if (!waitUntil(POLLIN, deadline)) {
            return failTransfer("read", errno, activity);
        }
        char chunk[kReceiveChunkBytes];
        const ssize_t received = ::recv(socketFd, chunk, sizeof(chunk), 0);
        if (received < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (received <= 0) {
            return failTransfer("read", received == 0 ? 0 : errno, activity);
        }
        pending.append(chunk, static_cast<int>(received));
    }
}

// Bytes that arrive while no request is outstanding answer none: a duplicated or late reply. A
// request sent after them would take them for its reply, so the connection is out of step. (A close
// by the module is not: the request then fails on it as on any broken connection.)
bool CAMP_NITP::isOutOfStep()
{
    if (!receiveBuffer.isEmpty()) {
        return true;
    }
    char next = 0;
    return ::recv(socketFd, &next, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool CAMP_NITP::reconnect()
{
    const QByteArray host = connectedHost;
    const int port = connectedPort;
    dropConnection();
    const QString failure = openConnection(host, port);
    if (failure.isEmpty()) {
        return true;
    }
    const QByteArray text = failure.toLocal8Bit();
    printDiagnostic("CAMP_NITP error connecting. %s%s\n", text.constData(),
                    text.contains(target) ? "" : where(target).constData());
    failSession(failure);
    return false;
}

bool CAMP_NITP::sendRequest(const QByteArray& frame, const char* activity)
{
    timedOut = false;
    if (isConnected() && isOutOfStep()) {
        printDiagnostic("CAMP_NITP: unexpected data from %s before a request; reconnecting\n",
                        qPrintable(hostAndPort(connectedHost, connectedPort)));
        dropConnection();
    }
    // A connection dropped for a reply that answered another request is opened again here.
    if (!isConnected() && !connectedHost.isEmpty() && !reconnect()) {
        return false;
    }
    if (!sendAll(frame, activity)) {
        return false;
    }
    sentAtNs = nowNs();
    replyDeadlineMs = sentAtNs / 1000000 + timeoutMs;
    return true;
}

// The reply to the outstanding request, its round trip counted.
bool CAMP_NITP::receiveReply(QByteArray& frame, const char* activity)
{
    if (!recvMessage(frame, activity)) {
        return false;
    }
    ++link->replies;
    link->roundTripNs += nowNs() - sentAtNs;
    return true;
}

// A read reply answers the request when it is a read reply and, once the module is known to echo
// the request's class and address, echoes this request's. An echo of all zeros teaches nothing: a
// module that does not echo may well write zeros there.
bool CAMP_NITP::answersRead(const QByteArray& reply, qint32 cls, quint32 address)
{
    if (!camp_wire::isReadReply(reply)) {
        return false;
    }
    if (camp_wire::echoesRequest(reply, cls, address)) {
        if (cls != 0 || address != 0) {
            link->echoingHost = connectedHost;
            link->echoingPort = connectedPort;
            link->zeroEchoesInRow = 0;
        }
        return true;
    }
    const bool knownToEcho =
        link->echoingHost == connectedHost && link->echoingPort == connectedPort;
    return !knownToEcho || moduleStoppedEchoing(reply);
}

// The first reply of a new connection can answer nothing but its request. When such replies carry
// zeros where this target's module used to echo, on new connections in a row, the module has been
// replaced by one that does not echo: from then on it is not expected to.
bool CAMP_NITP::moduleStoppedEchoing(const QByteArray& reply)
{
    if (repliesOnConnection != 0 || !camp_wire::echoesRequest(reply, 0, 0) ||
        ++link->zeroEchoesInRow < kZeroEchoesOfAReplacement) {
        return false;
    }
    printDiagnostic("CAMP_NITP: %s no longer echoes the requests' class and address (a replaced "
                    "module?); its replies are taken without the echo\n",
                    qPrintable(hostAndPort(connectedHost, connectedPort)));
    link->echoingHost.clear();
    link->echoingPort = -1;
    link->zeroEchoesInRow = 0;
    return true;
}

// A reply that does not answer its request stores nothing, and the connection it came on is
// dropped so that no later request can take a stale reply.
CAMP_NITP::Result CAMP_NITP::refuseReply(const char* command, const char* why, qint32 cls,
                                         quint32 address, int count, ItemInstancePlugin* item)
{
    printDiagnostic("CAMP_NITP error reply. (%s) Class: %d Address: %d Word count: %d %s; "
                    "reconnecting%s\n",
                    command, cls, static_cast<int>(address), count, why, where(target).constData());
    if (item) {
        item->errorText = QStringLiteral("Error reading response");
    }
    ++link->refusedReplies;
    dropConnection();
    return Result::Refused;
}

CAMP_NITP::Result CAMP_NITP::read(qint32 cls, quint32 address, quint16 count, Words& words,
                                  ItemInstancePlugin* item)
{
    const Result sent = sendRead(cls, address, count, item);
    return sent == Result::Done ? receiveRead(cls, address, count, words, item) : sent;
}

CAMP_NITP::Result CAMP_NITP::sendRead(qint32 cls, quint32 address, quint16 count,
                                      ItemInstancePlugin* item)
{
    if (count == 0 || count > camp_wire::kMaxReadWords) {
        return Result::ItemFailed; // no frame can ask for it; nothing is sent or said
    }
    if (cls < 0 || cls > kMaxAddressClass || address > kMaxWordAddress) {
        if (item) {
            item->errorText = QLatin1String(kInvalidAddress);
        }
        return Result::ItemFailed;
    }
    if (!sendRequest(camp_wire::readRequest(cls, address, count), kSendingRead)) {
        printCommandFailure(target, "writing", "READ", cls, address, count);
        return Result::ConnectionLost;
    }
    return Result::Done;
}

CAMP_NITP::Result CAMP_NITP::receiveRead(qint32 cls, quint32 address, quint16 count, Words& words,
                                         ItemInstancePlugin* item)
{
    QByteArray reply;
    if (!receiveReply(reply, kReadingResponse)) {
        printCommandFailure(target, "read", "READ", cls, address, count);
        return Result::ConnectionLost;
    }
    if (!camp_wire::hasGoodBcc(reply)) {
        return refuseReply("READ", kBadBcc, cls, address, count, item);
    }
    if (checkForError(reply, item)) {
        ++repliesOnConnection;
        return Result::ItemFailed; // the PLC's refusal; it carries no value to misplace
    }
    if (!answersRead(reply, cls, address) || !camp_wire::readReplyWords(reply, count, words)) {
        return refuseReply("READ", kNotAnAnswer, cls, address, count, item);
    }
    ++repliesOnConnection;
    return Result::Done;
}

// Writes exactly the given words from the item's first word on; the caller encodes the value
// into words that belong to the item.
CAMP_NITP::Result CAMP_NITP::write(const ItemAddress& at, const Words& words,
                                   ItemInstancePlugin* item)
{
    const Result sent = sendWrite(at, words, item);
    return sent == Result::Done ? receiveWrite(at, static_cast<int>(words.size()), item) : sent;
}

CAMP_NITP::Result CAMP_NITP::sendWrite(const ItemAddress& at, const Words& words,
                                       ItemInstancePlugin* item)
{
    const QString refusal = writeRefusal(words);
    if (!refusal.isEmpty()) {
        item->errorText = refusal;
        return Result::ItemFailed;
    }
    const int cls = at.addressClass;
    if (!sendRequest(camp_wire::writeRequest(cls, at.startAddress, words), kSendingWrite)) {
        printCommandFailure(target, "writing", "WRITE", cls, at.startAddress,
                            static_cast<int>(words.size()));
        return Result::ConnectionLost;
    }
    return Result::Done;
}

// Only a write reply (07) or an error reply with a good BCC tells what became of a write; anything
// else (a stray read reply, a foreign frame, a garbled one) confirms nothing.
CAMP_NITP::Result CAMP_NITP::receiveWrite(const ItemAddress& at, int count,
                                          ItemInstancePlugin* item)
{
    const int cls = at.addressClass;
    QByteArray reply;
    if (!receiveReply(reply, kReadingWriteResponse)) {
        printCommandFailure(target, "read", "WRITE", cls, at.startAddress, count);
        return Result::ConnectionLost;
    }
    if (!camp_wire::hasGoodBcc(reply)) {
        return refuseReply("WRITE", kBadBcc, cls, at.startAddress, count, item);
    }
    if (checkForError(reply, item)) {
        ++repliesOnConnection;
        return Result::ItemFailed;
    }
    if (!camp_wire::isWriteReply(reply)) {
        return refuseReply("WRITE", kNotAnAnswer, cls, at.startAddress, count, item);
    }
    ++repliesOnConnection;
    return Result::Done;
}

namespace {

// The item's place in memory; an item that cannot be located says why in its error text.
ItemAddress locate(ItemInstancePlugin* item)
{
    ItemAddress at = itemAddress(*item);
    if (!at.isValid()) {
        item->errorText = invalidText(at, *item);
    }
    return at;
}

} // namespace

bool CAMP_NITP::readMemory(ItemInstancePlugin* item, Words& words)
{
    const ItemAddress at = locate(item);
    return at.isValid() &&
           read(at.addressClass, at.startAddress, at.wordCount, words, item) == Result::Done;
}

bool CAMP_NITP::readMemoryBlock(AddressClass cls, quint32 address, quint16 count, Words& words,
                                ItemInstancePlugin* item)
{
    return read(cls, address, count, words, item) == Result::Done;
}

bool CAMP_NITP::writeMemory(ItemInstancePlugin* item, Words values)
{
    const ItemAddress at = locate(item);
    return at.isValid() && write(at, values, item) == Result::Done;
}
