#pragma once

#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>
#include <core/timestamp.hpp>

#include <boost/format.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>
#include <boost/utility/string_view.hpp>

#include <zmq.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace qvd::libs::core {

class logger;

// Logging facade of one component: its stream prefix and its own trace depth.
class component_logger {
public:
    using ptr = std::unique_ptr<component_logger>;
    // Lowers the component's depth by one when released.
    using indent_guard = scope_guard;

    // One log statement; the line is written when the formatter is destroyed.
    class formatter {
    public:
        formatter(int _priority, const boost::string_view& _format, const component_logger& _logger);
        // The moved-from formatter writes nothing.
        formatter(formatter&& _other);
        formatter(const formatter&) = delete;
        formatter& operator=(const formatter&) = delete;
        formatter& operator=(formatter&&) = delete;
        // Writes the line; nothing escapes.
        ~formatter();

        // Feeds the next positional argument.
        template <typename T>
        formatter& operator%(T&& _value) {
            try {
                m_format % std::forward<T>(_value);
            } catch (...) {
                // A value that cannot be written is left out rather than breaking the statement.
            }
            return *this;
        }

        // Puts the short file and line in front of the text.
        formatter& location(source_location _source_location);
        // Puts the full function signature in front of the text.
        formatter& function(source_location _source_location);
        // Puts the qualified function name in front of the text.
        formatter& short_function(source_location _source_location);
        // Prints this time instead of the current one.
        formatter& date_time(timestamp _timestamp);

    private:
        boost::format m_format;
        int m_log_level;
        const component_logger& m_logger;
        boost::optional<source_location> m_source_location;
        boost::string_view m_function;
        boost::optional<timestamp> m_timestamp;
        bool m_active = true;
    };

    component_logger(const logger& _logger, const std::string& _module_name, const std::string& _component_name);
    component_logger(const component_logger&) = delete;
    component_logger& operator=(const component_logger&) = delete;

    // A new component of the same process logger.
    ptr component(const std::string& _name) const;

    formatter debug(const boost::string_view& _format) const;
    formatter info(const boost::string_view& _format) const;
    formatter warning(const boost::string_view& _format) const;
    formatter error(const boost::string_view& _format) const;

    // Trace: a debug line, then one level deeper until the guard ends.
    indent_guard enter_function(source_location _source_location) const;
    indent_guard enter_function_short(source_location _source_location, const boost::string_view& _name) const;
    indent_guard enter_scope(const boost::string_view& _name) const;
    indent_guard enter_scope(source_location _source_location) const;
    indent_guard enter_scope(source_location _source_location, const boost::string_view& _name) const;

    // Inside a catch handler: logs the exception in flight at error level.
    void log_exception() const;
    // "Caught exeption" at the location through the process logger, then the exception in flight.
    void log_exception(source_location _source_location) const;
    // Logs the given exception at error level.
    void log_exception(const located_exception& _exception) const;
    // Logs a failed operation's error code with its location.
    void log_error(const boost::system::error_code& _error, source_location _source_location) const;

    // Runs _function; logs whatever leaves it and returns whether it returned normally.
    template <typename F>
    bool execute(F&& _function) const {
        try {
            std::forward<F>(_function)();
            return true;
        } catch (...) {
            log_exception();
            return false;
        }
    }

    // Indentation of the current depth: four blanks per level, then "| ".
    std::string make_indent() const;

private:
    mutable std::atomic_int m_indent{0};
    const logger& m_logger;
    std::string m_module_name;
    std::string m_zmq_prefix;
};

// The process logger: system log under the module name, and a ZeroMQ PUSH log stream.
class logger : public component_logger {
public:
    // Opens the system log, creates the stream socket and logs "Starting <module>".
    logger(const std::string& _module_name, const std::string& _component_name);
    ~logger();

    // Debug mode: debug lines reach the system log, dated and copied to standard error.
    void set_debug(bool _debug);
    bool is_debug() const { return m_debug; }
    // Adds a stream endpoint; a refused endpoint throws zmq::error_t.
    void connect(std::string _address);
    void set_writing_to_socket(bool _writing);
    bool is_writing_to_socket() const { return m_writing_to_socket; }
    bool is_logger_enabled() const { return m_enable_logger; }

private:
    friend class component_logger::formatter;
    // Sends one stream message without waiting; a message that cannot be queued is dropped.
    void send_to_socket(const std::string& _message) const;

    std::string m_module_name;
    std::atomic_bool m_debug{false};
    std::atomic_bool m_writing_to_socket{true};
    bool m_enable_logger = true;
    ::zmq::context_t m_zmq_context;
    mutable std::mutex m_socket_mutex;
    mutable ::zmq::socket_t m_debug_socket;
};

} // namespace qvd::libs::core
