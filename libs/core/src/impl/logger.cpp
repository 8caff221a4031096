#include <core/logger.hpp>

#include <syslog.h>

#include <cerrno>

namespace qvd::libs::core {

namespace {

boost::format make_format(const boost::string_view& _format) {
    boost::format format;
    // A statement whose arguments do not match its placeholders still logs what it has.
    format.exceptions(boost::io::no_error_bits);
    format.parse(std::string(_format.data(), _format.size()));
    return format;
}

} // namespace

// formatter

component_logger::formatter::formatter(int _priority, const boost::string_view& _format,
                                       const component_logger& _logger)
    : m_format(make_format(_format)), m_log_level(_priority), m_logger(_logger) {}

component_logger::formatter::formatter(formatter&& _other)
    : m_format(std::move(_other.m_format)), m_log_level(_other.m_log_level), m_logger(_other.m_logger),
      m_source_location(_other.m_source_location), m_function(_other.m_function), m_timestamp(_other.m_timestamp),
      m_active(_other.m_active) {
    _other.m_active = false;
}

component_logger::formatter& component_logger::formatter::location(source_location _source_location) {
    m_source_location = _source_location;
    return *this;
}

component_logger::formatter& component_logger::formatter::function(source_location _source_location) {
    m_function = _source_location.function();
    return *this;
}

component_logger::formatter& component_logger::formatter::short_function(source_location _source_location) {
    m_function = _source_location.short_function();
    return *this;
}

component_logger::formatter& component_logger::formatter::date_time(timestamp _timestamp) {
    m_timestamp = _timestamp;
    return *this;
}

component_logger::formatter::~formatter() {
    if (!m_active)
        return;
    try {
        const timestamp time = m_timestamp ? *m_timestamp : timestamp::current_time();
        const std::string date = time.to_iso_8601(true, ' ', false) + ' ';
        const std::string indent = m_logger.make_indent();

        std::string body;
        if (m_source_location) {
            const auto file = m_source_location->short_file();
            body.append(file.data(), file.size());
            body += ':';
            body += std::to_string(m_source_location->line());
            body += ' ';
        }
        if (!m_function.empty()) {
            body.append(m_function.data(), m_function.size());
            body += ": ";
        }
        body += m_format.str();

        const logger& process = m_logger.m_logger;
        const std::string system_line = process.is_debug() ? date + indent + body : body;
        syslog(m_log_level, "%s", system_line.c_str());

        if (process.is_writing_to_socket())
            process.send_to_socket(m_logger.m_zmq_prefix + date + indent + body);
    } catch (...) {
        // Runs at the end of a statement, possibly during unwinding: a log line is never worth a terminate.
    }
}

// component_logger

component_logger::component_logger(const logger& _logger, const std::string& _module_name,
                                   const std::string& _component_name)
    : m_logger(_logger), m_module_name(_module_name), m_zmq_prefix("&" + _module_name + ":" + _component_name + " ") {}

component_logger::ptr component_logger::component(const std::string& _name) const {
    return std::make_unique<component_logger>(m_logger, m_module_name, _name);
}

component_logger::formatter component_logger::debug(const boost::string_view& _format) const {
    return formatter(LOG_DEBUG, _format, *this);
}

component_logger::formatter component_logger::info(const boost::string_view& _format) const {
    return formatter(LOG_INFO, _format, *this);
}

component_logger::formatter component_logger::warning(const boost::string_view& _format) const {
    return formatter(LOG_WARNING, _format, *this);
}

component_logger::formatter component_logger::error(const boost::string_view& _format) const {
    return formatter(LOG_ERR, _format, *this);
}

namespace {

component_logger::indent_guard deeper(std::atomic_int& _indent) {
    ++_indent;
    return execute_on_scope_exit([&_indent]() noexcept { --_indent; });
}

} // namespace

component_logger::indent_guard component_logger::enter_function(source_location _source_location) const {
    debug("%1%") % _source_location.function();
    return deeper(m_indent);
}

component_logger::indent_guard component_logger::enter_function_short(source_location _source_location,
                                                                      const boost::string_view& _name) const {
    debug("%1%: %2%") % _source_location.short_function() % _name;
    return deeper(m_indent);
}

component_logger::indent_guard component_logger::enter_scope(const boost::string_view& _name) const {
    debug("%1%") % _name;
    return deeper(m_indent);
}

component_logger::indent_guard component_logger::enter_scope(source_location _source_location) const {
    debug("%1%:%2%") % _source_location.short_file() % _source_location.line();
    return deeper(m_indent);
}

component_logger::indent_guard component_logger::enter_scope(source_location _source_location,
                                                             const boost::string_view& _name) const {
    debug("%1%:%2% (%3%)") % _source_location.short_file() % _source_location.line() % _name;
    return deeper(m_indent);
}

void component_logger::log_exception() const {
    if (m_logger.is_logger_enabled())
        error("%1%") % exception_to_string();
}

void component_logger::log_exception(source_location _source_location) const {
    m_logger.error("Caught exeption").location(_source_location);
    log_exception();
}

void component_logger::log_exception(const located_exception& _exception) const {
    if (m_logger.is_logger_enabled())
        error("%1%") % exception_to_string(_exception);
}

void component_logger::log_error(const boost::system::error_code& _error, source_location _source_location) const {
    if (m_logger.is_logger_enabled())
        error("%1%:%2%: %3%") % _source_location.short_file() % _source_location.line() % _error.message();
}

std::string component_logger::make_indent() const {
    const int depth = m_indent.load();
    if (depth <= 0)
        return {};
    return std::string(static_cast<std::size_t>(depth) * 4, ' ') + "| ";
}

// logger

logger::logger(const std::string& _module_name, const std::string& _component_name)
    : component_logger(*this, _module_name, _component_name), m_module_name(_module_name), m_zmq_context(),
      m_debug_socket(m_zmq_context, ::zmq::socket_type::push) {
    m_debug_socket.set(::zmq::sockopt::linger, 5000);
    openlog(m_module_name.c_str(), 0, LOG_USER);
    set_debug(false);
    info("Starting %1%") % m_module_name;
}

logger::~logger() {
    closelog();
    m_debug_socket.close();
}

void logger::set_debug(bool _debug) {
    closelog();
    openlog(m_module_name.c_str(), _debug ? LOG_PERROR : 0, LOG_USER);
    setlogmask(_debug ? 0xff : 0x7f);
    m_debug.exchange(_debug);
}

void logger::connect(std::string _address) {
    {
        const std::lock_guard<std::mutex> lock(m_socket_mutex);
        m_debug_socket.connect(_address);
    }
    debug("Connected to socket");
}

void logger::set_writing_to_socket(bool _writing) { m_writing_to_socket.exchange(_writing); }

void logger::send_to_socket(const std::string& _message) const {
    const std::lock_guard<std::mutex> lock(m_socket_mutex);
    // An empty result means EAGAIN: the line is dropped. Other failures throw to the formatter.
    (void)m_debug_socket.send(::zmq::buffer(_message), ::zmq::send_flags::dontwait);
}

} // namespace qvd::libs::core
