// Starts and ends each fault of the schedule on its module's camp-sim process, or on the network
// between host and modules, and runs the steps some faults take while they last.
#pragma once

#include "fault_schedule.h"
#include "module_process.h"
#include "soak_plan.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace soak {

class SoakNetwork;

// The stages of a name server outage after which a device must be polled whole again within the
// recovery bound, as after a fault's end.
constexpr const char* kReconnectWhileSilent = "connections dropped";
constexpr const char* kRestartWhileSilent = "module restarted";

class FaultInjector
{
public:
    // `network` is the soak's own namespace, or null without one (and then without the kinds
    // that need it).
    FaultInjector(std::vector<std::unique_ptr<ModuleProcess>>& modules, SoakNetwork* network);
    ~FaultInjector(); // lets go of connections still held

    // What a fault's steps ask of the module's device: a whole poll from now on, within the
    // recovery bound; or none any more, as the step that comes next interrupts it.
    struct Watch
    {
        std::function<void(int module, FaultKind kind, const char* stage)> expectWholePoll;
        std::function<void(int module, FaultKind kind, const char* stage)> interrupt;
    };
    void setWatch(Watch watch) { m_watch = std::move(watch); }

    bool begin(const FaultEvent& event, QString* error);
    bool end(const FaultEvent& event, QString* error);

    // The steps of faults under way (the windows of slow connects, the restart in a name server
    // outage): when the next is due, and running every one due by now.
    std::optional<Clock::time_point> nextStepAt() const;
    bool runDueSteps(QString* error);

    // What the network saw of the fault that has just ended: the SYNs lost, the look-ups left
    // unanswered. Empty for the kinds that do not touch it.
    QString networkNote(const FaultEvent& event) const;

private:
    enum class StepKind { OpenSynWindow, CloseSynWindow, KillModule, StartModule };
    struct Step
    {
        Clock::time_point at;
        int module;
        StepKind kind;
    };

    bool takeAllConnections(ModuleProcess& module, QString* error);
    void releaseConnections(int module);
    void schedule(Clock::time_point at, int module, StepKind kind);
    void dropSteps(int module);
    bool runStep(const Step& step, QString* error);
    bool openSynWindow(int module, QString* error);
    bool closeSynWindow(int module, QString* error);

    std::vector<std::unique_ptr<ModuleProcess>>& m_modules;
    SoakNetwork* m_network;
    Watch m_watch;
    std::vector<std::vector<int>> m_held; // per module: the other client's connections
    std::vector<Step> m_steps;            // by time
    // Per module, for the network's note at a fault's end.
    std::vector<bool> m_windowOpen;
    std::vector<int> m_windows;
    std::vector<qint64> m_synsLostBefore;
    std::vector<qint64> m_synsLost;
    std::vector<int> m_queriesBefore;
    std::vector<int> m_queries;
};

} // namespace soak
