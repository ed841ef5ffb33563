// Ten polls of 1 000 items for callgrind, against camp-sim in a process of its own so that only
// the plugin's instructions are counted. scripts/bench.sh runs it as
//
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='measuredPolls*'
//            bench_callgrind dense|mixed [new-records|changed-records]
//
// and divides the instructions collected by the items polled. The polls ask for the same records
// each time, as a host does; with new-records two requests whose records are their own, equal in
// content, take turns (a host that builds its records for every poll); with changed-records their
// uids differ too, so that every poll plans and checks afresh.

#include <QCoreApplication>

#include <cstdio>

#include "app_camp_nitp.h"
#include "bench_support.h"
#include "sim_process.h"

using namespace bench;

constexpr int kPolls = 10;
constexpr int kItems = 1000;

// The only function callgrind collects in.
__attribute__((noinline)) int measuredPolls(App_CAMP_NITP& plugin, LogList* const (&inTurns)[2])
{
    int succeeded = 0;
    for (int i = 0; i < kPolls; ++i) {
        succeeded += plugin.readData(inTurns[i % 2]) ? 1 : 0;
    }
    return succeeded;
}

// Puts readable words under every item, through the driver (camp-sim's memory is its own).
bool fillThroughDriver(LogList& device, const std::vector<ItemSpec>& items)
{
    CAMP_NITP driver;
    if (!driver.connectToPLC(&device)) {
        return false;
    }
    for (const ItemSpec& spec : items) {
        Words words;
        for (quint32 i = 0; i < spec.words; ++i) {
            const quint32 address = spec.start + i;
            // Hex digits 4-5, 1-9, 6-7, 1-9: printable letters, for the String items.
            const quint32 word = (4 + address % 2) << 12 | (1 + address % 9) << 8 |
                                 (6 + address % 2) << 4 | (1 + address / 9 % 9);
            words.push_back(static_cast<quint16>(word));
        }
        ItemInstancePlugin item = toItem(spec, 0);
        if (!driver.writeMemory(&item, words)) {
            return false;
        }
    }
    return true;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const bool mixed = argc > 1 && QByteArray(argv[1]) == "mixed";
    const QByteArray records = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    const bool newRecords = records == "new-records" || records == "changed-records";
    const std::vector<ItemSpec> items = makeItems(mixed ? Shape::Mixed : Shape::Dense, kItems);

    SimProcess sim;
    const quint16 port = sim.start();
    if (port == 0) {
        std::fprintf(stderr, "camp-sim did not start\n");
        return 1;
    }
    App_CAMP_NITP plugin;
    LogList log = pollRequest(1, port, items);
    if (!fillThroughDriver(log, items)) {
        std::fprintf(stderr, "could not fill camp-sim's memory\n");
        return 1;
    }
    LogList other = withNewRecords(log);
    if (records == "changed-records") {
        for (DataItem& entry : other.items) {
            entry.item.uid += QLatin1Char('b'); // another item at the same place
        }
    }
    LogList* const inTurns[2] = {newRecords ? &other : &log, &log};
    // Connects, and takes every first-use cost out of the count (the first values stored).
    for (LogList* request : inTurns) {
        plugin.readData(request);
    }
    const qint64 cpuBefore = threadCpuNs();
    const int succeeded = measuredPolls(plugin, inTurns);
    const qint64 cpuNs = threadCpuNs() - cpuBefore;
    QString problem;
    for (const LogList* request : inTurns) {
        if (problem.isEmpty()) {
            problem = pollProblem(*request);
        }
    }
    std::printf("polls %d items %d succeeded %d cpu_ns_per_item %.0f %s\n", kPolls, kItems,
                succeeded, double(cpuNs) / kPolls / kItems, qPrintable(problem));
    return succeeded == kPolls && problem.isEmpty() ? 0 : 1;
}
