#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/eventually.hpp"

namespace qvd::app_test {

// Path of the built daemon.
const std::string& daemon_path();

// A scratch directory removed with everything in it when the object goes.
class scratch_directory {
public:
    scratch_directory();
    ~scratch_directory();
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;

    const std::string& path() const { return m_path; }
    // _name below the directory.
    std::string file(const std::string& _name) const { return m_path + "/" + _name; }

private:
    std::string m_path;
};

// The daemon run as a child process, its standard output and error captured in files.
class daemon_process {
public:
    // Starts the daemon with _arguments (without the program path) from _directory; with
    // _file_size_limit, under that RLIMIT_FSIZE (which its standard output and error obey too).
    daemon_process(const std::vector<std::string>& _arguments, const std::string& _directory,
                   std::optional<rlim_t> _file_size_limit = std::nullopt);
    // Kills a daemon still running.
    ~daemon_process();
    daemon_process(const daemon_process&) = delete;
    daemon_process& operator=(const daemon_process&) = delete;

    pid_t pid() const { return m_pid; }
    void send(int _signal) const;
    // The exit code, or nothing when it had not ended within _timeout; -signal when killed.
    std::optional<int> wait(std::chrono::milliseconds _timeout);
    bool running();
    // Threads of the running daemon, 0 when it is gone.
    std::size_t thread_count() const;
    std::string standard_output() const;
    std::string standard_error() const;
    // Whether a sanitizer complained: its exit code 1 would look like the daemon's own failure.
    bool sanitizer_reported() const;

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::string m_output;
    std::string m_error;
};

// The settings a test writes into the daemon's configuration file.
struct daemon_settings {
    std::string persistent_data_dir;
    std::string pidfile;
    long long timer = 1;
    long long maximum_piece = 1;
    long long activities_maximum_piece = 1;
    std::string debug_port = "tcp://127.0.0.1:1";
    bool local_debug = true;
    long long database_timeout = 0; // written only when not 0
    std::string host = "127.0.0.1";
    unsigned port = 0;
    unsigned store_port = 0; // the column store's, when not 0; else port
    std::string user = "lomvera";
    std::string password = "lomvera";
    std::string runtime_database;
    std::string store_database;
};

// The configuration file text for _settings.
std::string config_text(const daemon_settings& _settings);

using test_support::eventually;

std::string read_file(const std::string& _path);
void write_file(const std::string& _path, const std::string& _text);
bool file_exists(const std::string& _path);

// How often _needle occurs in _text.
std::size_t occurrences(const std::string& _text, const std::string& _needle);

} // namespace qvd::app_test
