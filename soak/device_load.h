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
#include <optional>
#include <thread>

class KIBInterface;

namespace soak {

struct Recovery
{
    FaultKind kind;
    qint64 ms; // kNeverRecovered: no successful poll before the device's next fault or the end
};
constexpr qint64 kNeverRecovered = -1;

class DeviceLoad
{
public:
    DeviceLoad(KIBInterface* plugin, int deviceId, quint16 port);
    ~DeviceLoad(); // stops
    DeviceLoad(const DeviceLoad&) = delete;
    DeviceLoad& operator=(const DeviceLoad&) = delete;

    // One poll from the calling thread; true when every item got its right value.
    bool pollOnce();
    void start(); // the poll and write threads
    void stop();  // and join them

    // A fault of this device ended now: the next successful poll tells how long it took.
    void faultEnded(FaultKind kind);
    std::vector<Recovery> recoveries() const;
    bool awaitingRecovery() const;

    int polls() const { return m_polls; }
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

    KIBInterface* m_plugin;
    int m_deviceId;
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
    mutable std::mutex m_mutex;         // findings and recoveries
    QStringList m_findings;
    std::optional<std::pair<FaultKind, Clock::time_point>> m_faultEnded;
    std::vector<Recovery> m_recoveries;
};

} // namespace soak
