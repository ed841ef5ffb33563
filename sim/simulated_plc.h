// A simulated CTI 2500-series PLC behind a 2572 Ethernet module: it answers CAMP read and write
// requests on a TCP port, keeps its memory in process, and injects faults on demand. Tests,
// benchmarks and the demo program camp-sim use it as the peer of the driver and the discovery.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <functional>
#include <memory>

#include "plc_config.h"

namespace camp_sim {

class PlcMemory;

class SimulatedPlc
{
public:
    explicit SimulatedPlc(const PlcConfig& config = PlcConfig());
    ~SimulatedPlc(); // stops and joins everything
    SimulatedPlc(const SimulatedPlc&) = delete;
    SimulatedPlc& operator=(const SimulatedPlc&) = delete;

    // Listening on return when true. Port 0 picks a free port (see port()).
    bool start(const QString& address = QStringLiteral("127.0.0.1"), quint16 port = 0);
    void stop(); // closes every connection and joins every thread; safe to call twice
    bool isRunning() const;
    quint16 port() const; // the bound port (the picked one when started with 0)
    QString address() const;
    QString lastError() const; // why start() failed

    void setFaults(const Faults& faults);
    Faults faults() const;

    quint16 word(int addressClass, quint32 address) const;
    void setWord(int addressClass, quint32 address, quint16 value);
    quint32 memorySize(int addressClass) const; // 0 for an unknown class

    int connectionCount() const;        // connections accepted since start (or since resetCounters)
    int openConnections() const;        // connections open right now
    int requestCount() const;           // request frames received
    QList<QByteArray> requests() const; // the request frames received, in order
    void resetCounters();               // clears the counts and the kept frames
    int refusedConnections() const;     // connections closed at once for want of a free slot

    // Block until the count reaches at least (for open connections: exactly) the given number,
    // or the time runs out; true when it did. For tests that must know the PLC saw something
    // before they go on (no sleeps).
    bool waitForRequests(int count, int timeoutMs = 5000) const;
    bool waitForConnections(int count, int timeoutMs = 5000) const;
    bool waitForOpenConnections(int count, int timeoutMs = 5000) const;

    // With a scan time: requests waiting for the next scan boundary, and a way to run that
    // boundary now (tests use a long scan time and step the scans themselves).
    int queuedRequests() const;
    void triggerScan();

    // A scan time that stretches and shrinks while the PLC runs. Only a PLC started with a scan
    // time has scans: false, and nothing changes, for one that answers at once.
    bool setScanTimeMs(int scanTimeMs);

    // Closes every open connection at once, as a module that resets its Ethernet side, and
    // returns when they are closed and their slots free. Their clients see the close; new
    // connections are accepted as before.
    void dropConnections();

    // Keep at most this many request frames (the counts go on); 0 keeps none. Default 100000,
    // so a long benchmark does not grow without bound.
    void setKeptRequestLimit(int limit);

    // Called with each request frame and its reply (or an empty reply when none is sent), from
    // the serving thread; for logging. Set it before start().
    using Trace = std::function<void(const QByteArray& request, const QByteArray& reply)>;
    void setTrace(Trace trace);

    // The PLC's own program: runs under the memory lock before each request is served, so that it
    // changes memory between the requests of the clients as a running PLC does. Set it before
    // start().
    using Program = std::function<void(PlcMemory& memory)>;
    void setProgram(Program program);

    // Called under the memory lock after each write request changed memory, with the words as
    // they now are, in the order the memory took them; for a journal that outlives the process.
    // Set it before start().
    using WriteJournal =
        std::function<void(int addressClass, quint32 address, const QList<quint16>& words)>;
    void setWriteJournal(WriteJournal journal);

    // A module that answers each request frame as a responder says (a recorded module, for one)
    // instead of from the PLC's memory: with the reply after the delay, or with nothing. The faults
    // apply on top. Set it before start().
    struct Response
    {
        bool silent = false;
        QByteArray reply;
        std::chrono::microseconds delay{0};
    };
    using Responder = std::function<Response(const QByteArray& request)>;
    void setResponder(Responder responder);

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace camp_sim
