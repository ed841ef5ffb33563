#include "hostconfig.h"

using Lock = std::lock_guard<std::mutex>;

HostConfig& HostConfig::instance()
{
    static HostConfig config;
    return config;
}

void HostConfig::reset()
{
    Lock lock(mutex);
    deviceList.clear();
    looseItems.clear();
    settings.clear();
    interfaces.clear();
    lastRegistration = PluginRegistration();
    itemsAdded.clear();
    reloadCount = 0;
    debugLog.clear();
}

void HostConfig::setDevices(const QList<DeviceInstancePlugin>& devices)
{
    Lock lock(mutex);
    deviceList = devices;
}

QList<DeviceInstancePlugin> HostConfig::devices() const
{
    Lock lock(mutex);
    return deviceList;
}

void HostConfig::setSetting(const QString& key, const QString& value)
{
    Lock lock(mutex);
    settings.insert(key, value);
}

QString HostConfig::setting(const QString& key) const
{
    Lock lock(mutex);
    return settings.value(key);
}

void HostConfig::setNetworkInterfaces(const QList<NetworkInterfaceInstance>& list)
{
    Lock lock(mutex);
    interfaces = list;
}

QList<NetworkInterfaceInstance> HostConfig::networkInterfaces() const
{
    Lock lock(mutex);
    return interfaces;
}

bool HostConfig::findItem(const QString& uid, ItemInstancePlugin* item) const
{
    Lock lock(mutex);
    auto search = [&](const QList<ItemInstancePlugin>& items) {
        for (const ItemInstancePlugin& candidate : items) {
            if (candidate.uid == uid) {
                if (item) {
                    *item = candidate;
                }
                return true;
            }
        }
        return false;
    };
    for (const DeviceInstancePlugin& device : deviceList) {
        if (search(device.configuredItems)) {
            return true;
        }
    }
    return search(looseItems);
}

void HostConfig::addItem(const ItemInstancePlugin& item)
{
    Lock lock(mutex);
    itemsAdded.append(item);
    for (DeviceInstancePlugin& device : deviceList) {
        if (device.id == item.deviceId) {
            device.configuredItems.append(item);
            return;
        }
    }
    looseItems.append(item);
}

void HostConfig::recordRegistration(const PluginRegistration& registration)
{
    Lock lock(mutex);
    lastRegistration = registration;
}

PluginRegistration HostConfig::registration() const
{
    Lock lock(mutex);
    return lastRegistration;
}

QList<ItemInstancePlugin> HostConfig::addedItems() const
{
    Lock lock(mutex);
    return itemsAdded;
}

void HostConfig::recordReloadRequest()
{
    Lock lock(mutex);
    ++reloadCount;
}

int HostConfig::reloadRequests() const
{
    Lock lock(mutex);
    return reloadCount;
}

void HostConfig::recordDebugLine(const QString& line)
{
    Lock lock(mutex);
    debugLog.append(line);
}

QStringList HostConfig::debugLines() const
{
    Lock lock(mutex);
    return debugLog;
}

QStringList HostConfig::takeDebugLines()
{
    Lock lock(mutex);
    QStringList taken;
    taken.swap(debugLog);
    return taken;
}
