#pragma once

#include <core/logger.hpp>
#include <core/zmq/manager.hpp>

namespace boost::asio {
class io_context;
} // namespace boost::asio

namespace qvd::libs::core::zmq {

class manager_impl : public manager {
public:
    manager_impl(boost::asio::io_context& _io_context, const component_logger& _logger);

    socket::ptr connect(socket::type _type, std::string _address) override;
    socket::ptr bind(socket::type _type, std::string _address) override;

private:
    boost::asio::io_context& m_io_context;
    const component_logger& m_logger;
};

} // namespace qvd::libs::core::zmq
