// kib-host write: one writeData() request with the given items of one device.

#include "commands.h"
#include "console.h"
#include "kib_identity.h"
#include "kibinterface.h"

namespace kib_host {

namespace {

const QString kHelp = QStringLiteral(
    "Usage: kib-host --project FILE write --device ID UID=VALUE [UID=VALUE ...]\n"
    "\n"
    "Writes values to items of one device with one writeData() request, in the order given,\n"
    "and tells what each entry did: \"written\", or the error the plugin reported for it.\n"
    "Values are texts as a user types them: 42, -1, 1.5, a word of text. X, Y and C items\n"
    "take 0 or 1. Identity items are read-only.\n"
    "\n"
    "Options:\n"
    "  --device ID   the device whose items are written (required)\n"
    "\n"
    "Exit status 0 when every entry was written, 1 when one was not.\n");

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

int runWrite(const Invocation& invocation)
{
    CommandSetup setup(invocation, kHelp);
    const QCommandLineOption deviceOption(QStringLiteral("device"), QString(),
                                          QStringLiteral("ID"));
    setup.parser.addOption(deviceOption);
    int status = kExitOk;
    if (!setup.parse(&status)) {
        return status;
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
        for (const Assignment& assignment : assignments) {
            items.append(assignment.item);
        }
        LogList log = HostRuntime::request(device, items);
        for (int i = 0; i < assignments.size(); ++i) {
            log.items[i].values.insert(QStringLiteral("value"), assignments[i].value);
        }

        const bool ok = setup.host.plugin()->writeData(&log);
        Table table(
            {QStringLiteral("ITEM UID"), QStringLiteral("VALUE"), QStringLiteral("RESULT")});
        bool allWritten = ok;
        for (int i = 0; i < log.items.size(); ++i) {
            // The plugin says of every entry not written why ("Not written: ...", "Not
            // confirmed: ..."); one without an error was acknowledged.
            const QString error = log.items[i].item.errorText;
            const QString result = error.isEmpty() ? QStringLiteral("written") : error;
            allWritten = allWritten && error.isEmpty();
            table.addRow({log.items[i].item.uid, assignments.value(i).value, result});
        }
        QString text = QStringLiteral("Device %1 %2\n").arg(device.id).arg(device.name);
        if (!ok) {
            text += QStringLiteral("device: %1\n").arg(log.errorText);
        }
        printOut(text + table.render());
        status = allWritten ? kExitOk : kExitFailed;
    }
    setup.host.stop();
    return status;
}

} // namespace kib_host
