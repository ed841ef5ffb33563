#pragma once
// The plugin class the KIB host loads: registration, configuration columns, and routing of the
// host's poll and write calls to the device sessions.

#include <QMap>
#include <QMutex>
#include <QObject>

#include <memory>

#include "kibinterface.h"
#include "plugininterface.h"

struct CampSession;

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

private:
    QList<DatabaseColumnStructure> itemColumns() const;
    QList<DatabaseColumnStructure> deviceColumns();

    PluginInterface pluginInterface;
    QMap<int, std::shared_ptr<CampSession>> sessions;
    QMutex sessionsMutex;
};
