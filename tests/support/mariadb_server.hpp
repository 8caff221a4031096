#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qvd::test_support {

// Where a MariaDB server listens and how to log in.
struct mariadb_endpoint {
    std::string host = "127.0.0.1";
    unsigned port = 0;
    std::string socket;
    std::string user = "lomvera";
    std::string password = "lomvera";
};

// One row of a query result; NULL columns are empty optionals.
using sql_row = std::vector<std::optional<std::string>>;

// The shared private server that the test command starts before the database tests.
const mariadb_endpoint& shared_mariadb();

// True when the shared server answers.
bool shared_mariadb_available();

// True when the test command demands every server (LOMVERA_REQUIRE_SERVERS=1): tests then fail
// instead of skipping.
bool servers_required();

// Runs one or more statements (separated by ';') on a fresh session, optionally in a database;
// throws std::runtime_error with the server's message on failure.
void run_sql(const mariadb_endpoint& _endpoint, const std::string& _sql, const std::string& _database = {});

// Runs one query and returns every row as text.
std::vector<sql_row> query_sql(const mariadb_endpoint& _endpoint, const std::string& _sql,
                               const std::string& _database = {});

// Runs one query that returns one value; throws when there is no row.
std::optional<std::string> query_value(const mariadb_endpoint& _endpoint, const std::string& _sql,
                                       const std::string& _database = {});

// Kills every session of the process list that _condition (an SQL expression on its columns)
// selects, other than the asking one, and waits until none of them is listed any more: a killed
// session stays listed until its thread has ended. Returns how many were killed; throws when one
// is still listed after 30 s.
std::size_t kill_sessions(const mariadb_endpoint& _endpoint, const std::string& _condition);

// Executes the SQL file at _path (relative paths are taken from the source tree).
void run_sql_file(const mariadb_endpoint& _endpoint, const std::string& _path, const std::string& _database = {});

// Drops and creates a database on the shared server, returning its name.
std::string fresh_database(const std::string& _name);

// A database name of the running test's own: _prefix and a number hashed from the test's suite
// and name, so that tests run in parallel processes never share one.
std::string test_database_name(const std::string& _prefix);

// Drops a database of the shared server, if there is one; an empty name does nothing.
void drop_database(const std::string& _name);

// Absolute path of a file of the source tree and of the build tree.
std::string source_path(const std::string& _relative);
std::string binary_path(const std::string& _relative);

// A server of a test's own, for tests that stop, kill or restart it. Stopped on destruction.
class private_mariadb_server {
public:
    // _port 0 picks a free loopback port.
    explicit private_mariadb_server(unsigned _port = 0, std::vector<std::string> _extra_options = {});
    ~private_mariadb_server();
    private_mariadb_server(const private_mariadb_server&) = delete;
    private_mariadb_server& operator=(const private_mariadb_server&) = delete;

    // Initialises the data directory once and starts the server; waits until it answers.
    void start();
    // Ends the server with SIGTERM and waits for it.
    void stop();
    // Ends the server with SIGKILL at once.
    void kill();
    // Freezes the server with SIGSTOP and returns once every thread has stopped: connections stay
    // open and nothing answers.
    void pause();
    // Lets a frozen server go on (SIGCONT).
    void resume();
    // True while the server process runs.
    bool running() const;
    const mariadb_endpoint& endpoint() const { return m_endpoint; }

private:
    std::string m_dir;
    std::vector<std::string> m_extra_options;
    mariadb_endpoint m_endpoint;
    bool m_initialised = false;
    int m_pid = -1;
};

// Picks a loopback TCP port that nothing listens on now.
unsigned free_tcp_port();

} // namespace qvd::test_support

// Skips the current test when the shared server is down and the run does not demand it;
// fails it when the run demands it.
#define LOMVERA_REQUIRE_MARIADB()                                                                                      \
    do {                                                                                                               \
        if (!::qvd::test_support::shared_mariadb_available()) {                                                        \
            if (::qvd::test_support::servers_required())                                                               \
                FAIL() << "the private MariaDB test server is not running";                                            \
            GTEST_SKIP() << "the private MariaDB test server is not running (start it with "                           \
                            "scripts/test-mariadb or run the suite through ctest)";                                    \
        }                                                                                                              \
    } while (0)
