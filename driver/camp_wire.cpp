#include "camp_wire.h"

namespace camp_wire {

bool decodeHex(const char* text, int digits, quint32& value)
{
    quint32 decoded = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = hexDigitValue(text[i]);
        if (digit < 0) {
            return false;
        }
        decoded = decoded << 4 | static_cast<quint32>(digit);
    }
    value = decoded;
    return true;
}

void appendHex(QByteArray& out, quint32 value, int minDigits)
{
    static const char kDigits[] = "0123456789ABCDEF";
    char digits[8]; // a 32-bit value has at most eight
    int count = 0;
    do {
        digits[7 - count++] = kDigits[value & 0xFu];
        value >>= 4;
    } while (value != 0);
    for (int pad = count; pad < minDigits; ++pad) {
        out += '0';
    }
    out.append(digits + 8 - count, count);
}

QByteArray hex(quint32 value, int minDigits)
{
    QByteArray out;
    appendHex(out, value, minDigits);
    return out;
}

quint16 byteSum(const char* begin, const char* end)
{
    quint32 sum = 0;
    for (const char* c = begin; c != end; ++c) {
        sum += static_cast<unsigned char>(*c);
    }
    return static_cast<quint16>(sum & 0xFFFFu);
}

namespace {

// The BCC over everything after the "[" so far, then the closing "]".
void closeFrame(QByteArray& frame)
{
    appendHex(frame, byteSum(frame.constData() + 1, frame.constData() + frame.size()), 4);
    frame += ']';
}

void appendRequestHead(QByteArray& frame, const char* command, qint32 cls, quint32 address)
{
    frame += '[';
    frame += command;
    frame += "00";
    appendHex(frame, static_cast<quint32>(cls), 2);
    appendHex(frame, address, 6);
}

} // namespace

QByteArray readRequest(qint32 cls, quint32 address, quint16 count)
{
    QByteArray frame;
    frame.reserve(24);
    appendRequestHead(frame, "04", cls, address);
    frame += "01";
    appendHex(frame, count, 4);
    closeFrame(frame);
    return frame;
}

QByteArray writeRequest(qint32 cls, quint32 address, const Words& words)
{
    QByteArray frame;
    frame.reserve(20 + 4 * static_cast<int>(words.size()));
    appendRequestHead(frame, "06", cls, address);
    appendHex(frame, static_cast<quint32>(words.size()), 2);
    for (const quint16 word : words) {
        appendHex(frame, word, 4);
    }
    closeFrame(frame);
    return frame;
}

FrameScan scanFrame(const QByteArray& bytesSoFar)
{
    FrameScan scan;
    const int open = bytesSoFar.indexOf('[');
    const QByteArray kept = open < 0 ? bytesSoFar : bytesSoFar.mid(open);
    const int close = open < 0 ? -1 : kept.indexOf(']');
    if (close >= 0) {
        scan.status = FrameStatus::Frame;
        scan.frame = kept.left(close + 1);
        scan.rest = kept.mid(close + 1);
    } else if (kept.size() > kReceiveLimitBytes) {
        scan.status = FrameStatus::GiveUp;
    } else {
        scan.rest = kept;
    }
    return scan;
}

bool errorReplyCodes(const QByteArray& reply, ErrorCodes& codes)
{
    if (reply.size() <= kReplyStatusPos || reply.at(kReplyStatusPos) != 'F') {
        return false;
    }
    // A short error reply gives the characters that are there and nothing for the rest.
    codes.code = reply.mid(23, 4);
    codes.extendedCode = reply.mid(27, 4);
    return true;
}

bool isReadReply(const QByteArray& reply)
{
    return reply.mid(kReplyCommandPos, 2) == "05";
}

bool echoesRequest(const QByteArray& reply, qint32 cls, quint32 address)
{
    quint32 echoedClass = 0;
    quint32 echoedAddress = 0;
    return reply.size() >= kReplyCountPos &&
           decodeHex(reply.constData() + kReplyEchoPos, 2, echoedClass) &&
           decodeHex(reply.constData() + kReplyEchoPos + 2, 6, echoedAddress) &&
           echoedClass == static_cast<quint32>(cls) && echoedAddress == address;
}

bool readReplyWords(const QByteArray& reply, quint16 requested, Words& words)
{
    quint32 count = 0;
    if (reply.size() < kReplyFirstWordPos ||
        !decodeHex(reply.constData() + kReplyCountPos, 2, count)) {
        return false;
    }
    if (count == 0) {
        count = kMaxReadWords; // the count field 00 stands for 256 words
    }
    count = qMin<quint32>(count, requested);
    if (reply.size() < kReplyFirstWordPos + 4 * static_cast<int>(count)) {
        return false;
    }
    const size_t before = words.size();
    words.reserve(before + count);
    const char* text = reply.constData() + kReplyFirstWordPos;
    for (quint32 i = 0; i < count; ++i, text += 4) {
        quint32 word = 0;
        if (!decodeHex(text, 4, word)) {
            words.resize(before);
            return false;
        }
        words.push_back(static_cast<quint16>(word));
    }
    return true;
}

} // namespace camp_wire
