#pragma once

#include <core/events_loop.hpp>

#include <string>

namespace qvd {

// The daemon's life: command line, start-up, first cycle, pid file, events loop, take-down.
class application {
public:
    // Runs the daemon; 0 after a normal stop, 1 after a failure.
    int run(int _argc, char** _argv);

private:
    // The configuration file named by the last "-c"; throws the usage text otherwise.
    std::string parse_config_name(int _argc, char** _argv);

    libs::core::events_loop::signals_handle::ptr m_signals;
};

} // namespace qvd
