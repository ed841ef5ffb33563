#pragma once
// The configuration check: every device and item column the plugin reads, looked at once, and
// each mistake told in one line that names the device, the item, the column, its value and what is
// allowed ("press-1 item oil_temp: address_class "V" is not a class number; V is 1"). Column keys
// the plugin does not know are told as possible typos. Nothing in the configuration is changed.

#include <QHash>
#include <QMutex>
#include <QStringList>

#include "kib_records.h"
#include "plugininterface.h"

// The lines for the device's own columns.
QStringList checkDeviceColumns(const DeviceInstancePlugin& device);
// The lines for one item of the device.
QStringList checkItemColumns(const DeviceInstancePlugin& device, const ItemInstancePlugin& item);

// Tells each configuration mistake on standard error and in the host's debug log.
void reportConfiguration(PluginInterface& host, const QStringList& lines);

// What the check has told of one device: its columns and each item's, so that the same columns
// are never told twice while a changed column is told again. One per device, with a lock of its
// own that no other device's poll takes: a device has one session at a time, but a call still
// running on a session the device has left (it moved, or the plugin was stopped) may meet the
// next session's. It keeps the items of the device's last planned poll (and of writes since), so
// it stays about as large as the item list however long a host renames or changes items.
class CheckedColumns
{
public:
    // The lines for the device's columns and the given items, where they were not checked as they
    // are now. `pollItems`: these are all the items of a poll, and the others are forgotten.
    QStringList newLines(const DeviceInstancePlugin& device, const QList<DataItem>& entries,
                         bool pollItems);
    QStringList newLines(const DeviceInstancePlugin& device,
                         const QList<ItemInstancePlugin>& items);
    // Whether the device's columns were checked as they are now.
    bool checked(const QMap<QString, QString>& deviceColumns);

private:
    // Columns as they were checked, and the lines told of them. A change that leaves a mistake as
    // it was (a host filling in a default for another column) does not tell it again.
    struct Checked
    {
        QMap<QString, QString> columns;
        QStringList lines;
    };
    using CheckedItems = QHash<QString, Checked>; // by uid

    QStringList deviceLines(const DeviceInstancePlugin& device);
    void itemLines(const DeviceInstancePlugin& device, const ItemInstancePlugin& item,
                   CheckedItems& keep, QStringList& lines);

    QMutex mutex; // guards everything below
    bool deviceChecked = false;
    Checked checkedDevice;
    CheckedItems checkedItems;
};
