#pragma once
// Values and words: what a poll shows for an item's words, and the words a write puts for a value
// text. Pure functions over words as numbers, one row per data type in value_codec.cpp; a new data
// type is one row there and one choice in the "data_type" column.

#include <QString>

#include "camp_wire.h"
#include "item_address.h"

// Words per value of a data type; a String's range gives its own count.
quint16 wordsPerValue(qint32 dataType);

// The value text of an item's words (count of them, in address order). No words give the empty
// text; a Float short of its second word reads it as 0. The first form writes into `text`, reusing
// its buffer when it is the caller's alone: a poll fills thousands of values.
void decodeValue(const ItemAddress& item, const quint16* words, size_t count, QString& text);
QString decodeValue(const ItemAddress& item, const quint16* words, size_t count);

// The words to write for a value text, or why nothing may be written. For a discrete item, and a
// bit of a word, the one word is the bit to put into its place in the word (withBit). Only a
// String needs a valid address: for the others the caller refuses an invalid address after the
// value.
struct EncodedValue
{
    camp_wire::Words words;
    const char* refusal = nullptr;
};
EncodedValue encodeValue(const ItemAddress& item, const QString& text);

// The word with bit `index` (0 the least significant) set to bit and every other bit as it was:
// bit 0 of an X, Y or C item, or the bit of a "word.bit" item.
quint16 withBit(quint16 word, int index, quint16 bit);
