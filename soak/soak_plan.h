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
// request every 250 ms, and a device time-out of one second.
constexpr int kPollIntervalMs = 100;
constexpr int kWriteIntervalMs = 250;
constexpr int kDeviceTimeoutMs = 1000;
// After a fault ends, the next successful poll is due within one poll interval plus the time-out.
// A further second covers that poll itself and the scheduling delays of a loaded 2-core machine,
// where every module, the host's ten threads and the rest of the machine share the cores.
constexpr int kRecoveryGraceMs = 1000;
constexpr int kRecoveryBoundMs = kPollIntervalMs + kDeviceTimeoutMs + kRecoveryGraceMs;
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
// host with a one-second time-out sets it to about that, so that a module back from a fault is
// polled well within the recovery bound.
constexpr int kOffScanRetryMs = 1000;
// A module restarted nearly full takes this many connections; the host wants more.
constexpr int kNearlyFullConnections = 2;
// A swapped module's stand-in has this much added to the module's serial number.
constexpr int kStandInSerialOffset = 1000;
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
