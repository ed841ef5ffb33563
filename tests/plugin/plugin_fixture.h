#pragma once
// The plugin as the host uses it: loaded with QPluginLoader, fed LogList requests, and talking
// over real TCP to a simulated PLC on a free loopback port.

#include <QThread>
#include <gtest/gtest.h>

#include <functional>

#include "host_config_scope.h"
#include "kib_requests.h"
#include "plugin_loader.h"
#include "simulated_plc.h"

namespace plugin_test {

using namespace camp_sim;
using namespace kib_test;
using namespace kib_requests;

// A request frame as the PLC sees it: command, class, start address and word count.
struct Frame
{
    QByteArray command;
    int addressClass;
    quint32 address;
    int count;
};

inline Frame decode(const QByteArray& frame)
{
    const bool read = frame.mid(1, 2) == "04";
    return {frame.mid(1, 2), frame.mid(5, 2).toInt(nullptr, 16),
            frame.mid(7, 6).toUInt(nullptr, 16),
            read ? frame.mid(15, 4).toInt(nullptr, 16) : frame.mid(13, 2).toInt(nullptr, 16)};
}

// A V item whose data_type column holds the given text, as a hand-edited configuration may; a write
// entry when a value is given.
inline DataItem withDataType(const char* uid, const char* word, const char* dataType,
                             const char* value = nullptr)
{
    ItemInstancePlugin item = memoryItem(QLatin1String(uid), kClassV, QLatin1String(word), Bit);
    item.columns.insert(QStringLiteral("data_type"), QLatin1String(dataType));
    return entry(item, value ? QString::fromUtf8(value) : QString());
}

// The request with records of its own, equal in content but sharing nothing with the given ones,
// as a host builds them afresh for every poll.
inline LogList withNewRecords(const LogList& log)
{
    const auto copyOf = [](const QMap<QString, QString>& columns) {
        QMap<QString, QString> copy;
        for (auto it = columns.cbegin(); it != columns.cend(); ++it) {
            copy.insert(QString(it.key().constData(), it.key().size()),
                        QString(it.value().constData(), it.value().size()));
        }
        return copy;
    };
    LogList fresh = log;
    fresh.columns = copyOf(log.columns);
    for (DataItem& entry : fresh.items) {
        entry.item.columns = copyOf(entry.item.columns);
        entry.item.uid = QString(entry.item.uid.constData(), entry.item.uid.size());
        entry.values.clear();
        entry.item.errorText.clear();
    }
    return fresh;
}

// Waits (without asserting on time) until the condition holds or a generous bound passes.
inline bool eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 1000; ++i) {
        if (condition()) {
            return true;
        }
        QThread::msleep(10);
    }
    return condition();
}

class PluginTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        plugin = loadPlugin();
        ASSERT_NE(plugin, nullptr) << pluginLoader().errorString().toStdString();
        plugin->stopPlugin();
        PlcConfig config;
        config.serial = 812;
        config.firmwareMajor = 4;
        config.firmwareMinor = 10;
        plc = std::make_unique<SimulatedPlc>(config);
        ASSERT_TRUE(plc->start()) << plc->lastError().toStdString();
    }

    void TearDown() override
    {
        plugin->stopPlugin();
        plc->stop();
    }

    LogList request(int deviceId, const QList<DataItem>& items) const
    {
        return deviceRequest(deviceId, QStringLiteral("press-%1").arg(deviceId),
                             QStringLiteral("127.0.0.1"), plc->port(), 3000, items);
    }

    // Request frames the PLC received with the given command ("04" read, "06" write).
    QList<Frame> frames(const char* command) const
    {
        QList<Frame> list;
        for (const QByteArray& frame : plc->requests()) {
            const Frame decoded = decode(frame);
            if (decoded.command == command) {
                list.append(decoded);
            }
        }
        return list;
    }

    void setWords(int addressClass, quint32 start, const QList<quint16>& words)
    {
        for (int i = 0; i < words.size(); ++i) {
            plc->setWord(addressClass, start + quint32(i), words[i]);
        }
    }

    HostConfigScope host; // a fresh host configuration for every test
    KIBInterface* plugin = nullptr;
    std::unique_ptr<SimulatedPlc> plc;
};

} // namespace plugin_test
