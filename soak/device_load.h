// The host's work on one device: a thread that polls every item again and again and checks every
// value against the oracle pattern, a thread that writes on a schedule and keeps the ledger, and
// the clock that tells how long the device took to come back after a fault.
#pragma once

#include "fault_schedule.h"
#include "soak_plan.h"
#include "write_ledger.h"

#include "kib_records.h"

#include <QList>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class KIBInterface;

namespace soak {

struct Recovery
{
    FaultKind kind;
    // Null after the fault's end; else the stage of the fault after which the device must come
    // back while the fault goes on.
    const char* stage;
    qint64 ms; // kNeverRecovered: no successful poll before the device's next fault's end, the
               // fault's next stage, or the end
};
constexpr qint64 kNeverRecovered = -1;

// The longest call of the device in a while, and how many took about as long as a connect whose
// SYN was lost.
struct CallTimes
{
    qint64 longestMs = 0;
    int ofASecond = 0;
};

class DeviceLoad
{
public:
    // `host` is the module's address as the device's address field holds it: a name or dotted.
    DeviceLoad(KIBInterface* plugin, int deviceId, const QString& host, quint16 port);
    ~DeviceLoad(); // stops
    DeviceLoad(const DeviceLoad&) = delete;
    DeviceLoad& operator=(const DeviceLoad&) = delete;

    // One poll from the calling thread; true when every item got its right value.
    bool pollOnce();
    void start(); // the poll and write threads
    void stop();  // and join them

    // A fault of this device ended now: the next successful poll tells how long it took.
    void faultEnded(FaultKind kind);
    // A stage of a fault under way ended now: the next successful poll that starts from now on
    // tells how long the device took to come back while the fault goes on.
    void stageEnded(FaultKind kind, const char* stage);
    // The fault's next stage comes: a device not back from this one by now never was.
    void stageInterrupted(FaultKind kind, const char* stage);
    // What it came back from, and how fast; what it has not come back from counts as never.
    std::vector<Recovery> recoveries() const;

    CallTimes takeCallTimes(); // since the last time asked

    int polls() const { return m_polls; }
    int wholePolls() const { return m_wholePolls; }
    int wrongValues() const { return m_wrong; }
    // Poll items that came back with neither a value nor an error, and write entries without an
    // error in a write request that failed: the host would show nothing for them, and no reason.
    int silentItems() const { return m_silent; }
    int offScanPolls() const { return m_offScanPolls; }
    QStringList findings() const;
    const WriteLedger& ledger() const { return m_ledger; } // after stop()

private:
    void pollLoop();
    void writeLoop();
    void checkValues(const LogList& log, Clock::time_point start, Clock::time_point end);
    void checkSilence(const LogList& log);
    LogList request(const QList<DataItem>& entries) const;
    bool isWhole(const LogList& log, bool returned) const;
    void writeOnce(bool discreteBit);
    void noteFinding(const QString& finding);
    bool sleepUntil(Clock::time_point when);
    void noteCallTime(Clock::time_point start, Clock::time_point end);

    KIBInterface* m_plugin;
    int m_deviceId;
    QString m_host;
    quint16 m_port;
    QList<PolledItem> m_items;
    LogList m_pollRequest;
    WriteLedger m_ledger;

    std::atomic<bool> m_stopping{false};
    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;
    std::thread m_poller;
    std::thread m_writer;

    std::atomic<int> m_polls{0};
    std::atomic<int> m_wrong{0};
    std::atomic<int> m_silent{0};
    std::atomic<int> m_offScanPolls{0}; // polls that found the device off-scan
    std::atomic<int> m_wholePolls{0};
    mutable std::mutex m_mutex; // findings, recoveries and call times
    QStringList m_findings;
    struct Awaited
    {
        FaultKind kind;
        const char* stage;
        Clock::time_point since;
    };
    std::vector<Awaited> m_awaited; // what the device has still to come back from
    std::vector<Recovery> m_recoveries;
    CallTimes m_callTimes;
};

} // namespace soak
