#pragma once
// The poll's block planner: merges the polled items into as few block reads as the protocol
// allows. A pure function of the items' addresses; the poll cycle does the reading.

#include <vector>

#include "item_address.h"
#include "kib_records.h"

// One polled item's place in PLC memory and the request entry that receives its value.
struct ReadSpan : ItemAddress
{
    int itemIndex = -1;           // in the request's items
    DataItem* dataItem = nullptr; // that item's entry, not owned
    // The PLC refused a read of its words: it is read alone, and no other block reads them.
    bool alone = false;
};

// One block read: the words it asks for and the spans [firstSpan, lastSpan) it serves.
struct ReadBlock
{
    qint32 addressClass = 0;
    quint32 startAddress = 0;
    quint16 wordCount = 0;
    size_t firstSpan = 0;
    size_t lastSpan = 0;
};

// What a poll learnt of the items it read alone (their request indexes): the PLC refused their
// words in a merged block and again alone, or it answered an item read alone.
struct Isolation
{
    std::vector<int> refused;  // to be read alone from now on
    std::vector<int> answered; // to join their blocks again
};

// More than this many unread words between two items starts a new block.
constexpr quint32 kMaxGapWords = 16;
// One read request carries at most this many words.
constexpr quint32 kMaxBlockWords = 256;

// What the device's module takes: the device columns "max_block_words" (1 to 256, the most words
// one read of a block asks) and "max_gap_words" (0 to 16, the most unread words a block bridges
// between two items). A larger number is limited to the most; anything else is the default.
struct BlockLimits
{
    quint32 blockWords = kMaxBlockWords;
    quint32 gapWords = kMaxGapWords;

    static BlockLimits of(const DeviceInstancePlugin& device);
    bool operator==(const BlockLimits& other) const
    {
        return blockWords == other.blockWords && gapWords == other.gapWords;
    }
    bool operator!=(const BlockLimits& other) const { return !(*this == other); }
};

// An item's place as a poll reads it: invalid, with the reason, also when it is longer than one
// read can carry (a String range of more than 256 words would never get a value).
ItemAddress pollAddress(const ItemColumns& columns);

// Sorts the spans by class, start and word count, and cuts them into blocks: spans of one class
// join while the gap to the block stays within the limit's gap and the block within its words
// (overlapping and contained spans join too), so that no block asks more than the limit allows
// and the blocks are as few as it allows. A span longer than the limit (at most 256 words, a
// String) is read alone in one request of its own count, as it would be without the limit, and
// the spans it contains join it: cut into pieces its words would come from different scans.
// Spans marked alone come last, each a block of its own, and no other block covers their words.
std::vector<ReadBlock> planBlocks(std::vector<ReadSpan>& spans, BlockLimits limits = BlockLimits());
