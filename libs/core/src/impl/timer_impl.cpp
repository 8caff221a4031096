#include <core/impl/timer_impl.hpp>

#include <boost/asio/error.hpp>

namespace qvd::libs::core {

timer_impl::timer_impl(boost::asio::io_context& _io_context, time_point _time_point, const std::string& /*_name*/,
                       callback _callback, const component_logger& _logger, source_location /*_source_location*/)
    : m_timer(_io_context), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
    m_data->m_callback = std::move(_callback);
    reset(_time_point);
}

timer_impl::~timer_impl() {
    m_data.reset();
    m_timer.cancel();
}

bool timer_impl::is_waiting() const { return m_data->m_waiting; }

void timer_impl::reset(time_point _time_point) {
    m_data->m_waiting = false;
    m_time_point = time_point{};
    m_timer.cancel();
    m_timer.expires_at(_time_point);
    m_time_point = _time_point;
    const std::uint64_t generation = ++m_data->m_generation;
    const std::weak_ptr<shared_data> weak_data = m_data;
    const component_logger* logger = &m_logger;
    m_timer.async_wait([weak_data, generation, _time_point, logger](const boost::system::error_code& _error) {
        const std::shared_ptr<shared_data> data = weak_data.lock();
        // Only the completion of the latest wait speaks for the timer's state.
        const bool current = data && data->m_generation == generation;
        if (current)
            data->m_waiting = false;
        if (_error) {
            if (_error != boost::asio::error::operation_aborted)
                logger->log_error(_error, QVD_SOURCE_LOCATION);
            return;
        }
        if (current)
            data->m_callback(_time_point);
    });
    m_data->m_waiting = true;
}

void timer_impl::stop() {
    m_data->m_waiting = false;
    ++m_data->m_generation;
    m_time_point = time_point{};
    m_timer.cancel();
}

} // namespace qvd::libs::core
