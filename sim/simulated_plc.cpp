#include "simulated_plc.h"

#include "camp_handler.h"
#include "garbled_reply.h"
#include "plc_memory.h"
#include "request_assembler.h"
#include "scan_queue.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace camp_sim {

namespace {

constexpr int kRequestsPerScan = 8;
constexpr int kListenBacklog = 128;
constexpr int kDefaultKeptRequests = 100000;
// A dropped connection closes within a scan, or after a reply it is delaying: far within this.
constexpr int kMostDropWaitMs = 10000;

using Clock = std::chrono::steady_clock;
constexpr Clock::duration kMostWakeLate = std::chrono::microseconds(200);

// The faults as the serving threads read them: one immutable snapshot per setFaults().
struct FaultSet
{
    Faults faults;
    ReplyFaults replyFaults;
};

std::shared_ptr<const FaultSet> makeFaultSet(const Faults& faults)
{
    auto set = std::make_shared<FaultSet>();
    set->faults = faults;
    set->replyFaults.shortReplyWords = faults.shortReplyWords;
    set->replyFaults.errorAddresses = faults.errorAddresses;
    set->replyFaults.duplicateReadReply = faults.duplicateReadReply;
    set->replyFaults.readReplyAddressOffset = faults.readReplyAddressOffset;
    set->replyFaults.readReplyToWrite = faults.readReplyToWrite;
    set->replyFaults.nonHexInReplyWords = faults.nonHexInReplyWords;
    set->replyFaults.noEcho = faults.noEcho;
    set->replyFaults.foreignWriteReply = faults.foreignWriteReply;
    set->replyFaults.maxReadWords = static_cast<quint32>(std::max(0, faults.maxReadWords));
    return set;
}

int remainingMs(Clock::time_point deadline)
{
    // Rounded up, so that a wait never ends before its deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

void closeFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
}

struct Connection
{
    int fd = -1;
    int othersAtAccept = 0; // connections open when this one was accepted
    std::thread thread;
    std::atomic<bool> finished{false};
};

} // namespace

struct SimulatedPlc::Private
{
    explicit Private(const PlcConfig& plcConfig) : config(plcConfig), memory(plcConfig.memorySizes)
    {
        memory.setWord(kClassSTW, 259, plcConfig.serial);
        memory.setWord(kClassSTW, 260, plcConfig.firmwareMajor);
        memory.setWord(kClassSTW, 261, plcConfig.firmwareMinor);
        faults = makeFaultSet(Faults());
    }

    // Serving threads.
    void acceptLoop();
    void serveConnection(Connection* connection);
    bool serveFrame(int fd, int othersAtAccept, const std::string& frame, std::string& reply,
                    std::string& outgoing, int& answered);
    bool serveText(int fd, const char* data, size_t size);
    void answer(const std::string& request, const ReplyFaults& replyFaults, std::string& reply);
    bool sendAll(int fd, const char* data, size_t size) const;
    bool sendInPieces(int fd, const std::string& data, const Faults& faults) const;
    void streamEndlessly(int fd) const;
    bool pause(int ms) const; // false when the PLC stops meanwhile
    bool pauseUntil(Clock::time_point deadline) const;
    void reapFinishedConnections();

    // Observation.
    std::shared_ptr<const FaultSet> currentFaults() const;
    void recordRequest(const char* data, size_t size);
    void changed() const;
    template <typename Condition> bool waitUntil(Condition condition, int timeoutMs) const;

    const PlcConfig config;

    mutable std::mutex memoryMutex;
    PlcMemory memory;

    mutable std::mutex faultsMutex;
    std::shared_ptr<const FaultSet> faults;

    std::atomic<int> connectionCount{0};
    std::atomic<int> openConnections{0};
    std::atomic<int> refusedConnections{0};
    std::atomic<int> requestCount{0};
    std::atomic<quint64> readRepliesWithWords{0}; // counted while digits are garbled
    mutable std::mutex keptMutex;
    QList<QByteArray> keptRequests;
    int keptLimit = kDefaultKeptRequests;
    mutable std::mutex changeMutex;
    mutable std::condition_variable changeSignal;

    Trace trace;
    Responder responder;
    Program program;           // guarded by memoryMutex
    WriteJournal writeJournal; // guarded by memoryMutex

    QString address;
    quint16 port = 0;
    QString lastError;
    int listenFd = -1;
    int stopFd = -1; // an eventfd that becomes readable, for good, when the PLC stops
    bool running = false;
    std::thread acceptThread;
    std::mutex connectionsMutex;
    // Shared, so that dropConnections() can wait for connections that are reaped meanwhile.
    std::list<std::shared_ptr<Connection>> connections;
    std::unique_ptr<ScanQueue> scanQueue;
};

// ---- observation ----------------------------------------------------------------------------

std::shared_ptr<const FaultSet> SimulatedPlc::Private::currentFaults() const
{
    std::lock_guard<std::mutex> lock(faultsMutex);
    return faults;
}

void SimulatedPlc::Private::changed() const
{
    {
        std::lock_guard<std::mutex> lock(changeMutex);
    }
    changeSignal.notify_all();
}

template <typename Condition>
bool SimulatedPlc::Private::waitUntil(Condition condition, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(changeMutex);
    return changeSignal.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)),
                                 condition);
}

void SimulatedPlc::Private::recordRequest(const char* data, size_t size)
{
    {
        std::lock_guard<std::mutex> lock(keptMutex);
        if (keptRequests.size() < keptLimit) {
            keptRequests.append(QByteArray(data, static_cast<int>(size)));
        }
        ++requestCount;
    }
    changed();
}

// ---- serving --------------------------------------------------------------------------------

// How late this thread's timed waits end, on average: even without timer slack a busy machine
// wakes a sleeper some tens of microseconds after its time. Waits aim that much early, so that an
// added latency of 1 ms is 1 ms on average and not 1.05: benchmarks hold polls against
// blocks x latency.
thread_local Clock::duration wakeLate = Clock::duration::zero();

bool SimulatedPlc::Private::pauseUntil(Clock::time_point deadline) const
{
    pollfd stopPoll{stopFd, POLLIN, 0};
    for (;;) {
        const Clock::time_point target = deadline - wakeLate;
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(target - Clock::now()).count();
        if (left <= 0) {
            return true;
        }
        const timespec wait{static_cast<time_t>(left / 1000000000),
                            static_cast<long>(left % 1000000000)};
        const int ready = ::ppoll(&stopPoll, 1, &wait, nullptr);
        if (ready > 0) {
            return false;
        }
        if (ready == 0) {
            const Clock::duration late = Clock::now() - target;
            wakeLate = std::clamp<Clock::duration>(wakeLate + (late - wakeLate) / 8,
                                                   Clock::duration::zero(), kMostWakeLate);
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

bool SimulatedPlc::Private::pause(int ms) const
{
    return ms <= 0 || pauseUntil(Clock::now() + std::chrono::milliseconds(ms));
}

bool SimulatedPlc::Private::sendAll(int fd, const char* data, size_t size) const
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd polls[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
            if (::poll(polls, 2, -1) < 0 && errno != EINTR) {
                return false;
            }
            if (polls[1].revents != 0) {
                return false;
            }
            continue;
        }
        return false; // the peer went away
    }
    return true;
}

bool SimulatedPlc::Private::sendInPieces(int fd, const std::string& data, const Faults& f) const
{
    if (f.chunkBytes <= 0) {
        return sendAll(fd, data.data(), data.size());
    }
    const size_t piece = static_cast<size_t>(f.chunkBytes);
    for (size_t offset = 0; offset < data.size(); offset += piece) {
        if (offset > 0 && !pause(f.chunkPauseMs)) {
            return false;
        }
        if (!sendAll(fd, data.data() + offset, std::min(piece, data.size() - offset))) {
            return false;
        }
    }
    return true;
}

// Opens a reply and never closes it, until the peer gives up or the PLC stops.
void SimulatedPlc::Private::streamEndlessly(int fd) const
{
    if (!sendAll(fd, "[0500", 5)) {
        return;
    }
    const std::string zeros(4096, '0');
    while (sendAll(fd, zeros.data(), zeros.size())) {
    }
}

void SimulatedPlc::Private::answer(const std::string& request, const ReplyFaults& replyFaults,
                                   std::string& reply)
{
    std::lock_guard<std::mutex> lock(memoryMutex);
    if (program) {
        program(memory);
    }
    const HandleResult result =
        handleRequest(request.data(), request.size(), memory, replyFaults, reply);
    if (result.wroteMemory && writeJournal) {
        QList<quint16> words;
        for (quint32 i = 0; i < result.count; ++i) {
            words.append(memory.word(result.addressClass, result.address + i));
        }
        writeJournal(result.addressClass, result.address, words);
    }
}

// One request frame of a connection; false when the connection is to be closed.
bool SimulatedPlc::Private::serveFrame(int fd, int othersAtAccept, const std::string& frame,
                                       std::string& reply, std::string& outgoing, int& answered)
{
    // The added latency runs from here: the time spent answering is part of it.
    Clock::time_point arrived = Clock::now();
    // The faults are taken before the request is counted: a test that saw the count and then
    // changes the faults knows which ones served it.
    const std::shared_ptr<const FaultSet> set = currentFaults();
    recordRequest(frame.data(), frame.size());
    const Faults& f = set->faults;
    const bool silent = f.silent || (f.silentBeyond > 0 && othersAtAccept >= f.silentBeyond);
    const Response response =
        responder && !silent ? responder(QByteArray(frame.data(), static_cast<int>(frame.size())))
                             : Response();
    if (silent || response.silent) {
        if (trace) {
            trace(QByteArray(frame.data(), static_cast<int>(frame.size())), QByteArray());
        }
        return true;
    }
    if (f.endlessStream) {
        streamEndlessly(fd);
        return false;
    }

    reply.clear();
    if (responder) {
        reply.assign(response.reply.constData(), static_cast<size_t>(response.reply.size()));
        arrived += response.delay;
    } else if (scanQueue) {
        if (!scanQueue->submit(frame, set->replyFaults, reply)) {
            return false;
        }
        arrived = Clock::now(); // served at a scan boundary: the latency follows the scan
    } else {
        answer(frame, set->replyFaults, reply);
    }
    garbleDigit(reply, f.garbledDigitPercent, readRepliesWithWords);
    if (trace) {
        trace(QByteArray(frame.data(), static_cast<int>(frame.size())),
              QByteArray(reply.data(), static_cast<int>(reply.size())));
    }

    const Clock::time_point replyAt = arrived + std::chrono::milliseconds(f.latencyMs);
    outgoing.assign(f.junkBeforeReply.constData(), static_cast<size_t>(f.junkBeforeReply.size()));
    if (f.closeMidReply) {
        outgoing.append(reply, 0, reply.size() / 2);
        if (pauseUntil(replyAt)) {
            sendAll(fd, outgoing.data(), outgoing.size());
        }
        return false;
    }
    outgoing.append(reply);
    if (!pauseUntil(replyAt) || !sendInPieces(fd, outgoing, f)) {
        return false;
    }
    ++answered;
    return f.closeAfterRequests <= 0 || answered < f.closeAfterRequests;
}

// A plain text service: whatever comes in is answered with one line, then the service hangs up.
bool SimulatedPlc::Private::serveText(int fd, const char* data, size_t size)
{
    recordRequest(data, size);
    const std::shared_ptr<const FaultSet> set = currentFaults();
    const QByteArray& text = set->faults.textServiceReply;
    if (pause(set->faults.latencyMs)) {
        sendAll(fd, text.constData(), static_cast<size_t>(text.size()));
    }
    return false;
}

void SimulatedPlc::Private::serveConnection(Connection* connection)
{
    ::prctl(PR_SET_TIMERSLACK, 1UL); // latencies to the microsecond (see pauseUntil)
    const int fd = connection->fd;
    RequestAssembler assembler;
    std::string frame, reply, outgoing;
    reply.reserve(2048);
    outgoing.reserve(2048);
    char buffer[16384];
    int answered = 0;
    auto idleDeadline = Clock::now() + std::chrono::milliseconds(config.idleTimeoutMs);

    for (bool open = true; open;) {
        pollfd polls[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int timeout = config.idleTimeoutMs > 0 ? remainingMs(idleDeadline) : -1;
        const int ready = ::poll(polls, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (polls[1].revents != 0) {
            break;
        }
        if (ready == 0) {
            break; // silent for too long: the module drops the connection
        }
        const ssize_t received = ::recv(fd, buffer, sizeof buffer, 0);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        idleDeadline = Clock::now() + std::chrono::milliseconds(config.idleTimeoutMs);

        if (currentFaults()->faults.textService) {
            open = serveText(fd, buffer, static_cast<size_t>(received));
            continue;
        }
        assembler.append(buffer, static_cast<size_t>(received));
        while (open && assembler.next(frame)) {
            open = serveFrame(fd, connection->othersAtAccept, frame, reply, outgoing, answered);
        }
    }

    {
        // Under the lock: dropConnections() must never shut down a descriptor reused meanwhile.
        std::lock_guard<std::mutex> lock(connectionsMutex);
        closeFd(connection->fd);
    }
    --openConnections;
    connection->finished = true;
    changed();
}

void SimulatedPlc::Private::reapFinishedConnections()
{
    std::lock_guard<std::mutex> lock(connectionsMutex);
    for (auto it = connections.begin(); it != connections.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void SimulatedPlc::Private::acceptLoop()
{
    for (;;) {
        pollfd polls[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(polls, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (polls[1].revents != 0) {
            return;
        }
        if (polls[0].revents == 0) {
            continue;
        }
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (!pause(10)) { // out of descriptors: let some connections finish first
                    return;
                }
            }
            continue;
        }
        reapFinishedConnections();

        // Counted before the close, so that a client that sees the close also sees the count.
        const std::shared_ptr<const FaultSet> set = currentFaults();
        if (set->faults.acceptAndClose) {
            ++connectionCount;
            changed();
            closeFd(fd);
            continue;
        }
        const int limit = set->faults.connectionLimit > 0
                              ? std::min(set->faults.connectionLimit, config.maxConnections)
                              : config.maxConnections;
        const int others = openConnections.load();
        if (others >= limit) {
            ++refusedConnections;
            changed();
            closeFd(fd);
            continue;
        }
        const int noDelay = 1; // replies are small and a client waits for each one
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

        ++connectionCount;
        ++openConnections;
        changed();
        auto connection = std::make_shared<Connection>();
        connection->fd = fd;
        connection->othersAtAccept = others;
        Connection* raw = connection.get();
        std::lock_guard<std::mutex> lock(connectionsMutex);
        connections.push_back(std::move(connection));
        raw->thread = std::thread([this, raw] { serveConnection(raw); });
    }
}

// ---- SimulatedPlc ---------------------------------------------------------------------------

SimulatedPlc::SimulatedPlc(const PlcConfig& config) : d(std::make_unique<Private>(config)) {}

SimulatedPlc::~SimulatedPlc()
{
    stop();
}

bool SimulatedPlc::start(const QString& address, quint16 port)
{
    if (d->running) {
        d->lastError = QStringLiteral("already running");
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray host = address.toUtf8();
    const QByteArray service = QByteArray::number(port);
    const int resolved = ::getaddrinfo(host.isEmpty() ? nullptr : host.constData(),
                                       service.constData(), &hints, &found);
    if (resolved != 0 || !found) {
        d->lastError = QStringLiteral("cannot resolve %1: %2").arg(address, gai_strerror(resolved));
        return false;
    }
    int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    const int reuse = 1; // a restarted simulator takes its port back at once
    bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0 &&
              ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 &&
              ::listen(fd, kListenBacklog) == 0;
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t boundSize = sizeof bound;
    ok = ok && ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0;
    if (!ok) {
        d->lastError = QStringLiteral("cannot listen on %1:%2: %3")
                           .arg(address)
                           .arg(port)
                           .arg(QString::fromLocal8Bit(std::strerror(errno)));
        closeFd(fd);
        return false;
    }
    d->port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    d->address = address;
    d->listenFd = fd;
    d->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    resetCounters();
    if (d->config.scanTimeMs > 0) {
        Private* p = d.get();
        d->scanQueue = std::make_unique<ScanQueue>(
            d->config.scanTimeMs, kRequestsPerScan,
            [p](const std::string& request, const ReplyFaults& faults, std::string& reply) {
                p->answer(request, faults, reply);
            });
    }
    d->running = true;
    d->lastError.clear();
    d->acceptThread = std::thread([p = d.get()] { p->acceptLoop(); });
    return true;
}

void SimulatedPlc::stop()
{
    if (!d->running) {
        return;
    }
    const quint64 one = 1;
    if (::write(d->stopFd, &one, sizeof one) < 0) {
        // An eventfd write cannot fail short of a full counter; nothing to do about it here.
    }
    d->acceptThread.join();
    if (d->scanQueue) {
        d->scanQueue->stop(); // releases connections that wait for a scan
    }
    // Joined outside the lock: a finishing connection takes it to close its descriptor.
    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(d->connectionsMutex);
        connections.swap(d->connections);
    }
    for (auto& connection : connections) {
        connection->thread.join();
    }
    d->scanQueue.reset();
    closeFd(d->listenFd);
    closeFd(d->stopFd);
    d->running = false;
}

bool SimulatedPlc::isRunning() const
{
    return d->running;
}

quint16 SimulatedPlc::port() const
{
    return d->port;
}

QString SimulatedPlc::address() const
{
    return d->address;
}

QString SimulatedPlc::lastError() const
{
    return d->lastError;
}

void SimulatedPlc::setFaults(const Faults& faults)
{
    auto set = makeFaultSet(faults);
    std::lock_guard<std::mutex> lock(d->faultsMutex);
    d->faults = std::move(set);
}

Faults SimulatedPlc::faults() const
{
    return d->currentFaults()->faults;
}

quint16 SimulatedPlc::word(int addressClass, quint32 address) const
{
    std::lock_guard<std::mutex> lock(d->memoryMutex);
    return d->memory.word(addressClass, address);
}

void SimulatedPlc::setWord(int addressClass, quint32 address, quint16 value)
{
    std::lock_guard<std::mutex> lock(d->memoryMutex);
    d->memory.setWord(addressClass, address, value);
}

quint32 SimulatedPlc::memorySize(int addressClass) const
{
    return d->memory.size(addressClass); // sizes never change
}

int SimulatedPlc::connectionCount() const
{
    return d->connectionCount;
}

int SimulatedPlc::openConnections() const
{
    return d->openConnections;
}

int SimulatedPlc::requestCount() const
{
    return d->requestCount;
}

int SimulatedPlc::refusedConnections() const
{
    return d->refusedConnections;
}

QList<QByteArray> SimulatedPlc::requests() const
{
    std::lock_guard<std::mutex> lock(d->keptMutex);
    return d->keptRequests;
}

void SimulatedPlc::resetCounters()
{
    {
        std::lock_guard<std::mutex> lock(d->keptMutex);
        d->keptRequests.clear();
        d->requestCount = 0;
    }
    d->connectionCount = 0;
    d->refusedConnections = 0;
    d->readRepliesWithWords = 0;
    d->changed();
}

bool SimulatedPlc::setScanTimeMs(int scanTimeMs)
{
    if (!d->scanQueue) {
        return false;
    }
    d->scanQueue->setScanTime(scanTimeMs);
    return true;
}

void SimulatedPlc::dropConnections()
{
    std::vector<std::shared_ptr<Connection>> dropped;
    {
        std::lock_guard<std::mutex> lock(d->connectionsMutex);
        for (const auto& connection : d->connections) {
            // The serving thread sees the end of the stream and closes the descriptor itself.
            if (connection->fd >= 0) {
                ::shutdown(connection->fd, SHUT_RDWR);
                dropped.push_back(connection);
            }
        }
    }
    // Their slots are free on return: a client that connects next is not refused for them.
    d->waitUntil(
        [&dropped] {
            return std::all_of(dropped.begin(), dropped.end(),
                               [](const auto& connection) { return connection->finished.load(); });
        },
        kMostDropWaitMs);
}

void SimulatedPlc::setResponder(Responder responder)
{
    d->responder = std::move(responder);
}

void SimulatedPlc::setProgram(Program program)
{
    std::lock_guard<std::mutex> lock(d->memoryMutex);
    d->program = std::move(program);
}

void SimulatedPlc::setWriteJournal(WriteJournal journal)
{
    std::lock_guard<std::mutex> lock(d->memoryMutex);
    d->writeJournal = std::move(journal);
}

void SimulatedPlc::setKeptRequestLimit(int limit)
{
    std::lock_guard<std::mutex> lock(d->keptMutex);
    d->keptLimit = std::max(0, limit);
}

void SimulatedPlc::setTrace(Trace trace)
{
    d->trace = std::move(trace);
}

bool SimulatedPlc::waitForRequests(int count, int timeoutMs) const
{
    return d->waitUntil([this, count] { return requestCount() >= count; }, timeoutMs);
}

bool SimulatedPlc::waitForConnections(int count, int timeoutMs) const
{
    return d->waitUntil([this, count] { return connectionCount() >= count; }, timeoutMs);
}

bool SimulatedPlc::waitForOpenConnections(int count, int timeoutMs) const
{
    return d->waitUntil([this, count] { return openConnections() == count; }, timeoutMs);
}

int SimulatedPlc::queuedRequests() const
{
    return d->scanQueue ? d->scanQueue->queued() : 0;
}

void SimulatedPlc::triggerScan()
{
    if (d->scanQueue) {
        d->scanQueue->trigger();
    }
}

} // namespace camp_sim
