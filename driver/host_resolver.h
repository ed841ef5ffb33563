#pragma once
// Host names resolved off the caller's thread. A module's name server often goes away with the
// module, and the C library's resolver waits seconds for a silent one: a poll must never wait that
// long, and an off-scan poll not at all. Each name is resolved by a small pool of background
// threads, one resolution of a name at a time, and the last address it resolved to is kept: while
// the name server is silent or failing, a name that resolved before goes on giving that address
// (an outage of the name server alone never takes a module away). Every use of a name starts a
// new resolution in the background (at most one a second), so a module given a new address in
// the name server is found there by the connection after next.
//
// Dotted IPv4 addresses are never resolved.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <netinet/in.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

class HostResolver
{
public:
    enum class Status {
        Resolved, // `address` holds the address
        Pending,  // the name's first resolution is under way
        NoSuchHost,
        TimedOut // the name server did not answer within the time given
    };
    struct Answer
    {
        Status status = Status::Pending;
        in_addr address{};
    };

    // The resolver of the process. It is never destroyed, and its threads hold nothing of the
    // caller's: a resolution still under way when the host stops does no harm.
    static HostResolver& shared();

    // Never waits: a dotted address, the last address a name resolved to, Pending while a
    // resolution of a name without one runs, or NoSuchHost when the last one found none (another
    // one is then started, at most once a second).
    Answer lookUp(const QByteArray& host);
    // Waits up to `timeoutMs` for a name that has no address yet.
    Answer resolve(const QByteArray& host, int timeoutMs);

    // The device error for an answer that is not Resolved.
    static QString failureText(const QByteArray& host, Status status, int timeoutMs);

    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

private:
    // What is known of one name.
    struct Name
    {
        bool hasAddress = false;
        in_addr address{};
        bool failed = false;     // the last resolution found no address
        bool queued = false;     // a resolution is waiting for a thread or running
        qint64 startedAtMs = -1; // when the last resolution was started
        quint64 finished = 0;    // resolutions finished
    };

    HostResolver() = default;
    // Queues a resolution of the name unless one is under way or one started within a second.
    void startResolution(const QByteArray& host, Name& name);
    void work();

    std::mutex mutex;
    std::condition_variable resolved;    // a resolution finished
    std::condition_variable wakeWorkers; // a name was queued
    std::map<QByteArray, Name> names;
    std::deque<QByteArray> queue;
    int threads = 0;
    int idleThreads = 0;
};
