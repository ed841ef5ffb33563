#pragma once
// What every benchmark shares: the item sets that a poll asks for, the fewest reads the block rule
// allows for them, a simulated PLC whose memory holds readable values, and a thread CPU clock.

#include <QJsonObject>
#include <QString>
#include <QtGlobal>

#include <sched.h>
#include <vector>

#include "kib_records.h"
#include "simulated_plc.h"

namespace bench {

// The block rule of a poll: at most this many unread words between two items of one block, and
// at most this many words in one read.
constexpr quint32 kMaxGapWords = 16;
constexpr quint32 kMaxBlockWords = 256;

// Dense: V1, V2, ... one Integer each. Scattered: single V words with 0 to 40 unread words
// between neighbours. Mixed: every class and data type, Strings of 2 to 8 words, some overlaps
// and duplicates. All of them listed in a shuffled order, as a host may list them.
enum class Shape { Dense, Scattered, Mixed };
const char* shapeName(Shape shape);
constexpr Shape kShapes[] = {Shape::Dense, Shape::Scattered, Shape::Mixed};

struct ItemSpec
{
    int addressClass = 1;
    quint32 start = 1;
    quint16 words = 1;
    int dataType = 1;
};

std::vector<ItemSpec> makeItems(Shape shape, int count);
std::vector<ItemSpec> denseItems(int count, quint32 first = 1);

// The fewest reads that the block rule allows for these items, found by dynamic programming over
// every way of cutting the address-sorted items into blocks.
int blockRuleMinimum(std::vector<ItemSpec> items);

ItemInstancePlugin toItem(const ItemSpec& spec, int index);
// A poll request for one device at 127.0.0.1:port.
LogList pollRequest(int deviceId, quint16 port, const std::vector<ItemSpec>& items);
// The same request with item records of its own, as a host that built them anew would send: the
// plugin keeps the plan of a poll for the next poll of the very same records, so polling this
// and `log` in turns plans every poll afresh.
LogList withNewRecords(const LogList& log);
// Empty when every item got a value and nothing reported an error.
QString pollProblem(const LogList& log);

// A PLC with room for every item set (up to 2^20 words in each class) and many connections.
camp_sim::PlcConfig roomyPlc();
// Puts readable words under every item: letters, so Strings have no zero bytes and Floats are
// ordinary numbers.
void fillMemory(camp_sim::SimulatedPlc& plc, const std::vector<ItemSpec>& items);

// CPU time of the calling thread in nanoseconds (user and system), and its user part alone
// (sampled by the kernel's tick: good over many polls, not over one).
qint64 threadCpuNs();
qint64 threadUserNs();
qint64 monotonicNs();

// Keeps the calling thread, and every thread it starts while this lives, on the one core it runs
// on. A round trip over loopback then costs the same on every connection: a switch to the peer's
// thread and back. Left to the scheduler, a peer thread that happens to share the client's core
// answers about three times as fast, on the virtual machines measured here, as one woken on
// another core, and the connection that got it looks faster. On one core nothing the client does
// can hide behind the peer's work either: the client's own CPU adds to every poll in full.
class OneCore
{
public:
    OneCore();
    ~OneCore();
    OneCore(const OneCore&) = delete;
    OneCore& operator=(const OneCore&) = delete;

    bool pinned() const { return isPinned; }

private:
    cpu_set_t before;
    bool isPinned = false;
};

// Sleeps the given time from now, to the microsecond: the added latency of the Modbus peer.
void preciseSleepMs(int ms);

// Writes a benchmark program's report for scripts/bench.sh; false (with a line on standard
// error) when the file cannot be written.
bool writeReport(const QString& path, const QJsonObject& report);

} // namespace bench
