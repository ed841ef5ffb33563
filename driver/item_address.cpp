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

// One of the types the plugin knows, as its number: anything else (empty, a name, a number of no
// type) names no width, and reading it as some guessed type would put a Float's or a String's
// words into an unsigned integer.
bool parseDataType(const QString& text, qint32& type)
{
    quint32 plain = 0;
    if (!parsePlainDecimal(text, CAMP_NITP::UnsignedLongInteger, plain)) {
        return false;
    }
    type = static_cast<qint32>(plain);
    return true;
}

// The class labels a PLC person types where the column wants the class number.
const char* const kClassLabels[][2] = {{"V", "1"}, {"K", "2"},  {"X", "6"},   {"Y", "7"},
                                       {"C", "8"}, {"WX", "9"}, {"WY", "10"}, {"STW", "26"}};

ItemAddress refuse(ItemAddress address, const char* reason, const char* column,
                   const char* expected)
{
    address.invalid = reason;
    address.column = column;
    address.expected = expected;
    return address;
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
        return refuse(address, kInvalidDataType, "data_type",
                      "a type number is expected: 0 Bit, 1 Integer, 2 Unsigned integer, 3 Float, "
                      "4 String, 5 Long integer, 6 Unsigned long integer");
    }
    quint32 classCode = 0;
    if (!parsePlainDecimal(*columns.addressClass, kMaxAddressClass, classCode)) {
        return refuse(address, kInvalidAddress, "address_class",
                      "a class number is expected: V 1, K 2, X 6, Y 7, C 8, WX 9, WY 10, STW 26");
    }
    address.addressClass = static_cast<qint32>(classCode);
    address.discrete = isDiscreteClass(address.addressClass);

    quint32 first = 0;
    quint32 count = wordsPerValue(address.dataType);
    const char* expected = nullptr;
    if (address.dataType == CAMP_NITP::String) {
        if (!parseRange(*columns.addressWord, first, count)) {
            expected = "a String takes its first and last word, for example 100-109";
        }
    } else if (columns.addressWord->contains(QLatin1Char('.'))) {
        // A bit of a word is a Bit item of a word class: X, Y and C have one bit a word already.
        if (address.dataType != CAMP_NITP::Bit || !isWordClass(address.addressClass)) {
            expected = "a bit of a word is for Bit items of V, K, WX, WY and STW";
        } else if (!parseBitOfWord(*columns.addressWord, first, address.bit)) {
            expected = "a word number and a bit from 0 to 15 are expected, for example 40.3";
        }
    } else if (!parsePlainDecimal(*columns.addressWord, kMaxWordAddress, first)) {
        expected = "a word number from 0 to 16777215 is expected";
    }
    if (expected) {
        return refuse(address, kInvalidAddress, "address_word", expected);
    }
    address.startAddress = first;
    address.wordCount = static_cast<quint16>(count);
    return address;
}

QString invalidText(const ItemAddress& at, const ItemColumns& columns)
{
    if (at.column == nullptr) {
        return QLatin1String(at.invalid);
    }
    const QLatin1String column(at.column);
    const QString& value = column == kAddressClassColumn ? *columns.addressClass
                           : column == kDataTypeColumn   ? *columns.dataType
                                                         : *columns.addressWord;
    QString text = QStringLiteral("%1 (%2 \"%3\": %4")
                       .arg(QLatin1String(at.invalid), column, value, QLatin1String(at.expected));
    // The letters a PLC person writes for a class: say its number.
    for (const auto& label : kClassLabels) {
        if (column == kAddressClassColumn &&
            value.trimmed().compare(QLatin1String(label[0]), Qt::CaseInsensitive) == 0) {
            text = QStringLiteral("%1 (address_class \"%2\": a class number is expected; %3 is %4")
                       .arg(QLatin1String(at.invalid), value, QLatin1String(label[0]),
                            QLatin1String(label[1]));
        }
    }
    return text + QLatin1Char(')');
}

QString invalidText(const ItemAddress& at, const ItemInstancePlugin& item)
{
    return invalidText(at, itemColumns(item));
}
