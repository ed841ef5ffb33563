// The faults of one soak, drawn from a seed before it starts: for every module, one fault at a
// time with quiet time between, every kind dealt in turn so that a short run sees each kind. The
// kinds that act on the network between host and modules need the soak's own network namespace,
// and are left out without it.
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
    SlowConnects,      // connects to it wait a second for their lost SYN to go again
    NameServerSilent,  // the name server answers nothing while the devices reconnect
};
constexpr int kFaultKinds = 17;
static_assert(static_cast<int>(FaultKind::NameServerSilent) + 1 == kFaultKinds,
              "every kind is dealt");
const char* faultKindName(FaultKind kind);
// Whether the kind needs the soak's network namespace (its loopback's queueing, its name server).
bool needsNamespace(FaultKind kind);

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

// Faults of every module between firstMs and lastEndMs, ordered by start; the kinds that need a
// namespace only when `inNamespace`.
std::vector<FaultEvent> makeSchedule(unsigned seed, int modules, int firstMs, int lastEndMs,
                                     bool inNamespace);

} // namespace soak
