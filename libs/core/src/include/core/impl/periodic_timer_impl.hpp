#pragma once

#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/timers_manager.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace qvd::libs::core {

class periodic_timer_impl : public periodic_timer {
public:
    // Throws qvd::libs::core::exception for a non-positive period.
    periodic_timer_impl(timers_manager& _timers_manager, std::chrono::nanoseconds _period, const std::string& _name,
                        timer::callback _callback, source_location _source_location, bool _execute_now);
    ~periodic_timer_impl() override;

    void reset(std::chrono::nanoseconds _period) override;
    void stop() override;
    void restart() override;
    void expire_now() override;

private:
    void restart_impl();
    void tick(timer::time_point _scheduled);
    void check_period(std::chrono::nanoseconds _period) const;

    std::string m_name;
    timers_manager& m_timers_manager;
    timer::ptr m_timer;
    std::chrono::nanoseconds m_period;
    std::shared_ptr<timer::callback> m_callback;
    source_location m_source_location;
};

} // namespace qvd::libs::core
