#pragma once

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/utility/string_view.hpp>

#include <functional>
#include <memory>

namespace qvd::libs::core::udp {

using endpoint = boost::asio::ip::udp::endpoint;
// The bytes of one datagram.
using message = boost::string_view;

// A bound UDP socket on the events loop; the callback runs on the loop's thread. Addresses are
// IPv4 or IPv6 notation (boost::system::system_error otherwise); ports outside 0 to 65535 throw
// std::out_of_range.
class socket {
public:
    using ptr = std::unique_ptr<socket>;
    // The sender, the local IPv4 address the datagram arrived at (0.0.0.0 when the system does not
    // tell) and the datagram, valid only during the call.
    using callback = std::function<void(const endpoint&, const boost::asio::ip::address_v4&, const message&)>;

    virtual ~socket() = default;

    // Stores the callback; the first one starts receiving; an empty one throws std::invalid_argument.
    virtual void set_receive_callback(callback _callback) = 0;
    // Sends one datagram, waiting while the socket buffer is full; a failure throws boost::system::system_error.
    virtual void send_to(const endpoint& _endpoint, const message& _message) = 0;
    // Sends one datagram to the address and port.
    virtual void send_to(const boost::string_view& _address, int _port, const message& _message) = 0;
    // The endpoint of the address and port.
    virtual endpoint make_endpoint(const boost::string_view& _address, int _port) const = 0;
};

} // namespace qvd::libs::core::udp
