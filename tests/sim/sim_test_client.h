// A plain blocking TCP client for the simulator's tests: it knows nothing of CAMP beyond "]",
// so that what it receives is exactly what the simulated PLC sent.
#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class TestClient
{
public:
    // Generous bound on every wait, so that a broken simulator fails a test instead of hanging it.
    static constexpr int kPatienceMs = 10000;

    explicit TestClient(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~TestClient() { close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool isConnected() const { return m_fd >= 0; }
    void close()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = -1;
    }

    bool send(const QByteArray& data)
    {
        const char* next = data.constData();
        size_t left = static_cast<size_t>(data.size());
        while (left > 0) {
            const ssize_t sent = ::send(m_fd, next, left, MSG_NOSIGNAL);
            if (sent <= 0) {
                return false;
            }
            next += sent;
            left -= static_cast<size_t>(sent);
        }
        return true;
    }

    // Everything received up to and including the first "]" (junk before "[" included).
    QByteArray readUntilFrameEnd(int timeoutMs = kPatienceMs)
    {
        while (!m_buffer.contains(']') && receiveSome(timeoutMs) > 0) {
        }
        const int end = m_buffer.indexOf(']');
        const QByteArray taken = end < 0 ? m_buffer : m_buffer.left(end + 1);
        m_buffer.remove(0, taken.size());
        return taken;
    }

    // Sends one request and returns the reply.
    QByteArray exchange(const QByteArray& request)
    {
        return send(request) ? readUntilFrameEnd() : QByteArray();
    }

    // At least `count` bytes, or fewer when the connection ends or the patience runs out.
    QByteArray readBytes(int count, int timeoutMs = kPatienceMs)
    {
        while (m_buffer.size() < count && receiveSome(timeoutMs) > 0) {
        }
        const QByteArray taken = m_buffer.left(count);
        m_buffer.remove(0, taken.size());
        return taken;
    }

    // Everything until the peer closes; false when it stays open past the patience.
    bool readToEnd(QByteArray* received = nullptr, int timeoutMs = kPatienceMs)
    {
        int got;
        while ((got = receiveSome(timeoutMs)) > 0) {
        }
        if (received) {
            *received = m_buffer;
        }
        m_buffer.clear();
        return got == 0;
    }

    // True when nothing at all arrives within the time given (the peer stays quiet and open).
    bool staysQuiet(int ms)
    {
        if (!m_buffer.isEmpty()) {
            return false;
        }
        pollfd ready{m_fd, POLLIN, 0};
        return ::poll(&ready, 1, ms) == 0;
    }

private:
    // Bytes received (>0), 0 at end of stream, -1 on time-out or error.
    int receiveSome(int timeoutMs)
    {
        pollfd ready{m_fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, timeoutMs);
        if (polled <= 0) {
            return -1;
        }
        char chunk[8192];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            m_buffer.append(chunk, static_cast<int>(got));
        }
        if (got < 0) {
            return errno == ECONNRESET ? 0 : -1;
        }
        return static_cast<int>(got);
    }

    int m_fd = -1;
    QByteArray m_buffer;
};
