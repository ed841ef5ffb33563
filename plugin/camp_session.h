#pragma once
// One device's connections, the plan of its last poll and its lock: at most one poll or write uses
// a device's connections at a time, while different devices are served in parallel. Always held
// through a shared pointer, so a session taken out of the map lives on until the call that holds it
// ends.

#include <QMutex>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "camp_nitp.h"
#include "config_check.h"
#include "device_columns.h"
#include "device_health.h"
#include "poll_plan.h"

// How many connections the module lets a session use. A module that refuses one (HMIs hold its
// other slots) lowers it; a minute later the session tries the configured number again, so that a
// module that was full for a while gets its connections back.
class ConnectionBudget
{
public:
    static constexpr qint64 kRetryAfterMs = 60000;

    // The connections a poll may open now, of the configured number.
    int allowed(int configured, qint64 nowMs)
    {
        if (limit < kMaxPollConnections && nowMs - loweredAtMs >= kRetryAfterMs) {
            limit = kMaxPollConnections;
        }
        return std::min(configured, limit);
    }

    void lowerTo(int connections, qint64 nowMs)
    {
        limit = std::max(1, connections);
        loweredAtMs = nowMs;
    }

    int current() const { return limit; }

private:
    int limit = kMaxPollConnections;
    qint64 loweredAtMs = 0;
};

// The module a session's connections, probe, learnt knowledge and off-scan state belong to: the
// device's address and port as the host gave them.
struct ModuleTarget
{
    QString address;
    int port = 0;

    static ModuleTarget of(const DeviceInstancePlugin& device)
    {
        return {device.address, CAMP_NITP::loadPort(device)};
    }
    bool operator==(const ModuleTarget& other) const
    {
        return port == other.port && address == other.address;
    }
};

struct CampSession
{
    explicit CampSession(const ModuleTarget& target) : target(target)
    {
        driver.countInto(&counters);
    }
    CampSession(const CampSession&) = delete;
    CampSession& operator=(const CampSession&) = delete;

    // Every connection closes with the session (the drivers' destructors close them).
    void disconnectAll()
    {
        driver.disconnectFromPLC();
        extraConnections.clear();
    }

    // Closes the further connections a poll no longer wants (the user lowered "connections").
    void keepExtraConnections(int wanted)
    {
        if (extraConnections.size() > static_cast<size_t>(std::max(0, wanted))) {
            extraConnections.resize(static_cast<size_t>(std::max(0, wanted)));
        }
    }

    const ModuleTarget target;
    // Kept under the session map's lock: when a call last took the session and how long it may
    // then lie unused before it is closed; the calls that hold it now.
    qint64 lastCallMs = 0;
    qint64 idleLimitMs = 0;
    std::atomic<int> callsInFlight{0};

    CAMP_NITP driver; // the first connection: identity reads, writes, and polls of one connection
    QMutex mutex;     // held for the whole of every poll or write on this device
    // Further connections a poll may spread its blocks over ("connections" device column).
    std::vector<std::unique_ptr<CAMP_NITP>> extraConnections;
    ConnectionBudget connectionBudget;
    // The last poll's plan, used again while the host polls the same item records.
    PollPlan pollPlan;
    DeviceHealth health;
    LinkCounters counters; // of every connection of the session
    // What the configuration check has told of the device.
    std::shared_ptr<CheckedColumns> checkedColumns;
};
