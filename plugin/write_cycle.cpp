// One host write request of one device: every entry's value is checked and encoded by the item's
// data type and written with its own command. Discrete items (X, Y, C) change only bit 0 of
// their word. A value that cannot be written exactly as asked is refused before anything is sent.

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "app_camp_nitp.h"
#include "camp_identity.h"

namespace {

// One write command carries at most this many words (a two-digit count field).
constexpr int kMaxWriteWords = 255;

struct Encoded
{
    QByteArray hex;      // the words to write, four hex digits each
    const char* refusal; // why nothing is written, or null
};

Encoded refused(const char* reason)
{
    return {QByteArray(), reason};
}

bool isDiscreteClass(int addressClass)
{
    return addressClass == AddressClass::X || addressClass == AddressClass::Y ||
           addressClass == AddressClass::C;
}

bool parseInteger(const QString& text, qint64& value)
{
    bool ok = false;
    value = text.trimmed().toLongLong(&ok, 10);
    return ok;
}

// Bit, Integer and Unsigned integer: one word, -32768 to 65535 as a 16-bit pattern.
Encoded encodeOneWord(const QString& text)
{
    qint64 value = 0;
    if (!parseInteger(text, value))
        return refused("Invalid value");
    if (value < -32768 || value > 65535)
        return refused("Value out of range");
    return {CAMP_NITP::intToHexStr(static_cast<qint32>(value & 0xFFFF), 4), nullptr};
}

// A decimal number as people write it: sign, digits with at most one point, an exponent. No
// "nan" or "inf" in any spelling, no hex: nothing that a set-point should ever be given.
bool isDecimalNumber(const QByteArray& text)
{
    int at = 0;
    const auto digitsFrom = [&text, &at] {
        const int first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        return at - first;
    };
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        ++at;
    int mantissaDigits = digitsFrom();
    if (at < text.size() && text[at] == '.') {
        ++at;
        mantissaDigits += digitsFrom();
    }
    if (mantissaDigits == 0)
        return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-'))
            ++at;
        if (digitsFrom() == 0)
            return false;
    }
    return at == text.size();
}

// The smallest magnitude that rounds to infinity as a float: 2^128 - 2^103, half-way between the
// largest float and the next power of two. Everything below rounds to a finite float.
constexpr double kFloatOverflow = 0x1.ffffffp127;

// Float: a finite number within the float range, rounded to the nearest float (a number smaller
// than the smallest float becomes 0 or a subnormal, as the PLC would store it).
Encoded encodeFloat(const QString& text)
{
    const QByteArray number = text.trimmed().toLatin1();
    if (!isDecimalNumber(number))
        return refused("Invalid value");
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const double value = strtod_l(number.constData(), nullptr, cLocale);
    if (!(std::fabs(value) < kFloatOverflow))
        return refused("Value out of range");
    const float rounded = std::fabs(value) > std::numeric_limits<float>::max()
                              ? std::copysign(std::numeric_limits<float>::max(), float(value))
                              : static_cast<float>(value);
    return {CAMP_NITP::realToHexStr(rounded), nullptr};
}

// The text's bytes, a 00 byte to complete the last word, then zero words to the end of the
// item's range, so no tail of an older, longer text is left behind.
Encoded encodeString(const ItemInstancePlugin& item, const QString& text)
{
    AddressClass addressClass;
    quint32 start = 0;
    quint16 rangeWords = 0;
    if (!CAMP_NITP::itemAddressRange(item, addressClass, start, rangeWords) ||
        rangeWords > kMaxWriteWords)
        return refused("Invalid address");
    QByteArray bytes = text.toUtf8();
    if (bytes.size() > 2 * rangeWords)
        return refused("Value too long");
    bytes.append(QByteArray(2 * rangeWords - bytes.size(), '\0'));
    return {CAMP_NITP::stringToHexStr(bytes), nullptr};
}

Encoded encodeValue(const ItemInstancePlugin& item, int addressClass, int dataType,
                    const QString& text)
{
    if (isDiscreteClass(addressClass)) {
        if (dataType == DataType::Float || dataType == DataType::String)
            return refused("Data type not writable to X, Y or C");
        qint64 bit = 0;
        if (!parseInteger(text, bit) || (bit != 0 && bit != 1))
            return refused("Invalid value");
        return {QByteArray::number(bit), nullptr};
    }
    switch (dataType) {
    case DataType::Float:
        return encodeFloat(text);
    case DataType::String:
        return encodeString(item, text);
    default:
        return encodeOneWord(text);
    }
}

Words splitWords(const QByteArray& hex)
{
    Words words;
    for (int at = 0; at + 4 <= hex.size(); at += 4)
        words.push_back(hex.mid(at, 4));
    return words;
}

} // namespace

// Returns false only when the connection broke; the reason is then in the device's error text.
bool App_CAMP_NITP::writeEntry(CAMP_NITP& driver, LogList* log, DataItem& entry)
{
    ItemInstancePlugin& item = entry.item;
    if (isCampIdentityItem(item))
        return true; // identity items are read-only

    const int addressClass = item.columns.value(QStringLiteral("address_class")).toInt();
    const QString text = entry.values.value(QStringLiteral("value"));
    pluginInterface.logDebug(QStringLiteral("Writing ") + text + QStringLiteral(" Item: ") +
                             item.name + QStringLiteral(" Device: ") + log->name);

    int dataType = 0;
    if (!CAMP_NITP::itemDataType(item, dataType)) {
        item.errorText = QStringLiteral("Invalid data type");
        return true;
    }
    const Encoded encoded = encodeValue(item, addressClass, dataType, text);
    if (encoded.refusal) {
        item.errorText = QLatin1String(encoded.refusal);
        return true;
    }

    QByteArray hex = encoded.hex;
    if (isDiscreteClass(addressClass)) {
        Words current;
        if (!driver.readMemory(&item, current) || current.empty()) {
            if (!driver.hasSessionError())
                return true; // the driver may have set the item's error text
            log->errorText = driver.sessionError();
            return false;
        }
        bool isHex = false;
        const uint word = current.front().toUInt(&isHex, 16);
        if (!isHex || word > 0xFFFF) {
            item.errorText = QStringLiteral("Error reading response");
            return true; // never write back bits we could not read
        }
        const uint bit = hex == "1" ? 1 : 0;
        hex = CAMP_NITP::intToHexStr(static_cast<qint32>((word & ~1u) | bit), 4);
    }

    if (!driver.writeMemory(&item, splitWords(hex)) && driver.hasSessionError()) {
        log->errorText = driver.sessionError();
        return false;
    }
    return true;
}
