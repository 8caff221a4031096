#include <core/impl/network_arguments.hpp>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

#include <limits>

namespace qvd::libs::core {

unsigned short checked_port(int _port) {
    // Taken modulo 65536 the port would bind or connect somewhere the caller never asked.
    if (_port < 0 || _port > std::numeric_limits<unsigned short>::max())
        throw std::out_of_range("port " + std::to_string(_port) + " is outside 0 to 65535");
    return static_cast<unsigned short>(_port);
}

boost::asio::ip::address any_address(ip_protocol _protocol) {
    if (_protocol == ip_protocol::v4)
        return boost::asio::ip::address_v4::any();
    return boost::asio::ip::address_v6::any();
}

boost::asio::ip::address parse_address(const std::string& _address) { return boost::asio::ip::make_address(_address); }

} // namespace qvd::libs::core
