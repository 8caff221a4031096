#pragma once

#include <core/async_operation_handle.hpp>
#include <core/redis/reply.hpp>

#include <memory>
#include <string>

namespace qvd::libs::core::redis {

// One Redis command: its arguments are sent as counted byte strings, so they may hold any bytes.
// Made by a context, which must outlive it and its handles.
class command {
public:
    using ptr = std::unique_ptr<command>;

    virtual ~command() = default;

    // Appends one argument and returns this command, so that calls can be chained.
    virtual command& add_argument(std::string _arg) = 0;
    // Runs on the blocking connection and returns the reply; an error reply throws.
    virtual reply execute() = 0;
    // Sends on the asynchronous connection; the reply, an error reply too, reaches the handle's
    // callback on the loop. A connection that is gone throws.
    virtual async_operation_handle<reply>::ptr execute_async() = 0;
};

} // namespace qvd::libs::core::redis
