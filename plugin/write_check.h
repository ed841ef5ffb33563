#pragma once
// Whether one write entry may go out, and the words it would put: the plugin's write cycle asks
// before it sends an entry, and a host may ask for every entry of a command before it sends any.
// Read-only are the status items, the identity items and the PLC's status words (STW): the
// status words are the PLC's own.

#include <QString>

#include "kib_records.h"
#include "value_codec.h"

struct WriteEntryCheck
{
    ItemAddress at;
    EncodedValue encoded;  // the words for the value (a discrete item's: its one bit)
    QString refusal;       // why nothing may be written, or empty
    bool readOnly = false; // refused for the item, whatever the value
};

WriteEntryCheck checkWriteEntry(const ItemInstancePlugin& item, const QString& value, int deviceId);
