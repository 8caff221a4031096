#include "daemon_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qvd::app_test {

const std::string& daemon_path() {
    static const std::string path = LOMVERA_DAEMON_PATH;
    return path;
}

scratch_directory::scratch_directory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lomvera-app-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    m_path = pattern;
}

scratch_directory::~scratch_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

namespace {

int next_run() {
    static int runs = 0;
    return ++runs;
}

std::string quoted(const std::string& _text) {
    std::string out = "\"";
    for (const char c : _text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

std::string config_text(const daemon_settings& _settings) {
    const auto section = [&](const std::string& _database, unsigned _port) {
        return "{\"host\": " + quoted(_settings.host) + ", \"port\": " + std::to_string(_port) +
               ", \"user\": " + quoted(_settings.user) + ", \"password\": " + quoted(_settings.password) +
               ", \"database\": " + quoted(_database) + "}";
    };
    return "{\n  \"system\": {\"persistent_data_dir\": " + quoted(_settings.persistent_data_dir) +
           ", \"pidfile\": " + quoted(_settings.pidfile) + ", \"timer\": " + std::to_string(_settings.timer) +
           ", \"maximum_piece\": " + std::to_string(_settings.maximum_piece) +
           ", \"activities_maximum_piece\": " + std::to_string(_settings.activities_maximum_piece) +
           ", \"debug_port\": " + quoted(_settings.debug_port) +
           ", \"local_debug\": " + (_settings.local_debug ? "true" : "false") +
           (_settings.database_timeout != 0 ? ", \"database_timeout\": " + std::to_string(_settings.database_timeout)
                                            : std::string()) +
           "},\n  \"prod\": " + section(_settings.runtime_database, _settings.port) + ",\n  \"dw\": " +
           section(_settings.store_database, _settings.store_port != 0 ? _settings.store_port : _settings.port) +
           "\n}\n";
}

daemon_process::daemon_process(const std::vector<std::string>& _arguments, const std::string& _directory,
                               std::optional<rlim_t> _file_size_limit)
    : m_output(_directory + "/daemon." + std::to_string(next_run()) + ".out"), m_error(m_output + ".err") {
    std::vector<std::string> arguments{daemon_path()};
    arguments.insert(arguments.end(), _arguments.begin(), _arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (m_pid == 0) {
        const int out = open(m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(m_error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || chdir(_directory.c_str()) != 0)
            _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // The test runner may block signals; the daemon must see its own.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (_file_size_limit) {
            const rlimit limit{*_file_size_limit, *_file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
}

daemon_process::~daemon_process() {
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

void daemon_process::send(int _signal) const {
    if (!m_status)
        ::kill(m_pid, _signal);
}

std::optional<int> daemon_process::wait(std::chrono::milliseconds _timeout) {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    while (!m_status) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return m_status;
}

bool daemon_process::running() { return !wait(std::chrono::milliseconds(0)); }

std::size_t daemon_process::thread_count() const {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(m_pid) + "/task", error), end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

std::string daemon_process::standard_output() const { return read_file(m_output); }
std::string daemon_process::standard_error() const { return read_file(m_error); }

bool daemon_process::sanitizer_reported() const { return standard_error().find("Sanitizer") != std::string::npos; }

std::string read_file(const std::string& _path) {
    std::ifstream in(_path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& _path, const std::string& _text) {
    std::ofstream out(_path, std::ios::out | std::ios::trunc);
    out << _text;
    if (!out)
        throw std::runtime_error("cannot write " + _path);
}

bool file_exists(const std::string& _path) {
    struct stat info {};
    return ::stat(_path.c_str(), &info) == 0;
}

std::size_t occurrences(const std::string& _text, const std::string& _needle) {
    std::size_t count = 0;
    for (std::size_t at = _text.find(_needle); at != std::string::npos; at = _text.find(_needle, at + 1))
        ++count;
    return count;
}

} // namespace qvd::app_test
