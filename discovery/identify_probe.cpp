// The real identify probe: one short TCP exchange per host and port over posix_net sockets.

#include "camp_discovery.h"
#include "posix_net.h"

#include <QElapsedTimer>

namespace CampDiscovery {

namespace {

// A service that streams bytes without ever closing a frame must not hold a probe for long.
constexpr int kMaxFrameBufferBytes = 4096;

// The first complete frame that arrives within limitMs, or empty. Bytes after it are dropped.
// *end tells whether the peer ended the stream before a frame was complete.
QByteArray recvCampFrame(int fd, int limitMs, posix_net::StreamEnd* end = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray buffer;
    for (;;) {
        if (timer.elapsed() >= limitMs) {
            break;
        }
        const QByteArray frame = firstCampFrame(buffer);
        if (!frame.isEmpty()) {
            return frame;
        }
        const qint64 remaining = limitMs - timer.elapsed();
        if (remaining < 1) {
            break;
        }
        const QByteArray chunk = posix_net::tcpRecvAll(fd, static_cast<int>(remaining), end);
        if (chunk.isEmpty()) {
            break;
        }
        buffer.append(chunk);
        if (buffer.size() > kMaxFrameBufferBytes) {
            break;
        }
    }
    return firstCampFrame(buffer);
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
