#include "plugininterface.h"

#include "hostconfig.h"

bool PluginInterface::initPlugin(const QString& pluginName, unsigned int version,
                                 const QList<DatabaseColumnStructure>& pluginColumns,
                                 const QList<DatabaseColumnStructure>& itemColumns,
                                 const QList<DatabaseColumnStructure>& deviceColumns,
                                 const QList<DatabaseColumnStructure>& fileColumns,
                                 const PluginInitOptions& options)
{
    PluginRegistration registration;
    registration.registered = true;
    registration.pluginName = pluginName;
    registration.version = version;
    registration.pluginColumns = pluginColumns;
    registration.itemColumns = itemColumns;
    registration.deviceColumns = deviceColumns;
    registration.fileColumns = fileColumns;
    registration.options = options;
    HostConfig::instance().recordRegistration(registration);
    return true;
}

QList<NetworkInterfaceInstance> PluginInterface::getNetworkInterfaces()
{
    return HostConfig::instance().networkInterfaces();
}

QList<DeviceInstancePlugin> PluginInterface::getPluginDevices()
{
    return HostConfig::instance().devices();
}

bool PluginInterface::getPluginItem(const QString& uid, ItemInstancePlugin* item)
{
    return HostConfig::instance().findItem(uid, item);
}

bool PluginInterface::addPluginItem(ItemInstancePlugin* item)
{
    if (!item) {
        return false;
    }
    HostConfig::instance().addItem(*item);
    return true;
}

QString PluginInterface::getSetting(const QString& key)
{
    return HostConfig::instance().setting(key);
}

bool PluginInterface::reloadPlugins()
{
    HostConfig::instance().recordReloadRequest();
    return true;
}

void PluginInterface::logDebug(const QString& line)
{
    HostConfig::instance().recordDebugLine(line);
}
