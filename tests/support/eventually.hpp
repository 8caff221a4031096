#pragma once

#include <chrono>
#include <functional>

namespace qvd::test_support {

// Polls _condition every 50 ms until it holds or _timeout passed; true when it held. For conditions
// that an asynchronous action (a KILL, a signal, a process end, a closed socket) makes true later.
bool eventually(const std::function<bool()>& _condition, std::chrono::milliseconds _timeout);

} // namespace qvd::test_support
