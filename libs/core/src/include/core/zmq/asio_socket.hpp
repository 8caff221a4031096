#pragma once

#include <core/zmq/message.hpp>

#include <boost/system/error_code.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
} // namespace boost::asio

namespace qvd::libs::core::zmq {

// ZeroMQ's error numbers, described by zmq_strerror (it has numbers of its own beyond errno's).
const boost::system::error_category& error_category() noexcept;
boost::system::error_code make_error_code(int _zmq_errno) noexcept;

// How long a closed socket may still try to deliver what it queued before its context ends.
constexpr std::chrono::milliseconds close_linger{1000};

// The ZeroMQ context of every socket made on the io_context; it ends after the io_context and
// after the last of its sockets. inproc endpoints reach only sockets of the same context.
std::shared_ptr<::zmq::context_t> get_context(boost::asio::io_context& _io_context);

// A ZeroMQ socket on an io_context: blocking and non-blocking sends and receives, and one
// asynchronous receive at a time whose completion always runs on a thread of the io_context.
// Calls on one socket are serialised, so a loop run by several threads does not corrupt it.
class asio_socket {
public:
    using receive_handler = std::function<void(const boost::system::error_code&, message&)>;

    // Opens a socket of the ZeroMQ type (ZMQ_PUSH, ZMQ_SUB...); throws boost::system::system_error.
    asio_socket(boost::asio::io_context& _io_context, int _type);
    asio_socket(asio_socket&& _other) noexcept;
    asio_socket& operator=(asio_socket&& _other) noexcept;
    asio_socket(const asio_socket&) = delete;
    asio_socket& operator=(const asio_socket&) = delete;
    // Closes the socket.
    ~asio_socket();

    // Each throws boost::system::system_error on failure.
    void connect(const std::string& _address);
    void bind(const std::string& _address);
    void set_option(int _option, const void* _value, std::size_t _size);
    void set_option(int _option, int _value);
    // The endpoint last bound or connected, with a wildcard port resolved.
    std::string last_endpoint() const;

    // Waits until ZeroMQ takes the frame; throws boost::system::system_error.
    void send(message& _message, int _flags);
    // False when the frame cannot be queued without waiting; other failures throw.
    bool try_send(message& _message, int _flags);
    // Waits for the next frame; throws boost::system::system_error.
    message receive();

    // Starts receiving one frame; the handler is never called from inside this call. At most
    // one receive may be pending.
    void async_receive(receive_handler _handler);
    // The pending receive, if any, completes with operation_aborted.
    boost::system::error_code cancel();
    // Cancels, then closes the socket; later calls fail with bad_descriptor.
    void close();

private:
    struct state;
    std::shared_ptr<state> m_state;
};

} // namespace qvd::libs::core::zmq
