#include "scan_queue.h"

#include <algorithm>

namespace camp_sim {

ScanQueue::ScanQueue(int scanTimeMs, int requestsPerScan, Serve serve)
    : m_scanTime(std::max(1, scanTimeMs)), m_requestsPerScan(std::max(1, requestsPerScan)),
      m_serve(std::move(serve)), m_thread([this] { run(); })
{
}

ScanQueue::~ScanQueue()
{
    stop();
}

void ScanQueue::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wakeScan.notify_all();
    m_wakeDone.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool ScanQueue::submit(const std::string& request, const ReplyFaults& faults, std::string& reply)
{
    Ticket ticket{&request, &faults, &reply};
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopping) {
        return false;
    }
    m_queue.push_back(&ticket);
    m_wakeDone.wait(lock, [&] { return ticket.served || m_stopping; });
    if (!ticket.served) { // stopping: the ticket lives on this stack, take it out of the queue
        m_queue.erase(std::remove(m_queue.begin(), m_queue.end(), &ticket), m_queue.end());
    }
    return ticket.served;
}

void ScanQueue::trigger()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_triggers;
    }
    m_wakeScan.notify_all();
}

void ScanQueue::setScanTime(int scanTimeMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_scanTime = std::chrono::milliseconds(std::max(1, scanTimeMs));
        m_scanTimeChanged = true;
    }
    m_wakeScan.notify_all();
}

int ScanQueue::queued() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_queue.size());
}

void ScanQueue::run()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    auto nextBoundary = Clock::now() + m_scanTime;
    while (!m_stopping) {
        m_wakeScan.wait_until(lock, nextBoundary,
                              [this] { return m_stopping || m_triggers > 0 || m_scanTimeChanged; });
        if (m_stopping) {
            break;
        }
        if (m_scanTimeChanged) {
            m_scanTimeChanged = false;
            nextBoundary = std::min(nextBoundary, Clock::now() + m_scanTime);
            continue;
        }
        if (m_triggers > 0) {
            --m_triggers;
        } else {
            // A scan that overran starts the next one now rather than catching up in a burst.
            nextBoundary =
                std::max(nextBoundary + m_scanTime, Clock::now() + std::chrono::milliseconds(1));
        }
        serveBoundary(lock);
    }
}

// Serves the oldest requests, in arrival order; the memory sees them one after the other.
void ScanQueue::serveBoundary(std::unique_lock<std::mutex>& lock)
{
    (void)lock; // held by the caller: tickets are served under the queue's mutex
    for (int served = 0; served < m_requestsPerScan && !m_queue.empty(); ++served) {
        Ticket* ticket = m_queue.front();
        m_queue.pop_front();
        m_serve(*ticket->request, *ticket->faults, *ticket->reply);
        ticket->served = true;
    }
    m_wakeDone.notify_all();
}

} // namespace camp_sim
