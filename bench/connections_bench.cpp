// Large polls on a slow-scan PLC over 1, 2, 4 and 8 connections ("connections" device column):
// camp-sim in a process of its own with a 20 ms scan (at most 8 requests served a scan, from all
// connections together), 1,000 and 10,000 dense one-word items. A poll of B blocks can take no
// fewer than ceil(B / min(N, 8)) scans; the figure to watch is each poll's time against N = 1.
//
// And a poll over 8 connections of which 7 take their requests and never answer: the replies
// awaited together cost one time-out, not one each (in-process simulated PLC, silent-beyond=1).
//
//   bench_connections --out FILE.json

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app_camp_nitp.h"
#include "bench_support.h"
#include "sim_process.h"
#include "simulated_plc.h"

using namespace bench;

namespace {

constexpr int kScanMs = 20;
constexpr int kPolls = 3;
constexpr int kWordsPerBlock = 256;

double medianPollMs(App_CAMP_NITP& plugin, LogList& log, QString& problem)
{
    std::vector<double> times;
    plugin.readData(&log); // opens the connections: not part of a poll's time
    for (int i = 0; i < kPolls; ++i) {
        const qint64 start = monotonicNs();
        if (!plugin.readData(&log)) {
            problem = log.errorText;
        }
        times.push_back((monotonicNs() - start) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A poll of 8 blocks over 8 connections whose 7 further ones never answer, as a share of the
// device time-out: about 1 when the silent replies are awaited together, 7 when in turn.
QJsonObject silentExtrasRow()
{
    constexpr int kTimeoutMs = 500;
    camp_sim::SimulatedPlc plc;
    QJsonObject row;
    if (!plc.start()) {
        row.insert("problem", QStringLiteral("the simulated PLC did not start"));
        return row;
    }
    App_CAMP_NITP plugin;
    LogList log = pollRequest(1, plc.port(), denseItems(8 * kWordsPerBlock));
    log.columns.insert(QStringLiteral("connections"), QStringLiteral("8"));
    log.columns.insert(QStringLiteral("timeout"), QString::number(kTimeoutMs));
    plugin.readData(&log); // the eight connections answer once
    camp_sim::Faults faults;
    faults.silentBeyond = 1;
    plc.setFaults(faults);
    QString problem;
    const double ms = medianPollMs(plugin, log, problem);
    row.insert("timeout_ms", kTimeoutMs);
    row.insert("median_ms", ms);
    row.insert("timeouts", ms / kTimeoutMs);
    row.insert("problem", problem);
    std::printf("8 connections, 7 silent: %7.1f ms a poll (%.2f time-outs) %s\n", ms,
                ms / kTimeoutMs, qPrintable(problem));
    plugin.stopPlugin();
    return row;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int outAt = arguments.indexOf(QStringLiteral("--out"));
    const QString out = outAt > 0 ? arguments.value(outAt + 1) : QStringLiteral("connections.json");

    SimProcess sim;
    const quint16 port = sim.start({QStringLiteral("--scan-time-ms"), QString::number(kScanMs)});
    if (port == 0) {
        std::fprintf(stderr, "camp-sim did not start\n");
        return 1;
    }
    QJsonArray rows;
    for (const int words : {1000, 10000}) {
        const int blocks = (words + kWordsPerBlock - 1) / kWordsPerBlock;
        double single = 0;
        for (const int connections : {1, 2, 4, 8}) {
            App_CAMP_NITP plugin;
            LogList log = pollRequest(1, port, denseItems(words));
            log.columns.insert(QStringLiteral("connections"), QString::number(connections));
            QString problem;
            const double ms = medianPollMs(plugin, log, problem);
            single = connections == 1 ? ms : single;
            const int limitScans =
                (blocks + std::min(connections, 8) - 1) / std::min(connections, 8);
            QJsonObject row;
            row.insert("words", words);
            row.insert("connections", connections);
            row.insert("blocks", blocks);
            row.insert("scan_ms", kScanMs);
            row.insert("median_ms", ms);
            row.insert("ratio_to_one", single > 0 ? ms / single : 0.0);
            row.insert("limit_scans", limitScans);
            row.insert("problem", problem);
            rows.append(row);
            std::printf("%5d words, %d connections: %7.1f ms (x%.2f of one), limit %d scans %s\n",
                        words, connections, ms, single > 0 ? ms / single : 0.0, limitScans,
                        qPrintable(problem));
            std::fflush(stdout);
            plugin.stopPlugin();
        }
    }
    QJsonObject report;
    report.insert("connections", rows);
    report.insert("silent_extras", silentExtrasRow());
    return writeReport(out, report) ? 0 : 1;
}
