#include "app/termination_watchdog.hpp"

#include <utility>

namespace qvd {

namespace {

// The signal watcher offers its flag only: it is looked at this often.
constexpr std::chrono::milliseconds poll_period(100);

} // namespace

termination_watchdog::termination_watchdog(const libs::core::events_loop::signals_handle& _signals,
                                           std::chrono::milliseconds _grace,
                                           std::vector<std::function<void()>> _cancels,
                                           const libs::core::logger& _logger)
    : m_signals(_signals), m_grace(_grace), m_cancels(std::move(_cancels)), m_logger(_logger),
      m_thread([this] { watch(); }) {}

termination_watchdog::~termination_watchdog() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_ending = true;
    }
    m_ended.notify_all();
    m_thread.join();
}

bool termination_watchdog::wait_until(std::chrono::steady_clock::time_point _until) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_ended.wait_until(lock, _until, [this] { return m_ending; });
}

void termination_watchdog::watch() {
    while (!m_signals.signal_is_received())
        if (!wait_until(std::chrono::steady_clock::now() + poll_period))
            return;
    if (!wait_until(std::chrono::steady_clock::now() + m_grace))
        return;
    m_logger.execute([this] {
        m_logger.warning("Still busy %1% ms after the termination signal: cancelling the database calls") %
            m_grace.count();
        for (const std::function<void()>& cancel : m_cancels)
            cancel();
    });
}

} // namespace qvd
