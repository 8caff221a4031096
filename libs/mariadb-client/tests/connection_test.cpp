#include <mariadb_client/mariadb.hpp>

#include "support/mariadb_server.hpp"
#include "support/silent_listener.hpp"
#include "thrown_text.hpp"

#include <gtest/gtest.h>

#include <errmsg.h>
#include <mysqld_error.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace qvd::test_support;

// One database per test: CTest runs the tests of this file in parallel processes.
std::string g_database;

mariadb::account_ref make_account(const std::string& _schema = g_database, const std::string& _password = "lomvera",
                                  unsigned _port = 0) {
    const auto& server = shared_mariadb();
    return mariadb::account::create(server.host, server.user, _password, _schema, _port ? _port : server.port, "");
}

// First column of the first row of a query whose columns are texts.
std::string single(const mariadb::connection_ref& _connection, const std::string& _query) {
    const auto rows = _connection->query(_query);
    EXPECT_TRUE(rows->next()) << _query;
    return rows->get_string(0);
}

class mariadb_connection : public ::testing::Test {
protected:
    void SetUp() override {
        LOMVERA_REQUIRE_MARIADB();
        g_database = fresh_database(test_database_name("mdbc_conn_"));
        run_sql(shared_mariadb(), "CREATE TABLE items (id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(20))",
                g_database);
    }

    void TearDown() override { drop_database(g_database); }
};

TEST_F(mariadb_connection, first_set_charset_connects_selects_schema_and_sets_charset) {
    const auto connection = mariadb::connection::create(make_account());
    EXPECT_FALSE(connection->connected());
    EXPECT_TRUE(connection->set_charset("utf8"));
    EXPECT_TRUE(connection->connected());
    EXPECT_EQ(connection->charset(), "utf8");
    EXPECT_EQ(connection->schema(), g_database);
    EXPECT_EQ(single(connection, "SELECT DATABASE()"), g_database);
    EXPECT_EQ(single(connection, "SELECT @@character_set_client"), "utf8mb3");

    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->set_schema("no_such_database"), mariadb::exception::connection);
    EXPECT_THROW(connection->set_charset("no_such_charset"), mariadb::exception::connection);
    const std::string reports = testing::internal::GetCapturedStderr();
    EXPECT_NE(reports.find("In function: set_schema"), std::string::npos) << reports;
    EXPECT_NE(reports.find("In function: set_charset"), std::string::npos) << reports;
    EXPECT_EQ(connection->schema(), g_database);
    EXPECT_EQ(connection->charset(), "utf8");
    EXPECT_TRUE(connection->connected());
    connection->disconnect();
    EXPECT_FALSE(connection->connected());
}

TEST_F(mariadb_connection, refused_login_reports_then_throws_on_every_attempt) {
    const auto connection = mariadb::connection::create(make_account(g_database, "wrong"));
    for (int attempt = 0; attempt < 2; ++attempt) {
        testing::internal::CaptureStderr();
        try {
            connection->set_charset("utf8");
            ADD_FAILURE() << "login accepted";
        } catch (const mariadb::exception::connection& failure) {
            EXPECT_EQ(failure.error_id(), mariadb::u32{ER_ACCESS_DENIED_ERROR});
            EXPECT_NE(std::string(failure.what()).find("Access denied"), std::string::npos);
        }
        const std::string report = testing::internal::GetCapturedStderr();
        EXPECT_EQ(report.rfind("MariaDB Error(1045): Access denied", 0), 0u) << report;
        EXPECT_NE(report.find("\nIn function: connect\nIn file "), std::string::npos) << report;
        EXPECT_NE(report.find("connection.cpp\nOn line "), std::string::npos) << report;
        EXPECT_EQ(report.back(), '\n');
        EXPECT_EQ(connection->error_no(), mariadb::u32{ER_ACCESS_DENIED_ERROR});
    }
    EXPECT_EQ(connection->charset(), "");
}

TEST_F(mariadb_connection, unreachable_server_fails_the_attempt) {
    const auto connection = mariadb::connection::create(make_account(g_database, "lomvera", free_tcp_port()));
    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->connect(), mariadb::exception::connection);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("In function: connect"), std::string::npos);
    EXPECT_EQ(connection->error_no(), mariadb::u32{CR_CONNECTION_ERROR});
}

TEST_F(mariadb_connection, silent_server_fails_within_the_connect_timeout) {
    const silent_listener listener;
    const auto account = make_account(g_database, "lomvera", listener.port());
    account->set_connect_option(MYSQL_OPT_CONNECT_TIMEOUT, 1);
    const auto connection = mariadb::connection::create(account);
    const auto started = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->connect(), mariadb::exception::connection);
    testing::internal::GetCapturedStderr();
    // Without the timeout the greeting would be awaited for ever.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(mariadb_connection, execute_sums_affected_rows_and_skips_result_sets) {
    const auto connection = mariadb::connection::create(make_account());
    EXPECT_EQ(connection->execute("INSERT INTO items (name) VALUES ('a'), ('b'), ('c'), ('d')"), 4u);
    EXPECT_EQ(connection->execute("DELETE FROM items WHERE id = 1; DELETE FROM items WHERE id > 2"), 3u);
    EXPECT_EQ(connection->execute("SELECT * FROM items; UPDATE items SET name = 'x'; SELECT 1"), 1u);
    EXPECT_EQ(connection->execute("UPDATE items SET name = 'x'"), 0u);
}

TEST_F(mariadb_connection, execute_failing_second_statement_throws_after_the_first_ran) {
    const auto connection = mariadb::connection::create(make_account());
    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->execute("INSERT INTO items (name) VALUES ('a'); SELEC nothing"),
                 mariadb::exception::connection);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(report.rfind("MariaDB Error(1064): ", 0), 0u) << report;
    EXPECT_NE(report.find("In function: execute"), std::string::npos);
    EXPECT_EQ(connection->error_no(), mariadb::u32{ER_PARSE_ERROR});
    // The connection stays usable.
    EXPECT_EQ(single(connection, "SELECT CONCAT(COUNT(*)) FROM items"), "1");
}

TEST_F(mariadb_connection, insert_returns_the_generated_id) {
    const auto connection = mariadb::connection::create(make_account());
    EXPECT_EQ(connection->insert("INSERT INTO items (name) VALUES ('a')"), 1u);
    EXPECT_EQ(connection->insert("INSERT INTO items (name) VALUES ('b')"), 2u);
    EXPECT_EQ(connection->insert("UPDATE items SET name = 'c'"), 0u);
    // Results the text leaves behind do not put the next command out of sync.
    EXPECT_EQ(connection->insert("INSERT INTO items (name) VALUES ('d'); SELECT 1; SELECT 2"), 3u);
    EXPECT_EQ(single(connection, "SELECT CONCAT(COUNT(*)) FROM items"), "3");
}

TEST_F(mariadb_connection, unchanged_auto_commit_needs_no_server) {
    const auto connection = mariadb::connection::create(make_account(g_database, "lomvera", free_tcp_port()));
    EXPECT_TRUE(connection->set_auto_commit(true));
    EXPECT_FALSE(connection->connected());
}

TEST_F(mariadb_connection, account_auto_commit_and_options_apply_on_connect) {
    const auto account = make_account();
    account->set_auto_commit(false);
    account->set_option("max_statement_time", "7");
    account->set_option("sql_mode", "'ANSI_QUOTES'");
    const auto connection = mariadb::connection::create(account);
    connection->connect();
    EXPECT_FALSE(connection->auto_commit());
    EXPECT_EQ(single(connection, "SELECT CONCAT(@@autocommit + 0)"), "0");
    EXPECT_EQ(single(connection, "SELECT CONCAT(@@max_statement_time)"), "7.000000");
    EXPECT_EQ(single(connection, "SELECT @@sql_mode"), "ANSI_QUOTES");
}

TEST_F(mariadb_connection, refused_option_closes_the_handle) {
    const auto account = make_account();
    account->set_option("no_such_variable", "1");
    const auto connection = mariadb::connection::create(account);
    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->connect(), mariadb::exception::connection);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("Unknown system variable"), std::string::npos) << report;
    EXPECT_NE(report.find("In function: connect"), std::string::npos);
    EXPECT_EQ(report.find("MariaDB Error", 1), std::string::npos) << "reported twice: " << report;
    EXPECT_FALSE(connection->connected());
    account->clear_options();
    EXPECT_TRUE(connection->connect());
}

TEST_F(mariadb_connection, tls_settings_never_fall_back_to_clear_text) {
    if (query_value(shared_mariadb(), "SELECT @@have_ssl").value_or("") == "YES")
        GTEST_SKIP() << "the test server offers TLS";
    const auto account = make_account();
    account->set_ssl("/nonexistent/client-key.pem", "/nonexistent/client-cert.pem", "", "", "");
    const auto connection = mariadb::connection::create(account);
    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->connect(), mariadb::exception::connection);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("TLS"), std::string::npos) << report;
    EXPECT_FALSE(connection->connected());
}

TEST_F(mariadb_connection, killed_session_reconnects_with_its_session_state) {
    const auto connection = mariadb::connection::create(make_account());
    connection->set_charset("latin1");
    connection->set_auto_commit(false);
    connection->set_schema("mysql");
    const std::string first_id = single(connection, "SELECT CONCAT(CONNECTION_ID())");
    run_sql(shared_mariadb(), "KILL " + first_id);

    // The account's schema is selected again; charset and auto-commit come back as the connection set them.
    EXPECT_EQ(connection->execute("INSERT INTO items (name) VALUES ('a')"), 1u);
    const auto rows = connection->query(
        "SELECT CONCAT(CONNECTION_ID()), @@character_set_client, CONCAT(@@autocommit + 0), DATABASE()");
    ASSERT_TRUE(rows->next());
    EXPECT_NE(rows->get_string(0), first_id);
    EXPECT_EQ(rows->get_string(1), "latin1");
    EXPECT_EQ(rows->get_string(2), "0");
    EXPECT_EQ(rows->get_string(3), g_database);
    EXPECT_EQ(connection->charset(), "latin1");
    EXPECT_FALSE(connection->auto_commit());
    EXPECT_EQ(connection->schema(), g_database);
}

TEST_F(mariadb_connection, failing_selection_throws_instead_of_reading_empty) {
    run_sql(shared_mariadb(), "INSERT INTO items (name) VALUES ('a'), ('b'), ('c'), ('d')", g_database);
    const std::string failing_late =
        "SELECT id, IF(id = 3, (SELECT name FROM items), name) AS v FROM items ORDER BY id";
    for (const bool store : {true, false}) {
        const auto account = make_account();
        account->set_store_result(store);
        const auto connection = mariadb::connection::create(account);
        testing::internal::CaptureStderr();
        EXPECT_THROW(
            {
                const auto rows = connection->query(failing_late);
                while (rows->next()) {
                }
            },
            mariadb::exception::connection)
            << "store " << store;
        const std::string report = testing::internal::GetCapturedStderr();
        EXPECT_NE(report.find("MariaDB Error(1242)"), std::string::npos) << report;
        EXPECT_EQ(single(connection, "SELECT CONCAT(COUNT(*)) FROM items"), "4");
    }
}

TEST_F(mariadb_connection, trailing_statement_of_a_query_is_checked_and_drained) {
    const auto connection = mariadb::connection::create(make_account());
    EXPECT_EQ(single(connection, "SELECT '1'; SELECT 2; SELECT 3"), "1");
    EXPECT_EQ(single(connection, "SELECT '4'"), "4");
    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->query("SELECT 1; SELECT * FROM no_such_table"), mariadb::exception::connection);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("In function: query"), std::string::npos);
    EXPECT_EQ(single(connection, "SELECT '5'"), "5");
}

TEST_F(mariadb_connection, abandoned_stream_does_not_break_the_connection) {
    const auto account = make_account();
    account->set_store_result(false);
    auto connection = mariadb::connection::create(account);
    const auto rows = connection->query("SELECT seq FROM seq_1_to_1000");
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->get_unsigned64(0), 1u);
    // The next command ends the stream rather than failing out of sync, and the cut stream
    // never reads as complete.
    EXPECT_EQ(connection->execute("INSERT INTO items (name) VALUES ('a')"), 1u);
    testing::internal::CaptureStderr();
    EXPECT_THROW(rows->next(), mariadb::exception::connection);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("In function: result_set"), std::string::npos);
    EXPECT_EQ(rows->error_no(), mariadb::u32{CR_COMMANDS_OUT_OF_SYNC});

    const auto left_open = connection->query("SELECT seq FROM seq_1_to_1000");
    ASSERT_TRUE(left_open->next());
    connection.reset();
    testing::internal::CaptureStderr();
    EXPECT_THROW(left_open->next(), mariadb::exception::connection);
    testing::internal::GetCapturedStderr();
}

// A connect to a server that accepts and never greets ends when the connection is cancelled,
// long before its connect timeout.
TEST_F(mariadb_connection, cancel_ends_a_connect_that_the_server_never_answers) {
    const silent_listener listener;
    const auto account = make_account(g_database, "lomvera", listener.port());
    account->set_connect_option(MYSQL_OPT_CONNECT_TIMEOUT, 120);
    const auto connection = mariadb::connection::create(account);
    const auto started = std::chrono::steady_clock::now();
    // Whenever the cancel comes (before the connect or during it), the connect fails.
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        connection->cancel();
    });
    testing::internal::CaptureStderr();
    EXPECT_THROW(connection->connect(), mariadb::exception::connection);
    testing::internal::GetCapturedStderr();
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

// A call that the server does not answer for long is ended from another thread; the connection
// then refuses every later operation instead of connecting again.
TEST_F(mariadb_connection, cancel_ends_a_waiting_call_and_every_later_one) {
    const auto connection = mariadb::connection::create(make_account());
    connection->connect();
    std::thread canceller;
    const auto started = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    {
        // Cancels once the sleep is under way, so that the call is the one that waits.
        canceller = std::thread([&] {
            for (int i = 0; i < 600; ++i) {
                const std::string running =
                    query_value(shared_mariadb(), "SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                                                  "WHERE INFO = 'SELECT SLEEP(60)' AND DB = '" +
                                                      g_database + "'")
                        .value_or("0");
                if (running != "0")
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            connection->cancel();
        });
        EXPECT_THROW(connection->query("SELECT SLEEP(60)"), mariadb::exception::connection);
    }
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(thrown_text<mariadb::exception::connection>([&] { connection->execute("DO 1"); }),
              "The connection was cancelled");
    EXPECT_THROW(connection->connect(), mariadb::exception::connection);
    testing::internal::GetCapturedStderr();
    // Cancelling again, or a connection never connected, is harmless.
    connection->cancel();
    const auto unused = mariadb::connection::create(make_account());
    unused->cancel();
    testing::internal::CaptureStderr();
    EXPECT_THROW(unused->connect(), mariadb::exception::connection);
    testing::internal::GetCapturedStderr();
}

// The cancel comes from another thread just as the call fails by itself (its read timeout), when
// the client library closes its socket: the cancel acts on the link alone, and never on a socket
// that the process opened meanwhile, which often gets the closed socket's number.
TEST_F(mariadb_connection, cancel_as_a_call_times_out_by_itself_touches_no_other_socket) {
    const auto account = make_account();
    account->set_connect_option(MYSQL_OPT_READ_TIMEOUT, 1);
    testing::internal::CaptureStderr();
    // How long the call takes to time out here, for cancels spread around that moment.
    std::chrono::steady_clock::duration timeout{};
    {
        const auto connection = mariadb::connection::create(account);
        connection->connect();
        const auto started = std::chrono::steady_clock::now();
        EXPECT_THROW(connection->execute("DO SLEEP(5)"), mariadb::exception::connection);
        timeout = std::chrono::steady_clock::now() - started;
    }
    constexpr int rounds = 24;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        const auto connection = mariadb::connection::create(account);
        connection->connect();
        const auto started = std::chrono::steady_clock::now();
        const auto cancel_at = started + timeout * (80 + 40 * round / rounds) / 100;
        std::thread canceller([&] {
            std::this_thread::sleep_until(cancel_at);
            connection->cancel();
        });
        EXPECT_THROW(connection->execute("DO SLEEP(5)"), mariadb::exception::connection);
        // Opened between the library's close and the cancel when the cancel comes late.
        int bystander[2] = {-1, -1};
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bystander), 0);
        canceller.join();
        const char sent = 'x';
        char received = 0;
        EXPECT_EQ(::send(bystander[0], &sent, 1, MSG_NOSIGNAL), 1) << "a socket of the process was shut down";
        EXPECT_EQ(::recv(bystander[1], &received, 1, MSG_DONTWAIT), 1) << "a socket of the process was shut down";
        ::close(bystander[0]);
        ::close(bystander[1]);
        EXPECT_EQ(thrown_text<mariadb::exception::connection>([&] { connection->execute("DO 1"); }),
                  "The connection was cancelled");
    }
    testing::internal::GetCapturedStderr();
}

} // namespace
