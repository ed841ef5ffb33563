#include "item_address.h"

#include <algorithm>
#include <cstring>

#include "camp_nitp.h"
#include "value_codec.h"

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

uint code(QChar c)
{
    return c.unicode();
}

// A configured number must be all decimal digits (surrounding blanks aside) and at most maximum:
// "12x", "-1" or an empty text would otherwise land on word 0 of the PLC.
template <typename Text> bool parsePlainDecimal(const Text& text, quint32 maximum, quint32& value)
{
    auto begin = text.begin();
    auto end = text.end();
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

// The data type as the column has always been read (QString::toInt, empty as Bit 0), but a text
// that is not a number names no type: reading it as Bit would put a Float's or a String's words
// into an unsigned integer.
bool parseDataType(const QString& text, qint32& type)
{
    type = 0;
    quint32 plain = 0;
    if (text.isEmpty() || (text.size() <= 4 && parsePlainDecimal(text, 9999, plain))) {
        type = static_cast<qint32>(plain);
        return true;
    }
    bool ok = false;
    type = text.toInt(&ok);
    return ok;
}

// A piece of a column's text, as parsePlainDecimal reads it.
struct TextPiece
{
    const QChar* first;
    const QChar* last;
    const QChar* begin() const { return first; }
    const QChar* end() const { return last; }
};

// "first-last" (empty pieces between minus signs are skipped): the first word and the count.
bool parseRange(const QString& text, quint32& first, quint32& count)
{
    TextPiece bounds[2] = {};
    int pieces = 0;
    const QChar* piece = text.constBegin();
    for (const QChar* at = text.constBegin();; ++at) {
        if (at == text.constEnd() || *at == QLatin1Char('-')) {
            if (at != piece && pieces++ < 2) {
                bounds[pieces - 1] = {piece, at};
            }
            if (at == text.constEnd()) {
                break;
            }
            piece = at + 1;
        }
    }
    quint32 last = 0;
    if (pieces != 2 || !parsePlainDecimal(bounds[0], kMaxWordAddress, first) ||
        !parsePlainDecimal(bounds[1], kMaxWordAddress, last) || last < first) {
        return false;
    }
    count = last - first + 1;
    return count <= 0xFFFFu; // wider would wrap in the 16-bit count
}

// "word.bit": a word address and a bit from 0 to 15 ("100.16", "100.-1", "100.x", "100." name
// none).
bool parseBitOfWord(const QString& text, quint32& word, qint8& bit)
{
    const int dot = text.indexOf(QLatin1Char('.'));
    const TextPiece wordPart{text.constBegin(), text.constBegin() + dot};
    const TextPiece bitPart{text.constBegin() + dot + 1, text.constEnd()};
    quint32 bitNumber = 0;
    if (!parsePlainDecimal(wordPart, kMaxWordAddress, word) ||
        !parsePlainDecimal(bitPart, 15, bitNumber)) {
        return false;
    }
    bit = static_cast<qint8>(bitNumber);
    return true;
}

} // namespace

bool isWordClass(qint32 addressClass)
{
    return addressClass == CAMP_NITP::V || addressClass == CAMP_NITP::K ||
           addressClass == CAMP_NITP::WX || addressClass == CAMP_NITP::WY ||
           addressClass == CAMP_NITP::STW;
}

bool isDiscreteClass(qint32 addressClass)
{
    return addressClass == CAMP_NITP::X || addressClass == CAMP_NITP::Y ||
           addressClass == CAMP_NITP::C;
}

const char kInvalidAddress[] = "Invalid address";
const char kInvalidDataType[] = "Invalid data type";

// The three keys differ in length, so most entries are told apart by their size alone.
ItemColumns itemColumns(const ItemInstancePlugin& item)
{
    static const QString missing;
    ItemColumns columns{&missing, &missing, &missing};
    const auto is = [](const QString& key, const QString& column) {
        return key.size() == column.size() &&
               std::memcmp(key.constData(), column.constData(),
                           static_cast<size_t>(key.size()) * sizeof(QChar)) == 0;
    };
    for (auto column = item.columns.cbegin(); column != item.columns.cend(); ++column) {
        if (is(column.key(), kAddressClassColumn)) {
            columns.addressClass = &column.value();
        } else if (is(column.key(), kAddressWordColumn)) {
            columns.addressWord = &column.value();
        } else if (is(column.key(), kDataTypeColumn)) {
            columns.dataType = &column.value();
        }
    }
    return columns;
}

ItemAddress itemAddress(const ItemInstancePlugin& item)
{
    return itemAddress(itemColumns(item));
}

// Anything that does not name words a frame can carry is refused rather than read or written at
// some other address. The class is known (and so whether the item is discrete) even when the
// address word is not: a write checks its value against the class before the address.
ItemAddress itemAddress(const ItemColumns& columns)
{
    ItemAddress address;
    if (!parseDataType(*columns.dataType, address.dataType)) {
        address.invalid = kInvalidDataType;
        return address;
    }
    quint32 classCode = 0;
    if (!parsePlainDecimal(*columns.addressClass, kMaxAddressClass, classCode)) {
        address.invalid = kInvalidAddress;
        return address;
    }
    address.addressClass = static_cast<qint32>(classCode);
    address.discrete = isDiscreteClass(address.addressClass);

    quint32 first = 0;
    quint32 count = wordsPerValue(address.dataType);
    bool located = false;
    if (address.dataType == CAMP_NITP::String) {
        located = parseRange(*columns.addressWord, first, count);
    } else if (columns.addressWord->contains(QLatin1Char('.'))) {
        // A bit of a word is a Bit item of a word class: X, Y and C have one bit a word already.
        located = address.dataType == CAMP_NITP::Bit && isWordClass(address.addressClass) &&
                  parseBitOfWord(*columns.addressWord, first, address.bit);
    } else {
        located = parsePlainDecimal(*columns.addressWord, kMaxWordAddress, first);
    }
    if (!located) {
        address.invalid = kInvalidAddress;
        return address;
    }
    address.startAddress = first;
    address.wordCount = static_cast<quint16>(count);
    return address;
}
