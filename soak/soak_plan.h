// What the soak runs: the poll and write items of every device, the host's timing, and the bounds
// it holds the plugin to.
#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <chrono>

namespace soak {

using Clock = std::chrono::steady_clock;

inline qint64 msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// The host: each device polled every 100 ms (at once again when a poll took longer), a write
// request every 250 ms, and a device time-out of one and a half seconds: a connect whose first SYN
// is lost waits a second for the kernel to send it again, and a host on such a network gives its
// devices a time-out that lets that connect and the request after it through.
constexpr int kPollIntervalMs = 100;
constexpr int kWriteIntervalMs = 250;
constexpr int kDeviceTimeoutMs = 1500;
// After a fault ends, the next successful poll is due within one poll interval plus the time-out.
// A further second covers that poll itself and the scheduling delays of a loaded 2-core machine,
// where every module, the host's ten threads and the rest of the machine share the cores.
constexpr int kRecoveryGraceMs = 1000;
constexpr int kRecoveryBoundMs = kPollIntervalMs + kDeviceTimeoutMs + kRecoveryGraceMs;

// When what happens, in ms from the start of the polling: a warm-up of polls and writes only
// (memory is measured at its end), then the faults, then quiet long enough for every device to
// come back.
struct Timeline
{
    int warmUpMs;
    int lastFaultEndMs;
    int endMs;
};
Timeline timelineFor(int seconds);

// Resident memory may grow this much after the warm-up (allocator arenas settling) and still
// count as flat; a leak of a few hundred bytes a poll passes it within minutes.
constexpr qint64 kRssSlackKiB = 2048;

// The modules: 24 connections each, as the real module, and a short scan that a fault stretches.
constexpr int kMaxConnections = 24;
constexpr int kNormalScanMs = 2;
// Every device polls and writes with its "connections" column at 3, so that a module that takes
// only some of them, or answers on some only, tells.
constexpr int kPollConnections = 3;
// A device whose call failed again while off-scan waits this long before it tries once more: a
// host sets it to about its time-out, and a second, a little under the soak's, has a module back
// from a fault polled well within the recovery bound.
constexpr int kOffScanRetryMs = 1000;
// A module restarted nearly full takes this many connections; the host wants more.
constexpr int kNearlyFullConnections = 2;
// A swapped module's stand-in has this much added to the module's serial number.
constexpr int kStandInSerialOffset = 1000;

// Slow connects: SYNs to the module are lost during a window of this length, one every period. A
// SYN lost in a window goes again a second later (the kernel's first retransmission), which falls
// between two windows and passes: its connect takes a second, most of the device time-out. The
// module drops its connections as each window opens, so that the devices reconnect in it.
constexpr int kSynWindowMs = 300;
constexpr int kSynWindowEveryMs = 1500;
static_assert(kSynWindowMs + 1000 < kSynWindowEveryMs, "a retransmitted SYN passes");
static_assert(1000 < kDeviceTimeoutMs,
              "a connect that waits for its SYN to go again is no time-out");

// A name server outage: the name server falls silent and the module drops its connections, so
// that the devices reconnect while no name resolves. Once they have had the recovery bound for
// that, the module is killed and started again this much later, so that they go off-scan and
// their probes look for it while the name server is still silent; the silence lasts the recovery
// bound beyond its return.
constexpr int kSilentRestartAtMs = kRecoveryBoundMs;
constexpr int kSilentDownMs = 600;
constexpr int kShortestSilenceMs = kSilentRestartAtMs + kSilentDownMs + kRecoveryBoundMs;
// The resolver gives up on the silent name server after this long: longer than the recovery
// bound, so that a poll or probe that waited for it would be late.
constexpr int kResolverTimeoutSeconds = 4;
static_assert(kResolverTimeoutSeconds * 1000 > kRecoveryBoundMs, "waiting on it shows");
// The modules' names in the soak's name server ("module-0.soak").
QString moduleHostName(int module);

// Pattern words cover everything polled, and far around it, so that a reply from a wrong place
// carries a wrong mark; the written words lie outside.
inline QString patternRanges()
{
    return QStringLiteral("V1-1999,K1-999,WX1-999,WY1-1999");
}

struct PolledItem
{
    int addressClass;
    quint32 address;
    int dataType; // 1 Integer, 2 Unsigned integer, 3 Float
};
// 138 items in six blocks of four classes: Unsigned, Integer and Float values.
QList<PolledItem> polledItems();

struct WrittenItem
{
    int addressClass;
    quint32 address;
    bool discrete; // written 0 or 1 by read-modify-write of bit 0
};
// V2001-V2004 each take the next number of its own sequence; Y101 takes 0 and 1 in turn.
QList<WrittenItem> writtenItems();
// Y101 starts as this word; a write may change bit 0 only.
constexpr quint16 kDiscreteWordPreset = 0x5A5A;

QString itemLabel(int addressClass, quint32 address); // "V2001"

} // namespace soak
