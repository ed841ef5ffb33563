#pragma once
// The plugin class the KIB host loads: registration, configuration columns, and routing of the
// host's poll and write calls to the device sessions.

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSet>

#include <memory>
#include <vector>

#include "block_planner.h"
#include "camp_nitp.h"
#include "kibinterface.h"
#include "module_write_locks.h"
#include "plugininterface.h"

struct CampSession;
class PollPlan;

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

    static bool assignBlockValues(const std::vector<ReadSpan>& spans, size_t first, size_t last,
                                  quint32 blockStart, const Words& words);
    static QString convertData(ItemInstancePlugin* item, Words words);

private:
    QList<DatabaseColumnStructure> itemColumns() const;
    QList<DatabaseColumnStructure> deviceColumns();

    std::shared_ptr<CampSession> sessionFor(DeviceInstancePlugin& device);
    void closeAllSessions();

    template <typename Work> bool withSession(LogList* log, Work work);
    bool pollDevice(CampSession& session, LogList* log);
    bool readDevice(CampSession& session, LogList* log, PollPlan& plan);
    bool writeDevice(CampSession& session, LogList* log);
    bool writeEntries(CAMP_NITP& driver, LogList* log);
    bool writeEntry(CAMP_NITP& driver, LogList* log, DataItem& entry);

    void checkColumns(const DeviceInstancePlugin& device, const QList<DataItem>& entries);
    void checkColumns(const DeviceInstancePlugin& device, const QList<ItemInstancePlugin>& items);

    QMap<QString, QString> readCampIdentity(CAMP_NITP& driver, QString& failure);
    void fillPolledIdentity(CAMP_NITP& driver, LogList* log, const PollPlan& plan);

    PluginInterface pluginInterface;
    QMap<int, std::shared_ptr<CampSession>> sessions;
    QMutex sessionsMutex;
    ModuleWriteLocks moduleWriteLocks;
    // The device and item columns checked so far (device id, uid and columns), each reported once.
    QSet<QString> checkedColumns;
    QMutex checkedMutex; // taken last, inside a call's session lock, and only for the look
};
