// A simulated CTI 2500-series PLC behind a 2572 Ethernet module: it answers CAMP read and write
// requests on a TCP port, keeps its memory in process, and injects faults on demand. Tests,
// benchmarks and the demo program camp-sim use it as the peer of the driver and the discovery.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <functional>
#include <memory>

namespace camp_sim {

class PlcMemory;

// Address class codes as they appear in frames.
enum AddressClassCode : int {
    kClassV = 1,
    kClassK = 2,
    kClassX = 6,
    kClassY = 7,
    kClassC = 8,
    kClassWX = 9,
    kClassWY = 10,
    kClassSTW = 26,
};

struct PlcConfig
{
    quint16 serial = 0;        // STW259
    quint16 firmwareMajor = 0; // STW260
    quint16 firmwareMinor = 0; // STW261
    // Words per class code; missing classes use defaults (65536 V and K, 8192 X, Y, C, WX, WY,
    // 1024 STW). Addresses count from 1, so a class of N words holds 1 to N.
    QMap<int, quint32> memorySizes;
    int maxConnections = 24; // a further connection is refused (closed at once)
    int idleTimeoutMs = 0;   // 0: never close a silent connection
    int scanTimeMs = 0;      // 0: answer at once; else serve at scan boundaries, at most 8 per scan
};

struct Faults // switchable while the PLC runs (setFaults)
{
    int latencyMs = 0;          // delay before each reply
    int chunkBytes = 0;         // >0: send replies in pieces of this many bytes ...
    int chunkPauseMs = 0;       // ... with this pause between pieces
    QByteArray junkBeforeReply; // sent before every reply's "["
    bool silent = false;        // read requests, never answer (nor carry them out)
    // >0: close the connection after this many requests (after answering).
    int closeAfterRequests = 0;
    bool closeMidReply = false; // send half of the reply, then close
    // >=0: read replies carry only this many words (the count field says so).
    int shortReplyWords = -1;
    // (class, address): requests touching one of them get an error reply (code 0292).
    QList<QPair<int, quint32>> errorAddresses;
    // Replies that answer another request (a faulty module, a gateway, a noisy line):
    bool duplicateReadReply = false; // every read reply is sent twice
    int readReplyAddressOffset = 0;  // read replies echo and carry the words this far away
    bool readReplyToWrite = false;   // writes are carried out but answered with a read reply
    bool nonHexInReplyWords = false; // a "G" stands for the second digit of a read reply's words
    bool noEcho = false; // read replies carry zeros for the request's class and address, as a
                         // module that does not echo them
    // 0-100: this share of the read replies that carry words gets one hex digit of its words
    // changed, the BCC left as computed for the true reply (a digit garbled on the line). No
    // chance involved: the PLC counts those replies, and reply k is garbled when
    // k * N / 100 != (k - 1) * N / 100, so 30 garbles exactly 3 of any 10 in a row.
    int garbledDigitPercent = 0;
    // Writes are carried out but answered with a well-formed frame of another command:
    // "[0900" class, address, count, BCC "]".
    bool foreignWriteReply = false;
    // >0: take at most this many connections at once from now on (never more than
    // PlcConfig::maxConnections); a further one is refused as beyond the module's limit.
    int connectionLimit = 0;
    // >0: a connection accepted while this many others or more were open takes in its requests
    // and never answers them (as `silent`, for those connections only). Judged per request.
    int silentBeyond = 0;
    bool endlessStream = false;  // answer a request with an endless stream of bytes without "]"
    bool acceptAndClose = false; // accept, then close at once
    // Behave as a plain non-CAMP text service: answer whatever comes with this line, then close.
    bool textService = false;
    QByteArray textServiceReply = QByteArrayLiteral("HTTP/1.0 400 Bad Request\r\n");
    // >0: a module that reads at most this many words a request: a read of more gets an error
    // reply (0272, the extended code this number).
    int maxReadWords = 0;
};

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
