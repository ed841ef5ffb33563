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

// An item's place as a poll reads it: invalid, with the reason, also when it is longer than one
// read can carry (a String range of more than 256 words would never get a value).
ItemAddress pollAddress(const ItemColumns& columns);

// Sorts the spans by class, start and word count, and cuts them into blocks: spans of one class
// join while the gap to the block stays within 16 words and the block within 256 words
// (overlapping and contained spans join too). A span alone keeps its own count, even above 256.
// Spans marked alone come last, each a block of its own, and no other block covers their words.
std::vector<ReadBlock> planBlocks(std::vector<ReadSpan>& spans);
