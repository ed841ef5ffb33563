#pragma once
// A small name server for a plant network in a namespace: it answers the A queries of the names it
// is given over UDP, with NXDOMAIN for any other name, and falls silent when asked (it still reads
// the queries, but answers none), as a name server does that went away with its switch. Meant for
// an address inside a network namespace of the caller's own (port 53 needs root).

#include <QByteArray>
#include <QMap>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

namespace camp_sim {

class NameServer
{
public:
    NameServer() = default;
    ~NameServer() { stop(); }
    NameServer(const NameServer&) = delete;
    NameServer& operator=(const NameServer&) = delete;

    // Listening on return when true; the reason in lastError() otherwise.
    bool start(const QString& address = QStringLiteral("127.0.0.1"), quint16 port = 53);
    void stop();
    QString lastError() const { return error; }

    // The IPv4 address a name resolves to (lower case, without the final dot).
    void setAddress(const QByteArray& name, const QByteArray& dottedAddress);
    void setSilent(bool silent) { isSilent = silent; }
    int queries() const { return queryCount; } // A queries received, answered or not

    // The text of a resolv.conf that sends every look-up to this server and gives up on a silent
    // one after `timeoutSeconds` (one attempt).
    QByteArray resolvConf(int timeoutSeconds) const;

private:
    void serve();
    QByteArray answer(const QByteArray& query);

    int fd = -1;
    QString listenAddress;
    QString error;
    std::thread server;
    std::atomic<bool> stopping{false};
    std::atomic<bool> isSilent{false};
    std::atomic<int> queryCount{0};
    std::mutex mutex; // guards names
    QMap<QByteArray, QByteArray> names;
};

} // namespace camp_sim
