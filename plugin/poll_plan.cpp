#include "poll_plan.h"

#include <algorithm>

#include "block_values.h"
#include "camp_identity.h"
#include "record_prefetch.h"

PollPlan::PollPlan(const QList<DataItem>& items, int deviceId, const BlockLimits& limits)
    : blockLimits(limits)
{
    size_t uidLength = 0;
    size_t columnCount = 0;
    for (const DataItem& entry : items) {
        uidLength += static_cast<size_t>(entry.item.uid.size());
        columnCount += static_cast<size_t>(entry.item.columns.size());
    }
    records.reserve(static_cast<size_t>(items.size()));
    uidTexts.reserve(uidLength);
    columnTexts.reserve(2 * columnCount);
    sortedSpans.reserve(static_cast<size_t>(items.size()));
    for (int index = 0; index < items.size(); ++index) {
        const ItemInstancePlugin& item = items[index].item;
        records.push_back({item.columns, item.uid, uidTexts.size(), item.uid.size(),
                           columnTexts.size(), item.columns.size()});
        uidTexts.insert(uidTexts.end(), item.uid.cbegin(), item.uid.cend());
        for (auto column = item.columns.cbegin(); column != item.columns.cend(); ++column) {
            columnTexts.push_back(column.key());
            columnTexts.push_back(column.value());
        }
        const ItemColumns columns = itemColumns(item);
        if (isStatusAddress(*columns.addressWord)) {
            const std::optional<StatusField> field = statusField(*columns.addressWord);
            if (field) {
                statusItems.emplace_back(index, *field);
            } else {
                unusable.emplace_back(
                    index, QStringLiteral("Invalid address (address_word \"%1\": no status of "
                                          "that name)")
                               .arg(*columns.addressWord));
            }
            continue;
        }
        const IdentityRole identity = campIdentityRole(item, *columns.addressWord, deviceId);
        if (identity == IdentityRole::Own) {
            identityItems.push_back(index);
            continue;
        }
        if (identity == IdentityRole::Foreign) {
            unusable.emplace_back(index, QLatin1String(kNotOwnIdentity));
            continue;
        }
        ReadSpan span;
        static_cast<ItemAddress&>(span) = pollAddress(columns);
        if (!span.isValid()) {
            unusable.emplace_back(index, invalidText(span, columns));
            continue;
        }
        span.itemIndex = index;
        sortedSpans.push_back(span);
    }
    readBlocks = planBlocks(sortedSpans, blockLimits);
}

namespace {

// Texts compare at once when they share their data (records the host keeps, or new ones copied
// from the same texts), and character by character only when they do not.
bool sameText(const QString& a, const QString& b)
{
    return a.isSharedWith(b) || a == b;
}

} // namespace

bool PollPlan::isFor(const QList<DataItem>& items, const BlockLimits& limits) const
{
    if (limits != blockLimits || static_cast<size_t>(items.size()) != records.size()) {
        return false;
    }
    // The records a host keeps share their data with the plan's: that is all a poll asks of them.
    int first = 0;
    while (first < items.size() && sharesWith(items[first].item, records[first])) {
        ++first;
    }
    return first == items.size() || holdsFrom(items, first);
}

// The request's records from `first` on are, at least in part, new ones: compared in order with
// the plan's flat copies, with the request's records asked for ahead.
bool PollPlan::holdsFrom(const QList<DataItem>& items, int first) const
{
    RecordPrefetch ahead(items, first);
    for (int index = first; index < items.size(); ++index) {
        ahead.next();
        const ItemInstancePlugin& item = items[index].item;
        const Record& record = records[static_cast<size_t>(index)];
        if (!sharesWith(item, record) &&
            (!hasColumns(item.columns, record) || !hasUid(item.uid, record))) {
            return false;
        }
    }
    return true;
}

bool PollPlan::hasColumns(const QMap<QString, QString>& columns, const Record& record) const
{
    if (columns.isSharedWith(record.columns)) {
        return true;
    }
    if (columns.size() != record.columnCount) {
        return false;
    }
    const QString* text = columnTexts.data() + record.columnsAt;
    for (auto column = columns.cbegin(); column != columns.cend(); ++column, text += 2) {
        if (!sameText(column.key(), text[0]) || !sameText(column.value(), text[1])) {
            return false;
        }
    }
    return true;
}

bool PollPlan::hasUid(const QString& uid, const Record& record) const
{
    const auto planned = uidTexts.cbegin() + static_cast<ptrdiff_t>(record.uidAt);
    return uid.isSharedWith(record.uid) ||
           (uid.size() == record.uidLength && std::equal(uid.cbegin(), uid.cend(), planned));
}

void PollPlan::applyTo(QList<DataItem>& items)
{
    for (ReadSpan& span : sortedSpans) {
        span.dataItem = &items[span.itemIndex];
    }
    for (const auto& [index, reason] : unusable) {
        items[index].item.errorText = reason;
    }
}

void PollPlan::failIdentity(QList<DataItem>& items, const QString& reason) const
{
    for (const int index : identityItems) {
        items[index].item.errorText = reason;
    }
}

void PollPlan::fillStatus(QList<DataItem>& items, const DeviceHealth& health,
                          const LinkCounters& counters) const
{
    for (const auto& [index, field] : statusItems) {
        DataItem& entry = items[index];
        entry.values.insert(valueKey(), health.statusValue(field, counters));
        entry.item.errorText.clear();
    }
}

void PollPlan::isolate(const Isolation& isolation, quint64 reconnects)
{
    const auto among = [](const std::vector<int>& items, int item) {
        return std::find(items.begin(), items.end(), item) != items.end();
    };
    isolated = false;
    for (ReadSpan& span : sortedSpans) {
        if (among(isolation.refused, span.itemIndex)) {
            span.alone = true;
        } else if (among(isolation.answered, span.itemIndex)) {
            span.alone = false;
        }
        isolated = isolated || span.alone;
    }
    readBlocks = planBlocks(sortedSpans, blockLimits);
    reconnectsAtIsolation = reconnects;
}
