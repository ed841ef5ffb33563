#pragma once
// Reading a device's number columns the one way the plugin and its configuration check agree on.

#include <algorithm>

#include "kib_records.h"

// A device column as a number limited to `most`, or the fallback when it is missing or not a
// number from `least`. The column's name is a QStringLiteral: every poll reads several columns,
// and a name made from a C string would be allocated each time.
inline int numberColumn(const DeviceInstancePlugin& device, const QString& column, int fallback,
                        int least, int most)
{
    bool isNumber = false;
    const int value = device.columns.value(column).trimmed().toInt(&isNumber);
    return isNumber && value >= least ? std::min(value, most) : fallback;
}

// The most connections one poll of a device may use (the "connections" device column).
constexpr int kMaxPollConnections = 8;

// The "connections" device column: 1 to 8, clamped; anything that is not a number reads as 1.
inline int pollConnections(const DeviceInstancePlugin& device)
{
    return numberColumn(device, QStringLiteral("connections"), 1, 1, kMaxPollConnections);
}
