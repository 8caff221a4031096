#include <mariadb_client/mariadb.hpp>

#include "support/mariadb_server.hpp"

#include <gtest/gtest.h>

#include <mysqld_error.h>

#include <chrono>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qvd::test_support;

// One database per test: CTest runs the tests of this file in parallel processes.
std::string g_database;

class mariadb_transaction : public ::testing::Test {
protected:
    void SetUp() override {
        LOMVERA_REQUIRE_MARIADB();
        g_database = fresh_database(test_database_name("mdbc_tx_"));
        sql("CREATE TABLE t (id INT PRIMARY KEY) ENGINE=InnoDB");
        m_account = make_account();
        m_connection = mariadb::connection::create(m_account);
    }

    void TearDown() override {
        m_connection.reset();
        drop_database(g_database);
    }

    static mariadb::account_ref make_account() {
        const auto& server = shared_mariadb();
        return mariadb::account::create(server.host, server.user, server.password, g_database, server.port, "");
    }

    static void sql(const std::string& _sql) { run_sql(shared_mariadb(), _sql, g_database); }

    // The committed rows of t, as another session sees them.
    static std::string committed() {
        return query_value(shared_mariadb(), "SELECT IFNULL(GROUP_CONCAT(id ORDER BY id), '') FROM t", g_database)
            .value_or("");
    }

    static std::string single(const mariadb::connection_ref& _connection, const std::string& _query) {
        const auto rows = _connection->query(_query);
        EXPECT_TRUE(rows->next()) << _query;
        return rows->get_is_null(0) ? "NULL" : rows->get_string(0);
    }

    // Ends the connection's session from another one, as a server restart or a network cut would.
    void kill_session() { run_sql(shared_mariadb(), "KILL " + single(m_connection, "SELECT CONCAT(CONNECTION_ID())")); }

    // The same, returning once the server no longer lists the session, so that whatever the
    // connection does next meets a session that is gone.
    void kill_session_and_wait() {
        const std::string id = single(m_connection, "SELECT CONCAT(CONNECTION_ID())");
        run_sql(shared_mariadb(), "KILL " + id);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (query_value(shared_mariadb(), "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id) !=
               "0") {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "session " << id << " still listed";
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    mariadb::account_ref m_account;
    mariadb::connection_ref m_connection;
};

// Each level shows in what the transaction sees of two other sessions' work, and in whether it
// blocks them: one commits an update of a row it read, the other leaves an insert uncommitted.
TEST_F(mariadb_transaction, isolation_levels_apply_to_the_transaction) {
    struct level_case {
        mariadb::isolation::level level;
        bool others_blocked;
        const char* seen;
    };
    const level_case cases[] = {
        {mariadb::isolation::repeatable_read, false, "1"},
        {mariadb::isolation::read_committed, false, "10"},
        {mariadb::isolation::read_uncommitted, false, "10,20"},
        {mariadb::isolation::serializable, true, "1"},
    };
    const auto updater = mariadb::connection::create(make_account());
    const auto inserter = mariadb::connection::create(make_account());
    // Blocked sessions fail at once instead of waiting.
    updater->execute("SET SESSION innodb_lock_wait_timeout = 0");
    inserter->execute("SET SESSION innodb_lock_wait_timeout = 0");
    for (const auto& each : cases) {
        for (const bool snapshot : {false, true}) {
            sql("DELETE FROM t; INSERT INTO t VALUES (1)");
            const auto transaction = m_connection->create_transaction(each.level, snapshot);
            EXPECT_EQ(single(m_connection, "SELECT CONCAT(COUNT(*)) FROM t"), "1");

            const auto inserting = inserter->create_transaction(mariadb::isolation::repeatable_read, false);
            testing::internal::CaptureStderr();
            bool blocked = false;
            try {
                inserter->execute("INSERT INTO t VALUES (20)");
                updater->execute("UPDATE t SET id = 10 WHERE id = 1");
            } catch (const mariadb::exception::connection& failure) {
                EXPECT_EQ(failure.error_id(), mariadb::u32{ER_LOCK_WAIT_TIMEOUT}) << failure.what();
                blocked = true;
            }
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(blocked, each.others_blocked) << each.level << ", snapshot " << snapshot;
            if (!blocked) {
                EXPECT_EQ(single(m_connection, "SELECT GROUP_CONCAT(id ORDER BY id) FROM t"), each.seen)
                    << each.level << ", snapshot " << snapshot;
            }
        }
    }
}

TEST_F(mariadb_transaction, consistent_snapshot_starts_at_once) {
    const auto other = mariadb::connection::create(make_account());
    for (const bool snapshot : {false, true}) {
        sql("DELETE FROM t");
        const auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, snapshot);
        other->execute("INSERT INTO t VALUES (1)");
        // Without the snapshot the first read takes it, and sees the row committed meanwhile.
        EXPECT_EQ(single(m_connection, "SELECT CONCAT(COUNT(*)) FROM t"), snapshot ? "0" : "1");
        transaction->commit();
    }
}

TEST_F(mariadb_transaction, commit_keeps_and_destruction_rolls_back) {
    {
        const auto transaction = m_connection->create_transaction(mariadb::isolation::read_committed, false);
        m_connection->execute("INSERT INTO t VALUES (1), (2)");
        EXPECT_EQ(committed(), "");
    }
    EXPECT_EQ(committed(), "");
    EXPECT_EQ(single(m_connection, "SELECT CONCAT(COUNT(*)) FROM t"), "0");

    const auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    const auto insert = m_connection->create_statement("INSERT INTO t VALUES (?)");
    for (mariadb::s32 id = 3; id <= 5; ++id) {
        insert->set_signed32(0, id);
        insert->execute();
    }
    transaction->commit();
    EXPECT_EQ(committed(), "3,4,5");
    // Committed: a second commit and the destruction send nothing, and no save point is given.
    transaction->commit();
    EXPECT_EQ(transaction->create_save_point(), nullptr);
    m_connection->execute("INSERT INTO t VALUES (6)");
    EXPECT_EQ(committed(), "3,4,5,6");
}

TEST_F(mariadb_transaction, save_points_nest_three_deep) {
    const auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    m_connection->execute("INSERT INTO t VALUES (1)");
    auto first = transaction->create_save_point();
    m_connection->execute("INSERT INTO t VALUES (2)");
    const auto second = transaction->create_save_point();
    m_connection->execute("INSERT INTO t VALUES (3)");
    {
        const auto third = transaction->create_save_point();
        m_connection->execute("INSERT INTO t VALUES (4)");
        EXPECT_EQ(third->name(), "SP" + std::to_string(std::stoull(second->name().substr(2)) + 1));
    }
    EXPECT_EQ(second->name(), "SP" + std::to_string(std::stoull(first->name().substr(2)) + 1));
    EXPECT_EQ(first->name().rfind("SP", 0), 0u);
    EXPECT_EQ(single(m_connection, "SELECT GROUP_CONCAT(id ORDER BY id) FROM t"), "1,2,3");
    second->commit();
    EXPECT_EQ(single(m_connection, "SELECT GROUP_CONCAT(id ORDER BY id) FROM t"), "1,2,3");
    m_connection->execute("INSERT INTO t VALUES (5)");

    // Rolling back to the first forgets the ones after it on the server: their destruction sends nothing.
    const auto fourth = transaction->create_save_point();
    testing::internal::CaptureStderr();
    first.reset();
    fourth->commit();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(single(m_connection, "SELECT GROUP_CONCAT(id ORDER BY id) FROM t"), "1");
    transaction->commit();
    EXPECT_EQ(committed(), "1");
}

TEST_F(mariadb_transaction, failed_rollback_to_a_save_point_is_reported_not_thrown) {
    const auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    auto point = transaction->create_save_point();
    m_connection->execute("INSERT INTO t VALUES (1)");
    m_connection->execute("RELEASE SAVEPOINT " + point->name());
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(point.reset());
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("MariaDB Error(1305)"), std::string::npos) << report;
    transaction->commit();
    EXPECT_EQ(committed(), "1");
}

TEST_F(mariadb_transaction, lost_link_fails_the_transaction_and_never_reconnects_inside_it) {
    auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    m_connection->execute("INSERT INTO t VALUES (1)");
    const auto insert = m_connection->create_statement("INSERT INTO t VALUES (?)");
    kill_session();

    testing::internal::CaptureStderr();
    // The statement that meets the dead link fails, and so does every later one: none runs in
    // auto-commit on a new session.
    EXPECT_THROW(m_connection->execute("INSERT INTO t VALUES (2)"), mariadb::exception::connection);
    try {
        m_connection->execute("INSERT INTO t VALUES (3)");
        ADD_FAILURE() << "reconnected inside the transaction";
    } catch (const mariadb::exception::connection& failure) {
        EXPECT_EQ(std::string(failure.what()).rfind("Transaction lost: ", 0), 0u) << failure.what();
    }
    insert->set_signed32(0, 4);
    EXPECT_THROW(insert->execute(), mariadb::exception::connection);
    EXPECT_THROW(transaction->create_save_point(), mariadb::exception::connection);
    EXPECT_THROW(transaction->commit(), mariadb::exception::connection);
    EXPECT_THROW(m_connection->create_statement("DO 1"), mariadb::exception::connection);
    EXPECT_FALSE(m_connection->connected());
    const std::string reports = testing::internal::GetCapturedStderr();
    EXPECT_NE(reports.find("Transaction lost: "), std::string::npos) << reports;
    EXPECT_EQ(committed(), "");

    // Once the transaction is gone the connection reconnects as usual.
    testing::internal::CaptureStderr();
    transaction.reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(m_connection->execute("INSERT INTO t VALUES (5)"), 1u);
    EXPECT_EQ(committed(), "5");
}

// With the client library's own reconnect, a killed session would come back as a new one in
// auto-commit: the rest of the transaction would commit piece by piece behind a failed first part.
TEST_F(mariadb_transaction, a_killed_session_fails_the_transaction_although_the_account_reconnects) {
    m_account->set_connect_option(MYSQL_OPT_RECONNECT, true);
    auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    m_connection->execute("INSERT INTO t VALUES (1)");
    const auto point = transaction->create_save_point();
    const auto insert = m_connection->create_statement("INSERT INTO t VALUES (?)");
    ASSERT_NO_FATAL_FAILURE(kill_session_and_wait());

    testing::internal::CaptureStderr();
    struct later_case {
        const char* name;
        // The statement prepared on the killed session reports its own loss.
        const char* text;
        std::function<void()> operation;
    };
    const later_case later[] = {
        {"execute", "Transaction lost: ", [&] { m_connection->execute("INSERT INTO t VALUES (2)"); }},
        {"execute again", "Transaction lost: ", [&] { m_connection->execute("INSERT INTO t VALUES (3)"); }},
        {"statement", "Prepared statement lost: ",
         [&] {
             insert->set_signed32(0, 4);
             insert->execute();
         }},
        {"save point", "Transaction lost: ", [&] { transaction->create_save_point(); }},
        {"save point release", "Transaction lost: ", [&] { point->commit(); }},
        {"commit", "Transaction lost: ", [&] { transaction->commit(); }},
    };
    for (const auto& each : later) {
        try {
            each.operation();
            ADD_FAILURE() << each.name << " went on after the session was killed";
        } catch (const mariadb::exception::connection& failure) {
            EXPECT_EQ(std::string(failure.what()).rfind(each.text, 0), 0u) << each.name << ": " << failure.what();
        }
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(committed(), "");

    // Once the transaction is gone the account's reconnect is back in force.
    testing::internal::CaptureStderr();
    transaction.reset();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(m_connection->execute("INSERT INTO t VALUES (5)"), 1u);
    ASSERT_NO_FATAL_FAILURE(kill_session_and_wait());
    EXPECT_TRUE(m_connection->connected());
    EXPECT_EQ(m_connection->execute("INSERT INTO t VALUES (6)"), 1u);
    EXPECT_EQ(committed(), "5,6");
}

// A committed transaction hands the session back as it found it, the client's reconnect included.
TEST_F(mariadb_transaction, commit_gives_the_account_its_reconnect_back) {
    m_account->set_connect_option(MYSQL_OPT_RECONNECT, true);
    const auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    m_connection->execute("INSERT INTO t VALUES (1)");
    transaction->commit();
    ASSERT_NO_FATAL_FAILURE(kill_session_and_wait());
    EXPECT_TRUE(m_connection->connected());
    EXPECT_EQ(committed(), "1");
}

TEST_F(mariadb_transaction, rollback_on_a_dead_link_is_reported_and_the_session_closed) {
    auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    m_connection->execute("INSERT INTO t VALUES (1)");
    kill_session();
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(transaction.reset());
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("\nIn function: rollback\n"), std::string::npos) << report;
    EXPECT_FALSE(m_connection->connected());
    EXPECT_EQ(m_connection->execute("INSERT INTO t VALUES (2)"), 1u);
    EXPECT_EQ(committed(), "2");
}

TEST_F(mariadb_transaction, failed_commit_throws_and_its_rollback_ends_the_session) {
    auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    // An active XA transaction makes COMMIT and ROLLBACK fail while the link itself is fine.
    m_connection->execute("COMMIT; XA START 'lomvera'; INSERT INTO t VALUES (1)");
    testing::internal::CaptureStderr();
    try {
        transaction->commit();
        ADD_FAILURE() << "a failed commit looked like success";
    } catch (const mariadb::exception::connection& failure) {
        EXPECT_EQ(failure.error_id(), mariadb::u32{ER_XAER_RMFAIL});
    }
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("\nIn function: commit\n"), std::string::npos) << report;
    EXPECT_EQ(committed(), "");

    // The rollback fails too: the session is closed so that the server rolls the work back.
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(transaction.reset());
    report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("\nIn function: rollback\n"), std::string::npos) << report;
    EXPECT_FALSE(m_connection->connected());
    EXPECT_EQ(m_connection->execute("INSERT INTO t VALUES (2)"), 1u);
    EXPECT_EQ(committed(), "2");
}

TEST_F(mariadb_transaction, one_transaction_at_a_time) {
    const auto transaction = m_connection->create_transaction(mariadb::isolation::repeatable_read, false);
    m_connection->execute("INSERT INTO t VALUES (1)");
    // A second START TRANSACTION would commit the first one behind its back.
    EXPECT_THROW(m_connection->create_transaction(mariadb::isolation::read_committed, false), std::logic_error);
    EXPECT_EQ(committed(), "");
    transaction->commit();
    EXPECT_EQ(committed(), "1");
    const auto next = m_connection->create_transaction(mariadb::isolation::read_committed, false);
    next->commit();
}

TEST_F(mariadb_transaction, transaction_that_outlives_its_connection_fails_its_commit) {
    auto connection = mariadb::connection::create(make_account());
    const auto transaction = connection->create_transaction(mariadb::isolation::repeatable_read, false);
    const auto point = transaction->create_save_point();
    connection->execute("INSERT INTO t VALUES (1)");
    connection.reset();
    testing::internal::CaptureStderr();
    EXPECT_THROW(transaction->commit(), mariadb::exception::connection);
    EXPECT_THROW(transaction->create_save_point(), mariadb::exception::connection);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Transaction lost"), std::string::npos);
    EXPECT_EQ(committed(), "");
}

TEST_F(mariadb_transaction, save_point_names_are_unique_across_threads) {
    constexpr int threads = 4;
    constexpr int points = 50;
    std::vector<std::vector<std::string>> names(threads);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back([&names, i] {
            const auto connection = mariadb::connection::create(make_account());
            const auto transaction = connection->create_transaction(mariadb::isolation::repeatable_read, false);
            std::vector<mariadb::save_point_ref> kept;
            for (int n = 0; n < points; ++n) {
                kept.push_back(transaction->create_save_point());
                names[i].push_back(kept.back()->name());
            }
            transaction->commit();
        });
    for (auto& worker : workers)
        worker.join();
    std::set<std::string> unique;
    for (const auto& each : names)
        unique.insert(each.begin(), each.end());
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(threads * points));
}

} // namespace
