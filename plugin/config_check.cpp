#include "config_check.h"

#include <algorithm>
#include <cstdio>

#include "block_planner.h"
#include "camp_identity.h"
#include "device_columns.h"
#include "device_health.h"
#include "item_address.h"
#include "mutex_locker.h"

namespace {

const char* const kDeviceColumns[] = {"port",
                                      "timeout",
                                      "timeout_ms",
                                      "network_interface",
                                      "tcp_ports",
                                      "connections",
                                      "offscan_after",
                                      "offscan_retry_ms",
                                      "max_block_words",
                                      "max_gap_words",
                                      "connection_timeout"};
const char* const kItemColumns[] = {"address_word", "address_class", "data_type", "item_tags"};

QString deviceLabel(const DeviceInstancePlugin& device)
{
    return device.name.isEmpty() ? QStringLiteral("device %1").arg(device.id) : device.name;
}

// The number of single-character edits between two texts.
int editDistance(const QString& a, const QString& b)
{
    std::vector<int> row(static_cast<size_t>(b.size()) + 1);
    for (size_t j = 0; j < row.size(); ++j) {
        row[j] = static_cast<int>(j);
    }
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[static_cast<size_t>(j)];
            row[static_cast<size_t>(j)] = std::min({above + 1, row[static_cast<size_t>(j - 1)] + 1,
                                                    diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

// A key the plugin does not know, with the known one it most likely meant.
template <size_t N>
void checkKeys(const QMap<QString, QString>& columns, const char* const (&known)[N],
               const QString& where, QStringList& lines)
{
    for (auto it = columns.cbegin(); it != columns.cend(); ++it) {
        const auto same = [&](const char* key) { return it.key() == QLatin1String(key); };
        if (std::any_of(std::begin(known), std::end(known), same)) {
            continue;
        }
        QString line =
            QStringLiteral("%1: column \"%2\" is not one the plugin reads").arg(where, it.key());
        for (const char* key : known) {
            if (editDistance(it.key(), QLatin1String(key)) <= 2) {
                line += QStringLiteral("; a typo of \"%1\"?").arg(QLatin1String(key));
                break;
            }
        }
        lines.append(line);
    }
}

// A number column that must lie in [least, most] when it is given; `used` is what the plugin uses:
// a larger number is limited to `most`, anything else gives way to a default.
void checkNumber(const DeviceInstancePlugin& device, const char* column, int least, int most,
                 int used, QStringList& lines)
{
    if (!device.columns.contains(QLatin1String(column))) {
        return;
    }
    const QString value = device.columns.value(QLatin1String(column));
    bool isNumber = false;
    const qlonglong number = value.trimmed().toLongLong(&isNumber);
    if (isNumber && number >= least && number <= most) {
        return;
    }
    const QString line =
        isNumber && number > most
            ? QStringLiteral("%1: %2 \"%3\" is more than %4; %5 is used")
                  .arg(deviceLabel(device), QLatin1String(column), value)
                  .arg(most)
            : QStringLiteral("%1: %2 \"%3\" is not a number from %4 to %5; %6 is used")
                  .arg(deviceLabel(device), QLatin1String(column), value)
                  .arg(least)
                  .arg(most);
    lines.append(line.arg(used));
}

} // namespace

QStringList checkDeviceColumns(const DeviceInstancePlugin& device)
{
    QStringList lines;
    const QString port = device.columns.value(QStringLiteral("port"));
    const int portNumber = CAMP_NITP::loadPort(device);
    if (portNumber < 1 || portNumber > 0xFFFF) {
        lines.append(QStringLiteral("%1: port \"%2\" is not a port number from 1 to 65535; "
                                    "nothing is sent")
                         .arg(deviceLabel(device), port));
    }
    const HealthSettings health = HealthSettings::of(device);
    checkNumber(device, "timeout", 1, CAMP_NITP::kMaxTimeoutMs, CAMP_NITP::loadTimeoutMs(device),
                lines);
    checkNumber(device, "connections", 1, kMaxPollConnections, pollConnections(device), lines);
    checkNumber(device, "offscan_after", 0, HealthSettings::kMaxOffScanAfter, health.offScanAfter,
                lines);
    checkNumber(device, "offscan_retry_ms", 0, HealthSettings::kMaxRetryMs, health.retryMs, lines);
    const BlockLimits limits = BlockLimits::of(device);
    checkNumber(device, "max_block_words", 1, kMaxBlockWords, static_cast<int>(limits.blockWords),
                lines);
    checkNumber(device, "max_gap_words", 0, kMaxGapWords, static_cast<int>(limits.gapWords), lines);
    checkKeys(device.columns, kDeviceColumns, deviceLabel(device), lines);
    return lines;
}

QStringList checkItemColumns(const DeviceInstancePlugin& device, const ItemInstancePlugin& item)
{
    QStringList lines;
    const QString where = QStringLiteral("%1 item %2").arg(deviceLabel(device), item.uid);
    const ItemColumns columns = itemColumns(item);
    if (isStatusAddress(*columns.addressWord)) {
        if (!statusField(*columns.addressWord)) {
            lines.append(QStringLiteral("%1: address_word \"%2\" is no status of the device")
                             .arg(where, *columns.addressWord));
        }
    } else if (campIdentityRole(item, *columns.addressWord, device.id) == IdentityRole::Foreign) {
        lines.append(QStringLiteral("%1: %2").arg(where, QLatin1String(kNotOwnIdentity)));
    } else if (campIdentityRole(item, *columns.addressWord, device.id) == IdentityRole::None) {
        const ItemAddress at = pollAddress(columns);
        if (!at.isValid()) {
            // The item's error text says the same in brackets: here it reads as a sentence.
            QString detail = invalidText(at, columns);
            detail = detail.mid(detail.indexOf(QLatin1Char('(')) + 1);
            detail.chop(1);
            lines.append(QStringLiteral("%1: %2").arg(where, detail));
        }
    }
    checkKeys(item.columns, kItemColumns, where, lines);
    return lines;
}

// Every mistake in the columns is told once: at init for the configured devices and items, and
// when a poll or write meets columns not checked yet.
void reportConfiguration(PluginInterface& host, const QStringList& lines)
{
    for (const QString& line : lines) {
        std::fprintf(stderr, "CAMP_NITP configuration: %s\n", line.toLocal8Bit().constData());
        host.logDebug(line);
    }
}

bool CheckedColumns::checked(const QMap<QString, QString>& deviceColumns)
{
    MutexLocker lock(mutex);
    return deviceChecked && deviceColumns == checkedDevice.columns;
}

namespace {

// The lines not told before, and now `told` holds all of them.
QStringList notToldBefore(const QStringList& lines, QStringList& told)
{
    QStringList fresh;
    for (const QString& line : lines) {
        if (!told.contains(line)) {
            fresh.append(line);
        }
    }
    told = lines;
    return fresh;
}

} // namespace

// Called with the mutex held.
QStringList CheckedColumns::deviceLines(const DeviceInstancePlugin& device)
{
    if (deviceChecked && device.columns == checkedDevice.columns) {
        return QStringList();
    }
    deviceChecked = true;
    checkedDevice.columns = device.columns;
    return notToldBefore(checkDeviceColumns(device), checkedDevice.lines);
}

void CheckedColumns::itemLines(const DeviceInstancePlugin& device, const ItemInstancePlugin& item,
                               CheckedItems& keep, QStringList& lines)
{
    const auto known = checkedItems.constFind(item.uid);
    if (known != checkedItems.cend() && known->columns == item.columns) {
        if (&keep != &checkedItems) { // a write keeps what it checked where it is
            keep.insert(item.uid, *known);
        }
        return;
    }
    Checked checked;
    if (known != checkedItems.cend()) {
        checked.lines = known->lines;
    }
    checked.columns = item.columns;
    lines += notToldBefore(checkItemColumns(device, item), checked.lines);
    keep.insert(item.uid, checked);
}

QStringList CheckedColumns::newLines(const DeviceInstancePlugin& device,
                                     const QList<DataItem>& entries, bool pollItems)
{
    MutexLocker lock(mutex);
    QStringList lines = deviceLines(device);
    CheckedItems kept;
    CheckedItems& keep = pollItems ? kept : checkedItems;
    for (const DataItem& entry : entries) {
        itemLines(device, entry.item, keep, lines);
    }
    if (pollItems) {
        checkedItems.swap(kept);
    }
    return lines;
}

QStringList CheckedColumns::newLines(const DeviceInstancePlugin& device,
                                     const QList<ItemInstancePlugin>& items)
{
    MutexLocker lock(mutex);
    QStringList lines = deviceLines(device);
    for (const ItemInstancePlugin& item : items) {
        itemLines(device, item, checkedItems, lines);
    }
    return lines;
}
