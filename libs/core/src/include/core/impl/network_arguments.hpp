#pragma once

#include <core/ip_protocol.hpp>

#include <boost/asio/ip/address.hpp>

#include <stdexcept>
#include <string>

namespace qvd::libs::core {

// The port as a 16-bit number; a port outside 0 to 65535 throws std::out_of_range naming it.
unsigned short checked_port(int _port);

// The any-address of the protocol: v4 the IPv4 one, any other value the IPv6 one.
boost::asio::ip::address any_address(ip_protocol _protocol);

// Parses IPv4 or IPv6 notation; anything else throws boost::system::system_error.
boost::asio::ip::address parse_address(const std::string& _address);

// An empty callback would fail only later, out of the events loop's run: refuse it when it is set.
template <typename Callback>
void check_callback(const Callback& _callback, const char* _what) {
    if (!_callback)
        throw std::invalid_argument(std::string(_what) + ": the callback is empty");
}

} // namespace qvd::libs::core
