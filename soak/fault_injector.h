// Starts and ends each fault of the schedule on its module's camp-sim process.
#pragma once

#include "fault_schedule.h"
#include "module_process.h"

#include <QString>

#include <memory>
#include <vector>

namespace soak {

class FaultInjector
{
public:
    explicit FaultInjector(std::vector<std::unique_ptr<ModuleProcess>>& modules);
    ~FaultInjector(); // lets go of connections still held

    bool begin(const FaultEvent& event, QString* error);
    bool end(const FaultEvent& event, QString* error);

private:
    bool takeAllConnections(ModuleProcess& module, QString* error);
    void releaseConnections(int module);

    std::vector<std::unique_ptr<ModuleProcess>>& m_modules;
    std::vector<std::vector<int>> m_held; // per module: the other client's connections
};

} // namespace soak
