#include "plc_server.h"

#include "request_assembler.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace camp_sim {

namespace {

constexpr int kListenBacklog = 128;
// A dropped connection closes within a scan, or after a reply it is delaying: far within this.
constexpr int kMostDropWaitMs = 10000;
constexpr Clock::duration kMostWakeLate = std::chrono::microseconds(200);

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

// How late this thread's timed waits end, on average: even without timer slack a busy machine
// wakes a sleeper some tens of microseconds after its time. Waits aim that much early, so that an
// added latency of 1 ms is 1 ms on average and not 1.05: benchmarks hold polls against
// blocks x latency.
thread_local Clock::duration wakeLate = Clock::duration::zero();

// False when the server stopped (`stopFd` became readable) before the deadline.
bool pauseUntilOrStopped(int stopFd, Clock::time_point deadline)
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

bool pauseOrStopped(int stopFd, int ms)
{
    return ms <= 0 || pauseUntilOrStopped(stopFd, Clock::now() + std::chrono::milliseconds(ms));
}

quint16 boundPort(int fd)
{
    sockaddr_storage bound{};
    socklen_t boundSize = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) != 0) {
        return 0;
    }
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

} // namespace

// ---- Link -----------------------------------------------------------------------------------

bool Link::pauseUntil(Clock::time_point deadline) const
{
    return pauseUntilOrStopped(m_stopFd, deadline);
}

bool Link::pause(int ms) const
{
    return pauseOrStopped(m_stopFd, ms);
}

bool Link::sendAll(const char* data, size_t size) const
{
    while (size > 0) {
        const ssize_t sent = ::send(m_fd, data, size, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd polls[2] = {{m_fd, POLLOUT, 0}, {m_stopFd, POLLIN, 0}};
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

// ---- PlcServer ------------------------------------------------------------------------------

PlcServer::PlcServer(ConnectionHandler& handler, int idleTimeoutMs, const ChangeSignal& changes)
    : m_handler(handler), m_idleTimeoutMs(idleTimeoutMs), m_changes(changes)
{
}

PlcServer::~PlcServer()
{
    stop();
}

bool PlcServer::listen(const QString& address, quint16 port, QString& error)
{
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
        error = QStringLiteral("cannot resolve %1: %2").arg(address, gai_strerror(resolved));
        return false;
    }
    int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    const int reuse = 1; // a restarted simulator takes its port back at once
    const bool ok =
        fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0 &&
        ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, kListenBacklog) == 0;
    ::freeaddrinfo(found);
    const quint16 bound = ok ? boundPort(fd) : 0;
    if (bound == 0) {
        error = QStringLiteral("cannot listen on %1:%2: %3")
                    .arg(address)
                    .arg(port)
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        closeFd(fd);
        return false;
    }
    m_port = bound;
    m_listenFd = fd;
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return true;
}

void PlcServer::startAccepting()
{
    m_running = true;
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

void PlcServer::stop()
{
    if (!m_running) {
        return;
    }
    const quint64 one = 1;
    if (::write(m_stopFd, &one, sizeof one) < 0) {
        // An eventfd write cannot fail short of a full counter; nothing to do about it here.
    }
    m_acceptThread.join();
    // Joined outside the lock: a finishing connection takes it to close its descriptor.
    std::list<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        connections.swap(m_connections);
    }
    for (auto& connection : connections) {
        connection->thread.join();
    }
    closeFd(m_listenFd);
    closeFd(m_stopFd);
    m_running = false;
}

void PlcServer::resetCounts()
{
    m_connectionCount = 0;
    m_refusedConnections = 0;
}

void PlcServer::dropConnections()
{
    std::vector<std::shared_ptr<Connection>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        for (const auto& connection : m_connections) {
            // The serving thread sees the end of the stream and closes the descriptor itself.
            if (connection->fd >= 0) {
                ::shutdown(connection->fd, SHUT_RDWR);
                dropped.push_back(connection);
            }
        }
    }
    // Their slots are free on return: a client that connects next is not refused for them.
    m_changes.waitUntil(
        [&dropped] {
            return std::all_of(dropped.begin(), dropped.end(),
                               [](const auto& connection) { return connection->finished.load(); });
        },
        kMostDropWaitMs);
}

void PlcServer::serveConnection(Connection* connection)
{
    ::prctl(PR_SET_TIMERSLACK, 1UL); // latencies to the microsecond (see pauseUntil)
    const int fd = connection->fd;
    Link link(fd, m_stopFd, connection->othersAtAccept);
    RequestAssembler assembler;
    std::string frame;
    link.reply.reserve(2048);
    link.outgoing.reserve(2048);
    char buffer[16384];
    auto idleDeadline = Clock::now() + std::chrono::milliseconds(m_idleTimeoutMs);

    for (bool open = true; open;) {
        pollfd polls[2] = {{fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        const int timeout = m_idleTimeoutMs > 0 ? remainingMs(idleDeadline) : -1;
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
        idleDeadline = Clock::now() + std::chrono::milliseconds(m_idleTimeoutMs);

        if (!m_handler.takesFrames()) {
            open = m_handler.serveText(link, buffer, static_cast<size_t>(received));
            continue;
        }
        assembler.append(buffer, static_cast<size_t>(received));
        while (open && assembler.next(frame)) {
            open = m_handler.serveFrame(link, frame);
        }
    }

    {
        // Under the lock: dropConnections() must never shut down a descriptor reused meanwhile.
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        closeFd(connection->fd);
    }
    --m_openConnections;
    connection->finished = true;
    m_changes.notify();
}

void PlcServer::reapFinishedConnections()
{
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void PlcServer::acceptLoop()
{
    for (;;) {
        pollfd polls[2] = {{m_listenFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(polls, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (polls[1].revents != 0) {
            return;
        }
        if (polls[0].revents == 0) {
            continue;
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (!pauseOrStopped(m_stopFd, 10)) { // out of descriptors: let some finish first
                    return;
                }
            }
            continue;
        }
        reapFinishedConnections();
        admit(fd);
    }
}

void PlcServer::admit(int fd)
{
    const int others = m_openConnections.load();
    const ConnectionHandler::Admission admission = m_handler.admit(others);
    if (admission != ConnectionHandler::Admission::Serve) {
        // Counted before the close, so that a client that sees the close also sees the count.
        ++(admission == ConnectionHandler::Admission::Refuse ? m_refusedConnections
                                                             : m_connectionCount);
        m_changes.notify();
        ::close(fd);
        return;
    }
    const int noDelay = 1; // replies are small and a client waits for each one
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    ++m_connectionCount;
    ++m_openConnections;
    m_changes.notify();
    auto connection = std::make_shared<Connection>();
    connection->fd = fd;
    connection->othersAtAccept = others;
    Connection* raw = connection.get();
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    m_connections.push_back(std::move(connection));
    raw->thread = std::thread([this, raw] { serveConnection(raw); });
}

} // namespace camp_sim
