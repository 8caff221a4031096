#pragma once

// What the database tests share: a logger whose stream the test reads, the real signal watcher,
// and the runtime fixture loaded into a database of the test's own.

#include "support/mariadb_server.hpp"
#include "support/zmq_reader.hpp"

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace qvd::db_test {

// A process logger whose log stream the test receives on a PULL socket.
class captured_logger {
public:
    captured_logger();

    const libs::core::logger& get() const { return m_logger; }

    // Every stream line received so far (the prefix and date cut off: indentation and body).
    std::vector<std::string> lines() const;
    // The received lines that contain _text.
    std::vector<std::string> lines_with(const std::string& _text) const;
    // Waits up to _timeout for a line containing _text.
    bool wait_for(const std::string& _text, std::chrono::milliseconds _timeout = std::chrono::seconds(30)) const;

private:
    // Declared before the logger, so that it outlives the PUSH peer pushing to it.
    test_support::zmq_reader m_reader;
    libs::core::logger m_logger;
    mutable unsigned m_markers = 0;
};

// The core, a main loop and its signal watcher, as the application builds them.
class signal_watch {
public:
    explicit signal_watch(const libs::core::logger& _logger);
    ~signal_watch();

    const libs::core::events_loop::signals_handle& handle() const { return *m_handle; }

private:
    libs::core::core::ptr m_core;
    libs::core::events_loop::ptr m_loop;
    libs::core::events_loop::signals_handle::ptr m_handle;
};

// Creates a fresh database on the shared server and loads the runtime tables into it.
std::string load_runtime_database(const std::string& _name);

// The time a log line shows for a UTC text such as "2024-05-01 08:00:00.125".
std::string log_time(const std::string& _utc_text);

} // namespace qvd::db_test
