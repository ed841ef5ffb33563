// kib-host write: writeData() requests with the given items of one device of the project, one entry
// each, so that Ctrl-C ends after the entry in flight. The same command without a project writes
// to a module named on the command line (shell_commands.cpp).

#include "commands.h"
#include "console.h"
#include "kib_identity.h"
#include "kibinterface.h"

namespace kib_host {

namespace {

const QString kHelp = QStringLiteral(
    "Usage: kib-host --project FILE write --device ID UID=VALUE [UID=VALUE ...]\n"
    "       kib-host write [--timeout MS] HOST[:PORT] ITEM=VALUE [ITEM=VALUE ...]\n"
    "\n"
    "Writes values to items of one device, one writeData() request an entry, in the order\n"
    "given, and tells what each entry did: \"written\", or the error the plugin reported for\n"
    "it. Ctrl-C ends after the entry in flight; the entries after it are \"not sent\".\n"
    "Values are texts as a user types them: 42, -1, 1.5, a word of text. X, Y and C items\n"
    "take 0 or 1. Identity items are read-only.\n"
    "\n"
    "With --project, the items are those of a device of the project, named by their uid.\n"
    "Without it, the module at HOST (port 4450 unless given) is written directly, and its\n"
    "items are named as in kib-host read: V300=42, V117:float=21.5, V200-203:string=BOLT,\n"
    "Y3=1; a range writes the value to each of its words (V100-109=0).\n"
    "\n"
    "Options:\n"
    "  --device ID    the device whose items are written (required with --project)\n"
    "  --timeout MS   without a project: milliseconds for connecting and for each reply\n"
    "                 (the device's timeout column; default 3000)\n"
    "\n"
    "Exit status 0 when every entry was written, 1 when one was not, 2 after a mistake in\n"
    "the command line (nothing is sent then), 3 when standard output could not be written,\n"
    "130 after Ctrl-C.\n");

struct Assignment
{
    ItemInstancePlugin item;
    QString value;
};

bool findItem(const DeviceInstancePlugin& device, const QString& uid, ItemInstancePlugin* item)
{
    for (const ItemInstancePlugin& candidate : device.configuredItems) {
        if (candidate.uid == uid) {
            *item = candidate;
            return true;
        }
    }
    return false;
}

bool parseAssignments(const DeviceInstancePlugin& device, const QStringList& texts,
                      QList<Assignment>* assignments, int* status)
{
    if (texts.isEmpty()) {
        *status = fail(kExitUsage, QStringLiteral("write needs at least one UID=VALUE"));
        return false;
    }
    for (const QString& text : texts) {
        const int equals = text.indexOf(QLatin1Char('='));
        if (equals < 1) {
            *status = fail(kExitUsage, QStringLiteral("\"%1\" is not UID=VALUE").arg(text));
            return false;
        }
        Assignment assignment;
        const QString uid = text.left(equals);
        assignment.value = text.mid(equals + 1);
        if (!findItem(device, uid, &assignment.item)) {
            *status = fail(kExitUsage,
                           QStringLiteral("device %1 has no item \"%2\"").arg(device.id).arg(uid));
            return false;
        }
        if (kib_identity::isIdentityItem(assignment.item, "address_word")) {
            *status = fail(kExitUsage,
                           QStringLiteral("%1 is an identity item and cannot be written").arg(uid));
            return false;
        }
        assignments->append(assignment);
    }
    return true;
}

} // namespace

int writeAndReport(KIBInterface* plugin, const DeviceInstancePlugin& device,
                   const QList<ItemInstancePlugin>& items, const QStringList& values,
                   const QString& title)
{
    // One entry a request: Ctrl-C ends the command after the entry in flight, and every entry is
    // told, those never sent too.
    installInterruptHandler();
    QStringList results;
    QString deviceError;
    for (int i = 0; i < items.size() && deviceError.isEmpty() && !interruptFlag().load(); ++i) {
        LogList log = HostRuntime::request(device, {items[i]});
        log.items[0].values.insert(QStringLiteral("value"), values.value(i));
        if (!plugin->writeData(&log)) {
            deviceError = log.errorText; // the rest is not written: the device is not reached
        }
        // The plugin says of every entry not written why ("Not written: ...", "Not
        // confirmed: ..."); one without an error was acknowledged.
        const QString error = log.items[0].item.errorText;
        results.append(error.isEmpty() ? QStringLiteral("written") : error);
    }
    const bool interrupted = interruptFlag().load() && results.size() < items.size();
    while (results.size() < items.size()) {
        results.append(deviceError.isEmpty() ? QStringLiteral("not sent")
                                             : QStringLiteral("Not written: ") + deviceError);
    }

    Table table({QStringLiteral("ITEM UID"), QStringLiteral("VALUE"), QStringLiteral("RESULT")});
    bool allWritten = true;
    for (int i = 0; i < items.size(); ++i) {
        allWritten = allWritten && results[i] == QLatin1String("written");
        table.addRow({items[i].uid, values.value(i), results[i]});
    }
    QString text = title + QLatin1Char('\n');
    if (!deviceError.isEmpty()) {
        text += QStringLiteral("device: %1\n").arg(deviceError);
    }
    printOut(text + table.render());
    if (interrupted) {
        return kExitInterrupted;
    }
    return allWritten ? kExitOk : kExitFailed;
}

int runWrite(const Invocation& invocation)
{
    CommandSetup setup(invocation, kHelp, CommandSetup::ProjectFile::Optional);
    const QCommandLineOption deviceOption(QStringLiteral("device"), QString(),
                                          QStringLiteral("ID"));
    setup.parser.addOptions(
        {deviceOption, QCommandLineOption(QStringLiteral("timeout"), QString(), "MS")});
    int status = kExitOk;
    if (!setup.parse(&status)) {
        return status;
    }
    if (!setup.hasProjectFile() && !setup.parser.isSet(deviceOption)) {
        return runShellWrite(setup);
    }
    if (!setup.hasProjectFile()) {
        return fail(kExitUsage, QStringLiteral("write --device needs --project FILE; without a "
                                               "project: kib-host write HOST[:PORT] ITEM=VALUE"));
    }
    if (setup.parser.isSet(QStringLiteral("timeout"))) {
        return fail(kExitUsage, QStringLiteral("with --project the device's timeout column "
                                               "counts, not --timeout (kib-host write --help)"));
    }
    if (!setup.parser.isSet(deviceOption)) {
        return fail(kExitUsage, QStringLiteral("write needs --device ID (kib-host write --help)"));
    }
    if (!setup.start(&status)) {
        return status;
    }

    DeviceInstancePlugin device;
    bool idOk = false;
    const int id = setup.parser.value(deviceOption).toInt(&idOk);
    QList<Assignment> assignments;
    if (!idOk || !setup.host.findDevice(id, &device)) {
        status = fail(
            kExitUsage,
            QStringLiteral("the project has no device %1").arg(setup.parser.value(deviceOption)));
    } else if (parseAssignments(device, setup.parser.positionalArguments(), &assignments,
                                &status)) {
        QList<ItemInstancePlugin> items;
        QStringList values;
        for (const Assignment& assignment : assignments) {
            items.append(assignment.item);
            values.append(assignment.value);
        }
        status = writeAndReport(setup.host.plugin(), device, items, values,
                                QStringLiteral("Device %1 %2").arg(device.id).arg(device.name));
    }
    setup.host.stop();
    return status;
}

} // namespace kib_host
