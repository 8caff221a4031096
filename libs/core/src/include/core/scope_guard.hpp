#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace qvd::libs::core {

namespace detail {

// Type-erased base of every guard.
class scope_guard {
public:
    virtual ~scope_guard() = default;
};

// Runs its action once when destroyed, unless disarmed.
template <typename F>
class scope_guard_impl final : public scope_guard {
public:
    explicit scope_guard_impl(F _callback) : m_callback(std::move(_callback)) {}
    ~scope_guard_impl() override {
        if (m_should_execute)
            m_callback();
    }
    scope_guard_impl(const scope_guard_impl&) = delete;
    scope_guard_impl& operator=(const scope_guard_impl&) = delete;

private:
    bool m_should_execute = true;
    F m_callback;
};

} // namespace detail

// A uniquely owned guard; releasing it runs its action. Actions must not throw.
using scope_guard = std::unique_ptr<detail::scope_guard>;

// An armed guard that runs _callback when its owner's scope ends.
template <typename F>
scope_guard execute_on_scope_exit(F&& _callback) {
    return std::make_unique<detail::scope_guard_impl<std::decay_t<F>>>(std::forward<F>(_callback));
}

} // namespace qvd::libs::core
