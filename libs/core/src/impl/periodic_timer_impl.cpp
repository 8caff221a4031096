#include <core/impl/periodic_timer_impl.hpp>

#include <core/exception.hpp>

namespace qvd::libs::core {

periodic_timer_impl::periodic_timer_impl(timers_manager& _timers_manager, std::chrono::nanoseconds _period,
                                         const std::string& _name, timer::callback _callback,
                                         source_location _source_location, bool _execute_now)
    : m_name(_name), m_timers_manager(_timers_manager), m_period(_period),
      m_callback(std::make_shared<timer::callback>(std::move(_callback))), m_source_location(_source_location) {
    // The tick divides by the period: zero would end the process, a negative one would spin.
    check_period(_period);
    restart_impl();
    if (_execute_now)
        m_timer->reset(m_timers_manager.current_time_point());
}

periodic_timer_impl::~periodic_timer_impl() {
    m_callback.reset();
    m_timer.reset();
}

void periodic_timer_impl::check_period(std::chrono::nanoseconds _period) const {
    if (_period.count() <= 0)
        QVD_THROW("periodic timer \"" + m_name + "\": the period must be positive, not " +
                  std::to_string(_period.count()) + " ns");
}

void periodic_timer_impl::restart_impl() {
    const std::weak_ptr<timer::callback> weak_callback = m_callback;
    m_timer = m_timers_manager.create_timer(
        m_timers_manager.current_time_point() + m_period, m_name,
        [this, weak_callback](timer::time_point _scheduled) {
            const std::shared_ptr<timer::callback> callback = weak_callback.lock();
            if (!callback)
                return;
            tick(_scheduled);
            // The callback may destroy this timer; it stays alive through the locked pointer.
            (*callback)(_scheduled);
        },
        m_source_location);
}

void periodic_timer_impl::tick(timer::time_point _scheduled) {
    const timer::time_point now = m_timers_manager.current_time_point();
    timer::time_point next = _scheduled;
    if (!(_scheduled > now)) {
        // The first grid point strictly after now; missed points are not made up.
        const std::int64_t period = m_period.count();
        const std::int64_t behind = (now - _scheduled).count();
        next = _scheduled + std::chrono::nanoseconds(period * (behind / period + 1));
    }
    // Re-armed before the callback, so it stays armed whatever the callback does.
    m_timer->reset(next);
}

void periodic_timer_impl::reset(std::chrono::nanoseconds _period) {
    check_period(_period);
    m_period = _period;
    restart();
}

void periodic_timer_impl::stop() { m_timer.reset(); }

void periodic_timer_impl::restart() { restart_impl(); }

void periodic_timer_impl::expire_now() {
    if (m_timer)
        m_timer->reset(m_timers_manager.current_time_point());
}

} // namespace qvd::libs::core
