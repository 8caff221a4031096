#pragma once

#include <core/ip_protocol.hpp>
#include <core/logger.hpp>
#include <core/tcp/acceptor.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>

namespace qvd::libs::core::tcp {

class acceptor_impl : public acceptor {
public:
    // Binds with address reuse and listens with a backlog of 4096; each failing step throws
    // boost::system::system_error.
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                  const boost::asio::ip::tcp::endpoint& _endpoint);
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger, boost::string_view _address,
                  unsigned short _port);
    acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger, ip_protocol _protocol,
                  unsigned short _port);
    // Stops listening; pending completions do nothing.
    ~acceptor_impl() override;

    void set_callback(callback _callback) override;

    // The bound address and port; with port 0, the port the system chose.
    boost::asio::ip::tcp::endpoint local_endpoint() const;

private:
    // Starts one accept.
    void setup_accept();
    void on_accept(const boost::system::error_code& _error, boost::asio::ip::tcp::socket _socket);
    // Accepts again after a pause, when the system was short of descriptors or memory.
    void accept_after_pause();

    boost::asio::io_context& m_io_context;
    const component_logger& m_logger;
    boost::asio::ip::tcp::acceptor m_acceptor;
    callback m_callback;
    std::shared_ptr<bool> m_acceptor_alive;
    boost::asio::steady_timer m_pause_timer;
};

} // namespace qvd::libs::core::tcp
