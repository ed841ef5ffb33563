// kib-host discover: runs the plugin's exported discovery service as the KIB host does and,
// on request, imports what it found as devices.

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <future>

#include "camp_discovery.h"
#include "commands.h"
#include "console.h"

namespace kib_host {

namespace {

const QString kHelp = QStringLiteral(
    "Usage: kib-host --project FILE discover [--interface NAME] [--ports LIST]\n"
    "                                        [--timeout-ms MS] [--import] [--json]\n"
    "\n"
    "Scans the local IPv4 subnets for CTI 2572 modules: every host of the interface's subnets\n"
    "(at most 256 hosts each) is sent a CAMP identify request on each port, by up to 48\n"
    "probes at once. Controllers the project already has are left out. The discovery service\n"
    "is taken from the plugin library kib-host is linked with.\n"
    "\n"
    "This sends connection attempts to every address of the subnets scanned: scan only\n"
    "networks you are allowed to.\n"
    "\n"
    "Options (the defaults come from the project's \"settings\", else from the plugin's\n"
    "device columns of the same names):\n"
    "  --interface NAME  interface to scan; \"all\" scans every interface\n"
    "                    (network_interface, default eth0)\n"
    "  --ports LIST      ports to probe, with commas and ranges, e.g. 4450,1505 or\n"
    "                    4450-4451 (tcp_ports, default 4450)\n"
    "  --timeout-ms MS   overall scan window, 1000 to 300000 (timeout_ms, default 60000)\n"
    "  --import          add the controllers found to the project as devices\n"
    "  --json            print the candidates as a JSON array\n"
    "\n"
    "On a terminal the progress is shown on standard error. Ctrl-C stops the scan and still\n"
    "shows (and with --import imports) what was found; the exit status is then 130.\n");

// Counts the probes for the progress line.
class CountingTransport : public CampDiscovery::Transport
{
public:
    explicit CountingTransport(CampDiscovery::Transport& inner) : inner(inner) {}

    CampDiscovery::IdentifyResult tcpIdentify(const QString& host, quint16 port,
                                              int connectTimeoutMs, int identifyTimeoutMs) override
    {
        const CampDiscovery::IdentifyResult result =
            inner.tcpIdentify(host, port, connectTimeoutMs, identifyTimeoutMs);
        if (result.campReply) {
            ++answered;
        }
        ++probed;
        return result;
    }

    std::atomic<int> probed{0};
    std::atomic<int> answered{0};

private:
    CampDiscovery::Transport& inner;
};

QString registeredDefault(const PluginRegistration& registration, const QString& column)
{
    for (const DatabaseColumnStructure& candidate : registration.deviceColumns) {
        if (candidate.name == column) {
            return candidate.defaultValue;
        }
    }
    return QString();
}

// The discovery request as the host builds it: the scan settings under "options", and the
// devices it has under "existing_devices" so that they are not offered again.
QJsonObject buildRequest(const CommandSetup& setup, const QCommandLineParser& parser)
{
    const PluginRegistration registration = setup.host.registration();
    const Columns settings = setup.project.settings();
    QJsonObject options;
    const QStringList keys = {QStringLiteral("timeout_ms"), QStringLiteral("network_interface"),
                              QStringLiteral("tcp_ports")};
    const QStringList optionNames = {QStringLiteral("timeout-ms"), QStringLiteral("interface"),
                                     QStringLiteral("ports")};
    for (int i = 0; i < keys.size(); ++i) {
        QString value = settings.value(keys[i], registeredDefault(registration, keys[i]));
        if (parser.isSet(optionNames[i])) {
            value = parser.value(optionNames[i]);
        }
        options.insert(keys[i], value);
    }
    if (options.value(QStringLiteral("network_interface")).toString() == QLatin1String("all")) {
        options.insert(QStringLiteral("network_interface"), QString());
    }

    QJsonArray existing;
    for (const DeviceInstancePlugin& device : setup.host.devices()) {
        QJsonObject known{{QStringLiteral("address"), device.address},
                          {QStringLiteral("port"), device.columns.value(QStringLiteral("port"))}};
        if (!device.uid.isEmpty()) {
            known.insert(QStringLiteral("uid"), device.uid);
        }
        existing.append(known);
    }
    return {{QStringLiteral("options"), options}, {QStringLiteral("existing_devices"), existing}};
}

// The hosts the scan will probe, for the progress line; the scan lists its targets itself.
int plannedHosts(const CampDiscovery::Options& options)
{
    if (!options.tcpSubnetScan || options.tcpPorts.isEmpty()) {
        return 0;
    }
    int hosts = 0;
    for (const QString& host :
         CampDiscovery::ipv4HostsOnInterface(options.networkInterface, nullptr)) {
        if (!host.isEmpty() && host != QLatin1String("0.0.0.0") &&
            !host.startsWith(QLatin1String("127."))) {
            ++hosts;
        }
    }
    return hosts;
}

struct ScanOutcome
{
    QList<CampDiscovery::Candidate> found;
    int probes = 0;
};

ScanOutcome scan(const CampDiscovery::Options& options, int planned, QStringList* log)
{
    CampDiscovery::QtTransport network;
    CountingTransport counting(network);
    std::future<QList<CampDiscovery::Candidate>> running = std::async(std::launch::async, [&] {
        return CampDiscovery::discoverDevices(options, counting, log, &interruptFlag());
    });
    const bool showProgress = stderrIsTerminal() && planned > 0;
    const auto progress = [&](const char* end) {
        if (showProgress) {
            printErr(QStringLiteral("\rProbed %1 of %2, %3 answered %4")
                         .arg(counting.probed.load())
                         .arg(planned)
                         .arg(counting.answered.load())
                         .arg(QLatin1String(end)));
        }
    };
    while (running.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        progress("");
    }
    progress("\n");
    ScanOutcome outcome;
    outcome.found = running.get();
    outcome.probes = counting.probed.load();
    return outcome;
}

bool byAddress(const CampDiscovery::Candidate& a, const CampDiscovery::Candidate& b)
{
    const quint32 left = QHostAddress(a.address).toIPv4Address();
    const quint32 right = QHostAddress(b.address).toIPv4Address();
    return left != right ? left < right : a.port < b.port;
}

QString candidateTable(const QList<QJsonObject>& candidates)
{
    Table table({QStringLiteral("UID"), QStringLiteral("NAME"), QStringLiteral("ADDRESS"),
                 QStringLiteral("PORT"), QStringLiteral("DESCRIPTION")});
    for (const QJsonObject& candidate : candidates) {
        table.addRow({candidate.value(QStringLiteral("uid_hint")).toString(),
                      candidate.value(QStringLiteral("name")).toString(),
                      candidate.value(QStringLiteral("address")).toString(),
                      candidate.value(QStringLiteral("user_defined_fields"))
                          .toObject()
                          .value(QStringLiteral("port"))
                          .toString(),
                      candidate.value(QStringLiteral("description")).toString()});
    }
    return table.render();
}

ProjectDevice deviceFromCandidate(const QJsonObject& candidate)
{
    ProjectDevice device;
    device.uid = candidate.value(QStringLiteral("uid_hint")).toString();
    device.name = candidate.value(QStringLiteral("name")).toString();
    device.description = candidate.value(QStringLiteral("description")).toString();
    device.address = candidate.value(QStringLiteral("address")).toString();
    const QJsonObject fields = candidate.value(QStringLiteral("user_defined_fields")).toObject();
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        device.columns.insert(it.key(), it.value().toString());
    }
    return device;
}

int importCandidates(Project& project, const QList<QJsonObject>& candidates, bool json)
{
    if (candidates.isEmpty()) {
        return kExitOk;
    }
    QStringList added;
    for (const QJsonObject& candidate : candidates) {
        const ProjectDevice device = deviceFromCandidate(candidate);
        const int id = project.addDevice(device);
        added.append(
            QStringLiteral("  device %1 %2 at %3\n").arg(id).arg(device.name, device.address));
    }
    QString error;
    if (!project.save(&error)) {
        return fail(kExitFailed, error);
    }
    const QString text =
        QStringLiteral("Imported %1 device%2 into %3:\n")
            .arg(added.size())
            .arg(added.size() == 1 ? "" : "s")
            .arg(project.path()) +
        added.join(QString()) +
        QStringLiteral("Their identity items are created when the host next starts the plugin "
                       "(kib-host init or poll).\n");
    // With --json, standard output carries the JSON alone.
    if (json) {
        printErr(text);
    } else {
        printOut(text);
    }
    return kExitOk;
}

} // namespace

int runDiscover(const Invocation& invocation)
{
    CommandSetup setup(invocation, kHelp);
    setup.parser.addOptions(
        {QCommandLineOption(QStringLiteral("interface"), QString(), QStringLiteral("NAME")),
         QCommandLineOption(QStringLiteral("ports"), QString(), QStringLiteral("LIST")),
         QCommandLineOption(QStringLiteral("timeout-ms"), QString(), QStringLiteral("MS")),
         QCommandLineOption(QStringLiteral("import")), QCommandLineOption(QStringLiteral("json"))});
    int status = kExitOk;
    if (!setup.parse(&status)) {
        return status;
    }
    if (!setup.parser.positionalArguments().isEmpty()) {
        return fail(kExitUsage,
                    QStringLiteral("discover takes no arguments (kib-host discover --help)"));
    }
    int timeoutMs = 0;
    if (!parseNumberOption(setup.parser, QStringLiteral("timeout-ms"), 1, 300000, &timeoutMs)) {
        return kExitUsage;
    }
    if (!setup.start(&status)) {
        return status;
    }
    const bool json = setup.parser.isSet(QStringLiteral("json"));

    QStringList log;
    const CampDiscovery::Options options =
        CampDiscovery::optionsFromRequest(buildRequest(setup, setup.parser), &log);
    installInterruptHandler();
    const int hosts = plannedHosts(options);
    const int planned = hosts * options.tcpPorts.size();
    const QString where = options.networkInterface.isEmpty()
                              ? QStringLiteral("every interface")
                              : QStringLiteral("interface %1").arg(options.networkInterface);
    if (planned == 0) {
        printErr(QStringLiteral("Nothing to scan on %1: no up, running IPv4 subnet of 2 to 256 "
                                "hosts there (--interface NAME chooses another, --interface all "
                                "takes every one).\n")
                     .arg(where));
    } else if (!json) {
        printOut(QStringLiteral("Scanning %1: %2 hosts on %3 ports within %4 ms...\n")
                     .arg(where)
                     .arg(hosts)
                     .arg(options.tcpPorts.size())
                     .arg(options.timeoutMs));
    }

    const ScanOutcome outcome = scan(options, planned, &log);
    QList<CampDiscovery::Candidate> found = outcome.found;
    const bool cancelled = interruptFlag().load();
    for (const QString& line : log) {
        printErr(line + '\n');
    }
    std::sort(found.begin(), found.end(), byAddress);
    QList<QJsonObject> candidates;
    for (const CampDiscovery::Candidate& candidate : found) {
        candidates.append(CampDiscovery::candidateToJson(candidate));
    }

    if (json) {
        QJsonArray array;
        for (const QJsonObject& candidate : candidates) {
            array.append(candidate);
        }
        printOut(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
    } else if (candidates.isEmpty()) {
        printOut(QStringLiteral("No new controllers found.\n"));
    } else {
        printOut(QStringLiteral("Found %1 new controller%2:\n")
                     .arg(candidates.size())
                     .arg(candidates.size() == 1 ? "" : "s") +
                 candidateTable(candidates));
    }
    if (cancelled) {
        printErr(QStringLiteral("The scan was stopped by Ctrl-C after %1 of %2 probes; shown is "
                                "what it found until then.\n")
                     .arg(outcome.probes)
                     .arg(planned));
    }
    if (setup.parser.isSet(QStringLiteral("import"))) {
        status = importCandidates(setup.project, candidates, json);
    }
    setup.host.stop();
    if (status != kExitOk) {
        return status;
    }
    return cancelled ? kExitInterrupted : kExitOk;
}

} // namespace kib_host
