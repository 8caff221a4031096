#pragma once

#include <core/zmq/message.hpp>

#include <functional>
#include <memory>

namespace qvd::libs::core::zmq {

// Send flags; the values are ZeroMQ's.
enum class flags { none = 0, sndmore = 2 };

// A ZeroMQ socket on an events loop, connected or bound from its creation.
class socket {
public:
    using ptr = std::unique_ptr<socket>;
    using callback = std::function<void(message&)>;

    enum class type { push = 0, pull = 1, pub = 2, req = 3, rep = 4 };

    virtual ~socket() = default;

    // Receives every frame into the callback from now on; a later call only replaces it.
    virtual void set_receive_callback(callback _callback) = 0;
    // Sends the frame, waiting until ZeroMQ takes it; throws boost::system::system_error.
    virtual void send(message _message) = 0;
    virtual void send(message _message, flags _flags) = 0;
    // Sends without waiting: false when the frame cannot be queued now.
    virtual bool try_send(message _message) = 0;
    virtual bool try_send(message _message, flags _flags) = 0;
    // The next frame of the message being received, waiting for it; throws boost::system::system_error.
    virtual message receive_more() = 0;
};

} // namespace qvd::libs::core::zmq
