#pragma once
// The host services a plugin calls. Every call is safe from any thread: behind it sits the one
// process-wide host configuration (HostConfig).

#include <QList>
#include <QString>

#include "kib_records.h"

class PluginInterface
{
public:
    PluginInterface() = default;
    ~PluginInterface() = default;

    bool initPlugin(const QString& pluginName, unsigned int version,
                    const QList<DatabaseColumnStructure>& pluginColumns,
                    const QList<DatabaseColumnStructure>& itemColumns,
                    const QList<DatabaseColumnStructure>& deviceColumns,
                    const QList<DatabaseColumnStructure>& fileColumns,
                    const PluginInitOptions& options);
    QList<NetworkInterfaceInstance> getNetworkInterfaces();
    QList<DeviceInstancePlugin> getPluginDevices();
    bool getPluginItem(const QString& uid, ItemInstancePlugin* item);
    bool addPluginItem(ItemInstancePlugin* item);
    QString getSetting(const QString& key);
    bool reloadPlugins();
    void logDebug(const QString& line);
};
