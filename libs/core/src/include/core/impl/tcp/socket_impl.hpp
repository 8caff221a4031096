#pragma once

#include <core/logger.hpp>
#include <core/tcp/socket.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <vector>

namespace qvd::libs::core::tcp {

class socket_impl : public socket {
public:
    // Takes over a connected socket and makes it non-blocking; nothing is read before the first
    // receive callback.
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                boost::asio::ip::tcp::socket&& _socket);
    // Closes the connection; pending completions do nothing and the close callback is not called.
    ~socket_impl() override;

    // Connects synchronously to _address (IPv4 or IPv6 notation) and _port.
    static socket::ptr connect(boost::asio::io_context& _io_context, const component_logger& _logger,
                               boost::string_view _address, unsigned short _port);

    void set_close_callback(close_callback _callback) override;
    void set_receive_callback(receive_callback _callback) override;
    endpoint get_remote_endpoint() const override;
    void set_can_send_callback(can_send_callback _callback) override;
    void notify_that_send_is_possible() override;
    std::size_t send_some(message _message) override;

protected:
    // What pending completions reach; the callbacks live here so that one destroying its socket
    // keeps running on live state.
    struct shared_data {
        std::vector<char> m_buffer;
        bool m_socket_alive = true;
        bool m_waiting_in_progress = false;
        // Shared, so that a callback replaced from inside itself finishes its call; null when none.
        std::shared_ptr<receive_callback> m_receive_callback;
        std::shared_ptr<close_callback> m_close_callback;
        std::shared_ptr<can_send_callback> m_can_send_callback;
    };

    // Starts one read into the buffer.
    void setup_receive();

    boost::asio::ip::tcp::socket m_socket;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

} // namespace qvd::libs::core::tcp
