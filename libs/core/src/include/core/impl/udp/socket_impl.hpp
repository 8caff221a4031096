#pragma once

#include <core/ip_protocol.hpp>
#include <core/logger.hpp>
#include <core/udp/socket.hpp>

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>
#include <vector>

namespace qvd::libs::core::udp {

class socket_impl : public socket {
public:
    // Binds without address reuse; a failed open or bind throws boost::system::system_error.
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, const endpoint& _endpoint);
    // Binds to the protocol's any-address.
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, ip_protocol _protocol,
                int _port);
    // Binds to the address.
    socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, const std::string& _address,
                int _port);
    // Closes the socket; a pending completion does nothing.
    ~socket_impl() override;

    void set_receive_callback(callback _callback) override;
    void send_to(const endpoint& _endpoint, const message& _message) override;
    void send_to(const boost::string_view& _address, int _port, const message& _message) override;
    endpoint make_endpoint(const boost::string_view& _address, int _port) const override;

    // The bound address and port; with port 0, the port the system chose.
    endpoint local_endpoint() const;

protected:
    // What the pending wait reaches; the callback lives here so that one destroying its socket
    // keeps running on live state.
    struct shared_data {
        std::vector<char> m_buffer;
        bool m_socket_alive = true;
        // Shared, so that a callback replaced from inside itself finishes its call.
        std::shared_ptr<callback> m_callback;
    };

    // Starts one wait until the socket is readable.
    void setup_receive();
    // Delivers the datagrams that are queued now, a bounded number per turn.
    static void receive_queued(const std::shared_ptr<shared_data>& _data, int _descriptor,
                               const component_logger& _logger);

    boost::asio::ip::udp::socket m_socket;
    const component_logger& m_logger;
    std::shared_ptr<shared_data> m_data;
};

} // namespace qvd::libs::core::udp
