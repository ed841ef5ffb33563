#pragma once
// A device's health: whether its polls and writes go to the network, and the status values a user
// may poll as items ("address_word" "__status.<name>", the way identity items use
// "__identity.<key>").
//
// After "offscan_after" polls or writes in a row that could not reach the module (a failed
// connect, a time-out, a lost connection), the device is off-scan: its calls fail at once, with
// an error text that says since when and after which error. Meanwhile each call looks at a probe
// that never blocks (a connection and a one-word read); once the module answers it, the call goes
// to the network as before. Should that fail again, the next one waits "offscan_retry_ms", so a
// module that answers the probe and not the polls costs at most one time-out in that time. Any
// success puts the device back on-scan.

#include <QDateTime>
#include <QString>

#include <chrono>
#include <optional>

#include "camp_nitp.h"
#include "kib_records.h"
#include "module_probe.h"

inline qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct HealthSettings
{
    // Larger values are limited to these.
    static constexpr int kMaxOffScanAfter = 1000000;
    static constexpr int kMaxRetryMs = 86400000;

    int offScanAfter = 3;   // "offscan_after"; 0: never off-scan
    int retryMs = 10000;    // "offscan_retry_ms"
    int patienceMs = 10000; // the device time-out, which a connection attempt may take

    static HealthSettings of(const DeviceInstancePlugin& device);
};

enum class StatusField {
    State,
    Error,
    LastError,
    PollsOk,
    PollsFailed,
    Reconnects,
    RefusedReplies,
    RoundTripMs
};

// Whether an "address_word" has the status form, and the field it names (none for an unknown
// name, which is an invalid address).
bool isStatusAddress(const QString& addressWord);
std::optional<StatusField> statusField(const QString& addressWord);

class DeviceHealth
{
public:
    // Whether a call may go to the network now; false while the device is off-scan, with the
    // reason in the device's error text.
    bool admit(DeviceInstancePlugin& device, const HealthSettings& settings, qint64 nowMs);
    // The outcome of a call that went to the network: `unreachable` when it failed for want of
    // the module (not for replies it could not use, which show the module is there and put the
    // device on-scan). True when it put the device off-scan.
    bool record(bool succeeded, bool unreachable, const QString& error,
                const HealthSettings& settings);
    // A poll ended (off-scan or not): its outcome and its requests' mean round trip.
    void pollEnded(bool succeeded, const QString& error, double roundTripMs);

    bool isOffScan() const { return offScan; }
    QString offScanText() const;
    QString statusValue(StatusField field, const LinkCounters& counters) const;

private:
    bool offScan = false;
    int failuresInRow = 0;
    QDateTime offScanSince;
    QString offScanAfterError;
    bool attempted = false;   // a call went to the network while off-scan ...
    qint64 lastAttemptMs = 0; // ... last at this time
    ModuleProbe probe;

    bool lastPollFailed = false;
    QString lastError;
    quint64 pollsOk = 0;
    quint64 pollsFailed = 0;
    double lastRoundTripMs = 0;
};
