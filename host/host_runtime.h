#pragma once
// The host side of one kib-host run: loads the plugin file with QPluginLoader, hands it the
// project's configuration through the host services, calls init() as a host does at start-up,
// and builds the poll and write requests.

#include <QList>
#include <QString>

#include "hostconfig.h"
#include "kib_records.h"
#include "project.h"

class KIBInterface;

namespace kib_host {

// The file of the plugin library kib-host is linked with (its discovery service comes from
// there); empty when it cannot be found.
QString linkedPluginPath();

class HostRuntime
{
public:
    // Loads the plugin, configures the host from the project and calls init(). Items the plugin
    // added during init() are saved into the project file, if the project has one. False with a
    // one-line reason.
    bool start(const QString& pluginPath, Project& project, QString* error);
    // stopPlugin(): every device connection is closed.
    void stop();

    KIBInterface* plugin() const { return pluginObject; }
    QString pluginPath() const { return loadedPath; }
    PluginRegistration registration() const { return HostConfig::instance().registration(); }
    // The items init() created, as they were saved into the project.
    QList<ItemInstancePlugin> addedItems() const { return itemsAdded; }
    int reloadRequests() const { return HostConfig::instance().reloadRequests(); }
    // The configuration mistakes the plugin told the host's debug log in this process (each is
    // told once; its only other debug lines are "Writing ..." of each item written).
    static int configurationMistakes();

    // The configured devices, every column the device or an item left out filled with the
    // default the plugin registered.
    QList<DeviceInstancePlugin> devices() const { return HostConfig::instance().devices(); }
    bool findDevice(int id, DeviceInstancePlugin* device) const;

    // One request for one device, as the host hands it to readData or writeData.
    static LogList request(const DeviceInstancePlugin& device,
                           const QList<ItemInstancePlugin>& items);

private:
    bool loadPlugin(const QString& path, QString* error);
    void applyRegisteredDefaults();
    bool saveAddedItems(Project& project, QString* error);

    KIBInterface* pluginObject = nullptr;
    QString loadedPath;
    QList<ItemInstancePlugin> itemsAdded;
};

} // namespace kib_host
