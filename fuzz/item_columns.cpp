// An item's columns as a user may type them, and the words a PLC may return for it: the item
// model must refuse what no frame can carry and describe the rest exactly, and the value codec
// must turn any words into a value text of the item's type.
//
// Input: three lines "address_class", "data_type" and "address_word", then the reply words, two
// bytes each, high byte first.

#include "app_camp_nitp.h"
#include "camp_nitp.h"
#include "fuzz_support.h"
#include "value_codec.h"

#include <cstring>

namespace {

void checkAddress(const ItemInstancePlugin& item, const ItemAddress& at)
{
    bool typeIsNumber = false;
    const QString typeText = item.columns.value(QStringLiteral("data_type"));
    const int type = typeText.toInt(&typeIsNumber);
    FUZZ_CHECK(at.invalid == nullptr || !std::strcmp(at.invalid, "Invalid address") ||
               !std::strcmp(at.invalid, "Invalid data type"));
    if (!typeText.isEmpty() && !typeIsNumber) {
        FUZZ_CHECK(!at.isValid()); // a type that is not a number names no width
    }
    if (!at.isValid()) {
        return;
    }
    FUZZ_CHECK(at.addressClass >= 0 && at.addressClass <= kMaxAddressClass);
    FUZZ_CHECK(at.startAddress <= kMaxWordAddress);
    FUZZ_CHECK(at.wordCount >= 1);
    FUZZ_CHECK(at.discrete == isDiscreteClass(at.addressClass));
    const QString word = item.columns.value(QStringLiteral("address_word"));
    if (type == DataType::String) {
        FUZZ_CHECK(at.startAddress + at.wordCount - 1 <= kMaxWordAddress);
    } else if (at.bit >= 0) {
        // "word.bit": a Bit item of a word class, bit 0 to 15 of the word before the dot.
        FUZZ_CHECK(type == DataType::Bit && isWordClass(at.addressClass) && at.bit <= 15);
        FUZZ_CHECK(at.wordCount == 1);
        bool plain = false;
        FUZZ_CHECK(word.section(QLatin1Char('.'), 0, 0).trimmed().toUInt(&plain, 10) ==
                       at.startAddress &&
                   plain);
    } else {
        const bool twoWords = type == DataType::Float || type == DataType::LongInteger ||
                              type == DataType::UnsignedLongInteger;
        FUZZ_CHECK(at.wordCount == (twoWords ? 2 : 1));
        bool plain = false;
        const uint typed = word.trimmed().toUInt(&plain, 10);
        FUZZ_CHECK(plain && typed == at.startAddress);
    }
    // Whatever is accepted fits the fields of a read frame.
    if (at.wordCount <= camp_wire::kMaxReadWords) {
        FUZZ_CHECK(camp_wire::readRequest(at.addressClass, at.startAddress, at.wordCount).size() ==
                   24);
    }
}

void checkConversion(ItemInstancePlugin& item, const ItemAddress& at, const Words& words)
{
    const QString value = App_CAMP_NITP::convertData(&item, words);
    if (at.isValid()) {
        FUZZ_CHECK(value == decodeValue(at, words.data(), words.size()));
    }
    if (value.isEmpty() || words.empty()) {
        return;
    }
    const int cls = item.columns.value(QStringLiteral("address_class")).toInt();
    const int type = item.columns.value(QStringLiteral("data_type")).toInt();
    const quint32 pair = quint32(words.front()) << 16 | (words.size() > 1 ? words[1] : 0u);
    if (isDiscreteClass(cls)) {
        FUZZ_CHECK(value == QString::number(words.front() & 1));
    } else if (at.isValid() && at.bit >= 0) {
        FUZZ_CHECK(value == QString::number(words.front() >> at.bit & 1));
    } else if (type == DataType::Integer) {
        FUZZ_CHECK(value == QString::number(static_cast<qint16>(words.front())));
    } else if (type == DataType::LongInteger) {
        FUZZ_CHECK(value == QString::number(static_cast<qint32>(pair)));
    } else if (type == DataType::UnsignedLongInteger) {
        FUZZ_CHECK(value == QString::number(pair));
    } else if (type != DataType::Float && type != DataType::String) {
        FUZZ_CHECK(value == QString::number(words.front()));
    }
}

// A value that encodes is written as words of the item alone, and reads back as itself.
void checkRoundTrip(const ItemAddress& at, const Words& words)
{
    if (!at.isValid() || at.discrete || at.dataType == DataType::Float) {
        return;
    }
    const Words own(words.begin(), words.begin() + std::min<size_t>(words.size(), at.wordCount));
    const QString value = decodeValue(at, own.data(), own.size());
    const EncodedValue encoded = encodeValue(at, value);
    if (encoded.refusal != nullptr || at.dataType == DataType::String) {
        return; // a String need not be valid UTF-8, nor fit as text what it held as bytes
    }
    FUZZ_CHECK(encoded.words.size() == at.wordCount || at.bit >= 0);
    FUZZ_CHECK(decodeValue(at, encoded.words.data(), encoded.words.size()) == value ||
               at.bit >= 0); // a bit's one word is the bit itself, put into place by the write
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    ItemInstancePlugin item;
    item.columns.insert(QStringLiteral("address_class"), QString::fromUtf8(input.line()));
    item.columns.insert(QStringLiteral("data_type"), QString::fromUtf8(input.line()));
    item.columns.insert(QStringLiteral("address_word"), QString::fromUtf8(input.line()));
    const QByteArray bytes = input.rest();
    Words words;
    for (int at = 0; at + 1 < bytes.size(); at += 2) {
        words.push_back(static_cast<quint16>(static_cast<uchar>(bytes[at]) << 8 |
                                             static_cast<uchar>(bytes[at + 1])));
    }
    const ItemAddress at = itemAddress(item);
    checkAddress(item, at);
    checkConversion(item, at, words);
    checkRoundTrip(at, words);
    return 0;
}
