// The daemon run as a process under faults an operator meets: a file-size limit, a bad row, a
// missing table, a frozen server. Each fault is reported where it happened and stops nothing else.
#include "daemon_fixture.hpp"

#include "support/silent_listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qvd::app_test {
namespace {

using namespace std::chrono_literals;
using test_support::query_value;
using test_support::run_sql;
using test_support::shared_mariadb;

class app_operability : public daemon_test {
protected:
    app_operability() : daemon_test("ops_") {}

    std::unique_ptr<daemon_process> start(std::optional<rlim_t> _file_size_limit = std::nullopt) {
        return start_daemon({}, _file_size_limit);
    }

    // The first log-stream line holding every one of _parts, waiting up to _timeout.
    std::optional<std::string> log_line(const std::vector<std::string>& _parts,
                                        std::chrono::milliseconds _timeout = 30s) const {
        return m_log_stream.wait_for(
            [&](const std::string& _line) {
                return std::all_of(_parts.begin(), _parts.end(),
                                   [&](const std::string& _part) { return _line.find(_part) != std::string::npos; });
            },
            _timeout);
    }

    void runtime_sql(const std::string& _sql) const { run_sql(shared_mariadb(), _sql, m_runtime); }

    long long runtime_count(const std::string& _table) const { return count(_table, m_runtime); }
    long long store_count(const std::string& _table) const { return count(_table, m_store); }

    static long long count(const std::string& _table, const std::string& _database,
                           const test_support::mariadb_endpoint& _server = shared_mariadb()) {
        return std::stoll(query_value(_server, "SELECT COUNT(*) FROM " + _table, _database).value_or("0"));
    }

    // Names of the files in the journal directory that start with _prefix.
    std::vector<std::string> files_starting_with(const std::string& _prefix) const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(m_directory.path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(_prefix, 0) == 0)
                found.push_back(name);
        }
        return found;
    }

    // SIGTERM ends the daemon: 0 when the attempt in progress succeeds, 1 ("Interrupted") when it fails.
    void expect_ends_on_sigterm(daemon_process& _daemon) {
        _daemon.send(SIGTERM);
        const std::optional<int> code = _daemon.wait(60s);
        ASSERT_TRUE(code) << "still running after SIGTERM";
        EXPECT_TRUE(*code == 0 || *code == 1) << *code;
        EXPECT_FALSE(_daemon.sanitizer_reported()) << _daemon.standard_error();
    }

    // A column store on a private server that is paused (SIGSTOP) while the daemon's insert of
    // positions waits there for a table lock; 4 positions pending, in batches of 3.
    struct frozen_insert {
        explicit frozen_insert(std::string _database) : database(std::move(_database)) {}
        test_support::private_mariadb_server server;
        const std::string database;
        std::optional<session> holder;
        std::string blocked_session = "0";
    };

    std::unique_ptr<daemon_process> start_and_freeze_the_insert(frozen_insert& _frozen) {
        _frozen.server.start();
        const test_support::mariadb_endpoint& store = _frozen.server.endpoint();
        run_sql(store, "CREATE DATABASE " + _frozen.database);
        test_support::run_sql_file(store, "tests/fixtures/column_store_schema.sql", _frozen.database);
        m_settings.store_database = _frozen.database;
        m_settings.store_port = store.port;
        m_settings.maximum_piece = 3;
        runtime_sql("INSERT INTO position_histories (id, trackable_id, obj_uid, ts, x, y, z) VALUES "
                    "(1, 7, 'o', '2024-05-01 10:00:01.000', 1, 0, 0), (2, 7, 'o', '2024-05-01 10:00:02.000', 2, 0, 0), "
                    "(3, 7, 'o', '2024-05-01 10:00:03.000', 3, 0, 0), (4, 7, 'o', '2024-05-01 10:00:04.000', 4, 0, 0)");

        _frozen.holder.emplace(store, _frozen.database);
        _frozen.holder->run("LOCK TABLES positions_raw WRITE");
        const auto waiting_insert = [&] {
            return query_value(store, "SELECT COALESCE(MAX(ID), 0) FROM information_schema.PROCESSLIST WHERE COMMAND = "
                                      "'Query' AND STATE LIKE 'Waiting%' AND INFO LIKE 'INSERT%positions_raw%'")
                .value_or("0");
        };
        auto daemon = start();
        const bool waiting = eventually([&] { return (_frozen.blocked_session = waiting_insert()) != "0"; }, 30s);
        EXPECT_TRUE(waiting) << daemon->standard_error();
        if (waiting)
            _frozen.server.pause();
        return daemon;
    }

    // Resumes the server and starts the daemon again: the journalled batch arrives once.
    void restart_after_the_freeze(frozen_insert& _frozen) {
        const test_support::mariadb_endpoint& store = _frozen.server.endpoint();
        // The abandoned insert must not run once the lock goes: end it, unless the server has
        // already seen its link close, and let it leave its wait before the lock goes.
        _frozen.server.resume();
        test_support::kill_sessions(store, "ID = " + _frozen.blocked_session);
        _frozen.holder->run("UNLOCK TABLES");
        m_settings.timer = 3600;
        const auto daemon = start();
        ASSERT_TRUE(eventually([&] { return read_file(m_settings.pidfile) == std::to_string(daemon->pid()); }, 60s))
            << daemon->standard_error();
        EXPECT_EQ(count("positions_raw", _frozen.database, store), 4);
        EXPECT_EQ(count("positions_raw WHERE id = 1", _frozen.database, store), 1);
        EXPECT_EQ(runtime_count("position_histories"), 0);
        EXPECT_FALSE(file_exists(m_settings.persistent_data_dir + "positions_raw.bin"));
        expect_ends_on_sigterm(*daemon);
    }
};

TEST_F(app_operability, a_journal_beyond_the_file_size_limit_is_an_error_and_the_batch_stays) {
    // Debug copies would fill standard error, which obeys the same limit.
    m_settings.local_debug = false;
    // The journal of this one event is about 60 KB, beyond the 16 KiB limit.
    runtime_sql("INSERT INTO external_events (object_uid, event_info, ts, created_at) "
                "VALUES ('big', REPEAT('x', 60000), NOW(3), NOW(3))");

    const auto daemon = start(16 * 1024);
    const std::optional<std::string> failure = log_line({"cannot write journal file", "File too large"});
    ASSERT_TRUE(failure) << daemon->standard_error();
    EXPECT_TRUE(daemon->running());
    EXPECT_EQ(runtime_count("external_events"), 1);
    EXPECT_EQ(store_count("external_events"), 0);
    // Neither the journal nor its temporary file is left behind.
    EXPECT_EQ(files_starting_with("external_events"), std::vector<std::string>{});
    expect_ends_on_sigterm(*daemon);
    EXPECT_EQ(runtime_count("external_events"), 1);
}

TEST_F(app_operability, a_column_store_that_cannot_be_reached_is_named_with_host_and_port) {
    m_settings.store_port = test_support::free_tcp_port();
    const auto daemon = start();
    const std::string failure =
        "Cannot connect to the column store at 127.0.0.1:" + std::to_string(m_settings.store_port) +
        ": Can't connect to server on '127.0.0.1'";
    ASSERT_TRUE(eventually([&] { return daemon->standard_error().find(failure) != std::string::npos; }, 30s))
        << daemon->standard_error();
    // The runtime database connected: no failure names it.
    EXPECT_EQ(daemon->standard_error().find("Cannot connect to the runtime database"), std::string::npos);
    daemon->send(SIGTERM);
    ASSERT_EQ(daemon->wait(30s), 1) << daemon->standard_error();
    EXPECT_NE(daemon->standard_error().find("Interrupted"), std::string::npos);
    EXPECT_FALSE(daemon->sanitizer_reported());
}

// The runtime rows that the daemon would move, of each kind but external events; the node
// parameter 9002 is one the column store refuses.
const std::vector<std::pair<const char*, const char*>>& other_kinds_pending() {
    static const std::vector<std::pair<const char*, const char*>> kinds{
        {"zone events", "zone_event_history ze2 JOIN zone_event_history ze1 ON ze1.uid = ze2.related_event "
                        "WHERE ze2.related_event IS NOT NULL AND ze2.`action` = 'leave'"},
        {"activities", "activities"},
        {"vehicle-driver associations",
         "vehicle_driver_associations WHERE removed_at IS NOT NULL AND removed_at < NOW()"},
        {"heartbeats", "heartbeats"},
        {"node parameters", "node_parameters_staging WHERE id <> 9002"},
        {"positions", "position_histories WHERE trackable_id IS NOT NULL"},
    };
    return kinds;
}

// An external event without its time, a node parameter that the column store refuses, an index
// drop and an optimisation that fail: each is logged with what it concerns, and every other kind
// moves in that same first attempt.
TEST_F(app_operability, failing_kinds_and_maintenance_steps_stop_no_other) {
    m_settings.timer = 3600;
    test_support::run_sql_file(shared_mariadb(), "tests/fixtures/runtime_sample.sql", m_runtime);
    runtime_sql("INSERT INTO external_events (id, object_uid, event_info, ts) VALUES (9001, 'no-time', 'x', NULL)");
    // Longer than the column store's CHAR(12).
    runtime_sql("INSERT INTO node_parameters_staging (id, mac_address, param_name, param_value, ts) "
                "VALUES (9002, 'aa:bb:cc:dd:ee:ff', 'p', 'v', '2024-05-01 10:00:00.000')");
    // The index that the drop removes is needed by a foreign key: the drop fails.
    runtime_sql("CREATE TABLE instants (at DATETIME(3) PRIMARY KEY); SET foreign_key_checks = 0; "
                "ALTER TABLE zone_event_history ADD CONSTRAINT needs_the_index FOREIGN KEY (created_at) "
                "REFERENCES instants (at)");
    // One of the tables the optimisation goes through is missing.
    runtime_sql("DROP TABLE nodes_obj_associations");
    for (const auto& [name, table] : other_kinds_pending())
        ASSERT_GT(runtime_count(table), 0) << name << ": the sample needs rows of every kind";

    const auto daemon = start();
    const auto all_moved = [&] {
        for (const auto& kind : other_kinds_pending())
            if (runtime_count(kind.second) != 0)
                return false;
        return true;
    };
    ASSERT_TRUE(eventually(all_moved, 60s)) << daemon->standard_error();
    // Each attempt logs the external event's failure before any later kind moves, so one line
    // means that everything moved in the first attempt.
    const std::string log = daemon->standard_error();
    EXPECT_EQ(occurrences(log, "Moving external_events failed: "), 1u) << log;
    EXPECT_NE(log.find("(table external_events, row id 9001, column ts)"), std::string::npos) << log;
    EXPECT_EQ(runtime_count("external_events WHERE id = 9001"), 1);
    EXPECT_EQ(store_count("external_events WHERE object_uid = 'no-time'"), 0);
    EXPECT_EQ(occurrences(log, "Moving node_parameters_staging failed: "), 1u) << log;
    EXPECT_NE(log.find("Data too long for column 'mac_address' at row "), std::string::npos) << log;
    EXPECT_NE(log.find("(table node_parameters, row id 9002)"), std::string::npos) << log;
    EXPECT_EQ(runtime_count("node_parameters_staging WHERE id = 9002"), 1);
    EXPECT_EQ(store_count("node_parameters WHERE param_name = 'p'"), 0);
    EXPECT_TRUE(log_line({"Dropping the runtime indexes failed: ", "needed in a foreign key constraint"}));
    EXPECT_TRUE(log_line({"Optimising the runtime tables failed: ", "nodes_obj_associations"}));
    EXPECT_TRUE(log_line({"The transfer cycle failed; next attempt in 5 seconds"}));
    // The pid file is locked from start-up but holds no id before a first cycle succeeds.
    EXPECT_EQ(read_file(m_settings.pidfile), "");
    expect_ends_on_sigterm(*daemon);
}

// With an hour between cycles, only the 5-second retry can follow a failed first attempt.
TEST_F(app_operability, a_failed_attempt_is_retried_after_5_seconds) {
    m_settings.timer = 3600;
    runtime_sql("INSERT INTO heartbeats (ts, mac_address) VALUES ('2024-05-01 10:00:00.000', 'aa:bb')");
    run_sql(shared_mariadb(), "RENAME TABLE heartbeats TO heartbeats_later", m_store);

    const auto daemon = start();
    ASSERT_TRUE(eventually(
        [&] {
            return daemon->standard_error().find("heartbeats") != std::string::npos &&
                   daemon->standard_error().find("next attempt in 5 seconds") != std::string::npos;
        },
        30s))
        << daemon->standard_error();
    run_sql(shared_mariadb(), "RENAME TABLE heartbeats_later TO heartbeats", m_store);

    // The first cycle completes (the pid file is written after it) and the row moves.
    EXPECT_TRUE(eventually([&] { return read_file(m_settings.pidfile) == std::to_string(daemon->pid()); }, 30s))
        << daemon->standard_error();
    EXPECT_EQ(store_count("heartbeats"), 1);
    EXPECT_EQ(runtime_count("heartbeats"), 0);
    expect_ends_on_sigterm(*daemon);
}

// A pid file left with the id of a live, unrelated process (here the test's own) is emptied as
// soon as start-up takes its lock, not only once a first cycle succeeds. SIGTERM during the pause
// after a failed attempt ends the pause at once: no attempt follows, the daemon ends with
// "Interrupted" and exit code 1, and the file never named it.
TEST_F(app_operability, a_stale_pid_file_is_emptied_at_once_and_sigterm_ends_the_retry_pause) {
    m_settings.timer = 3600;
    write_file(m_settings.pidfile, std::to_string(::getpid()));
    run_sql(shared_mariadb(), "RENAME TABLE heartbeats TO heartbeats_later", m_store);

    const auto daemon = start();
    ASSERT_TRUE(log_line({"The transfer cycle failed; next attempt in 5 seconds"}, 60s)) << daemon->standard_error();
    EXPECT_EQ(read_file(m_settings.pidfile), "");
    const auto signalled = std::chrono::steady_clock::now();
    daemon->send(SIGTERM);

    ASSERT_EQ(daemon->wait(60s), 1) << daemon->standard_error();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 4500ms);
    const std::string log = daemon->standard_error();
    // One attempt, before the signal: its structure check failed once (the client library's own
    // report, one per failed statement), and none ran after it.
    EXPECT_EQ(occurrences(log, "MariaDB Error(1146): Table '" + m_store + ".heartbeats' doesn't exist"), 1u) << log;
    EXPECT_EQ(occurrences(log, "next attempt in 5 seconds"), 1u) << log;
    EXPECT_NE(log.find("Interrupted"), std::string::npos) << log;
    EXPECT_EQ(daemon->standard_output(), "");
    EXPECT_EQ(read_file(m_settings.pidfile), "");
    EXPECT_FALSE(daemon->sanitizer_reported()) << log;
}

// The column store stops (SIGSTOP) while the daemon's insert waits on it: the insert fails after
// the timeout, the batch stays journalled, SIGTERM then ends the daemon, and a restart moves
// every row exactly once.
TEST_F(app_operability, a_frozen_column_store_ends_in_an_error_and_sigterm_ends_the_daemon) {
    m_settings.database_timeout = 2;
    frozen_insert frozen("frozen_dw");
    const auto daemon = start_and_freeze_the_insert(frozen);
    ASSERT_FALSE(HasFailure());

    const std::optional<std::string> failure = log_line(
        {"Lost connection", "(column store at 127.0.0.1:" + std::to_string(frozen.server.endpoint().port) + ")"}, 60s);
    EXPECT_TRUE(failure) << daemon->standard_error();
    EXPECT_TRUE(daemon->running());
    EXPECT_TRUE(file_exists(m_settings.persistent_data_dir + "positions_raw.bin"));
    EXPECT_EQ(runtime_count("position_histories"), 4);
    expect_ends_on_sigterm(*daemon);
    restart_after_the_freeze(frozen);
}

// The same freeze with a timeout far beyond the bound: SIGTERM cancels the waiting insert a few
// seconds later, the daemon ends, the batch stays journalled, and a later run moves every row
// exactly once.
TEST_F(app_operability, sigterm_cancels_a_call_that_the_server_never_answers) {
    m_settings.database_timeout = 600;
    frozen_insert frozen("hung_dw");
    const auto daemon = start_and_freeze_the_insert(frozen);
    ASSERT_FALSE(HasFailure());

    const auto signalled = std::chrono::steady_clock::now();
    daemon->send(SIGTERM);
    // The grace of 5 s and the take-down, with room for a loaded machine; far below the timeout.
    const std::optional<int> code = daemon->wait(60s);
    const auto took = std::chrono::steady_clock::now() - signalled;
    ASSERT_TRUE(code) << "still running after SIGTERM: " << daemon->standard_error();
    EXPECT_EQ(*code, 1) << daemon->standard_error();
    EXPECT_LT(took, 30s);
    const std::string log = daemon->standard_error();
    EXPECT_NE(log.find("cancelling the database calls"), std::string::npos) << log;
    EXPECT_NE(log.find("Moving position_histories failed: "), std::string::npos) << log;
    EXPECT_NE(log.find("Interrupted"), std::string::npos) << log;
    EXPECT_FALSE(daemon->sanitizer_reported()) << log;
    EXPECT_TRUE(file_exists(m_settings.persistent_data_dir + "positions_raw.bin"));
    EXPECT_EQ(runtime_count("position_histories"), 4);
    EXPECT_EQ(read_file(m_settings.pidfile), "");
    restart_after_the_freeze(frozen);
}

// The column store goes away and something that accepts connections and never greets takes its
// port: the daemon's reconnect waits there, far beyond the bound, until SIGTERM cancels it.
TEST_F(app_operability, sigterm_cancels_a_reconnect_that_the_server_never_answers) {
    test_support::private_mariadb_server store_server;
    store_server.start();
    const test_support::mariadb_endpoint& store = store_server.endpoint();
    run_sql(store, "CREATE DATABASE silent_dw");
    test_support::run_sql_file(store, "tests/fixtures/column_store_schema.sql", "silent_dw");
    m_settings.store_database = "silent_dw";
    m_settings.store_port = store.port;
    m_settings.database_timeout = 600;
    const auto daemon = start();
    ASSERT_TRUE(eventually([&] { return read_file(m_settings.pidfile) == std::to_string(daemon->pid()); }, 60s))
        << daemon->standard_error();

    store_server.stop();
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    const int reuse = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(store.port));
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(listener, 4), 0);
    // A connection waiting in the backlog makes the listener readable: the daemon is in its connect.
    pollfd waiting{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 60000), 1) << daemon->standard_error();

    const auto signalled = std::chrono::steady_clock::now();
    daemon->send(SIGTERM);
    const std::optional<int> code = daemon->wait(60s);
    const auto took = std::chrono::steady_clock::now() - signalled;
    ::close(listener);
    ASSERT_TRUE(code) << "still running after SIGTERM: " << daemon->standard_error();
    EXPECT_EQ(*code, 1) << daemon->standard_error();
    EXPECT_LT(took, 30s);
    EXPECT_NE(daemon->standard_error().find("cancelling the database calls"), std::string::npos)
        << daemon->standard_error();
    EXPECT_FALSE(daemon->sanitizer_reported());
}

// The column store accepts connections and never greets while the daemon starts: SIGTERM ends
// the start-up connect a few seconds later, far below the database timeout, with "Interrupted".
TEST_F(app_operability, sigterm_ends_a_start_up_connect_that_the_server_never_answers) {
    const test_support::silent_listener listener;
    m_settings.store_port = listener.port();
    m_settings.database_timeout = 60;
    const auto daemon = start();
    ASSERT_TRUE(listener.wait_for_client(60s)) << daemon->standard_error();

    const auto signalled = std::chrono::steady_clock::now();
    daemon->send(SIGTERM);
    const std::optional<int> code = daemon->wait(90s);
    const auto took = std::chrono::steady_clock::now() - signalled;
    ASSERT_TRUE(code) << "still running after SIGTERM: " << daemon->standard_error();
    EXPECT_EQ(*code, 1) << daemon->standard_error();
    // The grace of 5 s, with room for a loaded machine; the timeout would take 60 s.
    EXPECT_LT(took, 20s);
    const std::string log = daemon->standard_error();
    EXPECT_NE(log.find("cancelling the database calls"), std::string::npos) << log;
    EXPECT_NE(log.find("Cannot connect to the column store at 127.0.0.1:" + std::to_string(listener.port())),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Interrupted"), std::string::npos) << log;
    EXPECT_EQ(daemon->standard_output(), "");
    EXPECT_EQ(read_file(m_settings.pidfile), "");
    EXPECT_FALSE(daemon->sanitizer_reported()) << log;
}

} // namespace
} // namespace qvd::app_test
