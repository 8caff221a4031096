#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace qvd::libs::core {

// One-shot timer on the steady clock; its callback receives the scheduled time point.
class timer {
public:
    using ptr = std::unique_ptr<timer>;
    using time_point = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;
    using callback = std::function<void(time_point)>;

    virtual ~timer() = default;

    // Whether a wait is pending.
    virtual bool is_waiting() const = 0;
    // Re-arms for another point; a pending call is dropped.
    virtual void reset(time_point _time_point) = 0;
    // Disarms; a pending call is dropped.
    virtual void stop() = 0;
};

} // namespace qvd::libs::core
