// soak_host: one host process with the plugin, loaded with QPluginLoader as the host loads it,
// polling and writing every simulated module from threads of its own for a long time while a
// seeded schedule of real-world faults runs against the modules (separate camp-sim processes).
// It checks every value and every write against an oracle, measures how long each device takes
// to come back after a fault, watches descriptors and memory, and ends with one line:
//
//   soak: 600 s, 4 modules, seed 7, 21500 polls, 47000 writes (43000 acknowledged), 0 wrong,
//         0 lost, 0 silent, 0 duplicated, 92 faults, 310 off-scan polls, longest recovery 1120 ms,
//         0 late,
//         fds 21 -> 21, rss 30100 -> 30200 KiB
//
// Exit status 0 only when nothing was wrong, lost, silent or duplicated, every device came back
// within the bound, and descriptors and memory are where they were. scripts/soak.sh builds and runs
// it.
//
// Run as root, it first moves into a network namespace of its own (named kib_soak_..., deleted on
// every way out, SIGINT and SIGTERM included), where the modules are named by a name server of its
// own and the network itself can fail too: slow connects and a silent name server. Without root it
// runs on this machine's loopback without those two kinds of fault.

#include "device_load.h"
#include "fault_injector.h"
#include "fault_schedule.h"
#include "module_process.h"
#include "process_usage.h"
#include "soak_network.h"
#include "soak_plan.h"

#include "hostconfig.h"
#include "kibinterface.h"
#include "write_journal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QPluginLoader>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace soak;

namespace {

// The signal that asked the soak to stop (SIGINT, SIGTERM), 0 while none did. The soak then stops
// its threads and modules and deletes its namespace, as at its end.
std::atomic<int> stopSignal{0};

extern "C" void askToStop(int signal)
{
    stopSignal = signal;
}

struct Options
{
    int seconds = 600;
    int modules = 4;
    unsigned seed = 0;
    QString workDir;
    QString campSim;
    QString plugin;
    QString namespaceName;
};

bool parseOptions(const QCoreApplication& app, Options* options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The soak: polls and writes simulated modules through the plugin while "
                       "their faults come and go, and checks what it gets."));
    parser.addHelpOption();
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Run time."),
                                     QStringLiteral("N"), QStringLiteral("600"));
    const QCommandLineOption modules(QStringLiteral("modules"),
                                     QStringLiteral("Simulated modules."), QStringLiteral("N"),
                                     QStringLiteral("4"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed of the fault schedule (default: random)."),
                                  QStringLiteral("N"));
    const QCommandLineOption workDir(QStringLiteral("work-dir"),
                                     QStringLiteral("Folder for the modules' files."),
                                     QStringLiteral("DIR"));
    const QCommandLineOption campSim(QStringLiteral("camp-sim"), QStringLiteral("camp-sim path."),
                                     QStringLiteral("PATH"), QStringLiteral(CAMP_SIM_PATH));
    const QCommandLineOption plugin(QStringLiteral("plugin"), QStringLiteral("Plugin file."),
                                    QStringLiteral("PATH"), QStringLiteral(KIB_PLUGIN_PATH));
    const QCommandLineOption namespaceName(
        QStringLiteral("namespace"),
        QStringLiteral("Name of the network namespace it makes when run as root (default: "
                       "kib_soak_PID_1)."),
        QStringLiteral("NAME"));
    parser.addOptions({seconds, modules, seed, workDir, campSim, plugin, namespaceName});
    parser.process(app);
    options->seconds = parser.value(seconds).toInt();
    options->modules = parser.value(modules).toInt();
    options->seed = parser.isSet(seed) ? parser.value(seed).toUInt() : std::random_device()();
    options->workDir = parser.value(workDir);
    options->campSim = parser.value(campSim);
    options->plugin = parser.value(plugin);
    options->namespaceName =
        parser.isSet(namespaceName)
            ? parser.value(namespaceName)
            : camp_sim::NetworkNamespace::uniqueName(QStringLiteral("kib_soak"));
    if (options->seconds < 30 || options->modules < 1 || options->workDir.isEmpty()) {
        std::fprintf(stderr, "soak_host: --seconds 30 or more, --modules 1 or more and "
                             "--work-dir DIR are needed\n");
        return false;
    }
    return true;
}

// The module's address as its device holds it: its name in the soak's namespace, where the
// soak's name server names it, or loopback's address without one.
QString moduleAddress(int module, bool named)
{
    return named ? moduleHostName(module) : QStringLiteral("127.0.0.1");
}

// Loads the plugin as the host does, hands it the modules as devices and starts it.
KIBInterface* startPlugin(const QString& path,
                          const std::vector<std::unique_ptr<ModuleProcess>>& modules, bool named)
{
    static QPluginLoader loader; // loaded until the process ends
    loader.setFileName(path);
    auto* plugin = qobject_cast<KIBInterface*>(loader.instance());
    if (!plugin) {
        std::fprintf(stderr, "soak_host: cannot load %s: %s\n", qPrintable(path),
                     qPrintable(loader.errorString()));
        return nullptr;
    }
    QList<DeviceInstancePlugin> devices;
    for (const auto& module : modules) {
        DeviceInstancePlugin device;
        device.id = module->index() + 1;
        device.name = QStringLiteral("module-%1").arg(module->index());
        device.address = moduleAddress(module->index(), named);
        device.columns.insert(QStringLiteral("port"), QString::number(module->port()));
        device.columns.insert(QStringLiteral("timeout"), QString::number(kDeviceTimeoutMs));
        device.columns.insert(QStringLiteral("connections"), QString::number(kPollConnections));
        device.columns.insert(QStringLiteral("offscan_retry_ms"), QString::number(kOffScanRetryMs));
        devices.append(device);
    }
    HostConfig::instance().setDevices(devices);
    plugin->init();
    return plugin;
}

// One fault's start or end, at its time.
struct Action
{
    int atMs;
    bool begins;
    FaultEvent event;
};

std::vector<Action> actionsOf(const std::vector<FaultEvent>& schedule)
{
    std::vector<Action> actions;
    for (const FaultEvent& event : schedule) {
        actions.push_back({event.startMs, true, event});
        actions.push_back({event.endMs(), false, event});
    }
    std::stable_sort(actions.begin(), actions.end(),
                     [](const Action& a, const Action& b) { return a.atMs < b.atMs; });
    return actions;
}

class SoakRun
{
public:
    explicit SoakRun(const Options& options) : m_options(options) {}

    int run()
    {
        setUpNetwork();
        const Timeline timeline = timelineFor(m_options.seconds);
        const std::vector<FaultEvent> schedule =
            makeSchedule(m_options.seed, m_options.modules, timeline.warmUpMs,
                         timeline.lastFaultEndMs, m_network != nullptr);
        printPlan(schedule);
        if (!startModules() || !startHost()) {
            return stopped() ? interrupted() : 2;
        }

        settle();
        m_fdsStart = openDescriptors();
        m_connectionsStart = connectionsToModules();
        for (auto& device : m_devices) {
            device->start();
        }
        m_start = Clock::now();
        if (!waitUntil(timeline.warmUpMs)) {
            return interrupted();
        }
        m_rssStart = residentKiB();
        if (!runSchedule(schedule) || !waitUntil(timeline.endMs)) {
            return interrupted();
        }
        m_rssEnd = residentKiB();
        for (auto& device : m_devices) {
            device->stop();
        }
        finalPolls();
        settle();
        m_fdsEnd = openDescriptors();
        m_connectionsEnd = connectionsToModules();
        auditWrites();
        m_plugin->stopPlugin();
        for (auto& module : m_modules) {
            module->stop();
        }
        return report(int(schedule.size()));
    }

private:
    // As root: the namespace, entered by this thread before it starts anything, so that the
    // modules, the host's threads and the plugin's all live in it and read its resolv.conf.
    // Without root, or where no namespace can be made: this machine's loopback, and one line that
    // says what is left out.
    void setUpNetwork()
    {
        auto network = std::make_unique<SoakNetwork>(m_options.namespaceName);
        QString unavailable = network->create();
        if (unavailable.isEmpty()) {
            // A kernel without the queueing or a machine where port 53 cannot be had: the namespace
            // goes again (the thread moves back out) and the soak runs as without root.
            unavailable = network->enter(m_options.workDir, m_options.modules);
        }
        if (!unavailable.isEmpty()) {
            std::printf("soak: %s, so the modules listen on this machine's loopback and the "
                        "slow connects and name server outages are left out\n",
                        qPrintable(unavailable));
            return;
        }
        m_network = std::move(network);
    }

    static bool stopped() { return stopSignal != 0; }

    // Stops what runs; the modules, the connections held and the namespace go with the run.
    int interrupted()
    {
        for (auto& device : m_devices) {
            device->stop();
        }
        if (m_plugin) {
            m_plugin->stopPlugin();
        }
        for (auto& module : m_modules) {
            module->kill();
        }
        std::printf("soak: stopped by signal %d\n", stopSignal.load());
        std::fflush(stdout);
        return 128 + stopSignal;
    }

    // Look-ups the last polls started go on in the plugin's resolver threads for a moment, each
    // with a socket of its own: they end before descriptors are counted.
    void settle() const
    {
        if (m_network) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }

    void printPlan(const std::vector<FaultEvent>& schedule) const
    {
        std::printf("soak: %d s, %d modules, seed %u; poll every %d ms, write every %d ms, "
                    "time-out %d ms, recovery bound %d ms; %s\n",
                    m_options.seconds, m_options.modules, m_options.seed, kPollIntervalMs,
                    kWriteIntervalMs, kDeviceTimeoutMs, kRecoveryBoundMs,
                    m_network ? qPrintable(QStringLiteral("network namespace %1, modules named "
                                                          "module-N.soak by its name server")
                                               .arg(m_network->name()))
                              : "this machine's loopback, modules by address");
        QStringList kinds;
        for (int k = 0; k < kFaultKinds; ++k) {
            if (m_network || !needsNamespace(FaultKind(k))) {
                kinds.append(QLatin1String(faultKindName(FaultKind(k))));
            }
        }
        std::printf("fault kinds (%lld): %s\n", static_cast<long long>(kinds.size()),
                    qPrintable(kinds.join(QStringLiteral(", "))));
        std::printf("fault schedule (%zu faults):\n", schedule.size());
        for (const FaultEvent& event : schedule) {
            std::printf("  %s\n", qPrintable(event.describe()));
        }
        std::fflush(stdout);
    }

    int connectionsToModules() const
    {
        QSet<quint16> ports;
        for (const auto& module : m_modules) {
            ports.insert(module->port());
        }
        return connectionsTo(ports);
    }

    // The descriptors are back where they were, but for connections to the modules: after a
    // module refused a further connection the plugin polls it over fewer for a while, and that
    // is no leak. It never holds more than the devices' columns ask for.
    bool descriptorsFlat() const
    {
        return m_fdsEnd - m_connectionsEnd == m_fdsStart - m_connectionsStart &&
               m_connectionsEnd <= m_options.modules * kPollConnections;
    }

    bool startModules()
    {
        for (int m = 0; m < m_options.modules; ++m) {
            m_modules.push_back(
                std::make_unique<ModuleProcess>(m_options.campSim, m, m_options.workDir));
            QString error;
            if (!m_modules.back()->startOnFreePort(&error)) {
                std::fprintf(stderr, "soak_host: %s\n", qPrintable(error));
                return false;
            }
        }
        m_injector = std::make_unique<FaultInjector>(m_modules, m_network.get());
        m_injector->setWatch({[this](int module, FaultKind kind, const char* stage) {
                                  m_devices[size_t(module)]->stageEnded(kind, stage);
                              },
                              [this](int module, FaultKind kind, const char* stage) {
                                  m_devices[size_t(module)]->stageInterrupted(kind, stage);
                              }});
        return true;
    }

    // The plugin, and one whole poll of every device, so that what the plugin and Qt set up once
    // is there before descriptors are counted.
    bool startHost()
    {
        m_plugin = startPlugin(m_options.plugin, m_modules, m_network != nullptr);
        if (!m_plugin) {
            return false;
        }
        for (const auto& module : m_modules) {
            m_devices.push_back(std::make_unique<DeviceLoad>(
                m_plugin, module->index() + 1, moduleAddress(module->index(), m_network != nullptr),
                module->port()));
            if (!m_devices.back()->pollOnce()) {
                std::fprintf(stderr, "soak_host: the first poll of module %d failed\n",
                             module->index());
                return false;
            }
        }
        HostConfig::instance().takeDebugLines();
        return true;
    }

    // Sleeps until the time, handing the host's debug lines to nowhere now and then, as a host
    // writes them to its log, and taking the steps of the faults under way when they are due.
    // False when a signal asked the soak to stop.
    bool waitUntil(int atMs)
    {
        const Clock::time_point until = m_start + std::chrono::milliseconds(atMs);
        while (Clock::now() < until && !stopped()) {
            Clock::time_point wakeUp =
                std::min(until, Clock::now() + std::chrono::milliseconds(500));
            if (const auto step = m_injector->nextStepAt()) {
                wakeUp = std::min(wakeUp, *step);
            }
            std::this_thread::sleep_until(wakeUp);
            QString error;
            if (!m_injector->runDueSteps(&error)) {
                ++m_errors;
                std::fprintf(stderr, "soak_host: %s\n", qPrintable(error));
                std::printf("  %s\n", qPrintable(error));
            }
            HostConfig::instance().takeDebugLines();
            printProgress();
        }
        return !stopped();
    }

    // A line now and then, so that a long run shows how it goes.
    void printProgress()
    {
        const qint64 elapsedMs = msBetween(m_start, Clock::now());
        const qint64 everyMs = std::max(10000, m_options.seconds * 100);
        if (elapsedMs < m_nextProgressMs) {
            return;
        }
        m_nextProgressMs = (elapsedMs / everyMs + 1) * everyMs;
        int polls = 0, wrong = 0, silent = 0;
        for (const auto& device : m_devices) {
            polls += device->polls();
            wrong += device->wrongValues();
            silent += device->silentItems();
        }
        std::printf("  at %lld s: %d polls, %d wrong, %d silent, rss %lld KiB, fds %d\n",
                    static_cast<long long>(elapsedMs / 1000), polls, wrong, silent,
                    static_cast<long long>(residentKiB()), openDescriptors());
        std::fflush(stdout);
    }

    bool runSchedule(const std::vector<FaultEvent>& schedule)
    {
        for (const Action& action : actionsOf(schedule)) {
            if (!waitUntil(action.atMs)) {
                return false;
            }
            DeviceLoad& device = *m_devices[size_t(action.event.module)];
            if (action.begins) {
                device.takeCallTimes();
                m_pollsAtBegin[action.event.module] = {device.wholePolls(), device.offScanPolls()};
            }
            QString error;
            const bool done = action.begins ? m_injector->begin(action.event, &error)
                                            : m_injector->end(action.event, &error);
            if (!done) {
                ++m_errors;
                std::fprintf(stderr, "soak_host: %s\n", qPrintable(error));
                std::printf("  %s: %s\n", qPrintable(action.event.describe()), qPrintable(error));
            }
            if (!action.begins) {
                device.faultEnded(action.event.kind);
                noteNetworkFault(action.event, device);
            }
        }
        return true;
    }

    // What a fault on the network did, in the log and in the run's sums: the SYNs lost and the
    // calls that waited a second for one; the look-ups left unanswered, the polls that were whole
    // all the same, and those that found the device off-scan (its probe then looked the module up
    // while the name server was silent).
    void noteNetworkFault(const FaultEvent& event, DeviceLoad& device)
    {
        const QString note = m_injector->networkNote(event);
        if (note.isEmpty()) {
            return;
        }
        NetworkSums& sums = m_networkSums[event.kind];
        ++sums.faults;
        QString line = QStringLiteral("  %1 s  module %2  %3 ended: %4")
                           .arg(msBetween(m_start, Clock::now()) / 1000.0, 6, 'f', 1)
                           .arg(event.module)
                           .arg(QLatin1String(faultKindName(event.kind)), note);
        if (event.kind == FaultKind::SlowConnects) {
            const CallTimes times = device.takeCallTimes();
            line += QStringLiteral("; calls of a second or more: %1, the longest %2 ms")
                        .arg(times.ofASecond)
                        .arg(times.longestMs);
            sums.evidence += times.ofASecond;
            sums.longestMs = std::max(sums.longestMs, times.longestMs);
        } else {
            const auto [wholeBefore, offScanBefore] = m_pollsAtBegin[event.module];
            const int whole = device.wholePolls() - wholeBefore;
            const int offScan = device.offScanPolls() - offScanBefore;
            line += QStringLiteral("; polls of the module meanwhile: %1 whole, %2 off-scan")
                        .arg(whole)
                        .arg(offScan);
            sums.evidence += whole;
            sums.offScan += offScan;
        }
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    }

    // With the threads stopped, every device once more: whole, on a connection of its own.
    void finalPolls()
    {
        for (size_t d = 0; d < m_devices.size(); ++d) {
            if (!m_devices[d]->pollOnce()) {
                ++m_errors;
                std::printf("  module %zu: the last poll was not whole\n", d);
            }
        }
        HostConfig::instance().takeDebugLines();
    }

    void auditWrites()
    {
        const QList<WrittenItem> items = writtenItems();
        for (size_t m = 0; m < m_modules.size(); ++m) {
            QList<quint16> memory;
            for (const WrittenItem& item : items) {
                const QByteArray answer = m_modules[m]->command(
                    "read " + itemLabel(item.addressClass, item.address).toLatin1());
                memory.append(quint16(answer.mid(3).toUInt(nullptr, 16)));
            }
            QList<camp_sim::JournalEntry> journal;
            QString error;
            if (!camp_sim::readJournal(m_modules[m]->journalPath(), &journal, &error)) {
                ++m_errors;
                std::printf("  %s\n", qPrintable(error));
            }
            const WriteAudit audit = m_devices[m]->ledger().audit(journal, memory);
            m_lost += audit.lost;
            m_duplicated += audit.duplicated;
            m_wrongWrites += audit.wrong;
            for (const QString& finding : audit.findings.mid(0, 20)) {
                std::printf("  module %zu: %s\n", m, qPrintable(finding));
            }
        }
    }

    int report(int faults)
    {
        int polls = 0, wrong = m_wrongWrites, silent = 0, offScan = 0, writes = 0, written = 0,
            late = 0;
        qint64 longest = 0;
        // faults, longest recovery; by kind, and by stage of a fault for those the device must
        // come back from while the fault goes on
        std::map<std::pair<FaultKind, QString>, std::pair<int, qint64>> byKind;
        for (const auto& device : m_devices) {
            polls += device->polls();
            wrong += device->wrongValues();
            silent += device->silentItems();
            offScan += device->offScanPolls();
            writes += device->ledger().entries();
            written += device->ledger().written();
            for (const QString& finding : device->findings()) {
                std::printf("  %s\n", qPrintable(finding));
            }
            for (const Recovery& recovery : device->recoveries()) {
                const bool isLate =
                    recovery.ms == kNeverRecovered || recovery.ms > kRecoveryBoundMs;
                late += isLate ? 1 : 0;
                longest = std::max(longest, recovery.ms);
                const QString name =
                    QLatin1String(faultKindName(recovery.kind)) +
                    (recovery.stage ? QStringLiteral(", %1").arg(QLatin1String(recovery.stage))
                                    : QString());
                auto& kind = byKind[{recovery.kind, name}];
                ++kind.first;
                kind.second = std::max(kind.second, recovery.ms);
                if (isLate) {
                    std::printf("  module %d: %s: no whole poll within %d ms\n",
                                int(&device - &m_devices.front()), qPrintable(name),
                                kRecoveryBoundMs);
                }
            }
        }
        std::printf("recoveries by fault:\n");
        for (const auto& [kind, figures] : byKind) {
            std::printf("  %-42s %3d, longest %lld ms\n", qPrintable(kind.second), figures.first,
                        static_cast<long long>(figures.second));
        }
        if (const auto slow = m_networkSums.find(FaultKind::SlowConnects);
            slow != m_networkSums.end()) {
            std::printf("slow connects, in all: faults %d, calls of a second or more %d (the "
                        "longest %lld ms)\n",
                        slow->second.faults, slow->second.evidence,
                        static_cast<long long>(slow->second.longestMs));
        }
        if (const auto silent = m_networkSums.find(FaultKind::NameServerSilent);
            silent != m_networkSums.end()) {
            std::printf("name server silent, in all: faults %d, polls of their modules meanwhile "
                        "%d whole and %d off-scan\n",
                        silent->second.faults, silent->second.evidence, silent->second.offScan);
        }

        std::printf(
            "connections to the modules %d -> %d (at most %d), other descriptors %d -> %d\n",
            m_connectionsStart, m_connectionsEnd, m_options.modules * kPollConnections,
            m_fdsStart - m_connectionsStart, m_fdsEnd - m_connectionsEnd);
        const bool flat = m_rssEnd - m_rssStart <= kRssSlackKiB;
        std::printf("soak: %d s, %d modules, seed %u, %d polls, %d writes (%d acknowledged), "
                    "%d wrong, %d lost, %d silent, %d duplicated, %d faults, %d off-scan polls, "
                    "longest recovery %lld ms, %d late, fds %d -> %d, rss %lld -> %lld KiB\n",
                    m_options.seconds, m_options.modules, m_options.seed, polls, writes, written,
                    wrong, m_lost, silent, m_duplicated, faults, offScan,
                    static_cast<long long>(longest), late, m_fdsStart, m_fdsEnd,
                    static_cast<long long>(m_rssStart), static_cast<long long>(m_rssEnd));
        if (!flat) {
            std::printf("soak: resident memory grew by more than %lld KiB after the warm-up\n",
                        static_cast<long long>(kRssSlackKiB));
        }
        if (!descriptorsFlat()) {
            std::printf("soak: descriptors other than connections to the modules did not come "
                        "back, or the host holds more connections than its devices ask for\n");
        }
        if (m_errors > 0) {
            std::printf("soak: %d faults or final polls did not go as planned\n", m_errors);
        }
        std::fflush(stdout);
        const bool passed = wrong == 0 && m_lost == 0 && silent == 0 && m_duplicated == 0 &&
                            late == 0 && m_errors == 0 && descriptorsFlat() && flat;
        return passed ? 0 : 1;
    }

    Options m_options;
    // First, so that it goes last: the modules, the connections held and the plugin's threads
    // leave it before it is deleted.
    std::unique_ptr<SoakNetwork> m_network;
    std::vector<std::unique_ptr<ModuleProcess>> m_modules;
    std::unique_ptr<FaultInjector> m_injector;
    KIBInterface* m_plugin = nullptr;
    std::vector<std::unique_ptr<DeviceLoad>> m_devices;
    Clock::time_point m_start;
    qint64 m_nextProgressMs = 0;
    int m_fdsStart = 0, m_fdsEnd = 0;
    int m_connectionsStart = 0, m_connectionsEnd = 0;
    qint64 m_rssStart = 0, m_rssEnd = 0;
    int m_lost = 0, m_duplicated = 0, m_wrongWrites = 0, m_errors = 0;
    // By module: its device's whole and off-scan polls as its fault began.
    std::map<int, std::pair<int, int>> m_pollsAtBegin;
    struct NetworkSums
    {
        int faults = 0;
        int evidence = 0; // calls of a second or more; whole polls while the name server was silent
        int offScan = 0;  // off-scan polls while the name server was silent
        qint64 longestMs = 0;
    };
    std::map<FaultKind, NetworkSums> m_networkSums;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // A module that died must not take the soak with it when a command is written to it.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, askToStop);
    std::signal(SIGTERM, askToStop);
    Options options;
    if (!parseOptions(app, &options)) {
        return 2;
    }
    QDir().mkpath(options.workDir);
    return SoakRun(options).run();
}
