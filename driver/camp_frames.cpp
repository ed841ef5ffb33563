// The pure half of the driver: field encoders, request frames, frame assembly from a byte stream,
// reply decoding and item address parsing. Nothing here touches a socket or a driver's state.

#include "camp_nitp.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Column names as map keys, built once rather than for every item of every poll.
const QString kAddressClassColumn = QStringLiteral("address_class");
const QString kAddressWordColumn = QStringLiteral("address_word");
const QString kDataTypeColumn = QStringLiteral("data_type");

// The characters QByteArray::trimmed() drops.
bool isAsciiSpace(uint c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

uint code(char c)
{
    return static_cast<uchar>(c);
}

uint code(QChar c)
{
    return c.unicode();
}

// A configured number must be all decimal digits (surrounding blanks aside) and at most maximum:
// "12x", "-1" or an empty text would otherwise land on word 0 of the PLC.
template <typename Char>
bool parsePlainDecimal(const Char* begin, const Char* end, quint32 maximum, quint32& value)
{
    while (begin != end && isAsciiSpace(code(*begin))) {
        ++begin;
    }
    while (end != begin && isAsciiSpace(code(*(end - 1)))) {
        --end;
    }
    if (begin == end) {
        return false;
    }
    quint64 number = 0;
    for (; begin != end; ++begin) {
        const uint digit = code(*begin);
        if (digit < '0' || digit > '9') {
            return false;
        }
        number = number * 10 + (digit - '0');
        if (number > maximum) {
            return false;
        }
    }
    value = static_cast<quint32>(number);
    return true;
}

// A column's value without copying it (copies count up and down an atomic reference); an empty
// text when the column is missing.
const QString& columnText(const ItemInstancePlugin& item, const QString& column)
{
    static const QString missing;
    const auto found = item.columns.constFind(column);
    return found == item.columns.constEnd() ? missing : found.value();
}

// QString::toInt() of a column's value, with the usual one to four plain digits taken directly;
// false (and 0) when the column holds text that is not a number. An absent or empty column is 0.
bool columnInt(const ItemInstancePlugin& item, const QString& column, int& number)
{
    const QString& text = columnText(item, column);
    number = 0;
    if (text.isEmpty()) {
        return true;
    }
    quint32 value = 0;
    const bool plainDigits = text.size() <= 4 && std::all_of(text.begin(), text.end(), [](QChar c) {
                                 return c >= QLatin1Char('0') && c <= QLatin1Char('9');
                             });
    if (plainDigits &&
        parsePlainDecimal(text.constData(), text.constData() + text.size(), 9999, value)) {
        number = static_cast<int>(value);
        return true;
    }
    bool ok = false;
    number = text.toInt(&ok);
    return ok;
}

bool parsePlainDecimal(const QByteArray& text, quint32 maximum, quint32& value)
{
    return parsePlainDecimal(text.constData(), text.constData() + text.size(), maximum, value);
}

bool parsePlainDecimal(const QString& text, quint32 maximum, quint32& value)
{
    return parsePlainDecimal(text.constData(), text.constData() + text.size(), maximum, value);
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool isHexText(const char* text, int size)
{
    return std::all_of(text, text + size, isHexDigit);
}

quint32 hexValue(const char* text, int size)
{
    quint32 value = 0;
    for (int i = 0; i < size; ++i) {
        const char c = text[i];
        const char upper = (c >= 'a') ? static_cast<char>(c - 'a' + 'A') : c;
        const quint32 digit = static_cast<quint32>(upper <= '9' ? upper - '0' : upper - 'A' + 10);
        value = value * 16 + digit;
    }
    return value;
}

} // namespace

// Sum of the bytes after "[" as unsigned values, rendered as four hex digits. Only the low 16 bits
// are kept: every CAMP node expects the check field to be exactly four characters wide.
QByteArray CAMP_NITP::calcBCC(const QByteArray& frameSoFar)
{
    quint32 sum = 0;
    for (int i = 1; i < frameSoFar.size(); ++i) {
        sum += static_cast<quint8>(frameSoFar.at(i));
    }
    return intToHexStr(static_cast<qint32>(sum & 0xFFFFu), 4);
}

// The 32-bit two's-complement pattern in upper-case hex, zero-padded on the left to width and
// never truncated (-1 at width 4 gives FFFFFFFF).
QByteArray CAMP_NITP::intToHexStr(qint32 value, quint8 width)
{
    // Built in place: every frame field goes through here, several times a request.
    static const char kHexDigits[] = "0123456789ABCDEF";
    char digits[8]; // a 32-bit pattern has at most eight
    int count = 0;
    quint32 pattern = static_cast<quint32>(value);
    do {
        digits[7 - count++] = kHexDigits[pattern & 0xFu];
        pattern >>= 4;
    } while (pattern != 0);
    QByteArray text(std::max<int>(width, count), '0');
    std::memcpy(text.data() + text.size() - count, digits + 8 - count, static_cast<size_t>(count));
    return text;
}

// IEEE-754 single bit pattern, eight hex digits: the first word (sign, exponent, high mantissa)
// goes to the lower word address.
QByteArray CAMP_NITP::realToHexStr(float value)
{
    quint32 pattern = 0;
    static_assert(sizeof(pattern) == sizeof(value), "float must be 32 bits");
    std::memcpy(&pattern, &value, sizeof(pattern));
    return intToHexStr(static_cast<qint32>(pattern), 8);
}

// Two hex digits per byte, nothing added: no terminator, no filling to a whole word.
QByteArray CAMP_NITP::stringToHexStr(const QByteArray& text)
{
    return text.toHex().toUpper();
}

// Zeros go in front (the name is historical); a longer text stays as it is.
QByteArray CAMP_NITP::appendZeros(const QByteArray& text, quint8 width)
{
    if (text.size() >= width) {
        return text;
    }
    return QByteArray(width - text.size(), '0') + text;
}

quint16 CAMP_NITP::dataLength(DataType type)
{
    return type == Float ? 2 : 1;
}

// The non-empty pieces between delimiters: "100--109" gives 100 and 109.
std::vector<QByteArray> CAMP_NITP::tokenize(const QByteArray& text, char delimiter)
{
    std::vector<QByteArray> pieces;
    for (const QByteArray& piece : text.split(delimiter)) {
        if (!piece.isEmpty()) {
            pieces.push_back(piece);
        }
    }
    return pieces;
}

// Read request, 24 characters:
//   pos  len  field
//    0    1   "["
//    1    2   command READ_DATA_CMD "04"
//    3    2   "00"
//    5    2   address class
//    7    6   start word address
//   13    2   "01"
//   15    4   word count, 0001 to 0100
//   19    4   BCC over positions 1 to 18
//   23    1   "]"
QByteArray CAMP_NITP::readRequest(qint32 cls, quint32 address, quint16 count)
{
    QByteArray frame;
    frame.reserve(24);
    frame += "[";
    frame += READ_DATA_CMD;
    frame += "00";
    frame += intToHexStr(cls, 2);
    frame += intToHexStr(static_cast<qint32>(address), 6);
    frame += "01";
    frame += intToHexStr(count, 4);
    frame += calcBCC(frame);
    frame += "]";
    return frame;
}

// Write request, 20 + 4N characters for N words:
//   pos     len  field
//    0       1   "["
//    1       2   command WRITE_DATA_CMD "06"
//    3       2   "00"
//    5       2   address class
//    7       6   start word address
//   13       2   word count N
//   15      4N   the words in address order
//   15+4N    4   BCC over positions 1 to 14+4N
//   19+4N    1   "]"
QByteArray CAMP_NITP::writeRequest(qint32 cls, quint32 address, const Words& words)
{
    QByteArray frame;
    frame.reserve(20 + 4 * static_cast<int>(words.size()));
    frame += "[";
    frame += WRITE_DATA_CMD;
    frame += "00";
    frame += intToHexStr(cls, 2);
    frame += intToHexStr(static_cast<qint32>(address), 6);
    frame += intToHexStr(static_cast<qint32>(words.size()), 2);
    for (const QByteArray& word : words) {
        frame += appendZeros(word, 4);
    }
    frame += calcBCC(frame);
    frame += "]";
    return frame;
}

// One step of receiving: bytes before the first "[" are dropped, a frame ends at the first "]"
// after it, and whatever follows is kept for the next frame. Without a complete frame the bytes
// are kept, up to kReceiveLimitBytes; past that the peer is not speaking CAMP and we give up.
CAMP_NITP::FrameScan CAMP_NITP::scanFrame(const QByteArray& bytesSoFar)
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
        scan.status = FrameStatus::NeedMore;
        scan.rest = kept;
    }
    return scan;
}

// Reply as read here:
//   pos  len  field
//    0    1   "["
//    1    2   reply command, "05" for a read reply
//    3    2   status; "F" first marks an error reply
//    5    8   the request's class and address, where the module echoes them
//   13    2   number of words; 00 means 256
//   15   4n   the words in address order
//   then 4    BCC, not checked
//   last 1    "]"
// Error reply: positions 23-26 hold the error code, 27-30 the extended code (texts, not decoded).
constexpr int kReplyCommandPos = 1;
constexpr int kReplyEchoPos = 5;
constexpr int kReplyEchoSize = 8;
constexpr int kReplyCountPos = 13;
constexpr int kReplyFirstWordPos = 15;

bool CAMP_NITP::errorReplyCodes(const QByteArray& reply, ErrorCodes& codes)
{
    if (reply.size() <= 3 || reply.at(3) != 'F') {
        return false;
    }
    // A short error reply gives the characters that are there and nothing for the rest.
    codes.code = reply.mid(23, 4);
    codes.extendedCode = reply.mid(27, 4);
    return true;
}

bool CAMP_NITP::checkForError(const QByteArray& reply, ItemInstancePlugin* item)
{
    ErrorCodes codes;
    if (!errorReplyCodes(reply, codes)) {
        return false;
    }
    if (item) {
        item->errorText = QStringLiteral("Error code: ") + QString::fromLatin1(codes.code) +
                          QStringLiteral(" Extended code: ") +
                          QString::fromLatin1(codes.extendedCode);
    }
    return true;
}

// A reply's words are used only when every character of them, and of the count, is a hex digit:
// a decoder that skipped a bad character would shift the good ones onto other words.
bool CAMP_NITP::parseReadResponse(const QByteArray& reply, quint16 count, Words& words,
                                  ItemInstancePlugin* item)
{
    if (reply.size() < kReplyFirstWordPos) {
        return false;
    }
    if (checkForError(reply, item)) {
        return false;
    }
    const char* const countField = reply.constData() + kReplyCountPos;
    if (!isHexText(countField, 2)) {
        return false;
    }
    quint32 wordCount = hexValue(countField, 2);
    if (wordCount == 0) {
        wordCount = kMaxReadWords; // the count field 00 stands for 256 words
    }
    if (wordCount > count) {
        wordCount = count;
    }
    const int wordsEnd = kReplyFirstWordPos + 4 * static_cast<int>(wordCount);
    if (reply.size() < wordsEnd ||
        !isHexText(reply.constData() + kReplyFirstWordPos, wordsEnd - kReplyFirstWordPos)) {
        return false;
    }
    words.reserve(words.size() + wordCount);
    for (int pos = kReplyFirstWordPos; pos < wordsEnd; pos += 4) {
        words.emplace_back(reply.constData() + pos, 4);
    }
    return true;
}

bool CAMP_NITP::isReadReply(const QByteArray& reply)
{
    return reply.mid(kReplyCommandPos, 2) == "05";
}

// Whether positions 5 to 12 hold the request's class and address, as a module that echoes them
// writes them. A module that does not echo leaves something else there.
bool CAMP_NITP::echoesRequest(const QByteArray& reply, qint32 cls, quint32 address)
{
    const QByteArray echo = intToHexStr(cls, 2) + intToHexStr(static_cast<qint32>(address), 6);
    return reply.mid(kReplyEchoPos, kReplyEchoSize).compare(echo, Qt::CaseInsensitive) == 0;
}

// Columns "address_class" (decimal class code), "data_type" and "address_word": the decimal
// start word, or for a String the inclusive range "first-last". Anything that does not name a
// word that a frame can carry is refused rather than read or written at some other address.
bool CAMP_NITP::itemAddressRange(const ItemInstancePlugin& item, AddressClass& cls,
                                 quint32& address, quint16& count)
{
    quint32 classCode = 0;
    if (!parsePlainDecimal(columnText(item, kAddressClassColumn), kMaxAddressClass, classCode)) {
        return false;
    }
    int type = 0;
    if (!itemDataType(item, type)) {
        return false;
    }
    const QString& addressWord = columnText(item, kAddressWordColumn);

    quint32 first = 0;
    quint32 wordCount = 0;
    if (type != String) {
        if (!parsePlainDecimal(addressWord, kMaxWordAddress, first)) {
            return false;
        }
        wordCount = dataLength(static_cast<DataType>(type));
    } else {
        const std::vector<QByteArray> bounds = tokenize(addressWord.toUtf8(), '-');
        quint32 last = 0;
        if (bounds.size() != 2 || !parsePlainDecimal(bounds[0], kMaxWordAddress, first) ||
            !parsePlainDecimal(bounds[1], kMaxWordAddress, last) || last < first) {
            return false;
        }
        wordCount = last - first + 1;
        if (wordCount > 0xFFFFu) {
            return false; // would wrap in the 16-bit count
        }
    }
    cls = static_cast<AddressClass>(classCode);
    address = first;
    count = static_cast<quint16>(wordCount);
    return true;
}

// A "data_type" that is not a number names no type: reading it as Bit would put a Float's or a
// String's words into an unsigned integer. Empty stays Bit, as the column has always read it.
bool CAMP_NITP::itemDataType(const ItemInstancePlugin& item, int& type)
{
    return columnInt(item, kDataTypeColumn, type);
}

// Why a write of these words cannot be framed, or an empty text when it can.
QString CAMP_NITP::writeRefusal(const Words& values)
{
    if (values.empty()) {
        return QStringLiteral("Nothing to write");
    }
    if (values.size() > static_cast<size_t>(kMaxWriteWords)) {
        return QStringLiteral("Too many words to write: %1 (at most %2)")
            .arg(values.size())
            .arg(kMaxWriteWords);
    }
    for (const QByteArray& word : values) {
        const bool fourHexDigits =
            word.size() == 4 && std::all_of(word.begin(), word.end(), isHexDigit);
        if (!fourHexDigits) {
            return QStringLiteral("Invalid data word: ") + QString::fromLatin1(word);
        }
    }
    return QString();
}

// The user's message for a failed socket call, ending in what the driver was doing.
QString CAMP_NITP::ioErrorMessage(int errorNumber, const char* activity)
{
    const char* prefix = "Communication error while ";
    switch (errorNumber) {
    case 0: // end of stream
    case EPIPE:
        prefix = "PLC closed the connection while ";
        break;
    case EBADF:
    case ENOTCONN:
        prefix = "Lost connection to PLC while ";
        break;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT:
        prefix = "Timed out while ";
        break;
    case ECONNRESET:
        prefix = "PLC reset the connection while ";
        break;
    case ECONNABORTED:
        prefix = "PLC aborted the connection while ";
        break;
    case ECONNREFUSED:
        prefix = "PLC refused the connection while ";
        break;
    case ENETUNREACH:
    case EHOSTUNREACH:
        prefix = "PLC is unreachable while ";
        break;
    case EHOSTDOWN:
        prefix = "PLC is not responding while ";
        break;
    case ENETDOWN:
        prefix = "Network is down while ";
        break;
    case ENFILE:
    case EMFILE:
        prefix = "Too many open connections while ";
        break;
    default:
        break;
    }
    return QString::fromLatin1(prefix) + QString::fromLatin1(activity);
}

// "timeout", else "connection_timeout", else the default; a setting counts when it is a positive
// decimal number.
int CAMP_NITP::loadTimeoutMs(const DeviceInstancePlugin& device)
{
    for (const char* key : {"timeout", "connection_timeout"}) {
        bool ok = false;
        const int value = device.columns.value(QString::fromLatin1(key)).toInt(&ok, 10);
        if (ok && value > 0) {
            return value;
        }
    }
    return kDefaultTimeoutMs;
}
