// An item's columns as a user may type them, and the words a PLC may return for it:
// itemAddressRange must refuse what no frame can carry and describe the rest exactly, and
// convertData must turn any words into a value text of the item's type.
//
// Input: three lines "address_class", "data_type" and "address_word", then the reply words as
// text (four characters each).

#include <algorithm>
#include <cctype>

#include "app_camp_nitp.h"
#include "camp_nitp.h"
#include "fuzz_support.h"

namespace {

bool isDiscrete(int cls)
{
    return cls == AddressClass::X || cls == AddressClass::Y || cls == AddressClass::C;
}

bool isHexWord(const QByteArray& word)
{
    if (word.size() != 4)
        return false;
    for (const char c : word) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

void checkAddressRange(const ItemInstancePlugin& item)
{
    AddressClass cls = AddressClass::V;
    quint32 address = 0;
    quint16 count = 0;
    if (!CAMP_NITP::itemAddressRange(item, cls, address, count))
        return;
    FUZZ_CHECK(cls >= 0 && cls <= CAMP_NITP::kMaxAddressClass);
    FUZZ_CHECK(address <= CAMP_NITP::kMaxWordAddress);
    FUZZ_CHECK(count >= 1);
    const int type = item.columns.value(QStringLiteral("data_type")).toInt();
    if (type == DataType::String) {
        FUZZ_CHECK(address + count - 1 <= CAMP_NITP::kMaxWordAddress);
    } else {
        FUZZ_CHECK(count == (type == DataType::Float ? 2 : 1));
        bool plain = false;
        const uint typed =
            item.columns.value(QStringLiteral("address_word")).trimmed().toUInt(&plain, 10);
        FUZZ_CHECK(plain && typed == address);
    }
    // Whatever is accepted fits the fields of a read frame.
    if (count <= CAMP_NITP::kMaxReadWords)
        FUZZ_CHECK(CAMP_NITP::readRequest(cls, address, count).size() == 24);
}

void checkConversion(ItemInstancePlugin& item, const Words& words)
{
    const QString value = App_CAMP_NITP::convertData(&item, words);
    const int cls = item.columns.value(QStringLiteral("address_class")).toInt();
    const int type = item.columns.value(QStringLiteral("data_type")).toInt();
    if (value.isEmpty())
        return;

    bool ok = false;
    if (isDiscrete(cls)) {
        FUZZ_CHECK(value == QLatin1String("0") || value == QLatin1String("1"));
    } else if (type == DataType::Integer) {
        const int number = value.toInt(&ok);
        FUZZ_CHECK(ok && number >= -32768 && number <= 32767);
    } else if (type != DataType::Float && type != DataType::String) {
        const int number = value.toInt(&ok);
        FUZZ_CHECK(ok && number >= 0 && number <= 65535);
    }

    // Words of four hex digits give exactly the first word's value. (A word with other characters
    // is decoded by Qt's fromHex rules, which skip them, so it only spoils its own item's value.)
    const bool hex = !words.empty() && std::all_of(words.begin(), words.end(), isHexWord);
    const uint word = hex ? words.front().toUInt(nullptr, 16) : 0;
    if (hex && !isDiscrete(cls) && type == DataType::Integer)
        FUZZ_CHECK(value == QString::number(static_cast<qint16>(word)));
    if (hex && !isDiscrete(cls) && type == DataType::UnsignedInteger)
        FUZZ_CHECK(value == QString::number(word));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    ItemInstancePlugin item;
    item.columns.insert(QStringLiteral("address_class"), QString::fromUtf8(input.line()));
    item.columns.insert(QStringLiteral("data_type"), QString::fromUtf8(input.line()));
    item.columns.insert(QStringLiteral("address_word"), QString::fromUtf8(input.line()));
    const QByteArray wordText = input.rest();
    Words words;
    for (int at = 0; at < wordText.size(); at += 4)
        words.push_back(wordText.mid(at, 4));

    checkAddressRange(item);
    checkConversion(item, words);
    return 0;
}
