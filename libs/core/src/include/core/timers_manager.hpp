#pragma once

#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/timer.hpp>
#include <core/timestamp.hpp>

#include <chrono>
#include <string>

namespace qvd::libs::core {

// Makes the timers of one events loop and tells the time.
class timers_manager {
public:
    virtual ~timers_manager() = default;

    // Now on the steady clock.
    virtual timer::time_point current_time_point() const = 0;
    // Now on the real-time clock.
    virtual timestamp current_timestamp() const = 0;
    // A one-shot timer that calls after _delay.
    virtual timer::ptr create_timer(std::chrono::nanoseconds _delay, const std::string& _name,
                                    timer::callback _callback, source_location _source_location) = 0;
    // A one-shot timer that calls at _time_point.
    virtual timer::ptr create_timer(timer::time_point _time_point, const std::string& _name, timer::callback _callback,
                                    source_location _source_location) = 0;
    // A periodic timer whose first call comes one period from now; the period must be positive.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                      timer::callback _callback, source_location _source_location) = 0;
    // A periodic timer whose first call comes at once; the period must be positive.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now,
                                                      const std::string& _name, timer::callback _callback,
                                                      source_location _source_location) = 0;
};

} // namespace qvd::libs::core
