#pragma once

#include <core/core.hpp>
#include <core/events_loop.hpp>

#include <boost/asio/signal_set.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace qvd::libs::core {

class signals_handle_impl;

// The watchers of one main loop, so that the loop can end them before it dies.
struct signal_watchers {
    std::mutex mutex;
    std::set<signals_handle_impl*> handles;
};

class signals_handle_impl : public events_loop::signals_handle {
public:
    // Registers SIGINT and SIGTERM before the watcher's thread starts.
    signals_handle_impl(core& _core, events_loop& _main_events_loop, std::shared_ptr<signal_watchers> _watchers);
    ~signals_handle_impl() override;

    bool signal_is_received() const override;

    // Ends the watch for good: afterwards no signal reaches the main loop; the flag stays readable.
    void shutdown();

private:
    void on_signal(const boost::system::error_code& _error);

    events_loop::ptr m_thread_events_loop;
    events_loop& m_main_events_loop;
    std::atomic<bool> m_signal_is_received{false};
    std::shared_ptr<signal_watchers> m_watchers;
    std::unique_ptr<boost::asio::signal_set> m_signals;
    std::mutex m_shutdown_mutex;
    std::thread m_thread;
};

} // namespace qvd::libs::core
