#include "poll_cycle.h"

#include "block_reader.h"
#include "polled_identity.h"

namespace {

// Every item of a poll that fails before its blocks are read gets the device's error, unless it
// has its own reason already.
bool failEveryItem(LogList* log)
{
    for (DataItem& entry : log->items) {
        if (entry.item.errorText.isEmpty()) {
            entry.item.errorText = log->errorText;
        }
    }
    return false;
}

// The mean round trip of the requests since the figures were reset, in milliseconds.
double meanRoundTripMs(const LinkCounters& counters)
{
    return counters.replies == 0
               ? 0.0
               : counters.roundTripNs / 1e6 / static_cast<double>(counters.replies);
}

bool readDevice(CampSession& session, LogList* log, PollPlan& plan, PluginInterface& host)
{
    CAMP_NITP& driver = session.driver;
    if (!driver.connectToPLC(log)) {
        return failEveryItem(log);
    }
    if (plan.asksIdentity()) {
        fillPolledIdentity(driver, log, plan, host);
    }
    if (driver.hasSessionError()) {
        // A module that did not answer in time would not answer the blocks either: one time-out
        // a poll is enough. A connection the module closed is opened once more.
        if (driver.lostByTimeout()) {
            log->errorText = driver.sessionError();
            return failEveryItem(log);
        }
        driver.disconnectFromPLC();
        if (!driver.connectToPLC(log)) {
            return failEveryItem(log);
        }
    }
    Isolation isolation;
    const bool read = readBlocks(session, log, plan.spans(), plan.blocks(), isolation);
    if (!isolation.refused.empty() || !isolation.answered.empty()) {
        plan.isolate(isolation, session.counters.reconnects);
    }
    return read;
}

} // namespace

bool pollDevice(CampSession& session, LogList* log, PluginInterface& host)
{
    session.keepExtraConnections(pollConnections(*log) - 1);
    PollPlan& plan = session.pollPlan;
    const BlockLimits limits = BlockLimits::of(*log);
    if (!plan.isFor(log->items, limits) || plan.isolatedBefore(session.counters.reconnects)) {
        plan = PollPlan(log->items, log->id, limits);
        reportConfiguration(host, session.checkedColumns->newLines(*log, log->items, true));
    } else if (!session.checkedColumns->checked(log->columns)) {
        reportConfiguration(host,
                            session.checkedColumns->newLines(*log, QList<ItemInstancePlugin>()));
    }
    // The spans point into the request's entries: the identity read below may append one, which
    // leaves the others where they are (a QList keeps entries of this size in nodes of their own).
    plan.applyTo(log->items);
    if (!plan.needsThePlc()) {
        plan.fillStatus(log->items, session.health, session.counters);
        return true;
    }

    session.counters.replies = 0;
    session.counters.roundTripNs = 0;
    const HealthSettings settings = HealthSettings::of(*log);
    bool polled = false;
    if (session.health.admit(*log, settings, monotonicMs())) {
        polled = readDevice(session, log, plan, host);
        // A poll whose every reply was refused reached the module.
        const bool unreachable = !polled && log->errorText != QLatin1String(kEveryReplyRefused);
        if (session.health.record(polled, unreachable, log->errorText, settings)) {
            session.disconnectAll();
        }
    } else {
        polled = failEveryItem(log);
    }
    session.health.pollEnded(polled, log->errorText, meanRoundTripMs(session.counters));
    plan.fillStatus(log->items, session.health, session.counters);
    return polled;
}
