#pragma once
// A sign of life from a module that never blocks: a connection and one small read request (one
// word of V1, as discovery's identify request), started by one call and looked at by later ones.
// A device whose module is gone is watched this way for its return without holding the caller's
// thread: the module is back when a reply frame with a good BCC comes (an error reply counts, since
// it answers too). The connection is closed once the probe has its answer.

#include <QByteArray>
#include <QtGlobal>

#include <netinet/in.h>

// The first IPv4 address of a dotted address or a host name; false when there is none.
// getaddrinfo is reentrant, so sessions may resolve at the same time.
bool resolveIPv4(const QByteArray& host, in_addr& address);

class ModuleProbe
{
public:
    enum class State { Idle, Waiting, Answered, Failed };

    ModuleProbe() = default;
    ~ModuleProbe() { close(); }
    ModuleProbe(const ModuleProbe&) = delete;
    ModuleProbe& operator=(const ModuleProbe&) = delete;

    // Starts connecting to host:port; Failed at once when that cannot even begin.
    State start(const QByteArray& host, int port, qint64 nowMs);
    // Where the probe stands now, without waiting: Waiting (for the connection or the reply),
    // Answered, or Failed (refused, closed, or no answer within `patienceMs` of the start).
    // Answered and Failed close the probe: the next look is Idle.
    State look(qint64 nowMs, int patienceMs);
    void close();

private:
    State finish(State state);

    int fd = -1;
    bool sent = false;
    QByteArray received;
    qint64 startedAtMs = 0;
};
