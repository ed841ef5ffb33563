#pragma once
// Identity items: a few read-only facts about a device (a serial number, a firmware version)
// shown to the user as ordinary host items. These helpers create them in the host configuration,
// recognise them in poll and write requests, and fill them during a poll. They know nothing of
// any particular PLC: a driver describes its fields as Specs and hands over a map of values.
//
// Naming, relied on by stored host configurations:
//   uid      identity_<device id>_<key>      for example identity_7_serial
//   address  __identity.<key>                kept in the driver's address column

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include "kib_records.h"
#include "plugininterface.h"

namespace kib_identity {

struct Spec
{
    QString key;                    // forms the uid, the identity address and the value key
    QString name;                   // display name of a created item
    QString description;            // description of a created item
    QMap<QString, QString> columns; // configuration columns copied into a created item
    bool logged = false;
};

using Values = QMap<QString, QString>; // field key to value text

inline const QString& uidPrefix()
{
    static const QString prefix = QStringLiteral("identity_");
    return prefix;
}

inline const QString& addressPrefix()
{
    static const QString prefix = QStringLiteral("__identity.");
    return prefix;
}

// Identity values change rarely: the host need not schedule the item more than once a week.
inline int readIntervalMs()
{
    return 604800000;
}

inline bool isIdentityAddress(const QString& address)
{
    return address.startsWith(addressPrefix(), Qt::CaseSensitive);
}

inline QString fieldKey(const QString& address)
{
    return isIdentityAddress(address) ? address.mid(addressPrefix().size()) : QString();
}

inline QString uidFor(int deviceId, const QString& key)
{
    return QStringLiteral("identity_%1_%2").arg(deviceId).arg(key);
}

inline QString addressColumnValue(const ItemInstancePlugin& item, const QString& addressColumn)
{
    return item.columns.value(addressColumn);
}

inline QString addressColumnValue(const ItemInstancePlugin& item, const char* addressColumn)
{
    return addressColumnValue(item, QString::fromLatin1(addressColumn));
}

// A poll asks this of every item: callers on that path pass the column name built once.
inline bool isIdentityItem(const ItemInstancePlugin& item, const QString& addressColumn)
{
    if (item.uid.startsWith(uidPrefix(), Qt::CaseSensitive)) {
        return true;
    }
    return isIdentityAddress(addressColumnValue(item, addressColumn));
}

inline bool isIdentityItem(const ItemInstancePlugin& item, const char* addressColumn)
{
    return isIdentityItem(item, QString::fromLatin1(addressColumn));
}

inline ItemInstancePlugin newIdentityItem(int deviceId, const Spec& spec)
{
    ItemInstancePlugin item;
    item.deviceId = deviceId;
    item.uid = uidFor(deviceId, spec.key);
    item.name = spec.name;
    item.description = spec.description;
    item.enabled = true;
    item.itemType = 1;
    item.readInterval = readIntervalMs();
    item.logged = spec.logged;
    item.columns = spec.columns;
    item.columns.insert(QStringLiteral("item_tags"), spec.key);
    return item;
}

// Creates the device's missing identity items; an existing item is never touched.
// Returns the number of items handed to the host.
inline int ensureItems(PluginInterface* host, int deviceId, const QList<Spec>& specs)
{
    if (!host || deviceId < 1) {
        return 0;
    }
    int created = 0;
    for (const Spec& spec : specs) {
        ItemInstancePlugin existing;
        if (host->getPluginItem(uidFor(deviceId, spec.key), &existing)) {
            continue;
        }
        ItemInstancePlugin item = newIdentityItem(deviceId, spec);
        host->addPluginItem(&item);
        ++created;
    }
    return created;
}

// New items take part in polls only after the host reloads its configuration; a host that is
// already reloading ("plugin_refreshing" is "1") is not asked again.
inline void requestReloadIfIdentityCreated(PluginInterface* host, int created)
{
    if (!host || created < 1) {
        return;
    }
    if (host->getSetting(QStringLiteral("plugin_refreshing")) == QLatin1String("1")) {
        return;
    }
    host->reloadPlugins();
}

inline void ensureItemsForAllDevices(PluginInterface* host, const QList<Spec>& specs)
{
    if (!host) {
        return;
    }
    int created = 0;
    for (const DeviceInstancePlugin& device : host->getPluginDevices()) {
        created += ensureItems(host, device.id, specs);
    }
    requestReloadIfIdentityCreated(host, created);
}

inline void setIdentityValue(DataItem& entry, const QString& value, const QDateTime& now)
{
    entry.values.insert(QStringLiteral("value"), value);
    entry.timestamp = now;
    entry.item.errorText.clear();
}

// Fills the request's data items whose uid is the identity uid of a key.
inline void applyValuesByUid(LogList* log, const Values& values)
{
    if (!log) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (DataItem& entry : log->items) {
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            if (entry.item.uid == uidFor(log->id, it.key())) {
                setIdentityValue(entry, it.value(), now);
            }
        }
    }
}

// Fills the request's data items whose address column holds the identity address of a key.
inline void applyValues(LogList* log, const char* addressColumn, const Values& values)
{
    if (!log) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (DataItem& entry : log->items) {
        const QString key = fieldKey(addressColumnValue(entry.item, addressColumn));
        if (!key.isEmpty() && values.contains(key)) {
            setIdentityValue(entry, values.value(key), now);
        }
    }
}

// Fills the identity items of the request, then appends data items for the device's identity
// items that the request did not hold, so a poll always returns them once they exist in the host.
inline void publishValues(PluginInterface* host, LogList* log, const Values& values,
                          const char* addressColumn)
{
    applyValuesByUid(log, values);
    if (addressColumn) {
        applyValues(log, addressColumn, values);
    }
    if (!host || !log) {
        return;
    }

    QSet<QString> uidsInRequest;
    QSet<QString> keysInRequest;
    for (const DataItem& entry : log->items) {
        uidsInRequest.insert(entry.item.uid);
        if (addressColumn) {
            keysInRequest.insert(fieldKey(addressColumnValue(entry.item, addressColumn)));
        }
    }

    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (it.value().trimmed().isEmpty()) {
            continue;
        }
        const QString uid = uidFor(log->id, it.key());
        if (uidsInRequest.contains(uid) || keysInRequest.contains(it.key())) {
            continue;
        }
        ItemInstancePlugin hostItem;
        if (!host->getPluginItem(uid, &hostItem)) {
            continue; // nothing is created during a poll
        }
        DataItem entry(hostItem);
        setIdentityValue(entry, it.value(), now);
        log->items.append(entry);
    }
}

} // namespace kib_identity
