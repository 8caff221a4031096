#pragma once

#include <core/events_loop.hpp>

#include <chrono>

namespace qvd::libs::core {

// Waits _pause, or less when a termination signal comes: false then, at once when it had already
// come. Every pause between retries waits this way, so that a stop never waits out a pause.
bool pause_unless_signalled(const events_loop::signals_handle& _signals, std::chrono::milliseconds _pause);

} // namespace qvd::libs::core
