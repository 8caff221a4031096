#pragma once

#include <core/tcp/socket.hpp>

#include <functional>
#include <memory>

namespace qvd::libs::core::tcp {

// A listening TCP socket; connections wait in the backlog until the first callback is set.
class acceptor {
public:
    using ptr = std::unique_ptr<acceptor>;
    // Receives each accepted connection; a socket it does not keep is closed when it returns.
    using callback = std::function<void(socket::ptr)>;

    virtual ~acceptor() = default;

    // Stores the callback; the first one starts accepting; an empty one throws std::invalid_argument.
    virtual void set_callback(callback _callback) = 0;
};

} // namespace qvd::libs::core::tcp
