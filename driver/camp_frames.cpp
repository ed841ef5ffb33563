// The pure members of the driver: reply decoding, the item's place in memory, the field encoders
// and the messages. Nothing here touches a socket or a driver's state.

#include "camp_nitp.h"

#include <algorithm>
#include <cstring>

#include "value_codec.h"

// The sum of the bytes after "[" as unsigned values: only the low 16 bits, as four hex digits,
// since every CAMP node expects the check field to be exactly four characters wide.
QByteArray CAMP_NITP::calcBCC(const QByteArray& frameSoFar)
{
    const char* const begin = frameSoFar.constData();
    const quint16 sum = frameSoFar.isEmpty()
                            ? quint16(0)
                            : camp_wire::byteSum(begin + 1, begin + frameSoFar.size());
    return camp_wire::hex(sum, 4);
}

// The 32-bit two's-complement pattern in upper-case hex, zero-padded on the left to width and
// never truncated (-1 at width 4 gives FFFFFFFF).
QByteArray CAMP_NITP::intToHexStr(qint32 value, quint8 width)
{
    return camp_wire::hex(static_cast<quint32>(value), width);
}

// IEEE-754 single bit pattern, eight hex digits: the first word (sign, exponent, high mantissa)
// goes to the lower word address.
QByteArray CAMP_NITP::realToHexStr(float value)
{
    quint32 pattern = 0;
    static_assert(sizeof(pattern) == sizeof(value), "float must be 32 bits");
    std::memcpy(&pattern, &value, sizeof(pattern));
    return camp_wire::hex(pattern, 8);
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
    return wordsPerValue(type);
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

namespace {

// What the 2572 module's own error codes mean; the other codes are the PLC's, and its manual's.
const char* moduleErrorMeaning(const QByteArray& code)
{
    static const char* const kMeanings[][2] = {
        {"0271", "word count below 1"},
        {"0272", "word count above 256 in a read"},
        {"0273", "bad or missing delimiter"},
        {"0274", "bad BCC"},
        {"0275", "invalid address class"},
        {"0276", "invalid data character"},
        {"0277", "odd character count, or a length that does not fit the request"},
    };
    for (const auto& meaning : kMeanings) {
        if (code.toUpper() == meaning[0]) {
            return meaning[1];
        }
    }
    return nullptr;
}

} // namespace

bool CAMP_NITP::checkForError(const QByteArray& reply, ItemInstancePlugin* item)
{
    camp_wire::ErrorCodes codes;
    if (!camp_wire::errorReplyCodes(reply, codes)) {
        return false;
    }
    if (item) {
        item->errorText = QStringLiteral("Error code: ") + QString::fromLatin1(codes.code) +
                          QStringLiteral(" Extended code: ") +
                          QString::fromLatin1(codes.extendedCode);
        if (const char* meaning = moduleErrorMeaning(codes.code)) {
            item->errorText += QStringLiteral(" (") + QLatin1String(meaning) + QLatin1Char(')');
        }
    }
    return true;
}

// The words of a read reply; an error reply names its codes in the item's error text.
bool CAMP_NITP::parseReadResponse(const QByteArray& reply, quint16 count, Words& words,
                                  ItemInstancePlugin* item)
{
    return !checkForError(reply, item) && camp_wire::readReplyWords(reply, count, words);
}

bool CAMP_NITP::itemAddressRange(const ItemInstancePlugin& item, AddressClass& cls,
                                 quint32& address, quint16& count)
{
    const ItemAddress located = itemAddress(item);
    if (!located.isValid()) {
        return false;
    }
    cls = static_cast<AddressClass>(located.addressClass);
    address = located.startAddress;
    count = located.wordCount;
    return true;
}

// Why a write of these words cannot be framed, or an empty text when it can.
QString CAMP_NITP::writeRefusal(const Words& values)
{
    if (values.empty()) {
        return QStringLiteral("Nothing to write");
    }
    if (values.size() > static_cast<size_t>(camp_wire::kMaxWriteWords)) {
        return QStringLiteral("Too many words to write: %1 (at most %2)")
            .arg(values.size())
            .arg(camp_wire::kMaxWriteWords);
    }
    return QString();
}

QString CAMP_NITP::ioErrorMessage(int errorNumber, const char* activity)
{
    return PlcConnection::ioErrorMessage(errorNumber, activity);
}

int CAMP_NITP::loadPort(const DeviceInstancePlugin& device)
{
    bool isNumber = false;
    const int port = device.columns.value(QStringLiteral("port")).toInt(&isNumber, 10);
    return isNumber ? port : 0;
}

// "timeout", else "connection_timeout", else the default; a setting counts when it is a positive
// decimal number.
int CAMP_NITP::loadTimeoutMs(const DeviceInstancePlugin& device)
{
    static const QString keys[] = {QStringLiteral("timeout"), QStringLiteral("connection_timeout")};
    for (const QString& key : keys) {
        bool ok = false;
        const int value = device.columns.value(key).toInt(&ok, 10);
        if (ok && value > 0) {
            return std::min(value, kMaxTimeoutMs);
        }
    }
    return kDefaultTimeoutMs;
}
