#pragma once

#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qvd {

// Cancels the database calls that still hold the main thread a grace period after a termination
// signal: a server that never answers would otherwise keep the daemon up until its timeouts run out.
// The cancelled batch stays in its journal. Ending the watchdog first makes it cancel nothing.
class termination_watchdog {
public:
    termination_watchdog(const libs::core::events_loop::signals_handle& _signals, std::chrono::milliseconds _grace,
                         std::vector<std::function<void()>> _cancels, const libs::core::logger& _logger);
    ~termination_watchdog();
    termination_watchdog(const termination_watchdog&) = delete;
    termination_watchdog& operator=(const termination_watchdog&) = delete;

private:
    void watch();
    // Waits until _until or until the watchdog ends; false when it ended.
    bool wait_until(std::chrono::steady_clock::time_point _until);

    const libs::core::events_loop::signals_handle& m_signals;
    const std::chrono::milliseconds m_grace;
    const std::vector<std::function<void()>> m_cancels;
    const libs::core::logger& m_logger;
    std::mutex m_mutex;
    std::condition_variable m_ended;
    bool m_ending = false;
    std::thread m_thread;
};

} // namespace qvd
