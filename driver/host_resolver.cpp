#include "host_resolver.h"

#include <arpa/inet.h>
#include <chrono>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>

namespace {

// The names kept and queued are copies of their own: a caller's text is shared data that the
// caller's thread releases whenever it likes, while the resolver's threads read these.
QByteArray ownCopy(const QByteArray& host)
{
    return QByteArray(host.constData(), host.size());
}

// Resolutions of different names run at the same time on up to this many threads; a thread with
// nothing to do for a while ends.
constexpr int kMaxThreads = 8;
constexpr auto kIdleThreadLife = std::chrono::seconds(10);
// A name is resolved again at most once in this time, however often it is used.
constexpr qint64 kResolveAgainAfterMs = 1000;

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool parseDotted(const QByteArray& host, in_addr& address)
{
    return inet_pton(AF_INET, host.constData(), &address) == 1;
}

// The first IPv4 address of a name, as the C library's resolver gives it (it may wait seconds for
// a silent name server: only the resolver's own threads call this).
bool resolveName(const QByteArray& host, in_addr& address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

} // namespace

HostResolver& HostResolver::shared()
{
    // Never destroyed: a thread still waiting on a silent name server when the process ends finds
    // its resolver where it left it.
    static HostResolver* const resolver = new HostResolver;
    return *resolver;
}

HostResolver::Answer HostResolver::lookUp(const QByteArray& host)
{
    return resolve(host, -1);
}

// A negative time-out waits not at all: a name whose resolution runs is Pending.
HostResolver::Answer HostResolver::resolve(const QByteArray& host, int timeoutMs)
{
    Answer answer;
    if (parseDotted(host, answer.address)) {
        answer.status = Status::Resolved;
        return answer;
    }
    std::unique_lock<std::mutex> lock(mutex);
    auto known = names.find(host);
    if (known == names.end()) {
        known = names.emplace(ownCopy(host), Name()).first;
    }
    Name& name = known->second;
    const quint64 finishedBefore = name.finished;
    startResolution(host, name);
    if (!name.hasAddress && name.queued) {
        if (timeoutMs < 0) {
            return answer; // Pending
        }
        const bool finished = resolved.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                [&] { return name.finished != finishedBefore; });
        if (!finished) {
            answer.status = Status::TimedOut;
            return answer;
        }
    }
    answer.status = name.hasAddress ? Status::Resolved : Status::NoSuchHost;
    answer.address = name.address;
    return answer;
}

QString HostResolver::failureText(const QByteArray& host, Status status, int timeoutMs)
{
    if (status == Status::NoSuchHost) {
        return QStringLiteral("No such host ") + QString::fromUtf8(host);
    }
    return QStringLiteral("Couldn't resolve %1: the name server did not answer within %2 ms")
        .arg(QString::fromUtf8(host))
        .arg(timeoutMs);
}

// Called with the mutex held.
void HostResolver::startResolution(const QByteArray& host, Name& name)
{
    const qint64 now = nowMs();
    if (name.queued || (name.startedAtMs >= 0 && now - name.startedAtMs < kResolveAgainAfterMs)) {
        return;
    }
    name.queued = true;
    name.startedAtMs = now;
    queue.push_back(ownCopy(host));
    if (idleThreads > 0 || threads >= kMaxThreads) {
        wakeWorkers.notify_one();
        return;
    }
    ++threads;
    try {
        std::thread([this] { work(); }).detach();
    } catch (...) {
        // No thread to be had: the name waits for one of the others, or for the next use.
        --threads;
        if (threads == 0) {
            queue.pop_back();
            name.queued = false;
        }
    }
}

void HostResolver::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        ++idleThreads;
        const bool hasWork =
            wakeWorkers.wait_for(lock, kIdleThreadLife, [this] { return !queue.empty(); });
        --idleThreads;
        if (!hasWork) {
            --threads;
            return;
        }
        const QByteArray host = queue.front();
        queue.pop_front();
        lock.unlock();
        in_addr address{};
        const bool found = resolveName(host, address);
        lock.lock();
        Name& name = names[host];
        name.queued = false;
        name.failed = !found;
        if (found) {
            name.hasAddress = true;
            name.address = address;
        }
        ++name.finished;
        resolved.notify_all();
    }
}
