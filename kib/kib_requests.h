#pragma once
// Requests as a host hands them to the plugin: items built from their columns, and the LogList of
// one device. Host programs and tests build theirs with these.

#include <QList>
#include <QString>

#include "kib_records.h"

namespace kib_requests {

// The item's data_type column.
enum DataType { Bit = 0, Integer = 1, Unsigned = 2, Float = 3, String = 4, Long = 5, ULong = 6 };

inline ItemInstancePlugin memoryItem(const QString& uid, int addressClass, const QString& word,
                                     int dataType)
{
    ItemInstancePlugin item;
    item.uid = uid;
    item.name = uid;
    item.columns.insert(QStringLiteral("address_class"), QString::number(addressClass));
    item.columns.insert(QStringLiteral("address_word"), word);
    item.columns.insert(QStringLiteral("data_type"), QString::number(dataType));
    return item;
}

// An item of a request; a write carries the value to write.
inline DataItem entry(const ItemInstancePlugin& item, const QString& value = QString())
{
    DataItem data(item);
    if (!value.isNull()) {
        data.values.insert(QStringLiteral("value"), value);
    }
    return data;
}

inline QString valueOf(const DataItem& data)
{
    return data.values.value(QStringLiteral("value"));
}

// A poll or write of one device at host:port.
inline LogList deviceRequest(int deviceId, const QString& deviceName, const QString& host,
                             quint16 port, int timeoutMs, const QList<DataItem>& items)
{
    LogList log;
    log.id = deviceId;
    log.name = deviceName;
    log.address = host;
    log.columns.insert(QStringLiteral("port"), QString::number(port));
    log.columns.insert(QStringLiteral("timeout"), QString::number(timeoutMs));
    log.items = items;
    return log;
}

} // namespace kib_requests
