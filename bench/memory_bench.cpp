// Memory: heap allocations of one poll of 1 000 items, and the memory that one open session
// costs. A counting allocator stands in front of glibc's: it counts the calls made by the thread
// that asked for counting, so the in-process simulator's threads do not show up.
//
//   bench_memory --out FILE

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <unistd.h>

#include "app_camp_nitp.h"
#include "bench_support.h"
#include "sim_process.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

// Per thread; plain data, so reading it needs no allocation of its own.
struct HeapCounters
{
    bool counting = false;
    long long allocations = 0;
    long long bytesAllocated = 0; // usable sizes, as the heap hands them out
    long long bytesFreed = 0;
};
thread_local HeapCounters heap;

void* counted(void* pointer)
{
    if (pointer && heap.counting) {
        ++heap.allocations;
        heap.bytesAllocated += static_cast<long long>(malloc_usable_size(pointer));
    }
    return pointer;
}

void uncount(void* pointer)
{
    if (pointer && heap.counting) {
        heap.bytesFreed += static_cast<long long>(malloc_usable_size(pointer));
    }
}

} // namespace

extern "C" {
void* malloc(size_t size)
{
    return counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size)
{
    return counted(__libc_calloc(count, size));
}
void* realloc(void* pointer, size_t size)
{
    uncount(pointer);
    return counted(__libc_realloc(pointer, size));
}
void free(void* pointer)
{
    uncount(pointer);
    __libc_free(pointer);
}
void* memalign(size_t alignment, size_t size)
{
    return counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size)
{
    return counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** result, size_t alignment, size_t size)
{
    void* pointer = counted(__libc_memalign(alignment, size));
    if (!pointer) {
        return ENOMEM;
    }
    *result = pointer;
    return 0;
}
}

using namespace bench;

namespace {

class Counting
{
public:
    Counting() { heap = HeapCounters{true, 0, 0, 0}; }
    ~Counting() { heap.counting = false; }
};

long long residentBytes()
{
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) {
        return 0;
    }
    const int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
    std::fclose(statm);
    return read == 2 ? resident * sysconf(_SC_PAGESIZE) : 0;
}

// Heap allocations of one poll: the average over ten polls after a first one that connected. The
// polls ask for the same records each time, as a host does; with newRecords two requests whose
// records are their own take turns, so that every poll plans afresh.
QJsonObject pollAllocations(Shape shape, int count, bool newRecords)
{
    const std::vector<ItemSpec> items = makeItems(shape, count);
    camp_sim::SimulatedPlc plc(roomyPlc());
    plc.setKeptRequestLimit(0);
    if (!plc.start()) {
        return QJsonObject{{"error", "the simulated PLC did not start"}};
    }
    fillMemory(plc, items);
    App_CAMP_NITP plugin;
    LogList log = pollRequest(1, plc.port(), items);
    LogList other = withNewRecords(log);
    LogList* const inTurns[2] = {newRecords ? &other : &log, &log};
    // Connects, and stores the first values, which allocate once.
    for (LogList* request : inTurns) {
        plugin.readData(request);
        const QString problem = pollProblem(*request);
        if (!problem.isEmpty()) {
            return QJsonObject{{"error", problem}};
        }
    }

    constexpr int kPolls = 10;
    HeapCounters totals;
    {
        Counting counting;
        for (int i = 0; i < kPolls; ++i) {
            plugin.readData(inTurns[i % 2]);
        }
        totals = heap;
    }
    const double perPoll = double(totals.allocations) / kPolls;
    std::printf("%s %d items%s: %.0f allocations a poll (%.1f an item), %.0f bytes\n",
                shapeName(shape), count, newRecords ? ", new records" : "", perPoll,
                perPoll / count, double(totals.bytesAllocated) / kPolls);
    return QJsonObject{{"set", shapeName(shape)},
                       {"new_records", newRecords},
                       {"items", count},
                       {"allocations_per_poll", perPoll},
                       {"allocations_per_item", perPoll / count},
                       {"bytes_per_poll", double(totals.bytesAllocated) / kPolls}};
}

// Opens many sessions against camp-sim in its own process (so its threads and memory stay out of
// this process) and divides what this process grew by their number.
QJsonObject sessionMemory()
{
    constexpr int kSessions = 256;
    SimProcess sim;
    const quint16 port = sim.start({QStringLiteral("--max-connections"), QStringLiteral("1000")});
    if (port == 0) {
        return QJsonObject{{"error", "camp-sim did not start"}};
    }

    App_CAMP_NITP plugin;
    const std::vector<ItemSpec> oneItem = denseItems(1);
    std::vector<LogList> requests;
    for (int device = 0; device <= kSessions; ++device) {
        requests.push_back(pollRequest(device + 1, port, oneItem));
        // The value the poll stores replaces one of the same size, so it adds nothing.
        requests.back().items[0].values.insert(QStringLiteral("value"), QStringLiteral("00000"));
    }
    plugin.readData(&requests[0]); // the first session also loads what every session shares

    const long long residentBefore = residentBytes();
    HeapCounters totals;
    {
        Counting counting;
        for (int device = 1; device <= kSessions; ++device) {
            plugin.readData(&requests[static_cast<size_t>(device)]);
        }
        totals = heap;
    }
    const long long residentAfter = residentBytes();
    for (const LogList& log : requests) {
        if (!pollProblem(log).isEmpty()) {
            return QJsonObject{{"error", pollProblem(log)}};
        }
    }
    const double heapPerSession = double(totals.bytesAllocated - totals.bytesFreed) / kSessions;
    const double residentPerSession = double(residentAfter - residentBefore) / kSessions;
    std::printf("%d sessions: %.0f bytes resident and %.0f heap bytes each\n", kSessions,
                residentPerSession, heapPerSession);
    return QJsonObject{{"sessions", kSessions},
                       {"resident_bytes_per_session", residentPerSession},
                       {"heap_bytes_per_session", heapPerSession}};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString out = QStringLiteral("bench_memory.json");
    const QStringList arguments = app.arguments();
    const int outIndex = arguments.indexOf(QStringLiteral("--out"));
    if (outIndex > 0 && outIndex + 1 < arguments.size()) {
        out = arguments[outIndex + 1];
    }

    QJsonArray polls;
    for (bool newRecords : {false, true}) {
        for (Shape shape : {Shape::Dense, Shape::Mixed}) {
            polls.append(pollAllocations(shape, 1000, newRecords));
        }
    }
    const QJsonObject report{{"poll_allocations", polls}, {"sessions", sessionMemory()}};

    return bench::writeReport(out, report) ? 0 : 1;
}
