#pragma once

#include <core/async_operation_handle.hpp>
#include <core/badge.hpp>
#include <core/events_loop.hpp>
#include <core/small_object_pool.hpp>

#include <boost/asio/defer.hpp>
#include <boost/asio/io_context.hpp>

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
        return std::allocate_shared<async_operation_handle_impl>(
            small_object_pool::allocator<async_operation_handle_impl>(), _events_loop, std::move(_start_function),
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
        // Marked before the post: once delivered, a callback that restarts the operation must not
        // see this older completion land after its own start.
        m_completed.exchange(true);
        // Straight to the loop's io_context, as events_loop::post does, but as a move-only job: no
        // shared copy of the result and no std::function around it. Queued like a post, never run
        // inside this call; as a continuation of the running handler when this thread runs the loop,
        // which queues it without taking the loop's lock.
        boost::asio::defer(m_events_loop.get_io_context(), delivery{this->weak_from_this(), std::move(_result)});
    }

private:
    // The posted job: the result and a weak pointer to the handle, nothing else.
    struct delivery {
        // Asio takes the memory of the queued job from here.
        using allocator_type = small_object_pool::allocator<void>;

        std::weak_ptr<async_operation_handle_impl> handle;
        T result;

        allocator_type get_allocator() const noexcept { return {}; }

        void operator()() {
            const ptr self = handle.lock();
            if (!self || !self->m_callback)
                return;
            // A copy, so that a callback that replaces itself is not destroyed while it runs.
            const callback receiver = self->m_callback;
            receiver(std::move(result));
        }
    };

    events_loop& m_events_loop;
    std::atomic_bool m_completed;
    start_function m_start_function;
};

} // namespace qvd::libs::core
