#pragma once
// Small blocking TCP helpers over non-blocking POSIX sockets: every call waits with poll() and
// never longer than the milliseconds it is given. Failures are told by the return value only.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <netinet/in.h>

namespace posix_net {

// Closes fd when it is not negative.
void closeFd(int fd);

// Waits for events on fd: positive when ready, 0 on time-out, -1 on error. A negative time-out
// does not wait at all.
int pollWait(int fd, short events, int timeoutMs);

// Dotted IPv4 text, IPv4-mapped IPv6 text or host name; out is in network byte order.
bool parseIpv4(const QString& text, in_addr* out);

sockaddr_in makeAddr(in_addr addr, quint16 port);

// A connected non-blocking descriptor, or -1.
int tcpConnect(const QString& host, quint16 port, int timeoutMs);

// True when every byte went out within timeoutMs (the limit covers the whole array).
bool tcpSend(int fd, const QByteArray& data, int timeoutMs);

// How a receive ended: the stream is still open (data taken, or a time-out), or the peer closed
// or reset it.
enum class StreamEnd { Open, Closed };

// Waits up to timeoutMs for data, then takes everything already there. Empty on time-out or error;
// *end, when given, tells whether the peer ended the stream.
QByteArray tcpRecvAll(int fd, int timeoutMs, StreamEnd* end = nullptr);

} // namespace posix_net
