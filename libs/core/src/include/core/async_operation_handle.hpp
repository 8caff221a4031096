#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace qvd::libs::core {

// The shared handle of one asynchronous operation; its result is delivered to the callback on
// the events loop that created it. Releasing the last pointer abandons the operation.
template <typename... Result>
class async_operation_handle {
public:
    using ptr = std::shared_ptr<async_operation_handle>;
    using callback = std::function<void(Result...)>;
    using void_callback = std::function<void()>;

    virtual ~async_operation_handle() = default;

    // Whether the result has been handed over for delivery since the last start.
    virtual bool is_complete() const = 0;
    // Runs the operation again; its result goes to the same callback.
    virtual void restart() = 0;

    // Stores the receiver of the result, replacing any earlier one; only for operations with a result.
    template <int N = 0, std::enable_if_t<(N == 0 && sizeof...(Result) != 0), int> = 0>
    void set_callback(callback _callback) {
        m_callback = std::move(_callback);
    }
    // Stores a receiver that is told of each delivery without the result.
    void set_callback(void_callback _callback) {
        if constexpr (sizeof...(Result) == 0)
            m_callback = std::move(_callback);
        else if (!_callback)
            m_callback = nullptr;
        else
            m_callback = [notify = std::move(_callback)](Result...) { notify(); };
    }
    // The stored receiver; empty when none was set.
    callback& get_callback() { return m_callback; }

protected:
    callback m_callback;
};

} // namespace qvd::libs::core
