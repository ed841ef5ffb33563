// The simulator's TCP side: the listening socket, the accept thread, a thread per connection that
// receives its bytes and cuts them into request frames, and the table and counts of the
// connections. What a request is answered with, and what the faults do to a reply or a
// connection, is the business of the ConnectionHandler behind it; the server only moves bytes.
#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "change_signal.h"

namespace camp_sim {

using Clock = std::chrono::steady_clock;

// One accepted connection as the code that answers it sees it. Its sends and pauses give up when
// the server stops.
class Link
{
public:
    Link(int fd, int stopFd, int othersAtAccept)
        : m_fd(fd), m_stopFd(stopFd), m_othersAtAccept(othersAtAccept)
    {
    }

    bool sendAll(const char* data, size_t size) const; // false when the peer went away
    bool sendAll(const std::string& data) const { return sendAll(data.data(), data.size()); }
    bool pauseUntil(Clock::time_point deadline) const; // false when the server stops meanwhile
    bool pause(int ms) const;

    int othersAtAccept() const { return m_othersAtAccept; } // connections open at its accept

    // Buffers reused for every reply of the connection, and the requests answered on it.
    std::string reply;
    std::string outgoing;
    int answered = 0;

private:
    const int m_fd;
    const int m_stopFd;
    const int m_othersAtAccept;
};

// What the server asks of the PLC behind it: admit() from the accept thread, the rest from the
// connections' threads.
class ConnectionHandler
{
public:
    enum class Admission {
        Serve,
        CloseAtOnce, // accepted and counted, then closed
        Refuse,      // no free slot: closed and counted as refused
    };
    virtual Admission admit(int openConnections) = 0;
    // False while the connection is to be answered as a plain text service, bytes as they come.
    virtual bool takesFrames() = 0;
    // Each returns false when the connection is to be closed.
    virtual bool serveFrame(Link& link, const std::string& frame) = 0;
    virtual bool serveText(Link& link, const char* data, size_t size) = 0;

protected:
    ~ConnectionHandler() = default;
};

class PlcServer
{
public:
    // A connection silent for `idleTimeoutMs` is closed (0: never).
    PlcServer(ConnectionHandler& handler, int idleTimeoutMs, const ChangeSignal& changes);
    ~PlcServer(); // stops
    PlcServer(const PlcServer&) = delete;
    PlcServer& operator=(const PlcServer&) = delete;

    // Listening on return when true; else the reason is in `error`. Port 0 picks a free port.
    bool listen(const QString& address, quint16 port, QString& error);
    void startAccepting(); // after a successful listen()
    void stop();           // closes every connection and joins every thread; safe to call twice
    quint16 port() const { return m_port; } // the bound port

    // Closes every open connection and returns when they are closed and their slots free.
    void dropConnections();

    int connectionCount() const { return m_connectionCount; } // accepted since the reset
    int openConnections() const { return m_openConnections; }
    int refusedConnections() const { return m_refusedConnections; } // for want of a free slot
    void resetCounts(); // the accepted and the refused; not those open

private:
    struct Connection
    {
        int fd = -1;
        int othersAtAccept = 0;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void acceptLoop();
    void admit(int fd);
    void serveConnection(Connection* connection);
    void reapFinishedConnections();

    ConnectionHandler& m_handler;
    const int m_idleTimeoutMs;
    const ChangeSignal& m_changes;

    quint16 m_port = 0;
    int m_listenFd = -1;
    int m_stopFd = -1; // an eventfd that becomes readable, for good, when the server stops
    bool m_running = false;
    std::thread m_acceptThread;

    std::atomic<int> m_connectionCount{0};
    std::atomic<int> m_openConnections{0};
    std::atomic<int> m_refusedConnections{0};
    std::mutex m_connectionsMutex;
    // Shared, so that dropConnections() can wait for connections that are reaped meanwhile.
    std::list<std::shared_ptr<Connection>> m_connections;
};

} // namespace camp_sim
