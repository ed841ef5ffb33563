// kib-host poll: every device polled in parallel, one host thread per device, as the KIB host
// schedules its plugins.

#include <QElapsedTimer>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "commands.h"
#include "console.h"
#include "kibinterface.h"

namespace kib_host {

namespace {

const QString kHelp = QStringLiteral(
    "Usage: kib-host --project FILE poll [--device ID] [-c N] [-i MS] [-j] [-v]\n"
    "\n"
    "Polls the devices of the project in parallel, each from its own host thread, with one\n"
    "readData() request that holds all of the device's items (identity items included).\n"
    "\n"
    "Options:\n"
    "  --device ID         poll this device only (may be given more than once)\n"
    "  -c, --count N       rounds to poll (default 1; 0 polls until Ctrl-C)\n"
    "  -i, --interval MS   time from the start of one round to the start of the next\n"
    "                      (default 1000). The rounds keep this rhythm: a round late by\n"
    "                      a whole interval (after time-outs) is skipped, never made up\n"
    "                      in a burst, and the next round says how many were skipped.\n"
    "  -j, --json          one JSON object per device and round, one per line:\n"
    "                      {\"device\": 7, \"round\": 1, \"time\":\n"
    "                       \"2026-12-08T14:03:07.125+01:00\", \"skipped\": 0, \"ok\": true,\n"
    "                       \"state\": \"on-scan\", \"error\": \"\", \"items\": [{\"uid\": "
    "\"...\",\n"
    "                       \"name\": \"...\", \"value\": \"...\", \"error\": \"\"}]}\n"
    "  -v, --verbose       every frame sent and received on standard error, with its time\n"
    "\n"
    "Each round of the table starts with its number and the time it began (ISO 8601 with\n"
    "milliseconds).\n"
    "\n"
    "The state is the plugin's: \"off-scan\" for a device whose module could not be reached\n"
    "several times in a row, whose polls then fail at once until it answers again.\n"
    "\n"
    "Exit status 0 when every device answered every round, 1 when one did not, 3 when\n"
    "standard output could not be written (the rounds end at once), 130 after Ctrl-C (the\n"
    "rounds in progress are finished and shown).\n");

struct ItemReading
{
    QString uid;
    QString name;
    QString value;
    QString error;
};

struct DeviceReading
{
    int deviceId = 0;
    QString deviceName;
    int round = 0;
    QString title; // "Round 3 of 10"
    QString time;  // when the round began
    int skipped = 0;
    bool ok = false;
    QString state; // the plugin's "on-scan" or "off-scan"
    QString error;
    QList<ItemReading> items;
};

// The device's state as the plugin tells it: a status item asked for with every poll, which the
// plugin fills without a frame on the wire.
ItemInstancePlugin stateItem()
{
    ItemInstancePlugin item;
    item.uid = QStringLiteral("__kib_host.state");
    item.columns.insert(QStringLiteral("address_word"), QStringLiteral("__status.state"));
    return item;
}

DeviceReading pollOnce(KIBInterface* plugin, const DeviceInstancePlugin& device,
                       const RoundSchedule& schedule)
{
    static const ItemInstancePlugin state = stateItem();
    LogList log = HostRuntime::request(device, device.configuredItems + QList{state});
    DeviceReading reading;
    reading.deviceId = device.id;
    reading.deviceName = device.name;
    reading.round = schedule.round();
    reading.title = schedule.roundTitle();
    reading.skipped = schedule.skippedBeforeRound();
    reading.time = timestamp();
    reading.ok = plugin->readData(&log);
    reading.error = log.errorText;
    for (const DataItem& entry : log.items) {
        const QString value = entry.values.value(QStringLiteral("value"));
        if (entry.item.uid == state.uid) {
            reading.state = value;
            continue;
        }
        reading.items.append({entry.item.uid, entry.item.name, value, entry.item.errorText});
    }
    return reading;
}

// Written by hand rather than through QJsonObject, which sorts its keys: a person reading the
// line finds the device first and its items last.
QString jsonLine(const DeviceReading& reading)
{
    QStringList items;
    for (const ItemReading& item : reading.items) {
        items.append(QStringLiteral("{\"uid\":%1,\"name\":%2,\"value\":%3,\"error\":%4}")
                         .arg(jsonString(item.uid), jsonString(item.name), jsonString(item.value),
                              jsonString(item.error)));
    }
    return QStringLiteral("{\"device\":%1,\"round\":%2,\"time\":%3,\"skipped\":%4,\"ok\":%5,"
                          "\"state\":%6,\"error\":%7,\"items\":[%8]}\n")
        .arg(reading.deviceId)
        .arg(reading.round)
        .arg(jsonString(reading.time))
        .arg(reading.skipped)
        .arg(reading.ok ? QStringLiteral("true") : QStringLiteral("false"))
        .arg(jsonString(reading.state), jsonString(reading.error), items.join(QLatin1Char(',')));
}

void addTableRows(Table& table, const DeviceReading& reading)
{
    const QString device = QStringLiteral("%1 %2").arg(reading.deviceId).arg(reading.deviceName);
    if (!reading.ok) {
        table.addRow({device, QStringLiteral("-"), QStringLiteral("-"), reading.state,
                      QStringLiteral("device: ") + reading.error});
    }
    for (const ItemReading& item : reading.items) {
        // A device that did not answer has nothing to say about most items.
        if (!reading.ok && item.value.isEmpty() && item.error.isEmpty()) {
            continue;
        }
        table.addRow({device, item.uid, item.name, item.value, item.error});
    }
}

// Collects the readings of all device threads; a JSON line goes out as soon as it is there,
// a table once every device has reported the round.
class PollReporter
{
public:
    PollReporter(bool json, int deviceCount) : json(json), deviceCount(deviceCount) {}

    void report(const DeviceReading& reading)
    {
        std::lock_guard<std::mutex> lock(mutex);
        failures += reading.ok ? 0 : 1;
        if (json) {
            printOut(jsonLine(reading));
            return;
        }
        QList<DeviceReading>& round = pending[reading.round];
        round.append(reading);
        if (round.size() == deviceCount) {
            printRound(round);
            pending.erase(reading.round);
        }
    }

    // Rounds that Ctrl-C left incomplete.
    void finish()
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& round : pending) {
            printRound(round.second);
        }
        pending.clear();
    }

    int failedPolls() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return failures;
    }

private:
    // The round's title and time are its first device's (each device keeps its own rhythm).
    void printRound(QList<DeviceReading> readings)
    {
        std::sort(
            readings.begin(), readings.end(),
            [](const DeviceReading& a, const DeviceReading& b) { return a.deviceId < b.deviceId; });
        Table table({QStringLiteral("DEVICE"), QStringLiteral("ITEM UID"), QStringLiteral("NAME"),
                     QStringLiteral("VALUE"), QStringLiteral("ERROR")});
        for (const DeviceReading& reading : readings) {
            addTableRows(table, reading);
        }
        const DeviceReading& first = readings.first();
        printOut(QStringLiteral("%1%2 at %3%4\n")
                     .arg(roundsPrinted++ > 0 ? QStringLiteral("\n") : QString(), first.title,
                          first.time, skippedNote(first.skipped)) +
                 table.render());
    }

    const bool json;
    const int deviceCount;
    int roundsPrinted = 0;
    mutable std::mutex mutex;
    std::map<int, QList<DeviceReading>> pending;
    int failures = 0;
};

void pollDevice(KIBInterface* plugin, const DeviceInstancePlugin& device, int rounds,
                int intervalMs, PollReporter& reporter)
{
    RoundSchedule schedule(rounds, intervalMs);
    while (schedule.next()) {
        reporter.report(pollOnce(plugin, device, schedule));
    }
}

bool selectDevices(const HostRuntime& host, const QStringList& ids,
                   QList<DeviceInstancePlugin>* selected, int* status)
{
    if (ids.isEmpty()) {
        *selected = host.devices();
        if (selected->isEmpty()) {
            *status = fail(kExitUsage, QStringLiteral("the project has no devices to poll"));
            return false;
        }
        return true;
    }
    for (const QString& text : ids) {
        bool ok = false;
        DeviceInstancePlugin device;
        const int id = text.toInt(&ok);
        if (!ok || !host.findDevice(id, &device)) {
            *status = fail(kExitUsage, QStringLiteral("the project has no device %1").arg(text));
            return false;
        }
        selected->append(device);
    }
    return true;
}

} // namespace

int runPoll(const Invocation& invocation)
{
    CommandSetup setup(invocation, kHelp);
    const QCommandLineOption deviceOption(QStringLiteral("device"), QString(),
                                          QStringLiteral("ID"));
    const QCommandLineOption countOption({QStringLiteral("c"), QStringLiteral("count")}, QString(),
                                         QStringLiteral("N"));
    const QCommandLineOption intervalOption({QStringLiteral("i"), QStringLiteral("interval")},
                                            QString(), QStringLiteral("MS"));
    const QCommandLineOption jsonOption(QStringList{QStringLiteral("j"), QStringLiteral("json")});
    setup.parser.addOptions({deviceOption, countOption, intervalOption, jsonOption});
    int status = kExitOk;
    if (!setup.parse(&status)) {
        return status;
    }
    int rounds = 1;
    int intervalMs = 1000;
    if (!setup.parser.positionalArguments().isEmpty()) {
        return fail(kExitUsage, QStringLiteral("poll takes no arguments (kib-host poll --help)"));
    }
    if (!parseNumberOption(setup.parser, QStringLiteral("count"), 0, 1000000, &rounds) ||
        !parseNumberOption(setup.parser, QStringLiteral("interval"), 0, 86400000, &intervalMs)) {
        return kExitUsage;
    }
    if (!setup.start(&status)) {
        return status;
    }

    QList<DeviceInstancePlugin> devices;
    if (!selectDevices(setup.host, setup.parser.values(deviceOption), &devices, &status)) {
        setup.host.stop();
        return status;
    }

    installInterruptHandler();
    PollReporter reporter(setup.parser.isSet(jsonOption), devices.size());
    std::vector<std::thread> threads;
    for (const DeviceInstancePlugin& device : devices) {
        threads.emplace_back(pollDevice, setup.host.plugin(), device, rounds, intervalMs,
                             std::ref(reporter));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    reporter.finish();
    setup.host.stop();

    if (interruptFlag().load()) {
        return kExitInterrupted;
    }
    return reporter.failedPolls() == 0 ? kExitOk : kExitFailed;
}

} // namespace kib_host
