#pragma once

namespace qvd::libs::core {

// A pass that only T can issue: a constructor that takes badge<T> can be called by T alone,
// even through std::make_shared.
template <typename T>
class badge {
    friend T;
    // User-provided, so that badge<T>{} is not an aggregate initialisation open to everyone.
    badge() {}
};

} // namespace qvd::libs::core
