#include <core/impl/signals_handle_impl.hpp>

#include <csignal>

namespace qvd::libs::core {

signals_handle_impl::signals_handle_impl(core& _core, events_loop& _main_events_loop,
                                         std::shared_ptr<signal_watchers> _watchers)
    : m_thread_events_loop(_core.create_events_loop("stop_on_signals")), m_main_events_loop(_main_events_loop),
      m_watchers(std::move(_watchers)) {
    // Registered here, not on the thread: a signal in between would otherwise kill the process.
    m_signals = std::make_unique<boost::asio::signal_set>(m_thread_events_loop->get_io_context(), SIGINT, SIGTERM);
    m_signals->async_wait([this](const boost::system::error_code& _error, int /*_signal*/) { on_signal(_error); });
    {
        const std::lock_guard<std::mutex> lock(m_watchers->mutex);
        m_watchers->handles.insert(this);
    }
    m_thread = std::thread([this]() {
        try {
            m_thread_events_loop->run();
        } catch (...) {
        }
        // Gone with the thread: a later signal takes its default action again.
        m_signals.reset();
    });
}

signals_handle_impl::~signals_handle_impl() {
    {
        const std::lock_guard<std::mutex> lock(m_watchers->mutex);
        m_watchers->handles.erase(this);
    }
    shutdown();
}

bool signals_handle_impl::signal_is_received() const { return m_signal_is_received.load(); }

void signals_handle_impl::shutdown() {
    const std::lock_guard<std::mutex> lock(m_shutdown_mutex);
    if (!m_thread_events_loop)
        return;
    m_thread_events_loop->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_signals.reset();
    m_thread_events_loop.reset();
}

void signals_handle_impl::on_signal(const boost::system::error_code& _error) {
    if (_error)
        return;
    // The flag first, so whoever sees the main loop return also sees it set.
    m_signal_is_received.exchange(true);
    m_main_events_loop.stop();
    m_thread_events_loop->stop();
}

} // namespace qvd::libs::core
