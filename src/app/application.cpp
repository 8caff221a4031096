#include "app/application.hpp"

#include "app/config.hpp"
#include "app/termination_watchdog.hpp"
#include "db/cancellation.hpp"
#include "runtime/database_impl.hpp"
#include "store/store_impl.hpp"
#include "transfer/store_updater.hpp"

#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/posix.hpp>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <fcntl.h>
#include <sys/file.h>
#include <stdexcept>
#include <unistd.h>

namespace qvd {

namespace {

// The log stream's endpoint comes from the configuration: a refused one names its key.
void connect_log_stream(libs::core::logger& _logger, const std::string& _endpoint) {
    try {
        _logger.connect(_endpoint);
    } catch (const std::exception& e) {
        throw libs::core::exception("Config file is invalid: system.debug_port: the log stream cannot connect to \"" +
                                        _endpoint + "\": " + e.what(),
                                    QVD_SOURCE_LOCATION);
    }
}

// "Error opening pid-file! /run/lomvera.pid: Permission denied"
std::string system_error_text(const char* _what, const std::string& _file_name, const int _error) {
    return std::string(_what) + " " + _file_name + ": " + std::strerror(_error);
}

// How taking a file's lock failed: its open, the lock held by another process, or the lock itself.
enum class lock_failure { open, held, lock };

// Opens _file_name (created when missing) with _flags and locks it exclusively, without waiting.
// A failure is handed to _fail, which throws, with the errno of the step that failed.
template <typename Fail>
libs::core::unique_descriptor exclusively_locked(const std::string& _file_name, const int _flags, Fail&& _fail) {
    libs::core::unique_descriptor fd(open(_file_name.c_str(), _flags | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid())
        _fail(lock_failure::open, errno);
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        _fail(error == EWOULDBLOCK ? lock_failure::held : lock_failure::lock, error);
    }
    return fd;
}

// An exclusive lock on the pid file, held while the object lives: of two instances started
// together, or while the first one drains, only one gets past start-up. A lock that can be taken
// proves that no instance holds the file, so what it holds then is stale, whatever process its id
// names now (after a reboot, often an unrelated one).
class pid_file_lock {
public:
    explicit pid_file_lock(const std::string& _file_name)
        : m_file_name(_file_name),
          m_fd(exclusively_locked(_file_name, O_RDWR, [this](const lock_failure _failure, const int _error) {
              if (_failure == lock_failure::held)
                  throw std::logic_error("Process is running");
              throw std::logic_error(system_error_text(_failure == lock_failure::open ? "Error opening pid-file!"
                                                                                      : "Error locking pid-file!",
                                                       m_file_name, _error));
          })) {
        // Whatever id the file holds now names a process that is gone or unrelated: a service
        // manager or an operator's kill must not find it while the first cycle is still retried.
        if (ftruncate(m_fd.get(), 0) != 0)
            throw std::logic_error(system_error_text("Error writing pid-file!", m_file_name, errno));
    }

    // Writes this process's id, without a newline, into the file emptied when the lock was taken.
    void write_own_pid() const {
        const std::string text = std::to_string(getpid());
        // A pid file that does not name this process would mislead an operator. Nothing was read
        // or written through the descriptor, so its offset is still the start.
        if (!libs::core::write_all(m_fd.get(), text))
            throw std::logic_error(system_error_text("Error writing pid-file!", m_file_name, errno));
    }

private:
    const std::string m_file_name;
    const libs::core::unique_descriptor m_fd;
};

// An exclusive lock on a file named by the persistent-data text, held while the object lives: two
// instances with different pid files but one data directory would finish each other's journals
// against their own databases. The file is the journals' prefix followed by "lomvera.lock", so it
// lies where the journals do, and is left in place (removing it would let a third instance lock a
// new file while the second still holds the old one).
class data_dir_lock {
public:
    explicit data_dir_lock(const std::string& _persistent_data_dir)
        : m_file_name(_persistent_data_dir + "lomvera.lock"),
          m_fd(exclusively_locked(m_file_name, O_RDWR | O_NOFOLLOW, [&](const lock_failure _failure, const int _error) {
              if (_failure == lock_failure::held)
                  throw std::logic_error("Data directory is in use: another running instance holds " + m_file_name +
                                         " (system.persistent_data_dir \"" + _persistent_data_dir + "\")");
              throw std::logic_error(system_error_text(_failure == lock_failure::open
                                                           ? "cannot open the data directory's lock"
                                                           : "cannot lock the data directory's lock",
                                                       m_file_name, _error));
          })) {}

private:
    const std::string m_file_name;
    const libs::core::unique_descriptor m_fd;
};

} // namespace

int application::run(int _argc, char** _argv) {
    namespace core = libs::core;

    std::optional<core::logger> logger;
    try {
        logger.emplace(core::constants::project_name, "main");
    } catch (...) {
        std::cerr << core::constants::project_name << ": cannot start the logger: " << core::exception_to_string()
                  << std::endl;
        return 1;
    }

    try {
        const std::string config_name = parse_config_name(_argc, _argv);
        const config configuration = config::from_file(config_name);
        connect_log_stream(*logger, configuration.system.debug_port);
        logger->set_debug(configuration.system.local_debug);

        // A second instance is refused before it touches any table or journal. The lock's open
        // also refuses a pid file that cannot be written.
        const pid_file_lock pid_lock(configuration.system.pidfile_path);
        const data_dir_lock data_lock(configuration.system.persistent_data_dir);

        const core::core::ptr core_object = core::core::create(*logger);
        const core::events_loop::ptr events_loop = core_object->create_events_loop("main");
        m_signals = events_loop->stop_on_signals();
        // The watcher refers to the loop: end it before the loop goes.
        const core::scope_guard signals_guard = core::execute_on_scope_exit([this] { m_signals.reset(); });

        // Built before the accesses connect, so that a stop also ends a start-up connect that the
        // server never answers; ended before the accesses go, so that it never cancels their take-down.
        cancellation database_calls;
        std::unique_ptr<runtime::database_impl> runtime_db;
        std::unique_ptr<store::column_store_impl> column_store;
        const termination_watchdog watchdog(*m_signals, std::chrono::seconds(5),
                                            {[&database_calls] { database_calls.cancel(); }}, *logger);
        runtime_db = std::make_unique<runtime::database_impl>(
            configuration.prod.host, configuration.prod.user, configuration.prod.password, configuration.prod.database,
            configuration.prod.port, *m_signals, *logger, configuration.system.database_timeout, &database_calls);
        column_store = std::make_unique<store::column_store_impl>(
            configuration.dw.host, configuration.dw.user, configuration.dw.password, configuration.dw.database,
            configuration.dw.port, *m_signals, *logger, configuration.system.database_timeout, &database_calls);
        const auto updater = std::make_unique<store_updater>(
            *events_loop, *runtime_db, *column_store, configuration.system.timer, configuration.system.maximum_piece,
            configuration.system.activities_maximum_piece, configuration.system.persistent_data_dir, *logger,
            *m_signals);
        updater->initialize();

        pid_lock.write_own_pid();
        events_loop->run();
    } catch (...) {
        logger->log_exception();
        // Debug mode has already copied the line to standard error.
        if (!logger->is_debug())
            std::cerr << core::constants::project_name << ": " << core::exception_to_string() << std::endl;
        return 1;
    }

    std::cout << "exit" << std::endl;
    return 0;
}

std::string application::parse_config_name(int _argc, char** _argv) {
    const std::string program = _argc > 0 && _argv[0] != nullptr ? _argv[0] : "";
    std::string name;
    optind = 1;
    int option;
    while ((option = getopt(_argc, _argv, "c:")) != -1) {
        if (option != 'c')
            throw libs::core::exception("Usage: " + program + " -c config_file", QVD_SOURCE_LOCATION);
        name = optarg;
    }
    if (name.empty())
        throw libs::core::exception("The configuration file is not defined! Usage: " + program + " -c config_file",
                                    QVD_SOURCE_LOCATION);
    return name;
}

} // namespace qvd
