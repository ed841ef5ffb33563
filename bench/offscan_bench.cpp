// What a dead module costs the host thread that polls it. A module whose address drops every
// packet is played on loopback by a listening socket whose one-place accept queue is full: the
// kernel drops every further connection request, as a path to a powered-off module does.
//
//   bench_offscan --out FILE.json
//
// Figures: the total time of 20 polls of such a module at the default time-out (10 s), and the
// median of a poll of a device already off-scan.

#include <QCoreApplication>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app_camp_nitp.h"
#include "bench_support.h"

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

    std::vector<double> times;
    for (int i = 0; i < kOffScanPolls; ++i) {
        LogList log = request;
        const qint64 pollStart = monotonicNs();
        plugin.readData(&log);
        times.push_back((monotonicNs() - pollStart) / 1e6);
    }
    std::sort(times.begin(), times.end());
    const double medianMs = times[times.size() / 2];
    std::printf("a poll of an off-scan device: median %.4f ms\n", medianMs);
    plugin.stopPlugin();

    QJsonObject report;
    report.insert("polls", kPolls);
    report.insert("dead_polls_total_ms", totalMs);
    report.insert("dead_polls_off_scan", offScan);
    report.insert("timeout_ms", 10000);
    report.insert("off_scan_poll_median_ms", medianMs);
    return writeReport(out, report) ? 0 : 1;
}
