#pragma once
// The configuration check: every device and item column the plugin reads, looked at once, and
// each mistake told in one line that names the device, the item, the column, its value and what is
// allowed ("press-1 item oil_temp: address_class "V" is not a class number; V is 1"). Column keys
// the plugin does not know are told as possible typos. Nothing in the configuration is changed.

#include <QStringList>

#include "kib_records.h"

// The lines for the device's own columns.
QStringList checkDeviceColumns(const DeviceInstancePlugin& device);
// The lines for one item of the device.
QStringList checkItemColumns(const DeviceInstancePlugin& device, const ItemInstancePlugin& item);
