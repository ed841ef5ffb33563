#pragma once
// Asks for a request's records a few entries ahead of a loop that reads them in order.
//
// A request the host built afresh lies wherever its heap put it, and after a poll's wait for the
// PLC little of it is still in the cache. Reading one record is a chain: the entry, then its uid's
// characters and its columns' map, then the map's nodes, each found through the one before. Read
// record after record, every link of every chain waits for main memory in turn. Here each link is
// asked for one stage before the next, so that the links of many records are on their way at once
// and the loop finds them in the cache. Only memory the loop reads itself is touched: the stages
// read the links they follow (entries, the map's data and root), and the rest is a prefetch, a
// hint that never faults.

#include <QList>
#include <QMap>
#include <QString>
#include <QtGlobal>

#include <cstring>

#include "kib_records.h"

// Every function is inlined into the loop: on its own, none has an effect that a compiler must
// keep, and calls to it would be dropped.
class RecordPrefetch
{
public:
    // For a loop that starts at the record `first`.
    [[gnu::always_inline]] RecordPrefetch(const QList<DataItem>& items, int first)
        : items(items), first(first), at(first)
    {
        for (int ahead = 0; ahead < kStages * kDistance; ++ahead) {
            stagesFor(first + ahead - kStages * kDistance);
        }
    }

    // Called before the loop reads each record, in order.
    [[gnu::always_inline]] void next()
    {
        stagesFor(at);
        ++at;
    }

private:
    static constexpr int kStages = 4;
    static constexpr int kDistance = 6; // records between two stages

    // The stages that fall on this step: each record gets one stage per step, its first one
    // kStages * kDistance records before the loop reaches it.
    [[gnu::always_inline]] void stagesFor(int step) const
    {
        entryOf(step + 4 * kDistance);
        mapAndUidOf(step + 3 * kDistance);
        mapRootOf(step + 2 * kDistance);
        mapLeavesOf(step + kDistance);
    }

    [[gnu::always_inline]] const ItemInstancePlugin* item(int index) const
    {
        return index >= first && index < items.size() ? &items[index].item : nullptr;
    }

    [[gnu::always_inline]] void entryOf(int index) const
    {
        if (const ItemInstancePlugin* record = item(index)) {
            __builtin_prefetch(&record->uid);
            __builtin_prefetch(&record->columns);
        }
    }

    [[gnu::always_inline]] void mapAndUidOf(int index) const
    {
        if (const ItemInstancePlugin* record = item(index)) {
            __builtin_prefetch(const_cast<QString&>(record->uid).data_ptr());
            __builtin_prefetch(mapData(record->columns));
        }
    }

    [[gnu::always_inline]] void mapRootOf(int index) const
    {
        const ItemInstancePlugin* record = item(index);
        if (const QMapDataBase* map = record ? mapData(record->columns) : nullptr) {
            __builtin_prefetch(map->header.left); // the root
            __builtin_prefetch(map->mostLeftNode);
        }
    }

    [[gnu::always_inline]] void mapLeavesOf(int index) const
    {
        const ItemInstancePlugin* record = item(index);
        const QMapDataBase* map = record ? mapData(record->columns) : nullptr;
        if (const QMapNodeBase* root = map ? map->header.left : nullptr) {
            __builtin_prefetch(root->left);
            __builtin_prefetch(root->right);
        }
    }

    // The map's shared data: a Qt 5 QMap holds nothing but the pointer to it, for the whole major
    // version. Elsewhere the map's own links are not asked for ahead.
    [[gnu::always_inline]] static const QMapDataBase* mapData(const QMap<QString, QString>& map)
    {
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        static_assert(sizeof map == sizeof(QMapDataBase*), "a QMap is its data pointer");
        const QMapDataBase* data = nullptr;
        std::memcpy(&data, &map, sizeof data);
        return data;
#else
        Q_UNUSED(map);
        return nullptr;
#endif
    }

    const QList<DataItem>& items;
    const int first;
    int at;
};
