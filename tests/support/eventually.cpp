#include "support/eventually.hpp"

#include <thread>

namespace qvd::test_support {

bool eventually(const std::function<bool()>& _condition, std::chrono::milliseconds _timeout) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    for (;;) {
        if (_condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace qvd::test_support
