#include "host_runtime.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QPluginLoader>

#include <atomic>

#include <dlfcn.h>

#include "camp_discovery.h"
#include "kibinterface.h"

namespace kib_host {

namespace {

// What a host tells its plugins about the machine's network interfaces.
QList<NetworkInterfaceInstance> machineInterfaces()
{
    QList<NetworkInterfaceInstance> list;
    for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
        NetworkInterfaceInstance instance;
        instance.name = nic.name();
        instance.humanReadableName = nic.humanReadableName();
        instance.hardwareAddress = nic.hardwareAddress();
        instance.up = nic.flags().testFlag(QNetworkInterface::IsUp);
        instance.running = nic.flags().testFlag(QNetworkInterface::IsRunning);
        instance.loopback = nic.flags().testFlag(QNetworkInterface::IsLoopBack);
        for (const QNetworkAddressEntry& entry : nic.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol) {
                continue;
            }
            instance.ipAddress = entry.ip().toString();
            instance.netmask = entry.netmask().toString();
            instance.broadcast = entry.broadcast().toString();
            break;
        }
        list.append(instance);
    }
    return list;
}

ItemInstancePlugin hostItem(int deviceId, const ProjectItem& item)
{
    ItemInstancePlugin record;
    record.uid = item.uid;
    record.name = item.name;
    record.description = item.description;
    record.deviceId = deviceId;
    record.enabled = true;
    record.columns = item.columns;
    return record;
}

DeviceInstancePlugin hostDevice(const ProjectDevice& device)
{
    DeviceInstancePlugin record;
    record.id = device.id;
    record.uid = device.uid;
    record.name = device.name;
    record.description = device.description;
    record.address = device.address;
    record.columns = device.columns;
    for (const ProjectItem& item : device.items) {
        record.configuredItems.append(hostItem(device.id, item));
    }
    return record;
}

void fillDefaults(Columns& columns, const QList<DatabaseColumnStructure>& registered)
{
    for (const DatabaseColumnStructure& column : registered) {
        if (!columns.contains(column.name)) {
            columns.insert(column.name, column.defaultValue);
        }
    }
}

ProjectItem projectItem(const ItemInstancePlugin& item)
{
    return {item.uid, item.name, item.description, item.columns};
}

} // namespace

QString linkedPluginPath()
{
    // Any function of the plugin library tells the dynamic loader which file it came from.
    Dl_info info;
    const auto probe = &CampDiscovery::uidFor;
    if (dladdr(reinterpret_cast<void*>(probe), &info) == 0 || !info.dli_fname) {
        return QString();
    }
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath();
}

bool HostRuntime::start(const QString& pluginPath, Project& project, QString* error)
{
    HostConfig& host = HostConfig::instance();
    host.reset();
    const Columns settings = project.settings();
    for (auto it = settings.begin(); it != settings.end(); ++it) {
        host.setSetting(it.key(), it.value());
    }
    host.setNetworkInterfaces(machineInterfaces());
    QList<DeviceInstancePlugin> devices;
    for (const ProjectDevice& device : project.devices()) {
        devices.append(hostDevice(device));
    }
    host.setDevices(devices);

    if (!loadPlugin(pluginPath, error)) {
        return false;
    }
    pluginObject->init();
    applyRegisteredDefaults();
    return saveAddedItems(project, error);
}

void HostRuntime::stop()
{
    if (pluginObject) {
        pluginObject->stopPlugin();
    }
}

bool HostRuntime::loadPlugin(const QString& path, QString* error)
{
    if (path.isEmpty()) {
        *error = QStringLiteral("cannot find the plugin library kib-host was built with; name "
                                "one with --plugin PATH");
        return false;
    }
    if (!QFileInfo::exists(path)) {
        *error = QStringLiteral("no plugin file at %1").arg(path);
        return false;
    }
    // One loader for the whole run: the plugin stays loaded until the process ends.
    static QPluginLoader loader;
    loader.setFileName(path);
    QObject* instance = loader.instance();
    if (!instance) {
        *error = QStringLiteral("cannot load the plugin %1: %2").arg(path, loader.errorString());
        return false;
    }
    pluginObject = qobject_cast<KIBInterface*>(instance);
    if (!pluginObject) {
        *error = QStringLiteral("%1 is a Qt plugin but not a KIB device plugin (%2)")
                     .arg(path, QStringLiteral(KIBInterface_iid));
        return false;
    }
    loadedPath = QFileInfo(path).absoluteFilePath();
    return true;
}

void HostRuntime::applyRegisteredDefaults()
{
    const PluginRegistration registered = registration();
    QList<DeviceInstancePlugin> devices = HostConfig::instance().devices();
    for (DeviceInstancePlugin& device : devices) {
        fillDefaults(device.columns, registered.deviceColumns);
        for (ItemInstancePlugin& item : device.configuredItems) {
            fillDefaults(item.columns, registered.itemColumns);
        }
    }
    HostConfig::instance().setDevices(devices);
}

bool HostRuntime::saveAddedItems(Project& project, QString* error)
{
    itemsAdded = HostConfig::instance().addedItems();
    // A project of the shell commands lives in memory only.
    if (itemsAdded.isEmpty() || project.path().isEmpty()) {
        return true;
    }
    for (const ProjectDevice& device : project.devices()) {
        QList<ProjectItem> items;
        for (const ItemInstancePlugin& item : itemsAdded) {
            if (item.deviceId == device.id) {
                items.append(projectItem(item));
            }
        }
        if (!items.isEmpty()) {
            project.addItems(device.id, items);
        }
    }
    return project.save(error);
}

bool HostRuntime::findDevice(int id, DeviceInstancePlugin* device) const
{
    for (const DeviceInstancePlugin& candidate : devices()) {
        if (candidate.id == id) {
            *device = candidate;
            return true;
        }
    }
    return false;
}

int HostRuntime::configurationMistakes()
{
    int mistakes = 0;
    for (const QString& line : HostConfig::instance().debugLines()) {
        mistakes += line.startsWith(QLatin1String("Writing ")) ? 0 : 1;
    }
    return mistakes;
}

LogList HostRuntime::request(const DeviceInstancePlugin& device,
                             const QList<ItemInstancePlugin>& items)
{
    static std::atomic<int> nextRequestId{1};
    LogList log;
    static_cast<DeviceInstancePlugin&>(log) = device;
    log.errorText.clear();
    log.configuredItems.clear();
    log.requestId = nextRequestId++;
    log.requestTime = QDateTime::currentDateTimeUtc();
    for (const ItemInstancePlugin& item : items) {
        DataItem entry(item);
        entry.item.errorText.clear();
        entry.device = device;
        entry.device.configuredItems.clear();
        log.items.append(entry);
    }
    return log;
}

} // namespace kib_host
