// kib-host write: writeData() requests with the given items of one device of the project, one entry
// each, so that Ctrl-C ends after the entry in flight. The same command without a project writes
// to a module named on the command line (shell_commands.cpp).

#include "commands.h"
#include "console.h"
#include "kibinterface.h"
#include "write_check.h"

namespace kib_host {

namespace {

const QString kHelp = QStringLiteral(
    "Usage: kib-host --project FILE write --device ID UID=VALUE [UID=VALUE ...]\n"
    "       kib-host write [-t MS] [-p PORT] HOST[:PORT] ITEM=VALUE [ITEM=VALUE ...]\n"
    "\n"
    "Writes values to items of one device, one writeData() request an entry, in the order\n"
    "given, and tells what each entry did: \"written\", or the error the plugin reported for\n"
    "it. Ctrl-C ends after the entry in flight; the entries after it are \"not sent\".\n"
    "Values are texts as a user types them: 42, -1, 1.5, a word of text. X, Y and C items\n"
    "take 0 or 1. Identity items, status items and status words (STW) are read-only.\n"
    "Every entry is checked before any is sent: one that cannot be written (a value out\n"
    "of range or of the wrong form, a read-only item, an unknown uid) refuses the whole\n"
    "command with every such entry listed, and nothing is written.\n"
    "\n"
    "With --project, the items are those of a device of the project, named by their uid.\n"
    "Without it, the module at HOST (port 4450 unless given) is written directly, and its\n"
    "items are named as in kib-host read: V300=42, V117:float=21.5, V200-203:string=BOLT,\n"
    "V301:hex=0x1F40, Y3=1; a range writes the value to each of its words (V100-109=0).\n"
    "\n"
    "Options:\n"
    "  --device ID        the device whose items are written (required with --project)\n"
    "  -t, --timeout MS   without a project: milliseconds for connecting and for each\n"
    "                     reply (the device's timeout column; default 3000)\n"
    "  -p, --port PORT    without a project: the port of a HOST given without one\n"
    "                     (default 4450)\n"
    "  -v, --verbose      every frame sent and received on standard error, with its time\n"
    "\n"
    "Exit status 0 when every entry was written, 1 when one was not, 2 after a mistake in\n"
    "the command line (nothing is sent then), 3 when standard output could not be written,\n"
    "130 after Ctrl-C.\n");

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

// The project's items named by UID=VALUE texts; a text that names none is a mistake.
WriteEntries projectEntries(const DeviceInstancePlugin& device, const QStringList& texts)
{
    WriteEntries entries(device.id);
    for (const QString& text : texts) {
        const int equals = text.indexOf(QLatin1Char('='));
        ItemInstancePlugin item;
        if (equals < 1) {
            entries.mistakes.append(QStringLiteral("\"%1\" is not UID=VALUE").arg(text));
        } else if (!findItem(device, text.left(equals), &item)) {
            entries.mistakes.append(QStringLiteral("%1: device %2 has no item \"%3\"")
                                        .arg(text)
                                        .arg(device.id)
                                        .arg(text.left(equals)));
        } else {
            entries.add(item, text.mid(equals + 1), text);
        }
    }
    return entries;
}

} // namespace

// The plugin's own check of the entry, before any is sent: a value it would refuse, a read-only
// item. An entry that stands for several words (V100-109=0) is told once.
void WriteEntries::add(const ItemInstancePlugin& item, const QString& value, const QString& text,
                       const QString& shownValue)
{
    items.append(item);
    values.append(value);
    shown.append(shownValue.isNull() ? value : shownValue);
    const QString refusal = checkWriteEntry(item, value, deviceId).refusal;
    const QString mistake = text + QStringLiteral(": ") + refusal;
    if (!refusal.isEmpty() && !mistakes.contains(mistake)) {
        mistakes.append(mistake);
    }
}

bool WriteEntries::refuse(int* status) const
{
    if (mistakes.isEmpty()) {
        return false;
    }
    *status = fail(kExitUsage, QStringLiteral("nothing was written: %1 %2 cannot be written\n  %3")
                                   .arg(mistakes.size())
                                   .arg(mistakes.size() == 1 ? QStringLiteral("entry")
                                                             : QStringLiteral("entries"))
                                   .arg(mistakes.join(QStringLiteral("\n  "))));
    return true;
}

int writeAndReport(KIBInterface* plugin, const DeviceInstancePlugin& device,
                   const WriteEntries& entries, const QString& title)
{
    const QList<ItemInstancePlugin>& items = entries.items;
    // One entry a request: Ctrl-C ends the command after the entry in flight, and every entry is
    // told, those never sent too.
    installInterruptHandler();
    QStringList results;
    QString deviceError;
    for (int i = 0; i < items.size() && deviceError.isEmpty() && !interruptFlag().load(); ++i) {
        LogList log = HostRuntime::request(device, {items[i]});
        log.items[0].values.insert(QStringLiteral("value"), entries.values.value(i));
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
        table.addRow({items[i].uid, entries.shown.value(i), results[i]});
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
    setup.parser.addOptions({deviceOption, timeoutOption(), portOption()});
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
    if (setup.parser.isSet(QStringLiteral("timeout")) ||
        setup.parser.isSet(QStringLiteral("port"))) {
        return fail(kExitUsage,
                    QStringLiteral("with --project the device's timeout and port columns "
                                   "count, not --timeout or --port (kib-host write --help)"));
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
    const QStringList texts = setup.parser.positionalArguments();
    if (!idOk || !setup.host.findDevice(id, &device)) {
        status = fail(
            kExitUsage,
            QStringLiteral("the project has no device %1").arg(setup.parser.value(deviceOption)));
    } else if (texts.isEmpty()) {
        status = fail(kExitUsage, QStringLiteral("write needs at least one UID=VALUE"));
    } else {
        WriteEntries entries = projectEntries(device, texts);
        if (!entries.refuse(&status)) {
            status = writeAndReport(setup.host.plugin(), device, entries,
                                    QStringLiteral("Device %1 %2").arg(device.id).arg(device.name));
        }
    }
    setup.host.stop();
    return status;
}

} // namespace kib_host
