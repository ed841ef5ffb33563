// The faults of one soak, drawn from a seed before it starts: for every module, one fault at a
// time with quiet time between, every kind dealt in turn so that a short run sees each kind.
#pragma once

#include <QString>

#include <vector>

namespace soak {

enum class FaultKind {
    Restart,           // the process is killed (SIGKILL) and started again on its port
    HalfOpen,          // it stops answering but keeps its connections, until it is restarted
    Frozen,            // SIGSTOP until SIGCONT: the path to it drops everything silently
    Full,              // another client holds all of its connections
    Slow,              // replies come later than the device time-out
    LongScan,          // the scan stretches
    Duplicated,        // every read reply comes twice
    OtherAddress,      // read replies answer another address
    ReadReplyWrite,    // writes are carried out but answered with a read reply
    Garbled,           // a digit of the read reply's words is not hex
    GarbledDigit,      // a share of the read replies has a digit changed, the BCC not
    ForeignWriteReply, // writes are carried out but answered with a frame of another command
    Swapped,           // another module on its port, with another serial number and no echo
    NearlyFull,        // it drops its connections and takes only two from then on
    SilentExtras,      // connections beyond the first never answer
};
constexpr int kFaultKinds = 15;
static_assert(static_cast<int>(FaultKind::SilentExtras) + 1 == kFaultKinds, "every kind is dealt");
const char* faultKindName(FaultKind kind);

struct FaultEvent
{
    int module = 0;
    FaultKind kind = FaultKind::Restart;
    int startMs = 0; // from the start of the run
    int durationMs = 0;
    int setting = 0; // the latency, scan time or address offset of the kinds that have one

    int endMs() const { return startMs + durationMs; }
    QString describe() const;
};

// Faults of every module between firstMs and lastEndMs, ordered by start.
std::vector<FaultEvent> makeSchedule(unsigned seed, int modules, int firstMs, int lastEndMs);

} // namespace soak
