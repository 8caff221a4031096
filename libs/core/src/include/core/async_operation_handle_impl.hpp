#pragma once

#include <core/async_operation_handle.hpp>
#include <core/badge.hpp>
#include <core/events_loop.hpp>
#include <core/source_location.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace qvd::libs::core {

// The handle of an operation with one result of type T. The operation is the start function; it
// ends by calling return_result from any thread, and the result is posted to the handle's loop.
template <typename T>
class async_operation_handle_impl : public async_operation_handle<T>,
                                    public std::enable_shared_from_this<async_operation_handle_impl<T>> {
public:
    using ptr = std::shared_ptr<async_operation_handle_impl<T>>;
    // Called with a shared and a weak pointer to the handle; work left behind keeps only the weak one.
    using start_function = std::function<void(std::shared_ptr<async_operation_handle_impl<T>>,
                                              std::weak_ptr<async_operation_handle_impl<T>>)>;
    using callback = typename async_operation_handle<T>::callback;

    async_operation_handle_impl(events_loop& _events_loop, start_function _start_function,
                                badge<async_operation_handle_impl>)
        : m_events_loop(_events_loop), m_completed(false), m_start_function(std::move(_start_function)) {}

    // A new handle owned by a shared pointer, not started yet.
    static ptr create(events_loop& _events_loop, start_function _start_function) {
        return std::make_shared<async_operation_handle_impl>(_events_loop, std::move(_start_function),
                                                             badge<async_operation_handle_impl>{});
    }

    // Runs the start function on this thread; an exception it throws reaches the caller.
    void start() {
        m_completed.exchange(false);
        std::weak_ptr<async_operation_handle_impl> weak = this->weak_from_this();
        ptr shared = this->shared_from_this();
        m_start_function(std::move(shared), std::move(weak));
    }

    bool is_complete() const override { return m_completed.load(); }

    void restart() override { start(); }

    // Posts the delivery of _result to the handle's loop; safe from any thread.
    void return_result(T&& _result) {
        // The posted job must be copyable while T may be move-only.
        auto result = std::make_shared<T>(std::move(_result));
        std::weak_ptr<async_operation_handle_impl> weak = this->weak_from_this();
        // Marked before the post: once delivered, a callback that restarts the operation must not
        // see this older completion land after its own start.
        m_completed.exchange(true);
        m_events_loop.post(
            [weak = std::move(weak), result = std::move(result)] {
                const ptr self = weak.lock();
                if (!self || !self->m_callback)
                    return;
                // A copy, so that a callback that replaces itself is not destroyed while it runs.
                const callback receiver = self->m_callback;
                receiver(std::move(*result));
            },
            source_location());
    }

private:
    events_loop& m_events_loop;
    std::atomic_bool m_completed;
    start_function m_start_function;
};

} // namespace qvd::libs::core
