#pragma once
// The thread handling of a scan, apart from the scan itself so that a failing thread start can be
// tried without exhausting the machine.

#include <functional>
#include <thread>

namespace CampDiscovery {
namespace detail {

// Makes one running thread; may throw std::system_error as std::thread does.
using ThreadStarter = std::function<std::thread(const std::function<void()>&)>;

std::thread startThread(const std::function<void()>& work);

// Starts up to count threads running work, then joins them in the order they were started. When
// a thread cannot be started no further one is, and those already running are still joined.
// Returns the number of threads that ran.
int runWorkers(int count, const std::function<void()>& work,
               const ThreadStarter& start = startThread);

} // namespace detail
} // namespace CampDiscovery
