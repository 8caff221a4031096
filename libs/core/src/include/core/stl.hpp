#pragma once

namespace qvd::libs::core {

// Outcome of a walk that a callback may stop.
enum class iteration_result : int {
    finished = 0,    // every element was visited
    interrupted = 1, // a callback asked to stop
};

} // namespace qvd::libs::core
