// Wakes whoever waits for one of the simulator's counts to change: tests that must know the PLC
// saw something before they go on wait for it instead of sleeping.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace camp_sim {

class ChangeSignal
{
public:
    void notify() const
    {
        {
            // Taken and released, so that a waiter between its check and its wait is not missed.
            std::lock_guard<std::mutex> lock(m_mutex);
        }
        m_signal.notify_all();
    }

    // True when the condition held within the time.
    template <typename Condition> bool waitUntil(Condition condition, int timeoutMs) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_signal.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)),
                                 condition);
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_signal;
};

} // namespace camp_sim
