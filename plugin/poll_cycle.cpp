// One host poll of one device: the items are sorted by address and read in as few block reads as
// the protocol allows, then each block is cut back into the items' values.

#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "app_camp_nitp.h"
#include "camp_identity.h"

namespace {

// More than this many unread words between two items starts a new block.
constexpr quint32 kMaxGapWords = 16;
// One read request carries at most this many words.
constexpr quint32 kMaxBlockWords = 256;

// Column names as map keys, built once rather than for every item of every poll.
const QString kAddressClassColumn = QStringLiteral("address_class");
const QString kDataTypeColumn = QStringLiteral("data_type");
const QString kValueKey = QStringLiteral("value");

bool isDiscreteClass(int addressClass)
{
    return addressClass == AddressClass::X || addressClass == AddressClass::Y ||
           addressClass == AddressClass::C;
}

// QString::toInt() of a column's value (0 when absent or not a number), with the usual one to
// four plain digits taken directly.
int columnNumber(const ItemInstancePlugin& item, const QString& column)
{
    const auto found = item.columns.constFind(column);
    if (found == item.columns.constEnd())
        return 0;
    const QString& text = found.value();
    if (text.isEmpty() || text.size() > 4)
        return text.toInt();
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return text.toInt();
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

// QString::number of a word's value (-32768 to 65535), without the locale machinery.
QString decimalText(int value)
{
    char text[8];
    char* const end = text + sizeof text;
    char* first = end;
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        *--first = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--first = '-';
    return QString::fromLatin1(first, static_cast<int>(end - first));
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes of the words as QByteArray::fromHex gives them for the words joined (the first pair
// of a word is its high byte). Words of four hex digits, as replies carry them, are decoded in
// place, on the stack for items of up to 32 words; anything else takes fromHex itself, which
// skips what is not a hex digit.
using Bytes = QVarLengthArray<char, 64>;

Bytes wordBytes(const Words& words)
{
    Bytes bytes(static_cast<int>(words.size() * 2));
    char* out = bytes.data();
    for (const QByteArray& word : words) {
        int digits[4] = {-1, -1, -1, -1};
        for (int i = 0; i < 4 && word.size() == 4; ++i)
            digits[i] = hexDigit(word[i]);
        if (*std::min_element(digits, digits + 4) < 0) {
            QByteArray hex;
            for (const QByteArray& each : words)
                hex += each;
            const QByteArray decoded = QByteArray::fromHex(hex);
            bytes.clear();
            bytes.append(decoded.constData(), decoded.size());
            return bytes;
        }
        *out++ = static_cast<char>(digits[0] << 4 | digits[1]);
        *out++ = static_cast<char>(digits[2] << 4 | digits[3]);
    }
    return bytes;
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
        if (isCampIdentityItem(entry.item))
            continue;
        int dataType = 0;
        if (!CAMP_NITP::itemDataType(entry.item, dataType)) {
            setItemError(&entry, "Invalid data type");
            continue;
        }
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

// One block read: the spans from first up to but excluding last, and the words it asks for.
struct Block
{
    size_t first = 0;
    size_t last = 0;
    quint16 count = 0;
};

std::vector<Block> planBlocks(const std::vector<App_CAMP_NITP::ReadSpan>& spans)
{
    std::vector<Block> blocks;
    for (size_t first = 0; first < spans.size();) {
        quint32 end = 0;
        const size_t last = blockEnd(spans, first, end);
        // One span alone keeps its own count, even above 256 (the driver refuses that).
        const quint16 count =
            static_cast<quint16>(static_cast<quint16>(end - spans[first].startAddress) + 1);
        blocks.push_back({first, last, count});
        first = last;
    }
    return blocks;
}

bool sendBlockRequest(CAMP_NITP& driver, const std::vector<App_CAMP_NITP::ReadSpan>& spans,
                      const Block& block)
{
    const App_CAMP_NITP::ReadSpan& head = spans[block.first];
    return driver.sendReadRequest(head.addressClass, head.startAddress, block.count,
                                  &head.dataItem->item);
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
    const std::vector<Block> blocks = planBlocks(spans);
    // The next block's request goes out before this block's words are converted, so that the
    // conversion runs while the PLC answers. The connection still carries one request at a time.
    bool sent = !blocks.empty() && sendBlockRequest(driver, spans, blocks.front());
    for (size_t b = 0; b < blocks.size(); ++b) {
        const Block& block = blocks[b];
        const ReadSpan& head = spans[block.first];
        Words words;
        const bool received =
            sent && driver.receiveReadReply(head.addressClass, head.startAddress, block.count,
                                            words, &head.dataItem->item);
        if (driver.hasSessionError()) {
            log->errorText = driver.sessionError();
            return false;
        }
        sent = b + 1 < blocks.size() && sendBlockRequest(driver, spans, blocks[b + 1]);
        if (received)
            assignBlockValues(spans, block.first, block.last, head.startAddress, words);
        if (driver.hasSessionError()) {
            log->errorText = driver.sessionError();
            return false;
        }
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
        Words itemWords(from, from + span.wordCount);
        span.dataItem->values.insert(kValueKey,
                                     convertData(&span.dataItem->item, std::move(itemWords)));
    }
    return true;
}

QString App_CAMP_NITP::convertData(ItemInstancePlugin* item, Words words)
{
    const int addressClass = columnNumber(*item, kAddressClassColumn);
    const int dataType = columnNumber(*item, kDataTypeColumn);

    const Bytes bytes = wordBytes(words);
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
        return decimalText(static_cast<qint16>(word));
    case DataType::Float: {
        const quint32 pattern = quint32(byteAt(0)) << 24 | quint32(byteAt(1)) << 16 |
                                quint32(byteAt(2)) << 8 | quint32(byteAt(3));
        float value = 0;
        std::memcpy(&value, &pattern, sizeof value);
        return QString::number(value, 'g', 6);
    }
    case DataType::String: {
        int size = bytes.size();
        while (size > 0 && bytes[size - 1] == '\0')
            --size;
        return QString::fromUtf8(bytes.constData(), size);
    }
    default: // Unsigned integer, Bit and anything else
        return decimalText(word);
    }
}
