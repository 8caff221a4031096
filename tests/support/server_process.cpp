#include "support/server_process.hpp"

#include "support/mariadb_server.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace qvd::test_support {

std::string env_or(const char* _name, const std::string& _fallback) {
    const char* value = std::getenv(_name);
    return value != nullptr && *value != '\0' ? std::string(value) : _fallback;
}

std::string make_scratch_directory(const std::string& _prefix) {
    std::string pattern = "/tmp/" + _prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void remove_directory(const std::string& _directory) {
    const std::string command = "rm -rf '" + _directory + "'";
    [[maybe_unused]] const int rc = std::system(command.c_str());
}

int start_server_script(const std::string& _server, const std::string& _script, const std::string& _directory,
                        unsigned _port, const std::vector<std::string>& _options, const std::string& _pid_file) {
    std::string command = source_path(_script) + " start '" + _directory + "' " + std::to_string(_port);
    for (const auto& option : _options)
        command += " '" + option + "'";
    command += " >/dev/null";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error(_server + " did not start: " + command);
    int pid = -1;
    std::ifstream pid_file(_directory + "/" + _pid_file);
    pid_file >> pid;
    if (pid <= 0)
        throw std::runtime_error(_server + " wrote no pid");
    return pid;
}

bool process_gone(int _pid) {
    if (::kill(_pid, 0) != 0)
        return true;
    std::ifstream stat("/proc/" + std::to_string(_pid) + "/stat");
    std::string pid, name, state;
    stat >> pid >> name >> state;
    return state == "Z";
}

void wait_for_end(int _pid) {
    for (int i = 0; i < 600; ++i) {
        // A child of ours must be reaped; a server started by the script is not our child.
        ::waitpid(_pid, nullptr, WNOHANG);
        if (process_gone(_pid))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace qvd::test_support
