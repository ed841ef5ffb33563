#pragma once
// Where an item lives in PLC memory and how its words read, taken once from its configuration
// columns and carried through a poll or a write:
//   "address_class"  the class code (V 1, K 2, X 6, Y 7, C 8, WX 9, WY 10, STW 26), decimal
//   "data_type"      Bit 0, Integer 1, Unsigned integer 2, Float 3, String 4, Long integer 5,
//                    Unsigned long integer 6, decimal
//   "address_word"   the first word, decimal; for a String the inclusive range "first-last"; for
//                    a Bit of a word of V, K, WX, WY or STW "word.bit", bit 0 (the least
//                    significant) to 15

#include <QtGlobal>

#include "kib_records.h"

struct ItemAddress
{
    qint32 addressClass = 0;
    quint32 startAddress = 0;
    quint16 wordCount = 0; // 1, 2 for a Float or a long integer, or the length of a String's range
    qint32 dataType = 0;
    bool discrete = false;          // X, Y and C: only bit 0 of the word counts
    qint8 bit = -1;                 // "word.bit": this bit of the word alone; -1 the whole word
    const char* invalid = nullptr;  // why the item names no words ("Invalid address", ...)
    const char* column = nullptr;   // ... the column that says so ...
    const char* expected = nullptr; // ... and what it should hold

    bool isValid() const { return invalid == nullptr; }
};

// The columns the item model reads, found in one pass over the item's column map (a missing
// column reads as empty): a poll asks this of every item.
struct ItemColumns
{
    const QString* addressClass = nullptr;
    const QString* addressWord = nullptr;
    const QString* dataType = nullptr;
};
ItemColumns itemColumns(const ItemInstancePlugin& item);

ItemAddress itemAddress(const ItemColumns& columns);
ItemAddress itemAddress(const ItemInstancePlugin& item);

// The error text of an item that names no words: the reason, then the column, its value and what
// is expected, for example: Invalid address (address_word "V100": a word number is expected).
QString invalidText(const ItemAddress& at, const ItemColumns& columns);
QString invalidText(const ItemAddress& at, const ItemInstancePlugin& item);

// The reasons an item names no words, as ItemAddress::invalid points to them.
extern const char kInvalidAddress[];
extern const char kInvalidDataType[];

bool isDiscreteClass(qint32 addressClass);
// The classes of words a "word.bit" address may name a bit of: V, K, WX, WY and STW.
bool isWordClass(qint32 addressClass);

// Limits of the fields an address is written into.
constexpr qint32 kMaxAddressClass = 0xFF;
constexpr quint32 kMaxWordAddress = 0xFFFFFF;
