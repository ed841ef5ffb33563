// What a dead module costs the host thread that polls it. A module whose address drops every
// packet is played on loopback by a listening socket whose one-place accept queue is full: the
// kernel drops every further connection request, as a path to a powered-off module does.
//
//   bench_offscan --out FILE.json
//
// Figures: the total time of 20 polls of such a module at the default time-out (10 s), and the
// median of a poll of a device already off-scan. Run as root, also the median of an off-scan poll
// of a device named by a host name while its name server is silent, in a network namespace of the
// benchmark's own with a name server that answers once and then falls silent.

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app_camp_nitp.h"
#include "bench_support.h"
#include "name_server.h"
#include "network_namespace.h"

using namespace bench;

namespace {

constexpr int kPolls = 20;
constexpr int kOffScanPolls = 1000;

// A port on loopback that takes no connection and answers none: the listener's accept queue has
// room for one connection and holds one, so every later request is dropped.
class BlackHole
{
public:
    BlackHole()
    {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            port = ntohs(address.sin_port);
        }
    }
    ~BlackHole()
    {
        ::close(filler);
        ::close(listener);
    }

    quint16 port = 0;

private:
    int listener = -1;
    int filler = -1;
};

// The median of `polls` polls of the device, in milliseconds.
double medianPollMs(App_CAMP_NITP& plugin, const LogList& request, int polls)
{
    std::vector<double> times;
    for (int i = 0; i < polls; ++i) {
        LogList log = request;
        const qint64 pollStart = monotonicNs();
        plugin.readData(&log);
        times.push_back((monotonicNs() - pollStart) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// An off-scan device named by a host name whose name server has fallen silent, in a namespace of
// its own (the resolver there would wait 5 s for the name server); -1 when that cannot be had.
double namedOffScanPollMs(QString* why)
{
    camp_sim::NetworkNamespace ns(camp_sim::NetworkNamespace::uniqueName("kib_bench"));
    *why = ns.create();
    if (!why->isEmpty()) {
        return -1;
    }
    double median = -1;
    std::thread inside([&] {
        camp_sim::NameServer names;
        QTemporaryFile resolvConf(QDir::tempPath() + QStringLiteral("/bench_offscan-XXXXXX"));
        if (!ns.enter() || !names.start() || !resolvConf.open()) {
            *why = QStringLiteral("cannot set up the namespace's name server");
            return;
        }
        names.setAddress("press.plant", "127.0.0.1");
        resolvConf.write(names.resolvConf(5));
        resolvConf.flush();
        if (!camp_sim::NetworkNamespace::useResolvConf(resolvConf.fileName())) {
            *why = QStringLiteral("cannot use a resolv.conf of its own");
            return;
        }
        BlackHole dead;
        App_CAMP_NITP plugin;
        LogList request = pollRequest(1, dead.port, denseItems(10));
        request.address = QStringLiteral("press.plant");
        request.columns.insert(QStringLiteral("timeout"), QStringLiteral("500"));
        request.columns.insert(QStringLiteral("offscan_after"), QStringLiteral("1"));
        LogList first = request; // resolves the name, times out, and puts the device off-scan
        plugin.readData(&first);
        names.setSilent(true);
        median = medianPollMs(plugin, request, kOffScanPolls);
        plugin.stopPlugin();
        ns.leave();
    });
    inside.join();
    return median;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int outAt = arguments.indexOf(QStringLiteral("--out"));
    const QString out = outAt > 0 ? arguments.value(outAt + 1) : QStringLiteral("offscan.json");

    BlackHole dead;
    if (dead.port == 0) {
        std::fprintf(stderr, "no black-hole port\n");
        return 1;
    }
    App_CAMP_NITP plugin;
    LogList request = pollRequest(1, dead.port, denseItems(10));
    request.columns.remove(QStringLiteral("timeout")); // the default time-out
    const qint64 start = monotonicNs();
    int offScan = 0;
    for (int i = 0; i < kPolls; ++i) {
        LogList log = request;
        plugin.readData(&log);
        offScan += log.errorText.startsWith(QLatin1String("Off-scan")) ? 1 : 0;
    }
    const double totalMs = (monotonicNs() - start) / 1e6;
    std::printf("%d polls of a module that drops every packet: %.0f ms in all, %d off-scan\n",
                kPolls, totalMs, offScan);

    const double medianMs = medianPollMs(plugin, request, kOffScanPolls);
    std::printf("a poll of an off-scan device: median %.4f ms\n", medianMs);
    plugin.stopPlugin();

    QString why;
    const double namedMs = namedOffScanPollMs(&why);
    if (namedMs >= 0) {
        std::printf("a poll of an off-scan device named by a host name, its name server silent: "
                    "median %.4f ms\n",
                    namedMs);
    } else {
        std::printf("no named device while its name server is silent: %s\n", qPrintable(why));
    }

    QJsonObject report;
    report.insert("polls", kPolls);
    report.insert("dead_polls_total_ms", totalMs);
    report.insert("dead_polls_off_scan", offScan);
    report.insert("timeout_ms", 10000);
    report.insert("off_scan_poll_median_ms", medianMs);
    if (namedMs >= 0) {
        report.insert("named_off_scan_poll_median_ms", namedMs);
    }
    return writeReport(out, report) ? 0 : 1;
}
