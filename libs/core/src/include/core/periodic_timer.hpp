#pragma once

#include <core/timer.hpp>

#include <chrono>
#include <memory>

namespace qvd::libs::core {

// Repeating timer on the grid start + k * period; missed grid points are skipped.
class periodic_timer {
public:
    using ptr = std::unique_ptr<periodic_timer>;
    // Selects the form whose first call comes at once.
    struct execute_now {};

    virtual ~periodic_timer() = default;

    // Sets a new period and restarts the grid one period from now; refuses a non-positive period.
    virtual void reset(std::chrono::nanoseconds _period) = 0;
    // No further call until restart or reset.
    virtual void stop() = 0;
    // Restarts the grid one period from now.
    virtual void restart() = 0;
    // Calls as soon as the loop gets to it and anchors the grid there; does nothing after stop.
    virtual void expire_now() = 0;
};

} // namespace qvd::libs::core
