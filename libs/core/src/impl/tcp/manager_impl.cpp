#include <core/impl/tcp/manager_impl.hpp>

#include <core/impl/network_arguments.hpp>
#include <core/impl/tcp/acceptor_impl.hpp>
#include <core/impl/tcp/socket_impl.hpp>

namespace qvd::libs::core::tcp {

manager_impl::manager_impl(boost::asio::io_context& _io_context, const component_logger& _logger)
    : m_io_context(_io_context), m_logger(_logger) {}

socket::ptr manager_impl::connect(boost::string_view _address, int _port) {
    return socket_impl::connect(m_io_context, m_logger, _address, checked_port(_port));
}

acceptor::ptr manager_impl::listen(ip_protocol _protocol, int _port) {
    return std::make_unique<acceptor_impl>(m_io_context, m_logger, _protocol, checked_port(_port));
}

acceptor::ptr manager_impl::listen(boost::string_view _address, int _port) {
    return std::make_unique<acceptor_impl>(m_io_context, m_logger, _address, checked_port(_port));
}

} // namespace qvd::libs::core::tcp
