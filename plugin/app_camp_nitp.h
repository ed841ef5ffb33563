#pragma once
// The plugin class the KIB host loads: registration, configuration columns, and routing of the
// host's poll and write calls to the device sessions.

#include <QMap>
#include <QMutex>
#include <QObject>

#include <memory>
#include <vector>

#include "block_planner.h"
#include "camp_nitp.h"
#include "kibinterface.h"
#include "module_write_locks.h"
#include "plugininterface.h"

struct CampSession;
class CheckedColumns;

class App_CAMP_NITP : public QObject, public KIBInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID KIBInterface_iid)
    Q_INTERFACES(KIBInterface)

public:
    App_CAMP_NITP();
    ~App_CAMP_NITP() override;

    bool init() override;
    bool readData(LogList* log) override;
    bool getEventData(LogList* log) override;
    bool logCallback(LogList* log) override;
    bool writeData(LogList* log) override;
    bool stopPlugin() override;

    using ReadSpan = ::ReadSpan; // one polled item's place in PLC memory

    // A block's words cut into its spans' values, and one item's words as its value text (see
    // block_values.h, which the poll's block reader uses).
    static bool assignBlockValues(const std::vector<ReadSpan>& spans, size_t first, size_t last,
                                  quint32 blockStart, const Words& words);
    static QString convertData(ItemInstancePlugin* item, Words words);

private:
    QList<DatabaseColumnStructure> itemColumns() const;
    QList<DatabaseColumnStructure> deviceColumns();

    std::shared_ptr<CampSession> sessionFor(DeviceInstancePlugin& device);
    void retireIdleSessions(qint64 now, std::vector<std::shared_ptr<CampSession>>& retired);
    void closeAllSessions();

    template <typename Work> bool withSession(DeviceInstancePlugin& device, Work work);

    PluginInterface pluginInterface;
    QMap<int, std::shared_ptr<CampSession>> sessions;
    // What the configuration check has told of each device, kept when its session is closed (a
    // mistake is told once in the plugin's life), handed to the device's session.
    QMap<int, std::shared_ptr<CheckedColumns>> checkedColumns;
    QMutex sessionsMutex; // guards both maps
    qint64 lastIdleSweepMs = 0;
    // A session unused this long (or ten of its time-outs, if longer) closes its connections.
    static constexpr qint64 kIdleSessionMs = 10 * 60 * 1000;
    static constexpr qint64 kIdleSweepEveryMs = 60 * 1000;
    ModuleWriteLocks moduleWriteLocks;
};
