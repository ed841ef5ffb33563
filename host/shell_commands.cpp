// The commands that need no project: kib-host read, write HOST and identify. read and write build
// the device and item records in memory and go through the plugin as the host does; identify asks
// with the discovery's identify probe.

#include <QElapsedTimer>

#include <future>
#include <vector>

#include "camp_discovery.h"
#include "commands.h"
#include "console.h"
#include "kibinterface.h"
#include "module_address.h"
#include "posix_net.h"
#include "shell_syntax.h"

namespace kib_host {

namespace {

const QString kReadHelp = QStringLiteral(
    "Usage: kib-host read [options] HOST[:PORT] ITEM [ITEM ...]\n"
    "\n"
    "Reads items of the module at HOST (port 4450 unless given) through the plugin, with no\n"
    "project: one readData() request holds every item, as a host polls them. Shows each\n"
    "item's value or its error, one round after the other, each round with the time it\n"
    "began (ISO 8601 with milliseconds).\n"
    "\n"
    "An item is a memory class and a word address, with a type after a colon:\n"
    "  V100             a word of V memory; V, K, WX, WY and STW words read as a signed\n"
    "                   Integer without a type\n"
    "  V100-120         V100, V101, ... V120: one item a word\n"
    "  V117:float       a Float in V117 and V118 (types :int, :integer, :unsigned, :hex,\n"
    "                   :float, :string, :bit, :long, :ulong)\n"
    "  V200-203:string  the text in V200 to V203, two characters a word\n"
    "  WX5:unsigned     a word from 0 to 65535\n"
    "  V300:hex         a word in hex, 0x0000 to 0xFFFF (written as 04D2 or 0x04D2)\n"
    "  V10:long         a signed 32-bit integer in V10 and V11, V10 high (:ulong unsigned)\n"
    "  C12              X, Y and C read as their bit 0 (0 or 1)\n"
    "  V40.3            bit 3 of V40 (0 to 15; V, K, WX, WY and STW)\n"
    "Class letters may be lower case.\n"
    "\n"
    "Options:\n"
    "  -c, --count N       rounds to read (default 1; 0 reads until Ctrl-C)\n"
    "  -i, --interval MS   time from the start of one round to the start of the next\n"
    "                      (default 1000). The rounds keep this rhythm: a round late by a\n"
    "                      whole interval (after time-outs) is skipped, never made up in a\n"
    "                      burst, and the next round says how many were skipped.\n"
    "  -t, --timeout MS    milliseconds for connecting and for each reply (the device's\n"
    "                      timeout column; default 3000)\n"
    "  -p, --port PORT     the port of a HOST given without one (default 4450)\n"
    "  --connections N     CAMP connections the reads may use, 1 to 8 (default 1)\n"
    "  -j, --json          one JSON object per round, one per line:\n"
    "                      {\"module\": \"10.1.4.20:4450\", \"round\": 1, \"time\":\n"
    "                       \"2026-12-08T14:03:07.125+01:00\", \"skipped\": 0, \"ok\": true,\n"
    "                       \"error\": \"\", \"items\": [{\"item\": \"V100\", \"value\": "
    "\"1234\",\n"
    "                       \"error\": \"\"}]}\n"
    "  -v, --verbose       every frame sent and received on standard error, with its time,\n"
    "                      and the plugin's own lines on standard error\n"
    "  --record FILE       every frame sent and received into FILE, one line each:\n"
    "                      MS CONN DIR FRAME (12.345 1 send [0400...]; see the man page)\n"
    "\n"
    "Exit status 0 when every item of every round was read, 1 when one was not (the module\n"
    "did not answer, or the item came back with an error), 2 after a mistake in the command\n"
    "line (nothing is sent then), 3 when standard output could not be written (the rounds\n"
    "end at once: kib-host read ... | head -1), 130 after Ctrl-C (the rounds done are shown).\n");

const QString kIdentifyHelp = QStringLiteral(
    "Usage: kib-host identify [-t MS] [-p PORT] [-j] HOST[:PORT] [HOST[:PORT] ...]\n"
    "\n"
    "Asks each module (port 4450 unless given) for its controller's serial number and\n"
    "firmware version with the discovery's identify request: a CAMP read of V1, then of\n"
    "status words 259 to 261. For a module that does not answer it tells why: no such host,\n"
    "refused (nothing listens on the port), timed out (no connection), or not a CAMP module\n"
    "(it took the connection and closed it, or gave no CAMP reply in time). All modules are\n"
    "asked at once.\n"
    "\n"
    "Options:\n"
    "  -t, --timeout MS   milliseconds for connecting and for each reply (default 2500)\n"
    "  -p, --port PORT    the port of a HOST given without one (default 4450)\n"
    "  -j, --json         one JSON object per module, one per line:\n"
    "                     {\"module\": \"10.1.4.20:4450\", \"ok\": true, \"serial\": \"812\",\n"
    "                      \"firmware\": \"4.10\", \"error\": \"\"}\n"
    "\n"
    "Exit status 0 when every module answered, 1 when one did not, 2 after a mistake in the\n"
    "command line (nothing is sent then).\n");

constexpr int kShellTimeoutMs = 3000;

} // namespace

QCommandLineOption timeoutOption()
{
    return QCommandLineOption({QStringLiteral("t"), QStringLiteral("timeout")}, QString(), "MS");
}

QCommandLineOption portOption()
{
    return QCommandLineOption({QStringLiteral("p"), QStringLiteral("port")}, QString(), "PORT");
}

namespace {

ItemInstancePlugin itemRecord(int deviceId, const ShellItem& item)
{
    ItemInstancePlugin record;
    record.uid = item.uid;
    record.name = item.uid;
    record.deviceId = deviceId;
    record.enabled = true;
    record.columns = item.columns;
    return record;
}

// Starts the host with the module as its one device, its columns as a user would fill them in.
bool startWithModule(CommandSetup& setup, const Module& module, int timeoutMs, int connections,
                     DeviceInstancePlugin* device, int* status)
{
    ProjectDevice configured;
    configured.name = module.name();
    configured.address = module.host;
    configured.columns = {{QStringLiteral("port"), QString::number(module.port)},
                          {QStringLiteral("timeout"), QString::number(timeoutMs)},
                          {QStringLiteral("connections"), QString::number(connections)}};
    const int id = setup.project.addDevice(configured);
    if (!setup.start(status)) {
        return false;
    }
    setup.host.findDevice(id, device);
    return true;
}

struct ReadRound
{
    int round = 0;
    QString title; // "Round 3 of 10"
    QString time;  // when the round began
    int skipped = 0;
    bool ok = false;
    QString error;
    QList<QStringList> items; // item, value, error
};

QString jsonLine(const Module& module, const ReadRound& reading)
{
    QStringList items;
    for (const QStringList& item : reading.items) {
        items.append(QStringLiteral("{\"item\":%1,\"value\":%2,\"error\":%3}")
                         .arg(jsonString(item[0]), jsonString(item[1]), jsonString(item[2])));
    }
    return QStringLiteral("{\"module\":%1,\"round\":%2,\"time\":%3,\"skipped\":%4,\"ok\":%5,"
                          "\"error\":%6,\"items\":[%7]}\n")
        .arg(jsonString(module.name()))
        .arg(reading.round)
        .arg(jsonString(reading.time))
        .arg(reading.skipped)
        .arg(reading.ok ? QStringLiteral("true") : QStringLiteral("false"))
        .arg(jsonString(reading.error), items.join(QLatin1Char(',')));
}

QString tableText(const ReadRound& reading)
{
    QString text = QStringLiteral("%1%2 at %3%4\n")
                       .arg(reading.round > 1 ? QStringLiteral("\n") : QString(), reading.title,
                            reading.time, skippedNote(reading.skipped));
    if (!reading.ok) {
        text += QStringLiteral("device: %1\n").arg(reading.error);
    }
    Table table({QStringLiteral("ITEM"), QStringLiteral("VALUE"), QStringLiteral("ERROR")});
    for (const QStringList& item : reading.items) {
        table.addRow(item);
    }
    return text + table.render();
}

// Why nothing could be asked at HOST:PORT, or empty when a connection was made (and closed again).
QString connectFailure(const Module& module, int timeoutMs)
{
    QString why;
    posix_net::closeFd(connectToModule(module, timeoutMs, &why));
    return why;
}

struct Identity
{
    bool ok = false;
    QString serial;
    QString firmware;
    QString result; // what the module answered, or why it did not
};

Identity identify(const Module& module, int timeoutMs)
{
    Identity identity;
    identity.result = connectFailure(module, timeoutMs);
    if (!identity.result.isEmpty()) {
        return identity;
    }
    CampDiscovery::QtTransport probe;
    const CampDiscovery::IdentifyResult answer =
        probe.tcpIdentify(module.host, module.port, timeoutMs, timeoutMs);
    if (!answer.campReply) {
        identity.result =
            answer.closedWithoutReply
                ? QStringLiteral("not a CAMP module: it took the connection and closed it "
                                 "without a CAMP reply")
                : QStringLiteral("not a CAMP module: it took the connection but gave no CAMP "
                                 "reply within %1 ms")
                      .arg(timeoutMs);
        return identity;
    }
    identity.ok = true;
    identity.serial = answer.serial;
    identity.firmware = answer.firmware;
    identity.result = QStringLiteral("CAMP module");
    if (answer.protocolError) {
        identity.result += QStringLiteral(" (it answered the read of V1 with an error reply)");
    }
    if (answer.serial.isEmpty() && answer.firmware.isEmpty()) {
        identity.result += QStringLiteral("; serial and firmware not reported");
    }
    return identity;
}

} // namespace

int runRead(const Invocation& invocation)
{
    CommandSetup setup(invocation, kReadHelp, CommandSetup::ProjectFile::Optional);
    const QCommandLineOption jsonOption(QStringList{QStringLiteral("j"), QStringLiteral("json")});
    setup.parser.addOptions(
        {QCommandLineOption({QStringLiteral("c"), QStringLiteral("count")}, QString(), "N"),
         QCommandLineOption({QStringLiteral("i"), QStringLiteral("interval")}, QString(), "MS"),
         timeoutOption(), portOption(),
         QCommandLineOption(QStringLiteral("connections"), QString(), "N"), jsonOption});
    setup.offerRecording();
    int status = kExitOk;
    if (!setup.parse(&status) || !noProjectFile(setup, QStringLiteral("read"), &status)) {
        return status;
    }
    setup.hideDriverLinesUnlessVerbose();
    int rounds = 1;
    int intervalMs = 1000;
    int timeoutMs = kShellTimeoutMs;
    int connections = 1;
    if (!parseNumberOption(setup.parser, QStringLiteral("count"), 0, 1000000, &rounds) ||
        !parseNumberOption(setup.parser, QStringLiteral("interval"), 0, 86400000, &intervalMs) ||
        !parseNumberOption(setup.parser, QStringLiteral("timeout"), 1, 3600000, &timeoutMs) ||
        !parseNumberOption(setup.parser, QStringLiteral("connections"), 1, 8, &connections)) {
        return kExitUsage;
    }
    const QStringList arguments = setup.parser.positionalArguments();
    if (arguments.size() < 2) {
        return fail(kExitUsage, QStringLiteral("read needs HOST[:PORT] and at least one item, "
                                               "for example: kib-host read 10.1.4.20 V100-120"));
    }
    QList<Module> modules;
    QList<ShellItem> items;
    QString error;
    for (const QString& text : arguments.mid(1)) {
        if (!parseShellItem(text, &items, &error)) {
            return fail(kExitUsage, error);
        }
    }
    if (!parseModules(setup.parser, {arguments.first()}, &modules, &status)) {
        return status;
    }
    DeviceInstancePlugin device;
    if (!startWithModule(setup, modules.first(), timeoutMs, connections, &device, &status)) {
        return status;
    }
    QList<ItemInstancePlugin> records;
    for (const ShellItem& item : items) {
        records.append(itemRecord(device.id, item));
    }

    installInterruptHandler();
    const bool json = setup.parser.isSet(jsonOption);
    RoundSchedule schedule(rounds, intervalMs);
    bool allRead = true;
    while (schedule.next()) {
        LogList log = HostRuntime::request(device, records);
        ReadRound reading;
        reading.round = schedule.round();
        reading.title = schedule.roundTitle();
        reading.skipped = schedule.skippedBeforeRound();
        reading.time = timestamp();
        reading.ok = setup.host.plugin()->readData(&log);
        reading.error = log.errorText;
        allRead = allRead && reading.ok;
        for (int i = 0; i < log.items.size(); ++i) {
            const ItemInstancePlugin& item = log.items[i].item;
            // An item is read when it comes back without an error (a String may be empty).
            allRead = allRead && item.errorText.isEmpty();
            reading.items.append(
                {item.uid, shownValue(items[i], log.items[i].values.value(QStringLiteral("value"))),
                 item.errorText});
        }
        printOut(json ? jsonLine(modules.first(), reading) : tableText(reading));
    }
    setup.host.stop();
    if (interruptFlag().load()) {
        return kExitInterrupted;
    }
    return allRead ? kExitOk : kExitFailed;
}

int runShellWrite(CommandSetup& setup)
{
    setup.hideDriverLinesUnlessVerbose();
    int status = kExitOk;
    int timeoutMs = kShellTimeoutMs;
    if (!parseNumberOption(setup.parser, QStringLiteral("timeout"), 1, 3600000, &timeoutMs)) {
        return kExitUsage;
    }
    const QStringList arguments = setup.parser.positionalArguments();
    if (arguments.size() < 2) {
        return fail(kExitUsage,
                    QStringLiteral("write needs HOST[:PORT] and at least one ITEM=VALUE, for "
                                   "example: kib-host write 10.1.4.20 V300=42 (or --project FILE "
                                   "and --device ID)"));
    }
    QList<Module> modules;
    if (!parseModules(setup.parser, {arguments.first()}, &modules, &status)) {
        return status;
    }
    // Shell items are never identity items, whatever the device's id turns out to be.
    const int deviceId = 0;
    WriteEntries entries(deviceId);
    for (const QString& text : arguments.mid(1)) {
        QString error;
        QString value;
        QList<ShellItem> items;
        if (!parseShellAssignment(text, &items, &value, &error)) {
            entries.mistakes.append(error);
        }
        for (const ShellItem& item : items) {
            QString typed;
            if (!typedValue(item, value, &typed, &error)) {
                entries.mistakes.append(text + QStringLiteral(": ") + error);
                break;
            }
            entries.add(itemRecord(deviceId, item), typed, text, value);
        }
    }
    if (entries.refuse(&status)) {
        return status;
    }
    DeviceInstancePlugin device;
    if (!startWithModule(setup, modules.first(), timeoutMs, 1, &device, &status)) {
        return status;
    }
    for (ItemInstancePlugin& item : entries.items) {
        item.deviceId = device.id;
    }
    status = writeAndReport(setup.host.plugin(), device, entries,
                            QStringLiteral("Module %1").arg(modules.first().name()));
    setup.host.stop();
    return status;
}

int runIdentify(const Invocation& invocation)
{
    CommandSetup setup(invocation, kIdentifyHelp, CommandSetup::ProjectFile::Optional);
    const QCommandLineOption jsonOption(QStringList{QStringLiteral("j"), QStringLiteral("json")});
    setup.parser.addOptions({timeoutOption(), portOption(), jsonOption});
    int status = kExitOk;
    if (!setup.parse(&status) || !noProjectFile(setup, QStringLiteral("identify"), &status)) {
        return status;
    }
    setup.hideDriverLinesUnlessVerbose();
    int timeoutMs = CampDiscovery::kIdentifyTimeoutMs;
    if (!parseNumberOption(setup.parser, QStringLiteral("timeout"), 1, 3600000, &timeoutMs)) {
        return kExitUsage;
    }
    QList<Module> modules;
    if (setup.parser.positionalArguments().isEmpty()) {
        return fail(kExitUsage, QStringLiteral("identify needs at least one HOST[:PORT], for "
                                               "example: kib-host identify 10.1.4.20"));
    }
    if (!parseModules(setup.parser, setup.parser.positionalArguments(), &modules, &status)) {
        return status;
    }

    // The probe holds no state and may run in several threads at once.
    std::vector<std::future<Identity>> asked;
    for (const Module& module : modules) {
        asked.push_back(std::async(std::launch::async, identify, module, timeoutMs));
    }
    const bool json = setup.parser.isSet(jsonOption);
    Table table({QStringLiteral("MODULE"), QStringLiteral("SERIAL"), QStringLiteral("FIRMWARE"),
                 QStringLiteral("RESULT")});
    QString lines;
    for (size_t i = 0; i < asked.size(); ++i) {
        const Identity identity = asked[i].get();
        const QString name = modules[static_cast<int>(i)].name();
        status = identity.ok ? status : kExitFailed;
        lines +=
            QStringLiteral("{\"module\":%1,\"ok\":%2,\"serial\":%3,\"firmware\":%4,\"error\":%5}\n")
                .arg(jsonString(name),
                     identity.ok ? QStringLiteral("true") : QStringLiteral("false"),
                     jsonString(identity.serial), jsonString(identity.firmware),
                     jsonString(identity.ok ? QString() : identity.result));
        table.addRow({name, identity.serial.isEmpty() ? QStringLiteral("-") : identity.serial,
                      identity.firmware.isEmpty() ? QStringLiteral("-") : identity.firmware,
                      identity.result});
    }
    printOut(json ? lines : table.render());
    return status;
}

} // namespace kib_host
