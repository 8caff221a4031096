// Start-up failures that need no database: the command line, the configuration file and a
// database that never answers.
#include "daemon_process.hpp"

#include "support/mariadb_server.hpp"
#include "support/zmq_reader.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

namespace qvd::app_test {
namespace {

using namespace std::chrono_literals;

struct failure_case {
    const char* name;
    std::vector<std::string> arguments; // "CONFIG" stands for a complete, valid configuration file
    std::string message;                // "PROGRAM" stands for the daemon's path
};

std::string substitute(std::string _text, const std::string& _from, const std::string& _to) {
    for (std::size_t at = _text.find(_from); at != std::string::npos; at = _text.find(_from, at + _to.size()))
        _text.replace(at, _from.size(), _to);
    return _text;
}

void PrintTo(const failure_case& _case, std::ostream* _stream) { *_stream << _case.name; }

class app_command_line : public ::testing::TestWithParam<failure_case> {};

TEST_P(app_command_line, exits_with_code_1_and_says_why_on_standard_error) {
    const scratch_directory directory;
    daemon_settings settings;
    settings.persistent_data_dir = directory.path() + "/";
    settings.pidfile = directory.file("lomvera.pid");
    settings.local_debug = false;
    settings.port = 1;
    write_file(directory.file("config.json"), config_text(settings));
    write_file(directory.file("empty.json"), "{}");
    settings.debug_port = "not-an-endpoint";
    write_file(directory.file("bad_debug_port.json"), config_text(settings));
    settings.debug_port = "tcp://127.0.0.1:99999";
    write_file(directory.file("bad_debug_port_number.json"), config_text(settings));
    settings.debug_port = "tcp://127.0.0.1:1";
    settings.timer = 0;
    write_file(directory.file("zero_timer.json"), config_text(settings));
    // Nothing ever writes to the FIFO: an open that waited for a writer would never return.
    ASSERT_EQ(::mkfifo(directory.file("config.fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(directory.file("config.d").c_str(), 0700), 0);

    std::vector<std::string> arguments;
    for (const std::string& argument : GetParam().arguments)
        arguments.push_back(substitute(argument, "CONFIG", directory.file("config.json")));
    daemon_process daemon(arguments, directory.path());

    ASSERT_EQ(daemon.wait(60s), 1);
    EXPECT_EQ(daemon.standard_output(), "");
    const std::string message = substitute(GetParam().message, "PROGRAM", daemon_path());
    // Without debug mode the line reaches standard error once, from the application itself.
    EXPECT_EQ(occurrences(daemon.standard_error(), message), 1u) << daemon.standard_error();
    EXPECT_FALSE(file_exists(settings.pidfile));
    EXPECT_FALSE(daemon.sanitizer_reported());
}

INSTANTIATE_TEST_SUITE_P(
    cases, app_command_line,
    ::testing::Values(
        failure_case{"no_arguments", {}, "The configuration file is not defined! Usage: PROGRAM -c config_file"},
        failure_case{"empty_name", {"-c", ""}, "The configuration file is not defined! Usage: PROGRAM -c config_file"},
        failure_case{"unknown_option", {"-x", "-c", "CONFIG"}, "Usage: PROGRAM -c config_file"},
        failure_case{"missing_argument", {"-c"}, "Usage: PROGRAM -c config_file"},
        failure_case{"missing_file",
                     {"-c", "no-such-file.json"},
                     "Cannot parse json: cannot open no-such-file.json: No such file or directory"},
        failure_case{
            "endless_device", {"-c", "/dev/zero"}, "Cannot parse json: cannot read /dev/zero: not a regular file"},
        failure_case{"fifo", {"-c", "config.fifo"}, "Cannot parse json: cannot read config.fifo: not a regular file"},
        failure_case{"directory", {"-c", "config.d"}, "Cannot parse json: cannot read config.d: not a regular file"},
        failure_case{"last_c_wins", {"-c", "CONFIG", "-c", "no-such-file.json"}, "Cannot parse json"},
        failure_case{"invalid_config",
                     {"-c", "empty.json"},
                     "Config file is invalid: Can not find object <object>: system, path: system.persistent_data_dir"},
        failure_case{
            "zero_timer", {"-c", "zero_timer.json"}, "Config file is invalid: system.timer must be at least 1"},
        failure_case{"bad_debug_port",
                     {"-c", "bad_debug_port.json"},
                     "Config file is invalid: system.debug_port: the log stream cannot connect to \"not-an-endpoint\": "
                     "Invalid argument"},
        failure_case{"debug_port_beyond_65535",
                     {"-c", "bad_debug_port_number.json"},
                     "Config file is invalid: system.debug_port must end in a port from 1 to 65535: "
                     "\"tcp://127.0.0.1:99999\""}),
    [](const ::testing::TestParamInfo<failure_case>& _info) { return std::string(_info.param.name); });

TEST(app_startup, signal_while_a_database_is_unreachable_ends_with_interrupted) {
    const scratch_directory directory;
    // A reader takes the log lines, so that the exit does not wait for queued ones.
    const test_support::zmq_reader log_stream;
    daemon_settings settings;
    settings.persistent_data_dir = directory.path() + "/";
    settings.pidfile = directory.file("lomvera.pid");
    settings.debug_port = log_stream.endpoint();
    settings.port = test_support::free_tcp_port();
    settings.runtime_database = "nowhere";
    settings.store_database = "nowhere";
    write_file(directory.file("config.json"), config_text(settings));

    daemon_process daemon({"-c", directory.file("config.json")}, directory.path());
    // The failed attempt's line says which database, where.
    const std::string failure = "Cannot connect to the runtime database at 127.0.0.1:" + std::to_string(settings.port) +
                                ": Can't connect to server on '127.0.0.1'";
    ASSERT_TRUE(eventually([&] { return daemon.standard_error().find(failure) != std::string::npos; }, 60s))
        << daemon.standard_error();
    ASSERT_TRUE(daemon.running());
    const auto signalled = std::chrono::steady_clock::now();
    daemon.send(SIGTERM);
    // The signal ends the pause before the next attempt, or comes before it begins; either way no
    // further attempt is made and start-up gives up well before the pause's 5 s.
    ASSERT_EQ(daemon.wait(60s), 1) << daemon.standard_error();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 4500ms);
    EXPECT_EQ(occurrences(daemon.standard_error(), "Cannot connect to the runtime database"), 1u)
        << daemon.standard_error();
    EXPECT_NE(daemon.standard_error().find("Interrupted"), std::string::npos) << daemon.standard_error();
    EXPECT_EQ(daemon.standard_output(), "");
    // The lock taken at start-up may have created the file; no process id was written.
    EXPECT_TRUE(!file_exists(settings.pidfile) || read_file(settings.pidfile).empty());
    EXPECT_FALSE(daemon.sanitizer_reported());
}

} // namespace
} // namespace qvd::app_test
