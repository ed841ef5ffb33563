// The real identify probe: one short TCP exchange per host and port over posix_net sockets.

#include "camp_discovery.h"
#include "camp_wire.h"
#include "posix_net.h"

#include <QElapsedTimer>

namespace CampDiscovery {

namespace {

// The first complete frame that arrives within limitMs, or empty. Bytes after it are dropped, and
// so are bytes before its "["; a service that streams bytes without ever closing a frame gives up
// the wait at camp_wire's receive limit. *end tells whether the peer ended the stream before a
// frame was complete.
QByteArray recvCampFrame(int fd, int limitMs, posix_net::StreamEnd* end = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray pending;
    while (timer.elapsed() < limitMs) {
        const camp_wire::FrameScan scan = camp_wire::scanFrame(pending);
        if (scan.status != camp_wire::FrameStatus::NeedMore) {
            return scan.frame;
        }
        pending = scan.rest;
        const qint64 remaining = limitMs - timer.elapsed();
        if (remaining < 1) {
            break;
        }
        const QByteArray chunk = posix_net::tcpRecvAll(fd, static_cast<int>(remaining), end);
        if (chunk.isEmpty()) {
            break;
        }
        pending.append(chunk);
    }
    return firstCampFrame(pending);
}

// Serial and firmware from STW259..261. Failing here leaves them empty; the device still counts.
void readIdentityWords(int fd, int identifyTimeoutMs, IdentifyResult* result)
{
    if (!posix_net::tcpSend(fd, stwIdentityRequest(), identifyTimeoutMs)) {
        return;
    }
    const QStringList words = parseCampReadWords(recvCampFrame(fd, identifyTimeoutMs), nullptr);
    const QMap<QString, QString> identity = identityFromStwWords(words);
    result->serial = identity.value(QStringLiteral("serial"));
    result->firmware = identity.value(QStringLiteral("firmware"));
}

} // namespace

IdentifyResult QtTransport::tcpIdentify(const QString& host, quint16 port, int connectTimeoutMs,
                                        int identifyTimeoutMs)
{
    IdentifyResult result;
    const int fd = posix_net::tcpConnect(host, port, connectTimeoutMs);
    if (fd < 0) {
        return result;
    }
    if (!posix_net::tcpSend(fd, vMemoryIdentifyRequest(), identifyTimeoutMs)) {
        posix_net::closeFd(fd);
        return result;
    }
    // Whether a device is there is told by campReply, not by the parser's return value.
    posix_net::StreamEnd end = posix_net::StreamEnd::Open;
    parseCampReply(recvCampFrame(fd, identifyTimeoutMs, &end), &result);
    result.closedWithoutReply = !result.campReply && end == posix_net::StreamEnd::Closed;
    if (result.campReply) {
        readIdentityWords(fd, identifyTimeoutMs, &result);
    }
    posix_net::closeFd(fd);
    return result;
}

} // namespace CampDiscovery
