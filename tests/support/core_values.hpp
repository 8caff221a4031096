#pragma once

// Values of the core library that many tests build. Header only: the support library itself does
// not link the core library, so only the tests that do include this.

#include <core/events_loop.hpp>
#include <core/timestamp.hpp>

#include <chrono>

namespace qvd::test_support {

// The time _count milliseconds after the epoch (before it when negative).
inline libs::core::timestamp at_ms(long long _count) {
    return libs::core::timestamp(std::chrono::milliseconds(_count));
}

// A signal watch that never reports a signal.
class no_signal : public libs::core::events_loop::signals_handle {
public:
    bool signal_is_received() const override { return false; }
};

} // namespace qvd::test_support
