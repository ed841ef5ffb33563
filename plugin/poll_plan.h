#pragma once
// A poll's plan: where every polled item's words lie, the blocks that read them, and the items
// that name no words. A host polls the same items again and again, so a device's session keeps the
// last plan and uses it again for a request whose records hold the same columns and uids, in the
// same order: the very records the host keeps (Qt's shared data, which compares at once), or new
// ones built afresh for every poll. A record changed since is planned afresh. Nothing a poll
// reports depends on whether its plan was kept.

#include <QList>

#include <utility>
#include <vector>

#include "block_planner.h"
#include "device_health.h"

class PollPlan
{
public:
    PollPlan() = default;
    // Plans the request's items of the device within its module's limits; its identity items are
    // left to the identity read.
    PollPlan(const QList<DataItem>& items, int deviceId, const BlockLimits& limits);

    // True when `items` hold the columns and uids this plan was made from, in the same order, and
    // the module's limits are the ones it was made for.
    bool isFor(const QList<DataItem>& items, const BlockLimits& limits) const;

    // Points the spans at the request's entries, which receive the values, and gives every item
    // that names no words its reason.
    void applyTo(QList<DataItem>& items);
    // Gives the device's identity items of the request the reason their read failed.
    void failIdentity(QList<DataItem>& items, const QString& reason) const;
    // Fills the request's status items; they never make a frame.
    void fillStatus(QList<DataItem>& items, const DeviceHealth& health,
                    const LinkCounters& counters) const;

    // The items whose words the PLC refused in a merged block are read alone from now on, and no
    // other block reads their words; those read alone that the PLC answered join their blocks
    // again. The plan is made afresh after a reconnect (`reconnects` is the session's count), in
    // case the module was changed.
    void isolate(const Isolation& isolation, quint64 reconnects);
    bool isolatedBefore(quint64 reconnects) const
    {
        return isolated && reconnects != reconnectsAtIsolation;
    }

    bool asksIdentity() const { return !identityItems.empty(); }
    // Whether the poll has anything to read from the PLC (status items alone have not).
    bool needsThePlc() const { return asksIdentity() || !sortedSpans.empty(); }
    const std::vector<ReadSpan>& spans() const { return sortedSpans; }
    const std::vector<ReadBlock>& blocks() const { return readBlocks; }

private:
    // What the plan of one item is made from: the host's own map and uid, which compare at once
    // while the host keeps its records, and where its flat copies below begin and how long they
    // are, so that a request's cold texts are read only to compare them.
    struct Record
    {
        QMap<QString, QString> columns;
        QString uid;
        size_t uidAt = 0;
        int uidLength = 0;
        size_t columnsAt = 0;
        int columnCount = 0;
    };
    static bool sharesWith(const ItemInstancePlugin& item, const Record& record)
    {
        return item.columns.isSharedWith(record.columns) && item.uid.isSharedWith(record.uid);
    }
    bool holdsFrom(const QList<DataItem>& items, int first) const;
    bool hasColumns(const QMap<QString, QString>& columns, const Record& record) const;
    bool hasUid(const QString& uid, const Record& record) const;

    std::vector<Record> records;
    // A request built afresh for every poll is compared, in order, against these flat copies:
    // every record's uid, one character after the other, and its columns as name, text, name,
    // text... (copies that share the host's texts, so that texts copied from the same
    // configuration compare at once). The maps and texts of the request the plan was made from
    // lie cold all over memory by then, and walking a map is a chain of reads, each waiting for
    // the one before.
    std::vector<QChar> uidTexts;
    std::vector<QString> columnTexts;
    BlockLimits blockLimits;
    std::vector<ReadSpan> sortedSpans;
    std::vector<ReadBlock> readBlocks;
    std::vector<std::pair<int, QString>> unusable; // (item, why it names no words)
    std::vector<int> identityItems;
    std::vector<std::pair<int, StatusField>> statusItems;
    bool isolated = false;
    quint64 reconnectsAtIsolation = 0;
};
