#pragma once
// One device's connections, the plan of its last poll and its lock: at most one poll or write uses
// a device's connections at a time, while different devices are served in parallel. Always held
// through a shared pointer, so a session taken out of the map lives on until the call that holds it
// ends.

#include <QMutex>

#include <memory>
#include <vector>

#include "camp_nitp.h"
#include "poll_plan.h"

// The most connections one poll of a device may use (the "connections" device column).
constexpr int kMaxPollConnections = 8;

// A further connection a poll may spread its blocks over (the "connections" device column).
struct ExtraConnection
{
    CAMP_NITP driver;
    bool answered = false; // it has delivered a reply: a later failure is the connection's own
};

struct CampSession
{
    CampSession() = default;
    CampSession(const CampSession&) = delete;
    CampSession& operator=(const CampSession&) = delete;

    // Every connection closes with the session (the drivers' destructors close them).
    void disconnectAll()
    {
        driver.disconnectFromPLC();
        for (const std::unique_ptr<ExtraConnection>& extra : extraConnections) {
            extra->driver.disconnectFromPLC();
        }
    }

    CAMP_NITP driver; // the first connection: identity reads, writes, and polls of one connection
    QMutex mutex;     // held for the whole of every poll or write on this device
    std::vector<std::unique_ptr<ExtraConnection>> extraConnections;
    // Connections the module has taken at most: lowered when it refuses one, for the session's
    // life.
    int connectionLimit = kMaxPollConnections;
    // The last poll's plan, used again while the host polls the same item records.
    PollPlan pollPlan;
};
