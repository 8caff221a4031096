#include <core/impl/core_impl.hpp>

#include <core/impl/events_loop_impl.hpp>

namespace qvd::libs::core {

core::ptr core::create(const logger& _logger) { return std::make_unique<core_impl>(_logger); }

core_impl::core_impl(const logger& _logger) : m_logger(_logger.component("core")) {}

core_impl::~core_impl() = default;

events_loop::ptr core_impl::create_events_loop(const std::string& /*_name*/) {
    return std::make_unique<events_loop_impl>(*this, *m_logger);
}

} // namespace qvd::libs::core
