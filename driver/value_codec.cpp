#include "value_codec.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "camp_nitp.h"

namespace {

// The encoders refuse with these; encodeValue names the data type's form or range after them.
const char kInvalidValue[] = "Invalid value";
const char kOutOfRange[] = "Value out of range";

EncodedValue refused(const char* reason)
{
    EncodedValue encoded;
    encoded.refusal = reason;
    return encoded;
}

// QString::number of a word's value (-32768 to 65535), without the locale machinery, written in
// place: a value that keeps its length (most do, poll after poll) costs no reallocation.
void decimalText(int value, QString& text)
{
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    const int digits = magnitude < 10      ? 1
                       : magnitude < 100   ? 2
                       : magnitude < 1000  ? 3
                       : magnitude < 10000 ? 4
                                           : 5;
    const int length = digits + (value < 0 ? 1 : 0);
    if (text.size() != length) {
        text.resize(length);
    }
    QChar* const first = text.data();
    QChar* next = first + length;
    do {
        *--next = QChar(static_cast<ushort>('0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *first = QLatin1Char('-');
    }
}

void decodeUnsigned(const quint16* words, size_t, QString& text)
{
    decimalText(words[0], text);
}

void decodeSigned(const quint16* words, size_t, QString& text)
{
    decimalText(static_cast<qint16>(words[0]), text);
}

// A 32-bit integer in two words, the first (lower address) high, as a Float.
quint32 longPattern(const quint16* words, size_t count)
{
    return quint32(words[0]) << 16 | (count > 1 ? words[1] : 0u);
}

void decodeLong(const quint16* words, size_t count, QString& text)
{
    text = QString::number(static_cast<qint32>(longPattern(words, count)));
}

void decodeUnsignedLong(const quint16* words, size_t count, QString& text)
{
    text = QString::number(longPattern(words, count));
}

// IEEE-754 single precision, the first word high, six significant digits: 3F80 0000 reads "1".
void decodeFloat(const quint16* words, size_t count, QString& text)
{
    const quint32 pattern = quint32(words[0]) << 16 | (count > 1 ? words[1] : 0u);
    float value = 0;
    std::memcpy(&value, &pattern, sizeof value);
    text = QString::number(value, 'g', 6);
}

// Two bytes per word, the first high, read as UTF-8 up to the trailing zero bytes.
void decodeString(const quint16* words, size_t count, QString& text)
{
    QByteArray bytes(static_cast<int>(2 * count), Qt::Uninitialized);
    for (size_t i = 0; i < count; ++i) {
        bytes[static_cast<int>(2 * i)] = static_cast<char>(words[i] >> 8);
        bytes[static_cast<int>(2 * i + 1)] = static_cast<char>(words[i] & 0xFF);
    }
    int size = bytes.size();
    while (size > 0 && bytes[size - 1] == '\0') {
        --size;
    }
    text = QString::fromUtf8(bytes.constData(), size);
}

bool parseInteger(const QString& text, qint64& value)
{
    bool ok = false;
    value = text.trimmed().toLongLong(&ok, 10);
    return ok;
}

// Bit, Integer and Unsigned integer: one word, -32768 to 65535 as its 16-bit pattern.
EncodedValue encodeOneWord(const ItemAddress&, const QString& text)
{
    qint64 value = 0;
    if (!parseInteger(text, value)) {
        return refused(kInvalidValue);
    }
    if (value < -32768 || value > 65535) {
        return refused(kOutOfRange);
    }
    return {{static_cast<quint16>(value & 0xFFFF)}, nullptr};
}

// Long integers take a decimal integer in strict syntax: an optional sign and digits, nothing else.
EncodedValue encodeLong(const QString& text, qint64 least, qint64 most)
{
    const QString number = text.trimmed();
    const int digitsFrom = number.startsWith(QLatin1Char('+')) || number.startsWith('-') ? 1 : 0;
    if (number.size() == digitsFrom) {
        return refused(kInvalidValue);
    }
    for (int at = digitsFrom; at < number.size(); ++at) {
        if (number[at] < QLatin1Char('0') || number[at] > QLatin1Char('9')) {
            return refused(kInvalidValue);
        }
    }
    bool fits = false;
    const qint64 value = number.toLongLong(&fits, 10);
    if (!fits || value < least || value > most) {
        return refused(kOutOfRange); // digits beyond 64 bits are out of range too
    }
    const quint32 pattern = static_cast<quint32>(value & 0xFFFFFFFF);
    return {{static_cast<quint16>(pattern >> 16), static_cast<quint16>(pattern & 0xFFFF)}, nullptr};
}

EncodedValue encodeSignedLong(const ItemAddress&, const QString& text)
{
    return encodeLong(text, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max());
}

EncodedValue encodeUnsignedLong(const ItemAddress&, const QString& text)
{
    return encodeLong(text, 0, std::numeric_limits<quint32>::max());
}

// A decimal number as people write it: sign, digits with at most one point, an exponent. No
// "nan" or "inf" in any spelling, no hex: nothing that a set-point should ever be given.
bool isDecimalNumber(const QByteArray& text)
{
    int at = 0;
    const auto digits = [&text, &at] {
        const int first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            ++at;
        }
        return at - first;
    };
    const auto skip = [&text, &at](char one, char other) {
        const bool there = at < text.size() && (text[at] == one || text[at] == other);
        at += there ? 1 : 0;
        return there;
    };
    skip('+', '-');
    int mantissaDigits = digits();
    if (skip('.', '.')) {
        mantissaDigits += digits();
    }
    if (mantissaDigits == 0) {
        return false;
    }
    if (skip('e', 'E')) {
        skip('+', '-');
        if (digits() == 0) {
            return false;
        }
    }
    return at == text.size();
}

// The smallest magnitude that rounds to infinity as a float: 2^128 - 2^103, half-way between the
// largest float and the next power of two. Everything below rounds to a finite float.
constexpr double kFloatOverflow = 0x1.ffffffp127;

// Float: a finite number within the float range, rounded to the nearest float (a number smaller
// than the smallest float becomes 0 or a subnormal, as the PLC would store it); two words, high
// first.
EncodedValue encodeFloat(const ItemAddress&, const QString& text)
{
    const QByteArray number = text.trimmed().toLatin1();
    if (!isDecimalNumber(number)) {
        return refused(kInvalidValue);
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const double value = strtod_l(number.constData(), nullptr, cLocale);
    if (!(std::fabs(value) < kFloatOverflow)) {
        return refused(kOutOfRange);
    }
    const float largest = std::numeric_limits<float>::max();
    const float rounded = std::fabs(value) > largest ? std::copysign(largest, float(value))
                                                     : static_cast<float>(value);
    quint32 pattern = 0;
    std::memcpy(&pattern, &rounded, sizeof pattern);
    return {{static_cast<quint16>(pattern >> 16), static_cast<quint16>(pattern & 0xFFFF)}, nullptr};
}

// The text's UTF-8 bytes, a 00 byte to complete the last word, then zero words to the end of the
// item's range, so no tail of an older, longer text is left behind.
EncodedValue encodeString(const ItemAddress& item, const QString& text)
{
    if (!item.isValid() || item.wordCount > camp_wire::kMaxWriteWords) {
        return refused(kInvalidAddress);
    }
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > 2 * item.wordCount) {
        return refused("Value too long");
    }
    EncodedValue encoded;
    encoded.words.assign(item.wordCount, 0);
    for (int i = 0; i < bytes.size(); ++i) {
        const quint16 byte = static_cast<uchar>(bytes[i]);
        encoded.words[static_cast<size_t>(i / 2)] |= (i % 2 == 0) ? quint16(byte << 8) : byte;
    }
    return encoded;
}

// One row per data type: its words per value, how its words read, how a value is written, and
// what a refused value is told: the form and the range the type takes.
struct DataTypeRow
{
    qint32 type;
    quint16 wordsPerValue;
    void (*decode)(const quint16* words, size_t count, QString& text);
    EncodedValue (*encode)(const ItemAddress& item, const QString& text);
    const char* invalidValue;
    const char* outOfRange;
};

const DataTypeRow kDataTypes[] = {
    {CAMP_NITP::Bit, 1, decodeUnsigned, encodeOneWord, "Invalid value (Bit: a whole number)",
     "Value out of range (Bit: -32768 to 65535)"},
    {CAMP_NITP::Integer, 1, decodeSigned, encodeOneWord, "Invalid value (Integer: a whole number)",
     "Value out of range (Integer: -32768 to 65535)"},
    {CAMP_NITP::UnsignedInteger, 1, decodeUnsigned, encodeOneWord,
     "Invalid value (Unsigned integer: a whole number)",
     "Value out of range (Unsigned integer: -32768 to 65535)"},
    {CAMP_NITP::Float, 2, decodeFloat, encodeFloat, "Invalid value (Float: a decimal number)",
     "Value out of range (Float: -3.4028235e38 to 3.4028235e38)"},
    {CAMP_NITP::String, 1, decodeString, encodeString, kInvalidValue, kOutOfRange},
    {CAMP_NITP::LongInteger, 2, decodeLong, encodeSignedLong,
     "Invalid value (Long integer: a whole number)",
     "Value out of range (Long integer: -2147483648 to 2147483647)"},
    {CAMP_NITP::UnsignedLongInteger, 2, decodeUnsignedLong, encodeUnsignedLong,
     "Invalid value (Unsigned long integer: a whole number)",
     "Value out of range (Unsigned long integer: 0 to 4294967295)"},
};

// X, Y and C items, and a bit of a word, take 0 or 1 alone.
const char kInvalidBit[] = "Invalid value (Bit: 0 or 1)";

// A refusal with the form or the range of the data type after it.
EncodedValue named(EncodedValue encoded, const DataTypeRow& row)
{
    if (encoded.refusal == kInvalidValue) {
        encoded.refusal = row.invalidValue;
    } else if (encoded.refusal == kOutOfRange) {
        encoded.refusal = row.outOfRange;
    }
    return encoded;
}

// Any other number reads and writes as Bit, as the column has always been read.
const DataTypeRow& rowFor(qint32 type)
{
    for (const DataTypeRow& row : kDataTypes) {
        if (row.type == type) {
            return row;
        }
    }
    return kDataTypes[0];
}

} // namespace

quint16 wordsPerValue(qint32 dataType)
{
    return rowFor(dataType).wordsPerValue;
}

void decodeValue(const ItemAddress& item, const quint16* words, size_t count, QString& text)
{
    if (count == 0) {
        text.clear();
    } else if (item.discrete || item.bit >= 0) {
        text = (words[0] >> std::max<int>(item.bit, 0) & 1) ? QStringLiteral("1")
                                                            : QStringLiteral("0");
    } else {
        rowFor(item.dataType).decode(words, count, text);
    }
}

QString decodeValue(const ItemAddress& item, const quint16* words, size_t count)
{
    QString text;
    decodeValue(item, words, count, text);
    return text;
}

// A data type that names nothing refuses every value. X, Y and C, and a bit of a word, take 0 or 1
// alone, whatever their one-word type. Only a String needs its address (its range) to be encoded.
EncodedValue encodeValue(const ItemAddress& item, const QString& text)
{
    if (item.invalid == kInvalidDataType) {
        return refused(kInvalidDataType);
    }
    if (!item.discrete && item.bit < 0) {
        const DataTypeRow& row = rowFor(item.dataType);
        return named(row.encode(item, text), row);
    }
    if (wordsPerValue(item.dataType) != 1 || item.dataType == CAMP_NITP::String) {
        return refused("Data type not writable to X, Y or C");
    }
    qint64 bit = 0;
    if (!parseInteger(text, bit) || (bit != 0 && bit != 1)) {
        return refused(kInvalidBit);
    }
    return {{static_cast<quint16>(bit)}, nullptr};
}

quint16 withBit(quint16 word, int index, quint16 bit)
{
    const quint32 mask = 1u << index;
    return static_cast<quint16>((word & ~mask) | ((bit & 1u) << index));
}
