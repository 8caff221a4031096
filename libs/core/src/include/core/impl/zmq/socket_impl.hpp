#pragma once

#include <core/logger.hpp>
#include <core/zmq/asio_socket.hpp>
#include <core/zmq/socket.hpp>

#include <memory>
#include <string>

namespace boost::asio {
class io_context;
} // namespace boost::asio

namespace qvd::libs::core::zmq {

class socket_impl : public socket {
public:
    // A socket of the type connected to _address; throws qvd::libs::core::exception when the
    // connect fails, boost::system::system_error when the socket cannot be made at all.
    static socket::ptr connect(socket::type _type, boost::asio::io_context& _io_context,
                               const component_logger& _logger, std::string _address);
    // The same with a bind.
    static socket::ptr bind(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                            std::string _address);

    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, asio_socket _socket);
    ~socket_impl() override;

    void set_receive_callback(callback _callback) override;
    void send(message _message) override;
    void send(message _message, flags _flags) override;
    bool try_send(message _message) override;
    bool try_send(message _message, flags _flags) override;
    message receive_more() override;

private:
    // What the pending receive may reach after the socket is gone.
    struct shared_data {
        bool m_socket_alive = true;
        // Shared, so that a callback replaced from inside itself finishes its call.
        std::shared_ptr<callback> m_receive_callback;
    };

    void setup_receive();

    asio_socket m_socket;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

} // namespace qvd::libs::core::zmq
