#pragma once
// The host's side of the plugin services: one process-wide configuration that a host program
// fills (devices with their items, settings, network interfaces) and that records what the
// plugin did to it. All members lock; accessors return copies.

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <mutex>

#include "kib_records.h"

struct PluginRegistration
{
    bool registered = false;
    QString pluginName;
    unsigned int version = 0;
    QList<DatabaseColumnStructure> pluginColumns;
    QList<DatabaseColumnStructure> itemColumns;
    QList<DatabaseColumnStructure> deviceColumns;
    QList<DatabaseColumnStructure> fileColumns;
    PluginInitOptions options;
};

class HostConfig
{
public:
    static HostConfig& instance();

    void reset();

    void setDevices(const QList<DeviceInstancePlugin>& devices);
    QList<DeviceInstancePlugin> devices() const;
    void setSetting(const QString& key, const QString& value);
    QString setting(const QString& key) const;
    void setNetworkInterfaces(const QList<NetworkInterfaceInstance>& interfaces);
    QList<NetworkInterfaceInstance> networkInterfaces() const;

    // Item lookup over every device's configured items.
    bool findItem(const QString& uid, ItemInstancePlugin* item) const;
    // Stores the item under its deviceId (or on its own when no such device exists).
    void addItem(const ItemInstancePlugin& item);

    void recordRegistration(const PluginRegistration& registration);
    PluginRegistration registration() const;
    QList<ItemInstancePlugin> addedItems() const;
    void recordReloadRequest();
    int reloadRequests() const;
    void recordDebugLine(const QString& line);
    QStringList debugLines() const;
    // The debug lines recorded so far, which are then forgotten: a host that runs for months
    // hands them to its log file instead of keeping them.
    QStringList takeDebugLines();

private:
    HostConfig() = default;

    mutable std::mutex mutex;
    QList<DeviceInstancePlugin> deviceList;
    QList<ItemInstancePlugin> looseItems;
    QMap<QString, QString> settings;
    QList<NetworkInterfaceInstance> interfaces;
    PluginRegistration lastRegistration;
    QList<ItemInstancePlugin> itemsAdded;
    int reloadCount = 0;
    QStringList debugLog;
};
