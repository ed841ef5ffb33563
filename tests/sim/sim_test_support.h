// What the simulator's tests share: a plain blocking TCP client that knows nothing of CAMP beyond
// "]", so that what it receives is exactly what the simulated PLC sent; frames with their BCC; and
// memory words written as "V100=1234".
#pragma once

#include "plc_memory.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// "[" + body + BCC + "]", for frames made up inside a test.
inline QByteArray withBcc(const QByteArray& body)
{
    quint32 sum = 0;
    for (char c : body) {
        sum += static_cast<unsigned char>(c);
    }
    return "[" + body + QByteArray::number(sum & 0xFFFF, 16).toUpper().rightJustified(4, '0') + "]";
}

// The words that `words` names ("V100=1234 STW259=032C", hex) as `word(class, address)` holds
// them, written the same way: a test compares the text with what it expects.
template <typename Word> std::string wordsHeld(const char* words, Word word)
{
    static const QRegularExpression named(QStringLiteral("([A-Z]+)(\\d+)="));
    QStringList held;
    for (auto match = named.globalMatch(QLatin1String(words)); match.hasNext();) {
        const QRegularExpressionMatch at = match.next();
        const quint16 value =
            word(camp_sim::addressClassFromLabel(at.captured(1)), at.captured(2).toUInt());
        held << at.captured() + QString::number(value, 16).toUpper().rightJustified(4, '0');
    }
    return held.join(' ').toStdString();
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
        return ::send(m_fd, data.constData(), size_t(data.size()), MSG_NOSIGNAL) == data.size();
    }
    QByteArray exchange(const QByteArray& request) { return send(request) ? read() : QByteArray(); }

    // `count` bytes, or (-1) up to and including the first "]", junk before its "[" included;
    // fewer when the connection ends or the patience runs out.
    QByteArray read(int count = -1)
    {
        const auto end = [&] { return count >= 0 ? count : m_buffer.indexOf(']') + 1; };
        while ((count < 0 ? end() == 0 : m_buffer.size() < count) && receiveSome() > 0) {
        }
        const QByteArray taken = m_buffer.left(count >= 0 || end() > 0 ? end() : m_buffer.size());
        m_buffer.remove(0, taken.size());
        return taken;
    }
    // Everything until the peer closes; false when it stays open past the patience.
    bool readToEnd(QByteArray* received = nullptr)
    {
        int got;
        while ((got = receiveSome()) > 0) {
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
        pollfd ready{m_fd, POLLIN, 0};
        return m_buffer.isEmpty() && ::poll(&ready, 1, ms) == 0;
    }

private:
    // Bytes received (>0), 0 at end of stream, -1 on time-out or error.
    int receiveSome()
    {
        pollfd ready{m_fd, POLLIN, 0};
        if (::poll(&ready, 1, kPatienceMs) <= 0) {
            return -1;
        }
        char chunk[8192];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (got < 0) {
            return errno == ECONNRESET ? 0 : -1;
        }
        m_buffer.append(chunk, static_cast<int>(got));
        return static_cast<int>(got);
    }

    int m_fd;
    QByteArray m_buffer;
};
