// The subnet scan: up to 48 plain threads claim targets from one atomic counter and probe each on
// every port, within the window and under the host's cancel flag.

#include "camp_discovery.h"
#include "worker_pool.h"

#include <QElapsedTimer>
#include <QTextStream>

#include <cstdio>
#include <mutex>
#include <system_error>
#include <vector>

namespace CampDiscovery {

namespace detail {

std::thread startThread(const std::function<void()>& work)
{
    return std::thread(work);
}

int runWorkers(int count, const std::function<void()>& work, const ThreadStarter& start)
{
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(qMax(count, 0)));
    for (int i = 0; i < count; ++i) {
        try {
            threads.push_back(start(work));
        } catch (const std::system_error&) {
            // Out of threads: the ones running share the targets among themselves.
            break;
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return static_cast<int>(threads.size());
}

} // namespace detail

namespace {

// State shared by the workers of one scan; it lives in discoverDevices until all are joined.
struct ScanState
{
    ScanState(const Options& options, const QStringList& targets, Transport& transport,
              std::atomic<bool>* cancel)
        : options(options), targets(targets), transport(transport), cancel(cancel)
    {
    }

    const Options& options;
    const QStringList& targets;
    Transport& transport;
    std::atomic<bool>* const cancel;
    std::atomic<int> nextIndex{0};
    QElapsedTimer window;
    std::mutex mutex; // guards seenUids and result
    QStringList seenUids;
    QList<Candidate> result;
};

void logDiscovery(const QString& line)
{
    // Looked up on every call, so a running host can switch it.
    if (!qEnvironmentVariableIsSet("KIB_DISCOVERY_DEBUG")) {
        return;
    }
    QTextStream err(stderr);
    err << line << '\n';
    err.flush();
}

QString probesLine(const QList<quint16>& ports)
{
    QStringList texts;
    for (quint16 port : ports) {
        texts.append(QString::number(port));
    }
    return QStringLiteral("CAMP NITP discovery probes TCP %1 . Accept commas and ranges, for "
                          "example 4450, 4480 or 4450-4451.")
        .arg(texts.join(QStringLiteral(", ")));
}

QStringList scanTargets(const QStringList& hosts)
{
    QStringList targets;
    for (const QString& host : hosts) {
        if (host.isEmpty() || host == QLatin1String("0.0.0.0") ||
            host.startsWith(QLatin1String("127."))) {
            continue;
        }
        targets.append(host);
    }
    return targets;
}

bool cancelled(const ScanState& state)
{
    return state.cancel && state.cancel->load();
}

Candidate candidateFrom(const QString& host, quint16 port, const IdentifyResult& reply)
{
    Candidate candidate;
    candidate.address = host;
    candidate.port = port;
    candidate.v0Word = reply.v0Word;
    candidate.serial = reply.serial;
    candidate.firmware = reply.firmware;
    candidate.protocolError = reply.protocolError;
    return candidate;
}

void report(ScanState& state, const QString& uid, const Candidate& candidate)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.seenUids.contains(uid)) {
        state.seenUids.append(uid);
        state.result.append(candidate);
    }
}

// Returns false when the scan was cancelled.
bool probeHost(ScanState& state, const QString& host)
{
    for (quint16 port : state.options.tcpPorts) {
        if (cancelled(state)) {
            return false;
        }
        const IdentifyResult reply =
            state.transport.tcpIdentify(host, port, kTcpConnectTimeoutMs, kIdentifyTimeoutMs);
        if (!reply.campReply) {
            continue;
        }
        const QString uid = uidFor(host, port);
        if (state.options.existingUids.contains(uid)) {
            continue;
        }
        report(state, uid, candidateFrom(host, port, reply));
    }
    return true;
}

void runWorker(ScanState& state)
{
    for (;;) {
        if (cancelled(state) || state.window.elapsed() >= state.options.timeoutMs) {
            return;
        }
        // The window is looked at only here: a claimed host is probed on all its ports.
        const int index = state.nextIndex.fetch_add(1);
        if (index >= state.targets.size()) {
            return;
        }
        if (!probeHost(state, state.targets.at(index))) {
            return;
        }
    }
}

} // namespace

QList<Candidate> discoverDevices(const Options& options, Transport& transport, QStringList* log,
                                 std::atomic<bool>* cancel)
{
    if (log) {
        log->append(probesLine(options.tcpPorts));
    }
    if (!options.tcpSubnetScan || options.tcpPorts.isEmpty()) {
        return QList<Candidate>();
    }
    const QStringList hosts = options.hosts.isEmpty()
                                  ? ipv4HostsOnInterface(options.networkInterface, log)
                                  : options.hosts;
    const QStringList targets = scanTargets(hosts);
    if (targets.isEmpty()) {
        return QList<Candidate>();
    }

    ScanState state(options, targets, transport, cancel);
    state.window.start();
    detail::runWorkers(qMin(targets.size(), kMaxSynWorkers), [&state] { runWorker(state); });

    logDiscovery(QStringLiteral("CAMP NITP discovery importable=%1").arg(state.result.size()));
    return state.result;
}

} // namespace CampDiscovery
