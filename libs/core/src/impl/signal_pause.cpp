#include <core/signal_pause.hpp>

#include <algorithm>
#include <thread>

namespace qvd::libs::core {

bool pause_unless_signalled(const events_loop::signals_handle& _signals, const std::chrono::milliseconds _pause) {
    // The watcher offers its flag only, so it is looked at every 50 ms.
    const auto until = std::chrono::steady_clock::now() + _pause;
    for (;;) {
        if (_signals.signal_is_received())
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(50)));
    }
}

} // namespace qvd::libs::core
