#pragma once

#include <core/zmq/socket.hpp>

#include <string>

namespace qvd::libs::core::zmq {

// Makes the ZeroMQ sockets of one events loop.
class manager {
public:
    virtual ~manager() = default;

    // A socket connected to the endpoint; throws qvd::libs::core::exception when it cannot connect.
    virtual socket::ptr connect(socket::type _type, std::string _address) = 0;
    // A socket bound to the endpoint; throws qvd::libs::core::exception when it cannot bind.
    virtual socket::ptr bind(socket::type _type, std::string _address) = 0;
};

} // namespace qvd::libs::core::zmq
