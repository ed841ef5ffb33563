#pragma once
// One TCP connection to a PLC's Ethernet module: opened with its time-outs, keep-alive and host
// name resolution, it sends whole frames and receives the next frame from the byte stream, each by
// a deadline. It knows frames only as camp_wire::scanFrame delimits them: which request a frame
// answers is the driver's business.
//
// Deadlines are milliseconds of the monotonic clock (nowMs). Not safe for concurrent use.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

struct in_addr;

class PlcConnection
{
public:
    static constexpr int kReceiveChunkBytes = 1024;

    // What a receive came to: a frame; a failure of the connection (its error number given); or
    // more than camp_wire::kReceiveLimitBytes without a frame, from a peer that is not speaking
    // CAMP.
    enum class Received { Frame, Failed, NotCamp };

    PlcConnection() = default;
    ~PlcConnection() { close(); }
    PlcConnection(const PlcConnection&) = delete;
    PlcConnection& operator=(const PlcConnection&) = delete;

    static qint64 nowNs();
    static qint64 nowMs() { return nowNs() / 1000000; }
    // The user's message for a failed socket call, ending in what was being done.
    static QString ioErrorMessage(int errorNumber, const char* activity);

    // Opens a connection to host:port, allowing timeoutMs for the name and as much for the
    // connect, and makes it the target. The user's message on failure, with nothing left open, or
    // an empty text. A failure after the socket was created forgets the target too.
    QString open(const QByteArray& host, int port, int timeoutMs);
    // Closes the socket and drops what was received but keeps the target, so that it can be
    // opened again.
    void close();
    void forgetTarget();

    bool isOpen() const { return fd >= 0; }
    // Open to this target, and the module has not closed its end since (as a module does with
    // connections that stay idle: reusing it would fail the next command for nothing).
    bool isOpenTo(const QByteArray& host, int port) const;
    bool hasTarget() const { return !connectedHost.isEmpty(); }
    const QByteArray& targetHost() const { return connectedHost; }
    int targetPort() const { return connectedPort; }
    // "HOST:PORT" of the target as given, for messages.
    QString hostAndPort() const;
    // "ADDRESS:PORT" after resolution, of the last connection opened.
    const QByteArray& moduleAddress() const { return connectedModule; }
    // Bytes received, or waiting on the socket, that no frame has been taken from.
    bool hasBytesWaiting() const;

    // Sends the whole frame by the deadline. False when the connection failed, with the reason in
    // errorNumber (EAGAIN: the deadline passed; EBADF: not open).
    bool sendFrame(const QByteArray& frame, qint64 deadlineMs, int& errorNumber);
    // The next frame from the stream by the deadline; bytes after it are kept for the next one.
    // Failed gives the reason in errorNumber (0: the module closed the connection).
    Received receiveFrame(QByteArray& frame, qint64 deadlineMs, int& errorNumber);

private:
    QString connectWithin(const in_addr& address, const QByteArray& host, int port, int timeoutMs);
    QString failOpening(const QString& message);
    bool waitUntil(short events, qint64 deadlineMs) const;

    int fd = -1;
    // The target stays while a closed connection waits to be opened again.
    QByteArray connectedHost;
    int connectedPort = 0;
    QByteArray connectedModule;
    QByteArray receiveBuffer; // bytes received after the last frame taken
    int connectionNumber = 0; // in the frame trace
};
