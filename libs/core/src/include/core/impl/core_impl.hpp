#pragma once

#include <core/core.hpp>
#include <core/logger.hpp>

namespace qvd::libs::core {

class core_impl : public core {
public:
    explicit core_impl(const logger& _logger);
    ~core_impl() override;

    events_loop::ptr create_events_loop(const std::string& _name) override;

private:
    component_logger::ptr m_logger;
};

} // namespace qvd::libs::core
