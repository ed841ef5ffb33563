#include "block_planner.h"

#include <algorithm>
#include <tuple>

namespace {

// The block that starts at span `first`; returns one past its last span and sets its last word.
size_t blockEnd(const std::vector<ReadSpan>& spans, size_t first, quint32& end)
{
    const ReadSpan& head = spans[first];
    end = head.startAddress + head.wordCount - 1;
    size_t next = first + 1;
    for (; next < spans.size() && spans[next].addressClass == head.addressClass; ++next) {
        const ReadSpan& span = spans[next];
        if (span.startAddress > end + kMaxGapWords + 1) {
            break;
        }
        const quint32 newEnd = std::max(end, span.startAddress + span.wordCount - 1);
        if (newEnd - head.startAddress + 1 > kMaxBlockWords) {
            break;
        }
        end = newEnd;
    }
    return next;
}

} // namespace

std::vector<ReadBlock> planBlocks(std::vector<ReadSpan>& spans)
{
    const auto inOrder = [](const ReadSpan& a, const ReadSpan& b) {
        return std::tie(a.addressClass, a.startAddress, a.wordCount) <
               std::tie(b.addressClass, b.startAddress, b.wordCount);
    };
    // Hosts mostly list items in address order already.
    if (!std::is_sorted(spans.begin(), spans.end(), inOrder)) {
        std::sort(spans.begin(), spans.end(), inOrder);
    }
    std::vector<ReadBlock> blocks;
    for (size_t first = 0; first < spans.size();) {
        quint32 end = 0;
        const size_t last = blockEnd(spans, first, end);
        const ReadSpan& head = spans[first];
        // Counted in 16 bits, so a span alone keeps its own count, even above 256.
        const auto count = static_cast<quint16>(static_cast<quint16>(end - head.startAddress) + 1);
        blocks.push_back({head.addressClass, head.startAddress, count, first, last});
        first = last;
    }
    return blocks;
}
