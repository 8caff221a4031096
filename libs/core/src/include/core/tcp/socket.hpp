#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <functional>
#include <memory>

namespace qvd::libs::core::tcp {

// Bytes to send.
using message = boost::string_view;

// A connected TCP stream on the events loop; callbacks run on the loop's thread.
class socket {
public:
    using ptr = std::unique_ptr<socket>;
    using endpoint = boost::asio::ip::tcp::endpoint;
    // The bytes of one read; the view is valid only during the call.
    using receive_callback = std::function<void(boost::string_view)>;
    // The stream ended: closed by the peer, reset, or failed; called once.
    using close_callback = std::function<void()>;
    // The socket can take data again.
    using can_send_callback = std::function<void()>;

    virtual ~socket() = default;

    // Stores the end-of-stream callback; an empty one clears it.
    virtual void set_close_callback(close_callback _callback) = 0;
    // Stores the receive callback; the first one starts receiving; an empty one throws std::invalid_argument.
    virtual void set_receive_callback(receive_callback _callback) = 0;
    // The peer's address and port; throws boost::system::system_error when the system cannot tell.
    virtual endpoint get_remote_endpoint() const = 0;
    // Stores the can-send callback; an empty one clears it.
    virtual void set_can_send_callback(can_send_callback _callback) = 0;
    // Asks for one can-send call once the socket is writable; a second request before then adds nothing.
    virtual void notify_that_send_is_possible() = 0;
    // Sends what the system takes at once and returns its size, 0 when it would have to wait; never waits.
    virtual std::size_t send_some(message _message) = 0;
};

} // namespace qvd::libs::core::tcp
