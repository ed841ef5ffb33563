#include "block_planner.h"

#include <algorithm>

#include "device_columns.h"

namespace {

// Whether the words from `first` to `last` of a class hold words of a span read alone.
bool coversAlone(const std::vector<ReadSpan>& spans, qint32 cls, quint32 first, quint32 last)
{
    for (auto span = spans.rbegin(); span != spans.rend() && span->alone; ++span) {
        if (span->addressClass == cls && span->startAddress <= last &&
            span->startAddress + span->wordCount - 1 >= first) {
            return true;
        }
    }
    return false;
}

// Whether a block from `head` to `newEnd` may be asked in one read: within the limit, or as the
// read of one span longer than the limit. Spans of one start come shortest first, so a span that
// starts where the block does covers every span before it.
bool fitsOneRead(const ReadSpan& head, const ReadSpan& span, quint32 newEnd,
                 const BlockLimits& limits)
{
    return newEnd - head.startAddress + 1 <= limits.blockWords ||
           span.startAddress == head.startAddress;
}

// The block that starts at span `first`; returns one past its last span and sets its last word.
size_t blockEnd(const std::vector<ReadSpan>& spans, size_t first, const BlockLimits& limits,
                quint32& end)
{
    const ReadSpan& head = spans[first];
    end = head.startAddress + head.wordCount - 1;
    if (head.alone) {
        return first + 1;
    }
    size_t next = first + 1;
    for (; next < spans.size() && spans[next].addressClass == head.addressClass; ++next) {
        const ReadSpan& span = spans[next];
        if (span.alone || span.startAddress > end + limits.gapWords + 1) {
            break;
        }
        // A span inside the block joins it whatever the block's size: it costs no word more.
        const quint32 newEnd = std::max(end, span.startAddress + span.wordCount - 1);
        if (newEnd > end && (!fitsOneRead(head, span, newEnd, limits) ||
                             coversAlone(spans, head.addressClass, end + 1, newEnd))) {
            break;
        }
        end = newEnd;
    }
    return next;
}

// Alone, class, start and word count in one number that orders as the four do: the spans read
// alone last, then the class (at most 0xFF) above the start (at most 0xFFFFFF) above the count,
// as itemAddress gives them.
quint64 sortKey(const ReadSpan& span)
{
    return quint64(span.alone) << 63 | quint64(quint32(span.addressClass)) << 40 |
           quint64(span.startAddress) << 16 | span.wordCount;
}

// Sorting small keys moves far less memory than sorting the spans; hosts mostly list items in
// address order already, which costs one pass.
void sortSpans(std::vector<ReadSpan>& spans)
{
    std::vector<std::pair<quint64, size_t>> order;
    order.reserve(spans.size());
    for (size_t i = 0; i < spans.size(); ++i) {
        order.emplace_back(sortKey(spans[i]), i);
    }
    if (std::is_sorted(order.begin(), order.end())) {
        return;
    }
    std::sort(order.begin(), order.end());
    std::vector<ReadSpan> sorted;
    sorted.reserve(spans.size());
    for (const auto& entry : order) {
        sorted.push_back(spans[entry.second]);
    }
    spans.swap(sorted);
}

} // namespace

std::vector<ReadBlock> planBlocks(std::vector<ReadSpan>& spans, BlockLimits limits)
{
    sortSpans(spans);
    std::vector<ReadBlock> blocks;
    for (size_t first = 0; first < spans.size();) {
        quint32 end = 0;
        const size_t last = blockEnd(spans, first, limits, end);
        const ReadSpan& head = spans[first];
        // Counted in 16 bits, so a span alone keeps its own count, even above 256.
        const auto count = static_cast<quint16>(static_cast<quint16>(end - head.startAddress) + 1);
        blocks.push_back({head.addressClass, head.startAddress, count, first, last});
        first = last;
    }
    return blocks;
}

BlockLimits BlockLimits::of(const DeviceInstancePlugin& device)
{
    BlockLimits limits;
    limits.blockWords =
        static_cast<quint32>(numberColumn(device, QStringLiteral("max_block_words"), kMaxBlockWords,
                                          1, static_cast<int>(kMaxBlockWords)));
    limits.gapWords = static_cast<quint32>(numberColumn(
        device, QStringLiteral("max_gap_words"), kMaxGapWords, 0, static_cast<int>(kMaxGapWords)));
    return limits;
}

ItemAddress pollAddress(const ItemColumns& columns)
{
    ItemAddress at = itemAddress(columns);
    if (at.isValid() && at.wordCount > kMaxBlockWords) {
        at.invalid = kInvalidAddress;
        at.column = "address_word";
        at.expected = "a String read by a poll holds at most 256 words";
    }
    return at;
}
