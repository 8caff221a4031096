// The daemon run as a process against the private MariaDB server: the transfer of every kind,
// the pid file, termination signals and recovery after a kill in the middle of a batch.
#include "daemon_fixture.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvd::app_test {
namespace {

using namespace std::chrono_literals;
using test_support::kill_sessions;
using test_support::query_value;
using test_support::run_sql;
using test_support::shared_mariadb;

// One moved kind: how many rows the daemon would move, and where they arrive.
struct moved_kind {
    const char* name;
    const char* pending; // counts the runtime rows the daemon moves
    const char* table;   // column-store table
};

const std::vector<moved_kind>& moved_kinds() {
    static const std::vector<moved_kind> kinds{
        {"positions", "SELECT COUNT(*) FROM position_histories WHERE trackable_id IS NOT NULL", "positions_raw"},
        {"external events", "SELECT COUNT(*) FROM external_events", "external_events"},
        {"zone events",
         "SELECT COUNT(*) FROM zone_event_history ze2 JOIN zone_event_history ze1 ON ze1.uid = ze2.related_event "
         "WHERE ze2.related_event IS NOT NULL AND ze2.`action` = 'leave'",
         "zone_events"},
        {"activities", "SELECT COUNT(*) FROM activities", "sys_journal_staging"},
        {"vehicle-driver associations",
         "SELECT COUNT(*) FROM vehicle_driver_associations WHERE removed_at IS NOT NULL AND removed_at < NOW()",
         "vehicle_driver_associations"},
        {"heartbeats", "SELECT COUNT(*) FROM heartbeats", "heartbeats"},
        {"node parameters", "SELECT COUNT(*) FROM node_parameters_staging", "node_parameters"},
    };
    return kinds;
}

// One mirrored kind: the keys of the open runtime rows and of their column-store copies.
struct mirrored_kind {
    const char* name;
    const char* runtime_keys;
    const char* store_keys;
};

const std::vector<mirrored_kind>& mirrored_kinds() {
    static const std::vector<mirrored_kind> kinds{
        {"open zone events",
         "SELECT GROUP_CONCAT(obj_uid, '@', created_at ORDER BY created_at) FROM zone_event_history "
         "WHERE related_event IS NULL AND `action` = 'enter'",
         "SELECT GROUP_CONCAT(trackable_uid, '@', enter_time ORDER BY enter_time) FROM zone_events_open"},
        {"open vehicle-driver associations",
         "SELECT GROUP_CONCAT(id ORDER BY id) FROM vehicle_driver_associations "
         "WHERE removed_at IS NULL OR removed_at > NOW()",
         "SELECT GROUP_CONCAT(id ORDER BY id) FROM vehicle_driver_associations_open"},
    };
    return kinds;
}

const char* const journal_files[] = {
    "positions_raw.bin", "external_events.bin", "zone_events.bin", "activities.bin", "vehicle_driver_associations.bin",
    "heartbeats.bin",    "node_parameters.bin"};

class app_transfer : public daemon_test {
protected:
    app_transfer() : daemon_test("app_") {}

    void load_sample() { test_support::run_sql_file(shared_mariadb(), "tests/fixtures/runtime_sample.sql", m_runtime); }

    // Writes the configuration and starts the daemon on it.
    std::unique_ptr<daemon_process> start(std::vector<std::string> _arguments = {}) {
        return start_daemon(std::move(_arguments));
    }

    // True once the daemon has finished its first cycle.
    bool pid_written(const daemon_process& _daemon) const {
        return read_file(m_settings.pidfile) == std::to_string(_daemon.pid());
    }

    void wait_for_first_cycle(daemon_process& _daemon) {
        const bool ended = eventually([&] { return pid_written(_daemon) || !_daemon.running(); }, 60s);
        const std::string error = _daemon.standard_error();
        ASSERT_TRUE(ended && pid_written(_daemon)) << error.substr(error.size() > 4000 ? error.size() - 4000 : 0);
    }

    // SIGTERM and the normal end: code 0, "exit", the pid file kept.
    void stop(daemon_process& _daemon) {
        _daemon.send(SIGTERM);
        ASSERT_EQ(_daemon.wait(30s), 0) << _daemon.standard_error();
        EXPECT_EQ(_daemon.standard_output(), "exit\n");
        EXPECT_EQ(read_file(m_settings.pidfile), std::to_string(_daemon.pid()));
    }

    // Positions 1 to _count of object-7, one second apart from 10:00:01.
    void seed_positions_by_the_second(const int _count) const {
        std::string rows;
        for (int i = 1; i <= _count; ++i)
            rows += std::string(i > 1 ? ", " : "") + "(" + std::to_string(i) + ", 7, 'object-7', " +
                    "'2024-05-01 10:00:00' + INTERVAL " + std::to_string(i) + " SECOND, 0, 0, 0)";
        run_sql(shared_mariadb(),
                "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, x, y, z) VALUES " + rows, m_runtime);
    }

    long long runtime_count(const std::string& _sql) const { return count(_sql, m_runtime); }
    long long store_count(const std::string& _table) const { return count("SELECT COUNT(*) FROM " + _table, m_store); }

    static long long count(const std::string& _sql, const std::string& _database) {
        return std::stoll(query_value(shared_mariadb(), _sql, _database).value_or("0"));
    }

    std::vector<long long> pending_counts() const {
        std::vector<long long> counts;
        for (const moved_kind& kind : moved_kinds())
            counts.push_back(runtime_count(kind.pending));
        return counts;
    }

    void expect_no_journal() const {
        for (const char* file : journal_files)
            EXPECT_FALSE(file_exists(m_settings.persistent_data_dir + file)) << file;
    }

    // The id of the session whose insert into _table of _database waits for a lock, or 0.
    static long long inserting_into(const std::string& _database, const std::string& _table) {
        return count("SELECT COALESCE(MAX(ID), 0) FROM information_schema.PROCESSLIST WHERE DB = '" + _database +
                         "' AND COMMAND = 'Query' AND STATE LIKE 'Waiting%' AND INFO LIKE 'INSERT%" + _table + "%'",
                     {});
    }

    // Starts the daemon with the column store's external_events locked by _holder: it waits in
    // its first insert, of external events, which come first.
    std::unique_ptr<daemon_process> start_waiting_on_external_events(session& _holder) {
        _holder.run("LOCK TABLES external_events WRITE");
        auto daemon = start();
        EXPECT_TRUE(eventually([&] { return inserting_into(m_store, "external_events") != 0; }, 30s))
            << daemon->standard_error();
        return daemon;
    }

    static bool session_alive(long long _id) {
        return count("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + std::to_string(_id), {}) != 0;
    }
};

TEST_F(app_transfer, moves_every_kind_mirrors_open_rows_and_stops_on_sigterm) {
    load_sample();
    const std::vector<long long> before = pending_counts();
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_GT(before[i], 0) << moved_kinds()[i].name << ": the sample needs rows of every kind";

    // The first "-c" is overridden by the second.
    const auto daemon = start({"-c", m_directory.file("no-such-config.json")});
    wait_for_first_cycle(*daemon);

    for (std::size_t i = 0; i < before.size(); ++i) {
        const moved_kind& kind = moved_kinds()[i];
        EXPECT_EQ(store_count(kind.table), before[i]) << kind.name;
        EXPECT_EQ(runtime_count(kind.pending), 0) << kind.name;
    }
    const auto expect_mirrored = [&] {
        for (const mirrored_kind& kind : mirrored_kinds()) {
            const std::optional<std::string> open = query_value(shared_mariadb(), kind.runtime_keys, m_runtime);
            EXPECT_TRUE(open) << kind.name << ": the sample needs open rows";
            // A later cycle may be between emptying and refilling the open table: wait for it.
            EXPECT_TRUE(
                eventually([&] { return query_value(shared_mariadb(), kind.store_keys, m_store) == open; }, 60s))
                << kind.name << ": " << open.value_or("NULL") << " vs "
                << query_value(shared_mariadb(), kind.store_keys, m_store).value_or("NULL");
        }
    };
    expect_mirrored();
    expect_no_journal();

    // Later rows are moved, and the open snapshot replaced, by the periodic cycle.
    run_sql(shared_mariadb(),
            "INSERT INTO external_events (object_uid, object_name, event_type, event_info, ts, created_at) "
            "VALUES ('late-object', 'late', 'late', 'moved later', NOW(3), NOW(3));"
            "INSERT INTO zone_event_history (uid, related_event, `action`, obj_uid, created_at) "
            "VALUES ('ze-late', NULL, 'enter', 'obj-1', '2024-05-01 09:00:00.000')",
            m_runtime);
    EXPECT_TRUE(eventually([&] { return store_count("external_events") == before[1] + 1; }, 60s));
    EXPECT_TRUE(eventually([&] { return store_count("zone_events_open") == 2; }, 60s));
    EXPECT_EQ(runtime_count("SELECT COUNT(*) FROM external_events"), 0);
    expect_mirrored();

    // A second instance on the same configuration is refused and leaves the pid file alone.
    const auto second = start();
    EXPECT_EQ(second->wait(30s), 1);
    EXPECT_NE(second->standard_error().find("Process is running"), std::string::npos) << second->standard_error();
    EXPECT_EQ(second->standard_output(), "");
    EXPECT_FALSE(second->sanitizer_reported());
    EXPECT_EQ(read_file(m_settings.pidfile), std::to_string(daemon->pid()));

    stop(*daemon);

    // The log stream received the lines of every component, prefixed with module and component.
    EXPECT_TRUE(m_log_stream.wait_for([](const std::string& _line) {
        return _line.rfind("&lomvera:main ", 0) == 0 && _line.find("Connected to socket") != std::string::npos;
    }));
    EXPECT_TRUE(m_log_stream.wait_for([](const std::string& _line) {
        return _line.find("loading data from table position_histories") != std::string::npos;
    }));
}

// Two instances started at the same moment on one configuration: the pid-file lock lets one run,
// the other is refused before it touches a table or a journal, and no row arrives twice.
TEST_F(app_transfer, of_two_instances_started_together_one_runs) {
    load_sample();
    const std::vector<long long> before = pending_counts();
    auto first = start();
    auto second = start();
    const bool one_ended = eventually([&] { return !first->running() || !second->running(); }, 30s);
    ASSERT_TRUE(one_ended);
    if (first->running())
        std::swap(first, second);
    // "first" is now the refused one.
    EXPECT_EQ(first->wait(30s), 1) << first->standard_error();
    EXPECT_NE(first->standard_error().find("Process is running"), std::string::npos) << first->standard_error();
    EXPECT_EQ(first->standard_error().find("loading"), std::string::npos) << first->standard_error();
    wait_for_first_cycle(*second);
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(store_count(moved_kinds()[i].table), before[i]) << moved_kinds()[i].name;
    stop(*second);
}

// Pid-file contents of a file whose lock is free: stale, overwritten, and the daemon runs. "LIVE"
// names a live process that is no instance (after a reboot the old id often names one).
class app_pid_file_overwritten : public app_transfer, public ::testing::WithParamInterface<const char*> {};

TEST_P(app_pid_file_overwritten, by_the_new_id_without_newline) {
    std::string content = GetParam();
    if (content == "STALE") {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        waitpid(child, nullptr, 0);
        content = std::to_string(child);
    } else if (content == "LIVE") {
        content = std::to_string(getpid());
    }
    write_file(m_settings.pidfile, content);
    load_sample();

    const auto daemon = start();
    wait_for_first_cycle(*daemon);
    EXPECT_EQ(runtime_count(moved_kinds()[0].pending), 0);
    EXPECT_EQ(daemon->standard_error().find("Process is running"), std::string::npos);
    stop(*daemon);
}

INSTANTIATE_TEST_SUITE_P(contents, app_pid_file_overwritten,
                         ::testing::Values("STALE", "LIVE", "0", "", "garbage", "-1", "123456789012"),
                         [](const ::testing::TestParamInfo<const char*>& _info) {
                             const std::string text = _info.param;
                             return text == "STALE"          ? std::string("stale")
                                    : text == "LIVE"         ? std::string("live_unrelated_process")
                                    : text == "0"            ? std::string("zero")
                                    : text.empty()           ? std::string("empty")
                                    : text == "-1"           ? std::string("negative")
                                    : text == "123456789012" ? std::string("beyond_int")
                                                             : std::string("garbage");
                         });

// Refused starts: nothing is moved, nothing journalled, the failure said once on standard error.
struct refusal {
    const char* name;
    const char* message; // followed by " PATH: " and reason when reason is set
    const char* reason;
};

void PrintTo(const refusal& _refusal, std::ostream* _stream) { *_stream << _refusal.name; }

class app_refused_start : public app_transfer, public ::testing::WithParamInterface<refusal> {};

// The lock of a running instance, held by this test process.
class held_lock {
public:
    explicit held_lock(const std::string& _path) : m_fd(open(_path.c_str(), O_RDWR | O_CLOEXEC)) {
        if (m_fd < 0 || flock(m_fd, LOCK_EX | LOCK_NB) != 0)
            throw std::runtime_error("cannot lock " + _path);
    }
    ~held_lock() { close(m_fd); }
    held_lock(const held_lock&) = delete;
    held_lock& operator=(const held_lock&) = delete;

private:
    const int m_fd;
};

TEST_P(app_refused_start, before_anything_moves) {
    const std::string name = GetParam().name;
    std::string pid_content;
    std::optional<held_lock> lock;
    if (name == "locked" || name == "locked_empty") {
        pid_content = name == "locked" ? std::to_string(getpid()) : "";
        write_file(m_settings.pidfile, pid_content);
        lock.emplace(m_settings.pidfile);
    } else if (name == "pid_path_is_a_directory") {
        m_settings.pidfile = m_directory.file("pid-directory");
        std::filesystem::create_directory(m_settings.pidfile);
    } else {
        m_settings.pidfile = m_directory.file("no-such-directory/lomvera.pid");
    }
    load_sample();
    const std::vector<long long> before = pending_counts();

    const auto daemon = start();
    ASSERT_EQ(daemon->wait(30s), 1) << daemon->standard_error();
    EXPECT_EQ(daemon->standard_output(), "");
    std::string message = GetParam().message;
    if (GetParam().reason != nullptr)
        message += " " + m_settings.pidfile + ": " + GetParam().reason;
    // Debug mode copies the logged line to standard error; the application adds none.
    EXPECT_EQ(occurrences(daemon->standard_error(), message), 1u) << daemon->standard_error();
    EXPECT_EQ(pending_counts(), before);
    for (const moved_kind& kind : moved_kinds())
        EXPECT_EQ(store_count(kind.table), 0) << kind.name;
    expect_no_journal();
    EXPECT_FALSE(daemon->sanitizer_reported());
    if (lock) {
        EXPECT_EQ(read_file(m_settings.pidfile), pid_content);
    } else if (name == "no_such_directory") {
        EXPECT_FALSE(file_exists(m_settings.pidfile));
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, app_refused_start,
    ::testing::Values(refusal{"locked", "Process is running", nullptr},
                      refusal{"locked_empty", "Process is running", nullptr},
                      refusal{"no_such_directory", "Error opening pid-file!", "No such file or directory"},
                      refusal{"pid_path_is_a_directory", "Error opening pid-file!", "Is a directory"}),
    [](const ::testing::TestParamInfo<refusal>& _info) { return std::string(_info.param.name); });

// Whether _signal is in the ignored set of process _pid (/proc/PID/status, "SigIgn").
bool ignores(pid_t _pid, int _signal) {
    const std::string status = read_file("/proc/" + std::to_string(_pid) + "/status");
    const std::size_t at = status.find("SigIgn:\t");
    if (at == std::string::npos)
        throw std::runtime_error("no SigIgn in the status of " + std::to_string(_pid));
    const unsigned long long mask = std::stoull(status.substr(at + 8, 16), nullptr, 16);
    return (mask >> (_signal - 1)) & 1u;
}

// A hang-up in the middle of a batch neither ends the daemon nor the batch; the signals that
// stop it still do, and the others keep their default actions.
TEST_F(app_transfer, sighup_in_the_middle_of_a_batch_is_ignored) {
    load_sample();
    const std::vector<long long> before = pending_counts();
    session holder(shared_mariadb(), m_store);
    const auto daemon = start_waiting_on_external_events(holder);
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(ignores(daemon->pid(), SIGHUP));
    for (const int other : {SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM})
        EXPECT_FALSE(ignores(daemon->pid(), other)) << other;
    daemon->send(SIGHUP);
    holder.run("UNLOCK TABLES");

    // The same process finishes its first cycle, every kind moved.
    wait_for_first_cycle(*daemon);
    EXPECT_TRUE(daemon->running());
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(store_count(moved_kinds()[i].table), before[i]) << moved_kinds()[i].name;
    expect_no_journal();
    stop(*daemon);
}

TEST_F(app_transfer, sigterm_during_a_cycle_finishes_the_batch_and_skips_the_rest) {
    load_sample();
    const std::vector<long long> before = pending_counts();
    session holder(shared_mariadb(), m_store);
    const auto daemon = start_waiting_on_external_events(holder);
    ASSERT_FALSE(HasFailure());
    // The signal watcher's thread ends once it has handled the signal.
    const std::size_t threads = daemon->thread_count();
    daemon->send(SIGTERM);
    EXPECT_TRUE(eventually([&] { return daemon->thread_count() < threads; }, 30s));
    holder.run("UNLOCK TABLES");

    ASSERT_EQ(daemon->wait(30s), 0) << daemon->standard_error();
    EXPECT_EQ(daemon->standard_output(), "exit\n");
    // The first cycle completed: the pid file is written and kept.
    EXPECT_EQ(read_file(m_settings.pidfile), std::to_string(daemon->pid()));
    EXPECT_EQ(store_count("external_events"), m_settings.maximum_piece);
    EXPECT_EQ(runtime_count(moved_kinds()[1].pending), before[1] - m_settings.maximum_piece);
    const std::vector<long long> after = pending_counts();
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (i == 1)
            continue;
        EXPECT_EQ(after[i], before[i]) << moved_kinds()[i].name;
        EXPECT_EQ(store_count(moved_kinds()[i].table), 0) << moved_kinds()[i].name;
    }
    expect_no_journal();
}

// After a SIGKILL the server runs the dead daemon's insert on, and would commit it. A daemon
// restarted at once ends that session (its insert rolls back) before it probes the journalled
// batch, so the batch is not inserted a second time.
TEST_F(app_transfer, a_restart_during_the_killed_insert_doubles_nothing) {
    m_settings.maximum_piece = 40;
    seed_positions_by_the_second(100);
    // About a second per batch, once the gate that the test holds is open.
    const std::string gate = "'" + m_store + "_gate'";
    session gate_holder(shared_mariadb(), m_store);
    gate_holder.run("DO GET_LOCK(" + gate + ", 0)");
    run_sql(shared_mariadb(),
            "CREATE TRIGGER slow_insert BEFORE INSERT ON positions_raw FOR EACH ROW SET NEW.x = SLEEP(0.025) + 0 * "
            "GET_LOCK(" +
                gate + ", 600)",
            m_store);

    auto daemon = start();
    const std::string running_in_store = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = '" + m_store +
                                         "' AND COMMAND = 'Query' AND ID <> CONNECTION_ID()";
    ASSERT_TRUE(eventually(
        [&] {
            return file_exists(m_settings.persistent_data_dir + "positions_raw.bin") &&
                   count(running_in_store, {}) != 0;
        },
        30s))
        << daemon->standard_error();
    daemon->send(SIGKILL);
    ASSERT_EQ(daemon->wait(30s), -SIGKILL);
    // The killed insert is still running.
    EXPECT_NE(count(running_in_store, {}), 0);

    daemon = start();
    EXPECT_TRUE(eventually(
        [&] { return daemon->standard_error().find("an earlier holder of lock") != std::string::npos; }, 60s))
        << daemon->standard_error();
    gate_holder.run("DO RELEASE_LOCK(" + gate + ")");
    wait_for_first_cycle(*daemon);
    stop(*daemon);
    EXPECT_EQ(store_count("positions_raw"), 100);
    EXPECT_EQ(count("SELECT COUNT(DISTINCT ts) FROM positions_raw", m_store), 100);
    EXPECT_EQ(runtime_count("SELECT COUNT(*) FROM position_histories"), 0);
    expect_no_journal();
}

// SIGKILL while a batch of positions waits for a lock on the column-store table, then a restart:
// every row arrives exactly once, whether the killed insert never ran or ran after the kill.
class app_crash_recovery : public app_transfer, public ::testing::WithParamInterface<bool> {};

TEST_P(app_crash_recovery, every_row_exactly_once) {
    const bool insert_lands_after_kill = GetParam();
    m_settings.maximum_piece = 2;
    std::string rows;
    for (int i = 1; i <= 5; ++i)
        rows += std::string(i > 1 ? ", " : "") + "(" + std::to_string(i) + ", 7, 'object-7', " + "'2024-05-01 10:00:0" +
                std::to_string(i) + ".250', " + std::to_string(i * 10) + ", 0, 0)";
    run_sql(shared_mariadb(), "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, x, y, z) VALUES " + rows,
            m_runtime);

    session holder(shared_mariadb(), m_store);
    holder.run("LOCK TABLES positions_raw WRITE");
    auto daemon = start();
    long long blocked = 0;
    ASSERT_TRUE(eventually([&] { return (blocked = inserting_into(m_store, "positions_raw")) != 0; }, 30s))
        << daemon->standard_error();
    ASSERT_TRUE(file_exists(m_settings.persistent_data_dir + "positions_raw.bin"));
    daemon->send(SIGKILL);
    ASSERT_EQ(daemon->wait(30s), -SIGKILL);
    // A killed session may still be waiting: it has to leave the wait before the lock goes.
    if (!insert_lands_after_kill)
        kill_sessions(shared_mariadb(), "ID = " + std::to_string(blocked));
    holder.run("UNLOCK TABLES");
    // The killed daemon's session ends once the server has finished (or dropped) its insert.
    ASSERT_TRUE(eventually([&] { return !session_alive(blocked); }, 60s));
    EXPECT_EQ(store_count("positions_raw"), insert_lands_after_kill ? m_settings.maximum_piece : 0);
    // Locked at start-up, written only after the first cycle.
    EXPECT_EQ(read_file(m_settings.pidfile), "");

    daemon = start();
    wait_for_first_cycle(*daemon);
    stop(*daemon);
    EXPECT_EQ(store_count("positions_raw"), 5);
    EXPECT_EQ(count("SELECT COUNT(DISTINCT ts) FROM positions_raw", m_store), 5);
    EXPECT_EQ(runtime_count("SELECT COUNT(*) FROM position_histories"), 0);
    expect_no_journal();
}

// A column-store table on an engine without transactions (MyISAM): SIGKILL while the insert of a
// batch waits at its 50th row for a lock the test holds; its session is then ended, with the first
// 49 rows written. The restarted daemon inserts only the rows that did not arrive.
TEST_F(app_transfer, a_killed_insert_into_a_table_without_transactions_leaves_each_row_once) {
    m_settings.maximum_piece = 200;
    seed_positions_by_the_second(200);
    const std::string gate = "'" + m_store + "_gate'";
    session gate_holder(shared_mariadb(), m_store);
    gate_holder.run("DO GET_LOCK(" + gate + ", 0)");
    run_sql(shared_mariadb(),
            "ALTER TABLE positions_raw ENGINE = MyISAM; CREATE TRIGGER gated_insert BEFORE INSERT ON positions_raw FOR "
            "EACH ROW SET NEW.x = IF(NEW.ts = '2024-05-01 10:00:50', 0 * GET_LOCK(" +
                gate + ", 600), 0)",
            m_store);

    auto daemon = start();
    long long waiting = 0;
    const std::string waiting_at_gate = "SELECT COALESCE(MAX(ID), 0) FROM information_schema.PROCESSLIST WHERE DB = '" +
                                        m_store + "' AND STATE = 'User lock' AND INFO LIKE 'INSERT%positions_raw%'";
    ASSERT_TRUE(eventually([&] { return (waiting = count(waiting_at_gate, {})) != 0; }, 30s))
        << daemon->standard_error();
    daemon->send(SIGKILL);
    ASSERT_EQ(daemon->wait(30s), -SIGKILL);
    kill_sessions(shared_mariadb(), "ID = " + std::to_string(waiting));
    ASSERT_TRUE(eventually([&] { return !session_alive(waiting); }, 60s));
    EXPECT_EQ(store_count("positions_raw"), 49);
    gate_holder.run("DO RELEASE_LOCK(" + gate + ")");

    daemon = start();
    wait_for_first_cycle(*daemon);
    stop(*daemon);
    EXPECT_EQ(store_count("positions_raw"), 200);
    EXPECT_EQ(count("SELECT COUNT(DISTINCT ts) FROM positions_raw", m_store), 200);
    EXPECT_EQ(runtime_count("SELECT COUNT(*) FROM position_histories"), 0);
    expect_no_journal();
}

INSTANTIATE_TEST_SUITE_P(insert, app_crash_recovery, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& _info) {
                             return std::string(_info.param ? "lands_after_kill" : "never_lands");
                         });

} // namespace
} // namespace qvd::app_test
