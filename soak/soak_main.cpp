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

#include "device_load.h"
#include "fault_injector.h"
#include "fault_schedule.h"
#include "module_process.h"
#include "process_usage.h"
#include "soak_plan.h"

#include "hostconfig.h"
#include "kibinterface.h"
#include "write_journal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QPluginLoader>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace soak;

namespace {

struct Options
{
    int seconds = 600;
    int modules = 4;
    unsigned seed = 0;
    QString workDir;
    QString campSim;
    QString plugin;
};

// When what happens, in ms from the start of the polling.
struct Timeline
{
    int warmUpMs;       // polls and writes only; memory is measured at its end
    int lastFaultEndMs; // then quiet, long enough for every device to come back
    int endMs;
};

Timeline timelineFor(int seconds)
{
    const int endMs = seconds * 1000;
    const int warmUpMs = std::clamp(endMs / 6, 5000, 60000);
    return {warmUpMs, endMs - kRecoveryBoundMs - 3000, endMs};
}

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
    parser.addOptions({seconds, modules, seed, workDir, campSim, plugin});
    parser.process(app);
    options->seconds = parser.value(seconds).toInt();
    options->modules = parser.value(modules).toInt();
    options->seed = parser.isSet(seed) ? parser.value(seed).toUInt() : std::random_device()();
    options->workDir = parser.value(workDir);
    options->campSim = parser.value(campSim);
    options->plugin = parser.value(plugin);
    if (options->seconds < 30 || options->modules < 1 || options->workDir.isEmpty()) {
        std::fprintf(stderr, "soak_host: --seconds 30 or more, --modules 1 or more and "
                             "--work-dir DIR are needed\n");
        return false;
    }
    return true;
}

// Loads the plugin as the host does, hands it the modules as devices and starts it.
KIBInterface* startPlugin(const QString& path,
                          const std::vector<std::unique_ptr<ModuleProcess>>& modules)
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
        device.address = QStringLiteral("127.0.0.1");
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
        const Timeline timeline = timelineFor(m_options.seconds);
        const std::vector<FaultEvent> schedule = makeSchedule(
            m_options.seed, m_options.modules, timeline.warmUpMs, timeline.lastFaultEndMs);
        printPlan(schedule);
        if (!startModules() || !startHost()) {
            return 2;
        }

        m_fdsStart = openDescriptors();
        m_connectionsStart = connectionsToModules();
        for (auto& device : m_devices) {
            device->start();
        }
        m_start = Clock::now();
        waitUntil(timeline.warmUpMs);
        m_rssStart = residentKiB();
        runSchedule(schedule);
        waitUntil(timeline.endMs);
        m_rssEnd = residentKiB();
        for (auto& device : m_devices) {
            device->stop();
        }
        finalPolls();
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
    void printPlan(const std::vector<FaultEvent>& schedule) const
    {
        std::printf("soak: %d s, %d modules, seed %u; poll every %d ms, write every %d ms, "
                    "time-out %d ms, recovery bound %d ms\n",
                    m_options.seconds, m_options.modules, m_options.seed, kPollIntervalMs,
                    kWriteIntervalMs, kDeviceTimeoutMs, kRecoveryBoundMs);
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
        m_injector = std::make_unique<FaultInjector>(m_modules);
        return true;
    }

    // The plugin, and one whole poll of every device, so that what the plugin and Qt set up once
    // is there before descriptors are counted.
    bool startHost()
    {
        m_plugin = startPlugin(m_options.plugin, m_modules);
        if (!m_plugin) {
            return false;
        }
        for (const auto& module : m_modules) {
            m_devices.push_back(
                std::make_unique<DeviceLoad>(m_plugin, module->index() + 1, module->port()));
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
    // writes them to its log.
    void waitUntil(int atMs)
    {
        const Clock::time_point until = m_start + std::chrono::milliseconds(atMs);
        while (Clock::now() < until) {
            std::this_thread::sleep_until(
                std::min(until, Clock::now() + std::chrono::milliseconds(500)));
            HostConfig::instance().takeDebugLines();
            printProgress();
        }
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

    void runSchedule(const std::vector<FaultEvent>& schedule)
    {
        for (const Action& action : actionsOf(schedule)) {
            waitUntil(action.atMs);
            QString error;
            const bool done = action.begins ? m_injector->begin(action.event, &error)
                                            : m_injector->end(action.event, &error);
            if (!done) {
                ++m_errors;
                std::fprintf(stderr, "soak_host: %s\n", qPrintable(error));
                std::printf("  %s: %s\n", qPrintable(action.event.describe()), qPrintable(error));
            }
            if (!action.begins) {
                m_devices[size_t(action.event.module)]->faultEnded(action.event.kind);
            }
        }
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
        std::map<FaultKind, std::pair<int, qint64>> byKind; // faults, longest recovery
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
                auto& kind = byKind[recovery.kind];
                ++kind.first;
                kind.second = std::max(kind.second, recovery.ms);
                if (isLate) {
                    std::printf("  module %d: %s: no whole poll within %d ms\n",
                                int(&device - &m_devices.front()), faultKindName(recovery.kind),
                                kRecoveryBoundMs);
                }
            }
        }
        std::printf("recoveries by fault:\n");
        for (const auto& [kind, figures] : byKind) {
            std::printf("  %-42s %3d, longest %lld ms\n", faultKindName(kind), figures.first,
                        static_cast<long long>(figures.second));
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
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // A module that died must not take the soak with it when a command is written to it.
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    if (!parseOptions(app, &options)) {
        return 2;
    }
    QDir().mkpath(options.workDir);
    return SoakRun(options).run();
}
