#include "device_health.h"

#include <algorithm>
#include <utility>

#include "device_columns.h"

namespace {

const QString kStatusPrefix = QStringLiteral("__status.");

const std::pair<const char*, StatusField> kStatusNames[] = {
    {"state", StatusField::State},
    {"error", StatusField::Error},
    {"last_error", StatusField::LastError},
    {"polls_ok", StatusField::PollsOk},
    {"polls_failed", StatusField::PollsFailed},
    {"reconnects", StatusField::Reconnects},
    {"refused_replies", StatusField::RefusedReplies},
    {"round_trip_ms", StatusField::RoundTripMs},
};

} // namespace

HealthSettings HealthSettings::of(const DeviceInstancePlugin& device)
{
    HealthSettings settings;
    settings.offScanAfter = numberColumn(device, QStringLiteral("offscan_after"),
                                         settings.offScanAfter, 0, kMaxOffScanAfter);
    settings.retryMs =
        numberColumn(device, QStringLiteral("offscan_retry_ms"), settings.retryMs, 0, kMaxRetryMs);
    settings.patienceMs = CAMP_NITP::loadTimeoutMs(device);
    return settings;
}

bool isStatusAddress(const QString& addressWord)
{
    return addressWord.startsWith(kStatusPrefix);
}

std::optional<StatusField> statusField(const QString& addressWord)
{
    const QStringView name = QStringView(addressWord).mid(kStatusPrefix.size());
    for (const auto& [text, field] : kStatusNames) {
        if (isStatusAddress(addressWord) && name == QLatin1String(text)) {
            return field;
        }
    }
    return std::nullopt;
}

bool DeviceHealth::admit(DeviceInstancePlugin& device, const HealthSettings& settings, qint64 nowMs)
{
    if (!offScan || settings.offScanAfter == 0) {
        offScan = false;
        return true;
    }
    // After a call that went to the network and failed again, nothing is tried for a retry period.
    // Otherwise the module is watched with a probe started by one call and looked at by the next;
    // the call after its answer goes to the network.
    if (!attempted || nowMs - lastAttemptMs >= settings.retryMs) {
        ModuleProbe::State state = probe.look(nowMs);
        if (state == ModuleProbe::State::Idle || state == ModuleProbe::State::Failed) {
            state = probe.start(device.address.toUtf8(), CAMP_NITP::loadPort(device), nowMs,
                                settings.patienceMs);
        }
        if (state == ModuleProbe::State::Answered) {
            attempted = true;
            lastAttemptMs = nowMs;
            return true;
        }
    }
    device.errorText = offScanText();
    return false;
}

bool DeviceHealth::record(bool succeeded, bool unreachable, const QString& error,
                          const HealthSettings& settings)
{
    // A module that answered is there, even when nothing it said could be used: it is on-scan.
    if (succeeded || !unreachable) {
        offScan = false;
        failuresInRow = 0;
        probe.close();
        return false;
    }
    ++failuresInRow;
    if (offScan || settings.offScanAfter == 0 || failuresInRow < settings.offScanAfter) {
        return false;
    }
    offScan = true;
    offScanSince = QDateTime::currentDateTime();
    offScanAfterError = error;
    attempted = false;
    probe.close();
    return true;
}

void DeviceHealth::pollEnded(bool succeeded, const QString& error, double roundTripMs)
{
    lastPollFailed = !succeeded;
    lastError = succeeded ? QString() : error;
    ++(succeeded ? pollsOk : pollsFailed);
    lastRoundTripMs = roundTripMs;
}

QString DeviceHealth::offScanText() const
{
    return QStringLiteral("Off-scan since %1 after %2 failures in a row: %3")
        .arg(offScanSince.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
        .arg(failuresInRow)
        .arg(offScanAfterError);
}

QString DeviceHealth::statusValue(StatusField field, const LinkCounters& counters) const
{
    switch (field) {
    case StatusField::State:
        return offScan ? QStringLiteral("off-scan") : QStringLiteral("on-scan");
    case StatusField::Error:
        return lastPollFailed ? QStringLiteral("1") : QStringLiteral("0");
    case StatusField::LastError:
        return lastError;
    case StatusField::PollsOk:
        return QString::number(pollsOk);
    case StatusField::PollsFailed:
        return QString::number(pollsFailed);
    case StatusField::Reconnects:
        return QString::number(counters.reconnects);
    case StatusField::RefusedReplies:
        return QString::number(counters.refusedReplies);
    case StatusField::RoundTripMs:
        return QString::number(lastRoundTripMs, 'f', 1);
    }
    return QString();
}
