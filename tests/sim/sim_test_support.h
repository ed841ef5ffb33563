// What the simulator's tests share: a plain blocking TCP client that knows nothing of CAMP beyond
// "]", so that what it receives is exactly what the simulated PLC sent; frames with their BCC;
// and memory words written as "V100=1234".
#pragma once

#include "plc_memory.h"

#include <QByteArray>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>

#include <string>

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

    explicit TestClient(quint16 port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(kPatienceMs);
    }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    void close() { m_socket.abort(); }
    bool send(const QByteArray& data)
    {
        return m_socket.write(data) == data.size() && m_socket.waitForBytesWritten(kPatienceMs);
    }
    QByteArray exchange(const QByteArray& request) { return send(request) ? read() : QByteArray(); }

    // `count` bytes, or (-1) up to and including the first "]", junk before its "[" included;
    // fewer when the connection ends or the patience runs out.
    QByteArray read(int count = -1)
    {
        const auto end = [&] { return count >= 0 ? count : m_buffer.indexOf(']') + 1; };
        while ((count < 0 ? end() == 0 : m_buffer.size() < count) && receive(kPatienceMs)) {
        }
        const QByteArray taken = m_buffer.left(count >= 0 || end() > 0 ? end() : m_buffer.size());
        m_buffer.remove(0, taken.size());
        return taken;
    }
    // Everything until the peer closes; false when it stays open past the patience.
    bool readToEnd(QByteArray* received = nullptr)
    {
        while (receive(kPatienceMs)) {
        }
        if (received) {
            *received = m_buffer;
        }
        m_buffer.clear();
        return !isConnected();
    }
    // True when nothing at all arrives within the time given (the peer stays quiet and open).
    bool staysQuiet(int ms) { return m_buffer.isEmpty() && !receive(ms) && isConnected(); }

private:
    // False when nothing came within the time, or the connection has ended.
    bool receive(int ms)
    {
        if (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(ms)) {
            return false;
        }
        m_buffer += m_socket.readAll();
        return true;
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
};
