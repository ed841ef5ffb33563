// kib-host init: what a host sees when it starts the plugin.

#include "commands.h"
#include "console.h"

namespace kib_host {

namespace {

const QString kHelp = QStringLiteral(
    "Usage: kib-host --project FILE init\n"
    "\n"
    "Loads the plugin, calls init() as the KIB host does at start-up, and shows what the\n"
    "plugin registered: its name and the item and device columns with their defaults,\n"
    "choices and descriptions. init() gives every device its identity items (serial number\n"
    "and firmware version); the ones it creates are saved into the project file, so a\n"
    "second init creates none.\n");

bool isDiscoveryTag(const DatabaseColumnStructure::SelectionValue& choice)
{
    return choice.label.startsWith(QLatin1String("__kib_discovery_"));
}

QString describeColumn(const DatabaseColumnStructure& column)
{
    const QString pad = QString(22, QLatin1Char(' '));
    QString summary = QStringLiteral("default \"%1\"").arg(column.defaultValue);
    QStringList choices;
    bool discovery = false;
    for (const DatabaseColumnStructure::SelectionValue& choice : column.selectionValues) {
        if (isDiscoveryTag(choice)) {
            discovery = true;
        } else if (choice.label == choice.value) {
            choices.append(choice.label);
        } else {
            choices.append(QStringLiteral("%1 (\"%2\")").arg(choice.label, choice.value));
        }
    }
    if (discovery) {
        summary += QStringLiteral(", a discovery setting");
    }
    QString text = QStringLiteral("  %1%2\n").arg(column.name.leftJustified(20), summary);
    if (!choices.isEmpty()) {
        text += pad + QStringLiteral("choices: ") + choices.join(QStringLiteral(", ")) + '\n';
    }
    if (!column.description.isEmpty()) {
        text += pad + column.description + '\n';
    }
    return text;
}

QString describeColumns(const QString& title, const QList<DatabaseColumnStructure>& columns)
{
    QString text = title + '\n';
    for (const DatabaseColumnStructure& column : columns) {
        text += describeColumn(column);
    }
    return text;
}

QString describeAddedItems(const Project& project, const QList<ItemInstancePlugin>& added)
{
    if (added.isEmpty()) {
        return QStringLiteral("init() created no items: every device has its identity items.\n");
    }
    QString text = QStringLiteral("init() created %1 identity items, saved into %2:\n")
                       .arg(added.size())
                       .arg(project.path());
    for (const ProjectDevice& device : project.devices()) {
        QStringList names;
        for (const ItemInstancePlugin& item : added) {
            if (item.deviceId == device.id) {
                names.append(QStringLiteral("%1 (%2)").arg(item.uid, item.name));
            }
        }
        if (!names.isEmpty()) {
            text += QStringLiteral("  device %1 %2: %3\n")
                        .arg(device.id)
                        .arg(device.name, names.join(QStringLiteral(", ")));
        }
    }
    return text;
}

} // namespace

int runInit(const Invocation& invocation)
{
    CommandSetup setup(invocation, kHelp);
    int status = kExitOk;
    if (!setup.parse(&status)) {
        return status;
    }
    if (!setup.parser.positionalArguments().isEmpty()) {
        return fail(kExitUsage, QStringLiteral("init takes no arguments"));
    }
    if (!setup.start(&status)) {
        return status;
    }

    const PluginRegistration registered = setup.host.registration();
    if (!registered.registered) {
        setup.host.stop();
        return fail(kExitFailed, QStringLiteral("the plugin's init() did not register it"));
    }
    QString text = QStringLiteral("Plugin %1 loaded from %2\n\n")
                       .arg(registered.pluginName, setup.host.pluginPath());
    text += describeColumns(QStringLiteral("Item columns (\"columns\" of each item):"),
                            registered.itemColumns);
    text += '\n';
    text += describeColumns(QStringLiteral("Device columns (\"columns\" of each device):"),
                            registered.deviceColumns);
    text += '\n';
    text += QStringLiteral("Devices in the project: %1\n").arg(setup.project.devices().size());
    text += describeAddedItems(setup.project, setup.host.addedItems());
    if (setup.host.reloadRequests() > 0) {
        text += QStringLiteral("The plugin asked the host to reload its configuration; the new "
                               "items take part in every poll from now on.\n");
    }
    printOut(text);
    setup.host.stop();
    return kExitOk;
}

} // namespace kib_host
