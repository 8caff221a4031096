#pragma once

#include <core/ip_protocol.hpp>
#include <core/tcp/acceptor.hpp>
#include <core/tcp/socket.hpp>

#include <boost/utility/string_view.hpp>

namespace qvd::libs::core::tcp {

// Opens TCP connections and acceptors on the events loop. Addresses are IPv4 or IPv6 notation
// (boost::system::system_error otherwise); ports outside 0 to 65535 throw std::out_of_range.
class manager {
public:
    virtual ~manager() = default;

    // Connects synchronously; a refused or failed connect throws boost::system::system_error.
    virtual socket::ptr connect(boost::string_view _address, int _port) = 0;
    // Listens on the protocol's any-address; a port in use throws boost::system::system_error.
    virtual acceptor::ptr listen(ip_protocol _protocol, int _port) = 0;
    // Listens on the address; a port in use throws boost::system::system_error.
    virtual acceptor::ptr listen(boost::string_view _address, int _port) = 0;
};

} // namespace qvd::libs::core::tcp
