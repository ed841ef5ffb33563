// The end-to-end benchmark: whole polls of 10 to 10 000 dense items against simulated PLCs that
// wait an added latency before each reply, beside the limit (blocks x latency), the driver alone
// reading the same blocks (in turns with the plugin), a one-read-per-item loop over the same
// driver, and libmodbus with the same latency (raw registers, and the same values stored in the
// same request); 1 to 256 devices polled by 8 host threads; and discovery scans inside a network
// namespace of its own. Every loop is bounded in count and time. Writes its figures as JSON.
//
//   bench_e2e --out FILE [--netns NAME] [--only end_to_end|many_devices|discovery] [--items N]

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>

#include "app_camp_nitp.h"
#include "bench_support.h"
#include "camp_discovery.h"
#include "modbus_peer.h"
#include "modbus_records.h"
#include "network_namespace.h"

using namespace bench;

namespace {

constexpr int kHostThreads = 8;

// One poll, timed: wall time, the calling thread's CPU time, and the requests it sent (-1 when it
// failed).
struct Sample
{
    double ms = 0;
    double cpuUs = 0;
    int sent = 0;
};

using PollFunction = std::function<int()>;

Sample timeOnce(const PollFunction& poll)
{
    const qint64 cpuBefore = threadCpuNs();
    const qint64 before = monotonicNs();
    Sample sample;
    sample.sent = poll();
    sample.ms = (monotonicNs() - before) / 1e6;
    sample.cpuUs = (threadCpuNs() - cpuBefore) / 1e3;
    return sample;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Timing
{
    int polls = 0;
    int failures = 0;
    double pollsPerSecond = 0;
    double medianMs = 0;
    double p90Ms = 0;
    double cpuUsPerPoll = 0;
    double requestsPerPoll = 0;
};

Timing summarize(const std::vector<Sample>& samples)
{
    Timing timing;
    std::vector<double> times;
    double totalMs = 0, totalCpuUs = 0, requests = 0;
    for (const Sample& sample : samples) {
        times.push_back(sample.ms);
        totalMs += sample.ms;
        totalCpuUs += sample.cpuUs;
        if (sample.sent < 0) {
            ++timing.failures;
        } else {
            requests += sample.sent;
        }
    }
    timing.polls = static_cast<int>(samples.size());
    if (samples.empty()) {
        return timing;
    }
    std::sort(times.begin(), times.end());
    timing.pollsPerSecond = totalMs > 0 ? 1e3 * timing.polls / totalMs : 0;
    timing.medianMs = times[times.size() / 2];
    timing.p90Ms = times[times.size() * 9 / 10];
    timing.cpuUsPerPoll = totalCpuUs / timing.polls;
    timing.requestsPerPoll = requests / timing.polls;
    return timing;
}

// Polls until the time budget or the count runs out, but at least minPolls times.
Timing measure(const PollFunction& poll, double budgetSeconds, int maxPolls, int minPolls = 3)
{
    std::vector<Sample> samples;
    const qint64 deadline = monotonicNs() + static_cast<qint64>(budgetSeconds * 1e9);
    while (static_cast<int>(samples.size()) < maxPolls &&
           (static_cast<int>(samples.size()) < minPolls || monotonicNs() < deadline)) {
        samples.push_back(timeOnce(poll));
    }
    return summarize(samples);
}

// Two polls taken in turns, each pair in the other order than the one before, so that both see
// the same load of a shared machine. The ratio is the median of the pairs' ratios first / second.
struct PairTiming
{
    Timing first, second;
    int pairs = 0;
    double medianRatio = 0;
};

PairTiming measurePair(const PollFunction& first, const PollFunction& second, double budgetSeconds,
                       int maxPairs, int minPairs = 5)
{
    std::vector<Sample> firstSamples, secondSamples;
    std::vector<double> ratios;
    const qint64 deadline = monotonicNs() + static_cast<qint64>(budgetSeconds * 1e9);
    while (static_cast<int>(ratios.size()) < maxPairs &&
           (static_cast<int>(ratios.size()) < minPairs || monotonicNs() < deadline)) {
        const bool firstGoesFirst = ratios.size() % 2 == 0;
        const Sample a = timeOnce(firstGoesFirst ? first : second);
        const Sample b = timeOnce(firstGoesFirst ? second : first);
        const Sample& ofFirst = firstGoesFirst ? a : b;
        const Sample& ofSecond = firstGoesFirst ? b : a;
        firstSamples.push_back(ofFirst);
        secondSamples.push_back(ofSecond);
        if (ofFirst.sent >= 0 && ofSecond.sent >= 0 && ofSecond.ms > 0) {
            ratios.push_back(ofFirst.ms / ofSecond.ms);
        }
    }
    PairTiming timing;
    timing.first = summarize(firstSamples);
    timing.second = summarize(secondSamples);
    timing.pairs = static_cast<int>(firstSamples.size());
    timing.medianRatio = median(ratios);
    return timing;
}

QJsonObject toJson(const Timing& timing)
{
    return QJsonObject{{"polls", timing.polls},
                       {"failures", timing.failures},
                       {"polls_per_second", timing.pollsPerSecond},
                       {"median_ms", timing.medianMs},
                       {"p90_ms", timing.p90Ms},
                       {"cpu_us_per_poll", timing.cpuUsPerPoll},
                       {"requests_per_poll", timing.requestsPerPoll}};
}

std::unique_ptr<camp_sim::SimulatedPlc> startPlc(const camp_sim::PlcConfig& config, int latencyMs,
                                                 const std::vector<ItemSpec>& items)
{
    auto plc = std::make_unique<camp_sim::SimulatedPlc>(config);
    plc->setKeptRequestLimit(0);
    if (!plc->start()) {
        return nullptr;
    }
    fillMemory(*plc, items);
    camp_sim::Faults faults;
    faults.latencyMs = latencyMs;
    plc->setFaults(faults);
    return plc;
}

// A one-read-per-item poll longer than this is not timed: it would hold up the run for a figure
// that is the item count times one round trip.
constexpr double kLongestOneReadPerItemMs = 12000;

// The same blocks the plugin's poll reads, read by the driver alone with nothing converted.
int readBlocksWithDriver(CAMP_NITP& driver, int count)
{
    int sent = 0;
    for (int first = 0; first < count; first += camp_wire::kMaxReadWords, ++sent) {
        const int words = std::min<int>(camp_wire::kMaxReadWords, count - first);
        Words received;
        if (!driver.readMemoryBlock(AddressClass::V, static_cast<quint32>(first + 1),
                                    static_cast<quint16>(words), received, nullptr)) {
            return -1;
        }
    }
    return sent;
}

// One request per item over the driver, each value converted as the plugin does.
int readOneByOne(CAMP_NITP& driver, QList<DataItem>& entries)
{
    int sent = 0;
    for (DataItem& entry : entries) {
        Words words;
        if (!driver.readMemory(&entry.item, words)) {
            return -1;
        }
        ++sent;
        entry.values.insert(QStringLiteral("value"),
                            App_CAMP_NITP::convertData(&entry.item, words));
    }
    return sent;
}

// The plugin's poll and the driver alone reading the same blocks, in turns: the plugin's cost on
// top of what any client of this machine's sockets and scheduler pays. Twice: polling the same
// records each time, as a host does, and records new in every poll, planned afresh each time.
// Then the driver alone beside itself on a second connection: what the comparison reads when
// there is no difference at all.
void pluginBesideDriver(App_CAMP_NITP& plugin, camp_sim::SimulatedPlc& plc, LogList& log, int count,
                        QJsonObject& result)
{
    CAMP_NITP driver;
    if (!driver.connectToPLC(&log)) {
        result.insert("error", "the driver did not connect");
        return;
    }
    const auto pollOf = [&](LogList& request) {
        const int before = plc.requestCount();
        return plugin.readData(&request) ? plc.requestCount() - before : -1;
    };
    const auto driverAlone = [&] { return readBlocksWithDriver(driver, count); };
    plugin.readData(&log); // connects
    const PairTiming same = measurePair([&] { return pollOf(log); }, driverAlone, 2.0, 5000);
    result.insert("plugin", toJson(same.first));
    result.insert("driver_blocks_only", toJson(same.second));
    result.insert("plugin_over_driver",
                  QJsonObject{{"pairs", same.pairs}, {"median_ratio", same.medianRatio}});

    LogList inTurns[] = {withNewRecords(log), withNewRecords(log)};
    size_t polls = 0;
    const PairTiming fresh =
        measurePair([&] { return pollOf(inTurns[polls++ % 2]); }, driverAlone, 1.0, 5000);
    result.insert("plugin_new_records", toJson(fresh.first));
    result.insert("plugin_new_records_over_driver",
                  QJsonObject{{"pairs", fresh.pairs}, {"median_ratio", fresh.medianRatio}});
    CAMP_NITP secondDriver;
    if (secondDriver.connectToPLC(&log)) {
        const PairTiming itself = measurePair(
            driverAlone, [&] { return readBlocksWithDriver(secondDriver, count); }, 1.0, 5000);
        result.insert("driver_over_driver",
                      QJsonObject{{"pairs", itself.pairs}, {"median_ratio", itself.medianRatio}});
    }
    // Checked after the clock: looking at every value is no part of a poll.
    QString problem = pollProblem(log);
    for (const LogList& request : inTurns) {
        if (problem.isEmpty()) {
            problem = pollProblem(request);
        }
    }
    if (!problem.isEmpty()) {
        result.insert("error", problem);
    }
}

void oneReadPerItem(const LogList& log, int count, int latencyMs, QJsonObject& result)
{
    const double expectedMs = count * (latencyMs + 0.05);
    if (expectedMs > kLongestOneReadPerItemMs) {
        result.insert(
            "one_read_per_item",
            QJsonObject{
                {"skipped", QStringLiteral("about %1 s a poll").arg(expectedMs / 1e3, 0, 'f', 0)}});
        return;
    }
    CAMP_NITP driver;
    DeviceInstancePlugin device = log;
    if (!driver.connectToPLC(&device)) {
        return;
    }
    QList<DataItem> entries = log.items;
    const Timing naive = measure([&] { return readOneByOne(driver, entries); }, 1.0, 200, 1);
    result.insert("one_read_per_item", toJson(naive));
}

// libmodbus against its own server with the same added latency: raw registers, and the same
// values stored in the same request as the plugin's poll.
void modbusPeer(const LogList& log, int count, int latencyMs, QJsonObject& result)
{
    ModbusServer server(latencyMs);
    ModbusClient client;
    if (!server.start() || !client.connect(server.port())) {
        result.insert("libmodbus_error", "no libmodbus server");
        return;
    }
    std::vector<uint16_t> registers;
    const Timing raw = measure([&] { return client.readWords(count, registers); }, 1.0, 5000);
    result.insert("libmodbus", toJson(raw));

    LogList records = log;
    ModbusRecordPoll peer(client);
    const Timing full = measure([&] { return peer.poll(records); }, 1.0, 5000);
    result.insert("libmodbus_records", toJson(full));
}

// A dense item set polled by the plugin beside the driver alone reading the same blocks, one read
// per item, and libmodbus, all against peers that wait latencyMs before each reply.
QJsonObject endToEnd(App_CAMP_NITP& plugin, int deviceId, int latencyMs, int count)
{
    const OneCore oneCore; // with the peers started here, so that every connection costs the same
    const std::vector<ItemSpec> items = denseItems(count);
    const int blocks = blockRuleMinimum(items);
    QJsonObject result{{"items", count},
                       {"latency_ms", latencyMs},
                       {"blocks", blocks},
                       {"limit_ms", double(blocks * latencyMs)},
                       {"one_core", oneCore.pinned()}};
    std::unique_ptr<camp_sim::SimulatedPlc> plc = startPlc(roomyPlc(), latencyMs, items);
    if (!plc) {
        result.insert("error", "the simulated PLC did not start");
        return result;
    }
    LogList log = pollRequest(deviceId, plc->port(), items);
    pluginBesideDriver(plugin, *plc, log, count, result);
    oneReadPerItem(log, count, latencyMs, result);
    modbusPeer(log, count, latencyMs, result);

    const QJsonObject polls = result.value("plugin").toObject();
    const auto ratio = [&result](const char* key) {
        return result.value(key).toObject().value("median_ratio").toDouble();
    };
    std::printf("end-to-end %5d items %d ms: %.3f ms a poll (limit %d ms), x%.3f of the driver "
                "(new records x%.3f)\n",
                count, latencyMs, polls.value("median_ms").toDouble(), blocks * latencyMs,
                ratio("plugin_over_driver"), ratio("plugin_new_records_over_driver"));
    std::fflush(stdout);
    return result;
}

// A PLC of the default memory sizes: hundreds of them fit in memory, the roomy ones would not.
camp_sim::PlcConfig smallPlc()
{
    camp_sim::PlcConfig config;
    config.serial = 812;
    config.maxConnections = 64;
    return config;
}

// 8 host threads poll `devices` simulated PLCs (100 items each) for a while; with fewer devices
// than threads, threads share a device, as the host's do. With `newRecords`, every device is polled
// with two requests of records of their own in turns, as a host that builds them for every poll.
QJsonObject manyDevices(int devices, int latencyMs, bool newRecords = false)
{
    constexpr int kItems = 100;
    constexpr double kSeconds = 1.5;
    constexpr long kMaxPollsPerThread = 200000;
    const std::vector<ItemSpec> items = denseItems(kItems);
    QJsonObject result{{"devices", devices},
                       {"threads", kHostThreads},
                       {"latency_ms", latencyMs},
                       {"new_records", newRecords}};

    std::vector<std::unique_ptr<camp_sim::SimulatedPlc>> plcs;
    for (int i = 0; i < devices; ++i) {
        plcs.push_back(startPlc(smallPlc(), latencyMs, items));
        if (!plcs.back()) {
            result.insert("error", "a simulated PLC did not start");
            return result;
        }
    }
    App_CAMP_NITP plugin;
    std::vector<std::vector<LogList>> requests(kHostThreads);
    for (int t = 0; t < kHostThreads; ++t) {
        if (devices < kHostThreads) {
            const int d = t % devices;
            requests[t].push_back(pollRequest(d + 1, plcs[d]->port(), items));
        } else {
            for (int d = t; d < devices; d += kHostThreads) {
                requests[t].push_back(pollRequest(d + 1, plcs[d]->port(), items));
            }
        }
        if (newRecords) {
            std::vector<LogList> inTurns;
            for (const LogList& log : requests[t]) {
                inTurns.push_back(log);
                inTurns.push_back(withNewRecords(log));
            }
            requests[t].swap(inTurns);
        }
        for (LogList& log : requests[t]) {
            plugin.readData(&log); // every device connected before the clock starts
        }
    }

    std::atomic<bool> go{false};
    std::atomic<long> polls{0}, failures{0};
    std::atomic<qint64> hostCpuNs{0};
    qint64 deadline = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kHostThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            long mine = 0;
            const qint64 cpuBefore = threadCpuNs();
            for (size_t next = 0; mine < kMaxPollsPerThread && monotonicNs() < deadline; ++mine) {
                LogList& log = requests[t][next];
                next = (next + 1) % requests[t].size();
                if (!plugin.readData(&log)) {
                    ++failures;
                }
            }
            hostCpuNs += threadCpuNs() - cpuBefore;
            polls += mine;
        });
    }
    const qint64 start = monotonicNs();
    deadline = start + static_cast<qint64>(kSeconds * 1e9);
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double elapsed = (monotonicNs() - start) / 1e9;
    const double cpuUsPerPoll = polls ? hostCpuNs.load() / 1e3 / double(polls) : 0.0;

    result.insert("polls", double(polls.load()));
    result.insert("failures", double(failures.load()));
    result.insert("polls_per_second", polls / elapsed);
    result.insert("host_cpu_us_per_poll", cpuUsPerPoll);
    std::printf("%3d devices, %d threads, %d ms%s: %.0f polls/s, %.1f us host CPU a poll\n",
                devices, kHostThreads, latencyMs, newRecords ? ", new records" : "",
                polls / elapsed, cpuUsPerPoll);
    std::fflush(stdout);
    return result;
}

// A scan of one interface of the namespace, timed; three runs.
QJsonObject scan(const QString& interface, quint16 port, int expectedFound, double floorMs)
{
    CampDiscovery::Options options;
    options.networkInterface = interface;
    options.tcpPorts = {port};
    CampDiscovery::QtTransport transport;
    std::vector<double> times;
    int found = -1;
    for (int run = 0; run < 3; ++run) {
        const qint64 start = monotonicNs();
        found = CampDiscovery::discoverDevices(options, transport, nullptr, nullptr).size();
        times.push_back((monotonicNs() - start) / 1e6);
    }
    QJsonArray runs;
    for (double time : times) {
        runs.append(time);
    }
    std::printf("discovery on %s: %.1f ms (floor %.1f ms), %d found\n", qPrintable(interface),
                median(times), floorMs, found);
    std::fflush(stdout);
    return QJsonObject{{"runs_ms", runs},
                       {"median_ms", median(times)},
                       {"floor_ms", floorMs},
                       {"found", found},
                       {"expected", expectedFound},
                       {"targets", CampDiscovery::ipv4HostsOnInterface(interface, nullptr).size()}};
}

// Two /24 subnets on quiet interfaces of a private namespace: one empty, one with 8 simulated
// controllers. The floor of a scan is one 80 ms connect time-out for every 48 silent addresses.
QJsonObject discovery(const QString& namespaceName)
{
    camp_sim::NetworkNamespace ns(namespaceName);
    const QString problem = ns.create();
    if (!problem.isEmpty()) {
        return QJsonObject{{"skipped", problem}};
    }
    const QString empty = QStringLiteral("kbench0"), busy = QStringLiteral("kbench1");
    bool ready = ns.addQuietInterface(empty) && ns.addAddress(empty, "10.77.91.1/24") &&
                 ns.addQuietInterface(busy) && ns.addAddress(busy, "10.77.92.1/24");
    constexpr int kControllers = 8;
    for (int i = 0; i < kControllers; ++i) {
        ready = ready && ns.addAddress(busy, QStringLiteral("10.77.92.%1/32").arg(11 + i));
    }
    if (!ready || !ns.enter()) {
        return QJsonObject{{"skipped", "the namespace could not be set up"}};
    }

    std::vector<std::unique_ptr<camp_sim::SimulatedPlc>> plcs;
    quint16 port = 0;
    for (int i = 0; i < kControllers; ++i) {
        camp_sim::PlcConfig config;
        config.serial = static_cast<quint16>(900 + i);
        plcs.push_back(std::make_unique<camp_sim::SimulatedPlc>(config));
        if (!plcs.back()->start(QStringLiteral("10.77.92.%1").arg(11 + i), port)) {
            return QJsonObject{{"skipped", "a simulated controller did not start"}};
        }
        port = plcs.back()->port();
    }

    // One identify exchange (connect, V1 read, status word read) on its own.
    CampDiscovery::QtTransport transport;
    std::vector<double> exchanges;
    for (int i = 0; i < 20; ++i) {
        const qint64 start = monotonicNs();
        transport.tcpIdentify(QStringLiteral("10.77.92.11"), port,
                              CampDiscovery::kTcpConnectTimeoutMs,
                              CampDiscovery::kIdentifyTimeoutMs);
        exchanges.push_back((monotonicNs() - start) / 1e6);
    }
    const double exchangeMs = median(exchanges);
    const auto floorMs = [](int silent) {
        const int rounds =
            (silent + CampDiscovery::kMaxSynWorkers - 1) / CampDiscovery::kMaxSynWorkers;
        return rounds * double(CampDiscovery::kTcpConnectTimeoutMs);
    };

    QJsonObject result{{"identify_exchange_ms", exchangeMs}};
    result.insert("empty", scan(empty, port, 0, floorMs(254)));
    // 245 silent addresses (254 less the own address, which refuses at once, and 8 controllers).
    result.insert("controllers",
                  scan(busy, port, kControllers, floorMs(254 - 1 - kControllers) + exchangeMs));
    plcs.clear(); // stopped before their addresses go away
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString out = QStringLiteral("bench_e2e.json");
    QString namespaceName = QStringLiteral("kib_bench_%1").arg(::getpid());
    QString only;      // one section alone, while tuning
    int onlyItems = 0; // end-to-end rows of this item count alone, while tuning
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--out" && i + 1 < arguments.size()) {
            out = arguments[++i];
        } else if (arguments[i] == "--netns" && i + 1 < arguments.size()) {
            namespaceName = arguments[++i];
        } else if (arguments[i] == "--only" && i + 1 < arguments.size()) {
            only = arguments[++i];
        } else if (arguments[i] == "--items" && i + 1 < arguments.size()) {
            onlyItems = arguments[++i].toInt();
        }
    }

    const auto wanted = [&only](const char* section) {
        return only.isEmpty() || only == QLatin1String(section);
    };
    QJsonObject report;
    if (wanted("end_to_end")) {
        App_CAMP_NITP plugin;
        QJsonArray cases;
        int deviceId = 1;
        for (int latencyMs : {0, 1, 5}) {
            for (int count : {10, 100, 1000, 10000}) {
                if (onlyItems != 0 && count != onlyItems) {
                    continue;
                }
                cases.append(endToEnd(plugin, deviceId++, latencyMs, count));
            }
        }
        report.insert("end_to_end", cases);
    }
    if (wanted("many_devices")) {
        QJsonArray many;
        for (int latencyMs : {0, 1}) {
            for (int devices : {1, 16, 64, 256}) {
                many.append(manyDevices(devices, latencyMs));
            }
            many.append(manyDevices(256, latencyMs, true));
        }
        report.insert("many_devices", many);
    }
    if (wanted("discovery")) {
        const QJsonObject found = discovery(namespaceName);
        if (found.contains("skipped")) {
            std::printf("discovery skipped: %s\n", qPrintable(found.value("skipped").toString()));
        }
        report.insert("discovery", found);
    }

    return bench::writeReport(out, report) ? 0 : 1;
}
