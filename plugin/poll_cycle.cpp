// One host poll of one device: the items are sorted by address and read in as few block reads as
// the protocol allows, then each block is cut back into the items' values.

#include <algorithm>
#include <cstring>
#include <tuple>

#include "app_camp_nitp.h"
#include "kib_identity.h"

namespace {

// More than this many unread words between two items starts a new block.
constexpr quint32 kMaxGapWords = 16;
// One read request carries at most this many words.
constexpr quint32 kMaxBlockWords = 256;

const char* const kAddressColumn = "address_word";

bool isDiscreteClass(int addressClass)
{
    return addressClass == AddressClass::X || addressClass == AddressClass::Y ||
           addressClass == AddressClass::C;
}

int columnNumber(const ItemInstancePlugin& item, const char* column)
{
    return item.columns.value(QLatin1String(column)).toInt();
}

void setItemError(DataItem* entry, const char* text)
{
    entry->item.errorText = QLatin1String(text);
}

std::vector<App_CAMP_NITP::ReadSpan> collectSpans(LogList* log)
{
    std::vector<App_CAMP_NITP::ReadSpan> spans;
    spans.reserve(static_cast<size_t>(log->items.size()));
    for (DataItem& entry : log->items) {
        if (kib_identity::isIdentityItem(entry.item, kAddressColumn))
            continue;
        App_CAMP_NITP::ReadSpan span;
        span.dataItem = &entry;
        // A String range longer than one read can carry would never get a value: say so.
        if (!CAMP_NITP::itemAddressRange(entry.item, span.addressClass, span.startAddress,
                                         span.wordCount) ||
            span.wordCount > kMaxBlockWords) {
            setItemError(&entry, "Invalid address");
            continue;
        }
        spans.push_back(span);
    }
    std::sort(spans.begin(), spans.end(),
              [](const App_CAMP_NITP::ReadSpan& a, const App_CAMP_NITP::ReadSpan& b) {
                  return std::make_tuple(static_cast<qint32>(a.addressClass), a.startAddress,
                                         a.wordCount) <
                         std::make_tuple(static_cast<qint32>(b.addressClass), b.startAddress,
                                         b.wordCount);
              });
    return spans;
}

// The block that starts at span `first`: spans of one class join while the gap to the block stays
// within 16 words and the block within 256 words. Returns one past its last span.
size_t blockEnd(const std::vector<App_CAMP_NITP::ReadSpan>& spans, size_t first, quint32& end)
{
    const App_CAMP_NITP::ReadSpan& head = spans[first];
    const quint32 blockStart = head.startAddress;
    end = head.startAddress + head.wordCount - 1;
    size_t next = first + 1;
    for (; next < spans.size() && spans[next].addressClass == head.addressClass; ++next) {
        const App_CAMP_NITP::ReadSpan& span = spans[next];
        if (span.startAddress > end + kMaxGapWords + 1)
            break;
        const quint32 newEnd = std::max(end, span.startAddress + span.wordCount - 1);
        if (newEnd - blockStart + 1 > kMaxBlockWords)
            break;
        end = newEnd;
    }
    return next;
}

} // namespace

bool App_CAMP_NITP::pollDevice(CAMP_NITP& driver, LogList* log)
{
    if (!driver.connectToPLC(log))
        return false;

    fillPolledIdentity(driver, log);
    if (driver.hasSessionError()) {
        driver.disconnectFromPLC();
        if (!driver.connectToPLC(log))
            return false;
    }

    const std::vector<ReadSpan> spans = collectSpans(log);
    for (size_t first = 0; first < spans.size();) {
        const ReadSpan& head = spans[first];
        quint32 end = 0;
        const size_t last = blockEnd(spans, first, end);
        const quint16 count = static_cast<quint16>(static_cast<quint16>(end - head.startAddress) + 1);

        Words words;
        if (driver.readMemoryBlock(head.addressClass, head.startAddress, count, words,
                                   &head.dataItem->item)) {
            assignBlockValues(spans, first, last, head.startAddress, words);
        } else if (driver.hasSessionError()) {
            log->errorText = driver.sessionError();
            return false;
        }
        first = last;
    }
    return true;
}

bool App_CAMP_NITP::assignBlockValues(const std::vector<ReadSpan>& spans, size_t first, size_t last,
                                      quint32 blockStart, const Words& words)
{
    for (size_t k = first; k < last; ++k) {
        const ReadSpan& span = spans[k];
        if (span.startAddress < blockStart)
            continue;
        const size_t offset = span.startAddress - blockStart;
        if (offset + span.wordCount > words.size()) {
            setItemError(span.dataItem, "Error reading response");
            continue;
        }
        const auto from = words.begin() + static_cast<std::ptrdiff_t>(offset);
        const Words itemWords(from, from + span.wordCount);
        span.dataItem->values.insert(QStringLiteral("value"),
                                     convertData(&span.dataItem->item, itemWords));
    }
    return true;
}

QString App_CAMP_NITP::convertData(ItemInstancePlugin* item, Words words)
{
    const int addressClass = columnNumber(*item, "address_class");
    const int dataType = columnNumber(*item, "data_type");

    QByteArray hex;
    for (const QByteArray& word : words)
        hex += word;
    const QByteArray bytes = QByteArray::fromHex(hex);
    if (bytes.size() < 2)
        return QString();

    const auto byteAt = [&bytes](int i) -> quint8 {
        return i < bytes.size() ? static_cast<quint8>(bytes[i]) : 0;
    };
    const quint16 word = static_cast<quint16>(byteAt(0) << 8 | byteAt(1));

    if (isDiscreteClass(addressClass))
        return (word & 1) ? QStringLiteral("1") : QStringLiteral("0");

    switch (dataType) {
    case DataType::Integer:
        return QString::number(static_cast<qint16>(word));
    case DataType::Float: {
        const quint32 pattern = quint32(byteAt(0)) << 24 | quint32(byteAt(1)) << 16 |
                                quint32(byteAt(2)) << 8 | quint32(byteAt(3));
        float value = 0;
        std::memcpy(&value, &pattern, sizeof value);
        return QString::number(value, 'g', 6);
    }
    case DataType::String: {
        QByteArray text = bytes;
        while (!text.isEmpty() && text.endsWith('\0'))
            text.chop(1);
        return QString::fromUtf8(text);
    }
    default: // Unsigned integer, Bit and anything else
        return QString::number(word);
    }
}
