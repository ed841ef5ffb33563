// A plain blocking TCP client for the simulator's tests: it knows nothing of CAMP beyond "]", so
// that what it receives is exactly what the simulated PLC sent.
#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// "[" + body + BCC + "]", for requests and replies made up inside a test.
inline QByteArray withBcc(const QByteArray& body)
{
    quint32 sum = 0;
    for (char c : body) {
        sum += static_cast<unsigned char>(c);
    }
    return "[" + body + QByteArray::number(sum & 0xFFFF, 16).toUpper().rightJustified(4, '0') + "]";
}

class TestClient
{
public:
    // Generous bound on every wait, so that a broken simulator fails a test instead of hanging it.
    static constexpr int kPatienceMs = 10000;

    explicit TestClient(quint16 port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close();
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
        return ::send(m_fd, data.constData(), static_cast<size_t>(data.size()), MSG_NOSIGNAL) ==
               data.size();
    }

    // Everything received up to and including the first "]" (junk before "[" included).
    QByteArray readUntilFrameEnd()
    {
        while (!m_buffer.contains(']') && receiveSome() > 0) {
        }
        return take(m_buffer.contains(']') ? m_buffer.indexOf(']') + 1 : m_buffer.size());
    }

    QByteArray exchange(const QByteArray& request)
    {
        return send(request) ? readUntilFrameEnd() : QByteArray();
    }

    // `count` bytes, or fewer when the connection ends or the patience runs out.
    QByteArray readBytes(int count)
    {
        while (m_buffer.size() < count && receiveSome() > 0) {
        }
        return take(count);
    }

    // Everything until the peer closes; false when it stays open past the patience.
    bool readToEnd(QByteArray* received = nullptr)
    {
        int got;
        while ((got = receiveSome()) > 0) {
        }
        const QByteArray rest = take(m_buffer.size());
        if (received) {
            *received = rest;
        }
        return got == 0;
    }

    // True when nothing at all arrives within the time given (the peer stays quiet and open).
    bool staysQuiet(int ms)
    {
        pollfd ready{m_fd, POLLIN, 0};
        return m_buffer.isEmpty() && ::poll(&ready, 1, ms) == 0;
    }

private:
    QByteArray take(int count)
    {
        const QByteArray taken = m_buffer.left(count);
        m_buffer.remove(0, taken.size());
        return taken;
    }

    // Bytes received (>0), 0 at end of stream, -1 on time-out or error.
    int receiveSome()
    {
        pollfd ready{m_fd, POLLIN, 0};
        if (::poll(&ready, 1, kPatienceMs) <= 0) {
            return -1;
        }
        char chunk[8192];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            m_buffer.append(chunk, static_cast<int>(got));
        }
        return got >= 0 ? static_cast<int>(got) : (errno == ECONNRESET ? 0 : -1);
    }

    int m_fd;
    QByteArray m_buffer;
};
