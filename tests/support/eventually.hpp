#pragma once

#include <chrono>
#include <functional>

namespace qvd::test_support {

// Polls _condition every 50 ms until it holds or _timeout passed; returns whether it held.
bool eventually(const std::function<bool()>& _condition, std::chrono::milliseconds _timeout);

} // namespace qvd::test_support
