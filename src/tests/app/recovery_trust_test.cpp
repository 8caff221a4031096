// What a recovery trusts, tried through the daemon against the private MariaDB server: a journal
// of other rows than the runtime rows of its ids, a second daemon on the same data directory, and
// journal names that are no regular files.
#include "daemon_fixture.hpp"

#include "records/position.hpp"
#include "support/core_values.hpp"
#include "transfer/journal.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qvd::app_test {
namespace {

using namespace std::chrono_literals;
using test_support::query_value;
using test_support::run_sql;
using test_support::shared_mariadb;

class app_recovery_trust : public daemon_test {
protected:
    app_recovery_trust() : daemon_test("trust_") {}

    long long count(const std::string& _sql, const std::string& _database) const {
        return std::stoll(query_value(shared_mariadb(), _sql, _database).value_or("0"));
    }
    long long store_count(const std::string& _table) const { return count("SELECT COUNT(*) FROM " + _table, m_store); }
    long long runtime_count(const std::string& _table) const {
        return count("SELECT COUNT(*) FROM " + _table, m_runtime);
    }

    std::string journal(const std::string& _name) const { return m_settings.persistent_data_dir + _name; }

    static std::string tail(const std::string& _text) {
        return _text.substr(_text.size() > 4000 ? _text.size() - 4000 : 0);
    }

    void wait_for_first_cycle(daemon_process& _daemon) const {
        const auto written = [&] { return read_file(m_settings.pidfile) == std::to_string(_daemon.pid()); };
        const bool ended = eventually([&] { return written() || !_daemon.running(); }, 60s);
        ASSERT_TRUE(ended && written()) << tail(_daemon.standard_error());
    }

    // Positions 1 to 3 of object-7 in the runtime database.
    void seed_positions() const {
        run_sql(shared_mariadb(),
                "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, x) VALUES "
                "(1, 7, 'object-7', '2024-05-01 10:00:01.000', 'area', 1), "
                "(2, 7, 'object-7', '2024-05-01 10:00:02.000', 'area', 2), "
                "(3, 7, 'object-7', '2024-05-01 10:00:03.000', 'area', 3)",
                m_runtime);
    }
};

// A journal brought from another host: its ids are those of runtime rows that never reached the
// column store. It is set aside with an error naming it and its first differing record; none of
// its records is inserted, no runtime row is deleted for it, and the runtime rows then move once.
TEST_F(app_recovery_trust, a_journal_of_other_rows_is_set_aside_and_nothing_is_moved_for_it) {
    m_settings.maximum_piece = 10;
    seed_positions();
    std::vector<position> foreign(2);
    for (std::size_t i = 0; i < foreign.size(); ++i) {
        foreign[i].id = static_cast<long long>(i + 1);
        foreign[i].trackable_id = 9;
        foreign[i].trackable_uid = "elsewhere";
        foreign[i].ts = test_support::at_ms(1700000000000 + static_cast<long long>(i));
        foreign[i].area_uid = "far";
    }
    const std::string text = journal::to_string(foreign);
    write_file(journal("positions_raw.bin"), text);

    const auto daemon = start_daemon({});
    wait_for_first_cycle(*daemon);
    const std::string error = daemon->standard_error();
    EXPECT_EQ(occurrences(error, "journal file " + journal("positions_raw.bin") +
                                     " does not hold the runtime rows of its ids: record 1 of 2 (row id 1 of "
                                     "position_histories): trackable_id is 9 in the journal, 7 in the runtime "
                                     "database; set aside as " +
                                     journal("positions_raw.bin.bad") + ", nothing of it inserted or deleted"),
              1u)
        << tail(error);
    // The next batch, none of it in the column store, settles the doubt the set-aside journal
    // raised: the operator's copy is renamed to say so.
    EXPECT_EQ(read_file(journal("positions_raw.bin.bad.settled")), text);
    EXPECT_FALSE(file_exists(journal("positions_raw.bin.bad")));
    EXPECT_FALSE(file_exists(journal("positions_raw.bin")));

    EXPECT_EQ(count("SELECT COUNT(*) FROM positions_raw WHERE trackable_uid = 'elsewhere'", m_store), 0);
    EXPECT_EQ(count("SELECT COUNT(DISTINCT ts) FROM positions_raw WHERE trackable_uid = 'object-7'", m_store), 3);
    EXPECT_EQ(store_count("positions_raw"), 3);
    EXPECT_EQ(runtime_count("position_histories"), 0);

    daemon->send(SIGTERM);
    EXPECT_EQ(daemon->wait(30s), 0) << tail(daemon->standard_error());
}

// Two daemons with their own pid files on one persistent-data directory: the second is refused at
// start-up, before it reads a table or a journal, and names the lock it found taken.
TEST_F(app_recovery_trust, a_second_daemon_on_the_same_data_directory_is_refused) {
    seed_positions();
    const auto first = start_daemon({});
    wait_for_first_cycle(*first);
    EXPECT_EQ(store_count("positions_raw"), 3);
    EXPECT_TRUE(file_exists(journal("lomvera.lock")));

    // A journal the first one is about to finish; the second must not touch it.
    run_sql(shared_mariadb(),
            "INSERT INTO position_histories (id, trackable_id, obj_uid, ts) VALUES (4, 7, 'object-7', NOW(3))",
            m_runtime);
    const std::string first_pid_file = m_settings.pidfile;
    m_settings.pidfile = m_directory.file("second.pid");
    const auto second = start_daemon({});
    ASSERT_EQ(second->wait(30s), 1) << tail(second->standard_error());
    const std::string error = second->standard_error();
    EXPECT_EQ(occurrences(error, "Data directory is in use: another running instance holds " + journal("lomvera.lock") +
                                     " (system.persistent_data_dir \"" + m_settings.persistent_data_dir + "\")"),
              1u)
        << error;
    EXPECT_EQ(error.find("loading"), std::string::npos) << error;
    EXPECT_EQ(second->standard_output(), "");
    EXPECT_FALSE(second->sanitizer_reported());
    EXPECT_EQ(read_file(m_settings.pidfile), "");
    EXPECT_EQ(read_file(first_pid_file), std::to_string(first->pid()));

    // The first one goes on moving; once it has stopped, a new one starts on the directory.
    EXPECT_TRUE(eventually([&] { return store_count("positions_raw") == 4; }, 60s));
    first->send(SIGTERM);
    ASSERT_EQ(first->wait(30s), 0);
    const auto third = start_daemon({});
    wait_for_first_cycle(*third);
    third->send(SIGTERM);
    EXPECT_EQ(third->wait(30s), 0);
}

// A FIFO in the place of the first kind's journal and a link to /dev/zero in that of the last
// kind's: neither is waited on nor read, each of those kinds fails naming its file, every other
// kind moves, and SIGTERM ends the daemon.
TEST_F(app_recovery_trust, a_journal_that_is_no_regular_file_fails_its_kind_only) {
    test_support::run_sql_file(shared_mariadb(), "tests/fixtures/runtime_sample.sql", m_runtime);
    m_settings.maximum_piece = 100;
    ASSERT_EQ(::mkfifo(journal("external_events.bin").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", journal("positions_raw.bin").c_str()), 0);
    const long long events = runtime_count("external_events");
    const long long positions =
        count("SELECT COUNT(*) FROM position_histories WHERE trackable_id IS NOT NULL", m_runtime);
    const long long heartbeats = runtime_count("heartbeats");
    const long long activities = runtime_count("activities");
    const long long parameters = runtime_count("node_parameters_staging");
    ASSERT_GT(heartbeats * activities * parameters * events * positions, 0);

    const auto daemon = start_daemon({});
    const auto failed = [&](const std::string& _file, const char* _type) {
        return daemon->standard_error().find("journal file " + journal(_file) + " is not a regular file (" + _type +
                                             "): not read") != std::string::npos;
    };
    EXPECT_TRUE(eventually(
        [&] {
            return (failed("external_events.bin", "a FIFO") && failed("positions_raw.bin", "a character device") &&
                    store_count("heartbeats") == heartbeats && store_count("sys_journal_staging") == activities &&
                    store_count("node_parameters") == parameters) ||
                   !daemon->running();
        },
        60s))
        << tail(daemon->standard_error());
    EXPECT_TRUE(daemon->running());
    EXPECT_EQ(runtime_count("heartbeats"), 0);
    EXPECT_EQ(runtime_count("external_events"), events);
    EXPECT_EQ(store_count("external_events"), 0);
    EXPECT_EQ(store_count("positions_raw"), 0);

    daemon->send(SIGTERM);
    const std::optional<int> code = daemon->wait(30s);
    ASSERT_TRUE(code.has_value()) << tail(daemon->standard_error());
    EXPECT_FALSE(daemon->sanitizer_reported());
    // Left as they were for the operator.
    struct stat status;
    ASSERT_EQ(::lstat(journal("external_events.bin").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    ASSERT_EQ(::lstat(journal("positions_raw.bin").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
}

} // namespace
} // namespace qvd::app_test
