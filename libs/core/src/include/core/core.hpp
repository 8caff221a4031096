#pragma once

#include <core/events_loop.hpp>

#include <memory>
#include <string>

namespace qvd::libs::core {

class logger;

// Root object of the core library; must outlive every loop made from it.
class core {
public:
    using ptr = std::unique_ptr<core>;

    virtual ~core() = default;

    // A new events loop; every loop logs as the component "core".
    virtual events_loop::ptr create_events_loop(const std::string& _name) = 0;

    // The core of the process logger, which must outlive it.
    static ptr create(const logger& _logger);
};

} // namespace qvd::libs::core
