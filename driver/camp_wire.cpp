#include "camp_wire.h"

#include <cstring>

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

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes value as exactly `digits` upper-case hex digits (the request fields are fixed-width and
// their values are checked to fit before a request is built).
char* putHex(char* out, quint32 value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kHexDigits[value & 0xFu];
        value >>= 4;
    }
    return out + digits;
}

// Closes a request built in `frame` up to `end`: the BCC over everything after its "[", then "]".
QByteArray closeFrame(char* frame, char* end)
{
    end = putHex(end, byteSum(frame + 1, end), 4);
    *end++ = ']';
    return QByteArray(frame, static_cast<int>(end - frame));
}

char* putRequestHead(char* frame, const char* command, qint32 cls, quint32 address)
{
    frame[0] = '[';
    frame[1] = command[0];
    frame[2] = command[1];
    frame[3] = '0';
    frame[4] = '0';
    return putHex(putHex(frame + 5, static_cast<quint32>(cls), 2), address, 6);
}

} // namespace

QByteArray readRequest(qint32 cls, quint32 address, quint16 count)
{
    char frame[24] = {};
    char* end = putRequestHead(frame, "04", cls, address);
    *end++ = '0';
    *end++ = '1';
    return closeFrame(frame, putHex(end, count, 4));
}

QByteArray writeRequest(qint32 cls, quint32 address, const Words& words)
{
    std::vector<char> frame(20 + 4 * words.size());
    char* end = putRequestHead(frame.data(), "06", cls, address);
    end = putHex(end, static_cast<quint32>(words.size()), 2);
    for (const quint16 word : words) {
        end = putHex(end, word, 4);
    }
    return closeFrame(frame.data(), end);
}

FrameScan scanFrame(const QByteArray& bytesSoFar)
{
    FrameScan scan;
    const char* const begin = bytesSoFar.constData();
    const size_t size = static_cast<size_t>(bytesSoFar.size());
    const auto* open = static_cast<const char*>(std::memchr(begin, '[', size));
    if (open == nullptr) {
        if (bytesSoFar.size() > kReceiveLimitBytes) {
            scan.status = FrameStatus::GiveUp;
        } else {
            scan.rest = bytesSoFar;
        }
        return scan;
    }
    const int from = static_cast<int>(open - begin);
    const auto* close =
        static_cast<const char*>(std::memchr(open, ']', size - static_cast<size_t>(from)));
    if (close != nullptr) {
        const int to = static_cast<int>(close - begin) + 1;
        scan.status = FrameStatus::Frame;
        scan.frame = bytesSoFar.mid(from, to - from);
        scan.rest = bytesSoFar.mid(to);
    } else if (bytesSoFar.size() - from > kReceiveLimitBytes) {
        scan.status = FrameStatus::GiveUp;
    } else {
        scan.rest = bytesSoFar.mid(from);
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

int checkFieldPos(const QByteArray& frame)
{
    if (frame.size() > kReplyStatusPos && frame.at(kReplyStatusPos) == 'F') {
        return kErrorReplyCheckPos;
    }
    if (isWriteReply(frame)) {
        return kReplyFirstWordPos;
    }
    if (!isReadReply(frame)) {
        return frame.size() - kBccAndEndSize;
    }
    quint32 count = 0;
    if (frame.size() < kReplyFirstWordPos ||
        !decodeHex(frame.constData() + kReplyCountPos, 2, count)) {
        return -1;
    }
    return kReplyFirstWordPos + 4 * static_cast<int>(count == 0 ? kMaxReadWords : count);
}

// Four digits hold the low 16 bits of the sum. A module that renders a sum above FFFF in full, as
// the protocol's own encoder does, sends five: they are taken only where a read reply's layout
// leaves exactly five characters, never by trying a second width.
bool hasGoodBcc(const QByteArray& frame)
{
    if (!frame.startsWith('[') || !frame.endsWith(']')) {
        return false;
    }
    const int fieldPos = checkFieldPos(frame);
    const int digits = frame.size() - 1 - fieldPos;
    quint32 field = 0;
    if (fieldPos < 1 || (digits != 4 && !(digits == 5 && isReadReply(frame))) ||
        !decodeHex(frame.constData() + fieldPos, digits, field)) {
        return false;
    }
    quint32 sum = 0;
    for (int at = 1; at < fieldPos; ++at) {
        sum += static_cast<unsigned char>(frame.at(at));
    }
    return digits == 4 ? field == (sum & 0xFFFFu) : sum > 0xFFFFu && field == sum;
}

namespace {

// Whether the reply carries the two-character command code (without copying anything: every reply
// of a poll asks).
bool hasCommand(const QByteArray& reply, const char (&code)[3])
{
    return reply.size() > kReplyCommandPos + 1 && reply.at(kReplyCommandPos) == code[0] &&
           reply.at(kReplyCommandPos + 1) == code[1];
}

} // namespace

bool isWriteReply(const QByteArray& reply)
{
    return hasCommand(reply, "07");
}

bool isReadReply(const QByteArray& reply)
{
    return hasCommand(reply, "05");
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
    // The words end before the BCC and "]": a reply that carries fewer words than it announces
    // must not have its BCC taken for one.
    if (reply.size() < kReplyFirstWordPos + 4 * static_cast<int>(count) + kBccAndEndSize) {
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

QByteArray printableFrame(const QByteArray& frame)
{
    QByteArray text;
    text.reserve(frame.size());
    for (const char c : frame) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte >= '!' && byte <= '~') {
            text += c;
        } else {
            text += "\\x";
            appendHex(text, byte, 2);
        }
    }
    return text;
}

} // namespace camp_wire
