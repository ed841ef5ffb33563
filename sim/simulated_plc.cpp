#include "simulated_plc.h"

#include "change_signal.h"
#include "garbled_reply.h"
#include "plc_faults.h"
#include "plc_scan.h"
#include "plc_server.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace camp_sim {

namespace {

constexpr int kDefaultKeptRequests = 100000;

QByteArray bytesOf(const std::string& text)
{
    return QByteArray(text.data(), static_cast<int>(text.size()));
}

} // namespace

// The PLC as its server's connections see it: each request is counted and kept, then answered by
// the responder or the scan, with the faults applied on the way out.
struct SimulatedPlc::Private final : ConnectionHandler
{
    explicit Private(const PlcConfig& plcConfig)
        : config(plcConfig), scan(plcConfig), server(*this, plcConfig.idleTimeoutMs, changes)
    {
        faults = makeFaultSet(Faults());
    }

    Admission admit(int openConnections) override;
    bool takesFrames() override;
    bool serveFrame(Link& link, const std::string& frame) override;
    bool serveText(Link& link, const char* data, size_t size) override;

    bool compose(const std::string& frame, const FaultSet& set, const Response& response,
                 std::string& reply, Clock::time_point& arrived);
    std::shared_ptr<const FaultSet> currentFaults() const;
    void recordRequest(const char* data, size_t size);

    const PlcConfig config;
    ChangeSignal changes;
    PlcScan scan;

    mutable std::mutex faultsMutex;
    std::shared_ptr<const FaultSet> faults;

    std::atomic<int> requestCount{0};
    std::atomic<quint64> readRepliesWithWords{0}; // counted while digits are garbled
    mutable std::mutex keptMutex;
    QList<QByteArray> keptRequests;
    int keptLimit = kDefaultKeptRequests;

    Trace trace;
    Responder responder;

    QString address;
    QString lastError;
    bool running = false;
    PlcServer server; // last: its threads use the members above until it stops
};

// ---- the server's requests ------------------------------------------------------------------

std::shared_ptr<const FaultSet> SimulatedPlc::Private::currentFaults() const
{
    std::lock_guard<std::mutex> lock(faultsMutex);
    return faults;
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
    changes.notify();
}

ConnectionHandler::Admission SimulatedPlc::Private::admit(int openConnections)
{
    return admission(currentFaults()->faults, config.maxConnections, openConnections);
}

bool SimulatedPlc::Private::takesFrames()
{
    return !currentFaults()->faults.textService;
}

bool SimulatedPlc::Private::serveText(Link& link, const char* data, size_t size)
{
    recordRequest(data, size);
    return answerAsTextService(link, currentFaults()->faults);
}

// The reply to a request that is answered, in `reply`; false when the PLC stopped before it came.
// `arrived` moves to when the reply was ready, where a responder or the scan delayed it.
bool SimulatedPlc::Private::compose(const std::string& frame, const FaultSet& set,
                                    const Response& response, std::string& reply,
                                    Clock::time_point& arrived)
{
    reply.clear();
    if (responder) {
        reply.assign(response.reply.constData(), static_cast<size_t>(response.reply.size()));
        arrived += response.delay;
    } else {
        const PlcScan::Served served = scan.serve(frame, set.replyFaults, reply);
        if (served == PlcScan::Served::Stopped) {
            return false;
        }
        if (served == PlcScan::Served::AtBoundary) {
            arrived = Clock::now(); // the latency follows the scan
        }
    }
    garbleDigit(reply, set.faults.garbledDigitPercent, readRepliesWithWords);
    return true;
}

bool SimulatedPlc::Private::serveFrame(Link& link, const std::string& frame)
{
    // The added latency runs from here: the time spent answering is part of it.
    Clock::time_point arrived = Clock::now();
    // The faults are taken before the request is counted: a test that saw the count and then
    // changes the faults knows which ones served it.
    const std::shared_ptr<const FaultSet> set = currentFaults();
    recordRequest(frame.data(), frame.size());
    const Faults& f = set->faults;
    const bool silent = leavesUnanswered(f, link.othersAtAccept());
    const Response response = responder && !silent ? responder(bytesOf(frame)) : Response();
    if (silent || response.silent) {
        if (trace) {
            trace(bytesOf(frame), QByteArray());
        }
        return true;
    }
    if (f.endlessStream) {
        streamEndlessly(link);
        return false;
    }
    if (!compose(frame, *set, response, link.reply, arrived)) {
        return false;
    }
    if (trace) {
        trace(bytesOf(frame), bytesOf(link.reply));
    }
    return sendReply(link, f, arrived + std::chrono::milliseconds(f.latencyMs));
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
    if (!d->server.listen(address, port, d->lastError)) {
        return false;
    }
    d->address = address;
    resetCounters();
    d->scan.start();
    d->server.startAccepting();
    d->running = true;
    d->lastError.clear();
    return true;
}

void SimulatedPlc::stop()
{
    if (!d->running) {
        return;
    }
    d->scan.releaseWaiting(); // connections that wait for a scan go on to their end
    d->server.stop();
    d->scan.stop();
    d->running = false;
}

bool SimulatedPlc::isRunning() const
{
    return d->running;
}

quint16 SimulatedPlc::port() const
{
    return d->server.port();
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
    return d->scan.word(addressClass, address);
}

void SimulatedPlc::setWord(int addressClass, quint32 address, quint16 value)
{
    d->scan.setWord(addressClass, address, value);
}

quint32 SimulatedPlc::memorySize(int addressClass) const
{
    return d->scan.memorySize(addressClass);
}

int SimulatedPlc::connectionCount() const
{
    return d->server.connectionCount();
}

int SimulatedPlc::openConnections() const
{
    return d->server.openConnections();
}

int SimulatedPlc::requestCount() const
{
    return d->requestCount;
}

int SimulatedPlc::refusedConnections() const
{
    return d->server.refusedConnections();
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
    d->server.resetCounts();
    d->readRepliesWithWords = 0;
    d->changes.notify();
}

bool SimulatedPlc::setScanTimeMs(int scanTimeMs)
{
    return d->scan.setScanTimeMs(scanTimeMs);
}

void SimulatedPlc::dropConnections()
{
    d->server.dropConnections();
}

void SimulatedPlc::setResponder(Responder responder)
{
    d->responder = std::move(responder);
}

void SimulatedPlc::setProgram(Program program)
{
    d->scan.setProgram(std::move(program));
}

void SimulatedPlc::setWriteJournal(WriteJournal journal)
{
    d->scan.setWriteJournal(std::move(journal));
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
    return d->changes.waitUntil([this, count] { return requestCount() >= count; }, timeoutMs);
}

bool SimulatedPlc::waitForConnections(int count, int timeoutMs) const
{
    return d->changes.waitUntil([this, count] { return connectionCount() >= count; }, timeoutMs);
}

bool SimulatedPlc::waitForOpenConnections(int count, int timeoutMs) const
{
    return d->changes.waitUntil([this, count] { return openConnections() == count; }, timeoutMs);
}

int SimulatedPlc::queuedRequests() const
{
    return d->scan.queuedRequests();
}

void SimulatedPlc::triggerScan()
{
    d->scan.triggerScan();
}

} // namespace camp_sim
