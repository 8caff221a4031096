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

// An exclusive lock on the pid file, held while the object lives: of two instances started
// together, or while the first one drains, only one gets past start-up. A lock that can be taken
// proves that no instance holds the file, so what it holds then is stale, whatever process its id
// names now (after a reboot, often an unrelated one).
class pid_file_lock {
public:
    explicit pid_file_lock(const std::string& _file_name)
        : m_file_name(_file_name), m_fd(open(_file_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (!m_fd.valid())
            throw std::logic_error(system_error_text("Error opening pid-file!", errno));
        if (flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error == EWOULDBLOCK)
                throw std::logic_error("Process is running");
            throw std::logic_error(system_error_text("Error locking pid-file!", error));
        }
        // Whatever id the file holds now names a process that is gone or unrelated: a service
        // manager or an operator's kill must not find it while the first cycle is still retried.
        if (ftruncate(m_fd.get(), 0) != 0)
            throw std::logic_error(system_error_text("Error writing pid-file!", errno));
    }

    // Writes this process's id, without a newline, into the file emptied when the lock was taken.
    void write_own_pid() const {
        const std::string text = std::to_string(getpid());
        // A pid file that does not name this process would mislead an operator. Nothing was read
        // or written through the descriptor, so its offset is still the start.
        if (!libs::core::write_all(m_fd.get(), text))
            throw std::logic_error(system_error_text("Error writing pid-file!", errno));
    }

private:
    // "Error opening pid-file! /run/lomvera.pid: Permission denied"
    std::string system_error_text(const char* _what, int _error) const {
        return std::string(_what) + " " + m_file_name + ": " + std::strerror(_error);
    }

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
          m_fd(open(m_file_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644)) {
        if (!m_fd.valid())
            throw std::logic_error(error_text("cannot open the data directory's lock", errno));
        if (flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error == EWOULDBLOCK)
                throw std::logic_error("Data directory is in use: another running instance holds " + m_file_name +
                                       " (system.persistent_data_dir \"" + _persistent_data_dir + "\")");
            throw std::logic_error(error_text("cannot lock the data directory's lock", error));
        }
    }

private:
    std::string error_text(const char* _what, int _error) const {
        return std::string(_what) + " " + m_file_name + ": " + std::strerror(_error);
    }

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
