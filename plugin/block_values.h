#pragma once
// Cuts a block's words back into the values of the items it serves, and turns one item's words
// into its value text by the item's columns. Below the poll cycle and the block reader, which
// store every block they receive through it.

#include <vector>

#include "block_planner.h"
#include "camp_nitp.h"

// "value", the key of a polled item's value in its entry.
const QString& valueKey();

// Gives every span [first, last) whose words arrived its value text (the entry's "value"), and
// the others "Error reading response". A span that starts before the block is left alone.
void storeBlockValues(const std::vector<ReadSpan>& spans, size_t first, size_t last,
                      quint32 blockStart, const Words& words);

// The value text of an item's words, by the class and data type its columns give (0 when not a
// number) and the bit of a "word.bit" item.
QString itemValueText(const ItemInstancePlugin& item, const Words& words);
