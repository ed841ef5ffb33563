// The PLC's scan: requests wait in arrival order and are served at scan boundaries, at most a
// fixed number per boundary, so every reply waits for the end of the scan it arrived in.
#pragma once

#include "camp_handler.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace camp_sim {

class ScanQueue
{
public:
    using Serve = std::function<void(const std::string& request, const ReplyFaults& faults,
                                     std::string& reply)>;

    ScanQueue(int scanTimeMs, int requestsPerScan, Serve serve);
    ~ScanQueue(); // stops
    ScanQueue(const ScanQueue&) = delete;
    ScanQueue& operator=(const ScanQueue&) = delete;

    // Blocks until the request was served at a scan boundary (true), or the queue stops (false).
    bool submit(const std::string& request, const ReplyFaults& faults, std::string& reply);

    void trigger(); // run one scan boundary now
    // A busy PLC's scan stretches and shrinks: from the next boundary on, scans take this long.
    // A boundary already further away than that is brought forward.
    void setScanTime(int scanTimeMs);
    int queued() const; // requests waiting for a boundary
    void stop();        // wakes every waiter and joins the scan thread; safe to call twice

private:
    struct Ticket
    {
        const std::string* request;
        const ReplyFaults* faults;
        std::string* reply;
        bool served = false;
    };

    void run();
    void serveBoundary(std::unique_lock<std::mutex>& lock);

    std::chrono::milliseconds m_scanTime; // guarded by m_mutex
    const int m_requestsPerScan;
    const Serve m_serve;

    mutable std::mutex m_mutex;
    std::condition_variable m_wakeScan; // a trigger or stop
    std::condition_variable m_wakeDone; // tickets served or stop
    std::deque<Ticket*> m_queue;
    int m_triggers = 0;
    bool m_scanTimeChanged = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace camp_sim
