#pragma once

#include "daemon_process.hpp"

#include "support/mariadb_server.hpp"
#include "support/zmq_reader.hpp"

#include <gtest/gtest.h>
#include <mysql.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvd::app_test {

// A session of its own on a server, for locks held while the daemon works.
class session {
public:
    session(const test_support::mariadb_endpoint& _endpoint, const std::string& _database);
    // Runs one statement and discards its rows, if any; throws with the server's message.
    void run(const std::string& _sql);

private:
    struct closer {
        void operator()(MYSQL* _handle) const { mysql_close(_handle); }
    };
    std::unique_ptr<MYSQL, closer> m_handle;
};

// A test of the daemon as a process: a runtime and a column-store database of its own on the
// shared server, each with its schema, a scratch directory for the journals and the pid file, a
// reader of the log stream, and the settings that name them all.
class daemon_test : public ::testing::Test {
protected:
    // The databases are _prefix, the test's name and "_rt" or "_dw".
    explicit daemon_test(std::string _prefix) : m_prefix(std::move(_prefix)) {}

    void SetUp() override;

    // Writes the configuration and starts the daemon on it, with _arguments before its "-c".
    std::unique_ptr<daemon_process> start_daemon(std::vector<std::string> _arguments,
                                                 std::optional<rlim_t> _file_size_limit = std::nullopt);

    scratch_directory m_directory;
    test_support::zmq_reader m_log_stream;
    daemon_settings m_settings;
    std::string m_runtime;
    std::string m_store;

private:
    const std::string m_prefix;
};

} // namespace qvd::app_test
