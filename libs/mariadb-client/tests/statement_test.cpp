#include "thrown_text.hpp"

#include <mariadb_client/mariadb.hpp>

#include "support/mariadb_server.hpp"

#include <gtest/gtest.h>

#include <errmsg.h>
#include <mysqld_error.h>

#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using namespace qvd::test_support;

// One database per test: CTest runs the tests of this file in parallel processes.
std::string g_database;

const std::string g_grinning_face = "\xF0\x9F\x98\x80";

class mariadb_statement : public ::testing::Test {
protected:
    void SetUp() override {
        LOMVERA_REQUIRE_MARIADB();
        g_database = fresh_database(test_database_name("mdbc_st_"));
        const auto& server = shared_mariadb();
        m_account = mariadb::account::create(server.host, server.user, server.password, g_database, server.port, "");
        m_connection = mariadb::connection::create(m_account);
        m_connection->set_charset("utf8mb4");
    }

    void TearDown() override {
        m_connection.reset();
        drop_database(g_database);
    }

    void sql(const std::string& _sql) { run_sql(shared_mariadb(), _sql, g_database); }

    std::string value(const std::string& _query) {
        return query_value(shared_mariadb(), _query, g_database).value_or("NULL");
    }

    // Ends the connection's session from another one, as a server restart or a network cut would.
    void kill_session() {
        const auto rows = m_connection->query("SELECT CONCAT(CONNECTION_ID())");
        EXPECT_TRUE(rows->next());
        run_sql(shared_mariadb(), "KILL " + rows->get_string(0));
    }

    mariadb::account_ref m_account;
    mariadb::connection_ref m_connection;
};

// A getter gives the same value, or fails the same way, whether the row came from a text query
// or from a prepared statement.
TEST_F(mariadb_statement, prepared_reads_match_text_reads) {
    sql("SET SESSION sql_mode = '';"
        "CREATE TABLE numbers (id INT PRIMARY KEY, c_tiny TINYINT, c_utiny TINYINT UNSIGNED, c_small SMALLINT,"
        " c_usmall SMALLINT UNSIGNED, c_medium MEDIUMINT, c_int INT, c_uint INT UNSIGNED, c_big BIGINT,"
        " c_ubig BIGINT UNSIGNED, c_float FLOAT, c_double DOUBLE, c_decimal DECIMAL(10,3), c_bit BIT(1),"
        " c_year YEAR, c_date DATE, c_datetime DATETIME(3), c_time TIME, c_text VARCHAR(10));"
        "INSERT INTO numbers VALUES"
        " (1, -5, 250, -300, 60000, -70000, -2000000000, 4000000000, -9000000000000, 18446744073709551615,"
        "  1.5, 2.25, 12.345, b'1', 2024, '2024-02-29', '2024-01-15 10:20:30.045', '23:59:58', 'text'),"
        " (2, 2, 0, 32767, 0, 8388607, 2147483647, 0, 9223372036854775807, 9223372036854775808,"
        "  -0.5, -1e300, -0.001, b'0', 1901, '2023-12-31', '0000-00-00 00:00:00', '-01:00:00', ''),"
        " (3, 1, 127, -1, 255, -1, -1, 2147483648, -1, 0, 0, 0, 0, NULL, NULL, NULL, NULL, '100:00:00', NULL),"
        " (4, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
        "  NULL, NULL)");
    using getter = std::function<std::string(const mariadb::result_set&, const std::string&)>;
    const std::vector<std::pair<const char*, getter>> getters = {
        {"get_is_null", [](const auto& r, const auto& c) { return std::to_string(r.get_is_null(c)); }},
        {"get_boolean", [](const auto& r, const auto& c) { return std::to_string(r.get_boolean(c)); }},
        {"get_unsigned8", [](const auto& r, const auto& c) { return std::to_string(r.get_unsigned8(c)); }},
        {"get_signed8", [](const auto& r, const auto& c) { return std::to_string(r.get_signed8(c)); }},
        {"get_unsigned16", [](const auto& r, const auto& c) { return std::to_string(r.get_unsigned16(c)); }},
        {"get_signed16", [](const auto& r, const auto& c) { return std::to_string(r.get_signed16(c)); }},
        {"get_unsigned32", [](const auto& r, const auto& c) { return std::to_string(r.get_unsigned32(c)); }},
        {"get_signed32", [](const auto& r, const auto& c) { return std::to_string(r.get_signed32(c)); }},
        {"get_unsigned64", [](const auto& r, const auto& c) { return std::to_string(r.get_unsigned64(c)); }},
        {"get_signed64", [](const auto& r, const auto& c) { return std::to_string(r.get_signed64(c)); }},
        {"get_float", [](const auto& r, const auto& c) { return std::to_string(r.get_float(c)); }},
        {"get_double", [](const auto& r, const auto& c) { return std::to_string(r.get_double(c)); }},
        {"get_decimal", [](const auto& r, const auto& c) { return r.get_decimal(c).str(); }},
        {"get_string", [](const auto& r, const auto& c) { return r.get_string(c); }},
        {"get_date", [](const auto& r, const auto& c) { return r.get_date(c).str(true); }},
        {"get_date_time", [](const auto& r, const auto& c) { return r.get_date_time(c).str(true); }},
        {"get_time", [](const auto& r, const auto& c) { return r.get_time(c).str_time(true); }},
    };
    const auto outcome = [](const getter& _get, const mariadb::result_set& _rows, const std::string& _column) {
        try {
            return _get(_rows, _column);
        } catch (const mariadb::exception::base& failure) {
            return std::string(typeid(failure).name()) + " " + std::to_string(failure.error_id()) + ": " +
                   failure.what();
        } catch (const std::exception& failure) {
            return std::string(typeid(failure).name()) + ": " + failure.what();
        }
    };

    const std::string select = "SELECT * FROM numbers ORDER BY id";
    const auto text_rows = m_connection->query(select);
    const auto statement = m_connection->create_statement(select);
    const auto bound_rows = statement->query();
    // Type errors print to standard output; gtest's own failures are kept until it is released.
    testing::internal::CaptureStdout();
    int compared = 0;
    std::string mismatches;
    while (text_rows->next() && bound_rows->next()) {
        for (mariadb::u32 index = 1; index < text_rows->column_count(); ++index) {
            const std::string column = text_rows->column_name(index);
            for (const auto& [name, get] : getters) {
                const std::string bound = outcome(get, *bound_rows, column);
                const std::string text = outcome(get, *text_rows, column);
                if (bound != text)
                    mismatches += std::string(name) + " on " + column + " of row " +
                                  std::to_string(text_rows->get_signed32("id")) + ": prepared '" + bound + "', text '" +
                                  text + "'\n";
                ++compared;
            }
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(mismatches, "");
    EXPECT_FALSE(bound_rows->next());
    EXPECT_EQ(compared, 4 * 18 * 17);
}

TEST_F(mariadb_statement, every_setter_sends_its_value) {
    sql("CREATE TABLE params (id INT AUTO_INCREMENT PRIMARY KEY, c_tiny TINYINT, c_utiny TINYINT UNSIGNED,"
        " c_small SMALLINT, c_usmall SMALLINT UNSIGNED, c_int INT, c_uint INT UNSIGNED, c_big BIGINT,"
        " c_ubig BIGINT UNSIGNED, c_float FLOAT, c_double DOUBLE, c_decimal DECIMAL(10,3), c_date DATE,"
        " c_datetime DATETIME(6), c_midnight DATETIME(6), c_time TIME(3), c_bool BOOLEAN,"
        " c_text VARCHAR(40) CHARACTER SET utf8mb4, c_blob BLOB, c_data BLOB, c_null INT, c_unset INT)");
    const auto insert = m_connection->create_statement(
        "INSERT INTO params (c_tiny, c_utiny, c_small, c_usmall, c_int, c_uint, c_big, c_ubig, c_float, c_double,"
        " c_decimal, c_date, c_datetime, c_midnight, c_time, c_bool, c_text, c_blob, c_data, c_null, c_unset)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    ASSERT_EQ(insert->bind_count(), 21u);
    insert->set_signed8(0, -128);
    insert->set_unsigned8(1, 255);
    insert->set_signed16(2, -32768);
    insert->set_unsigned16(3, 65535);
    insert->set_signed32(4, std::numeric_limits<mariadb::s32>::min());
    insert->set_unsigned32(5, std::numeric_limits<mariadb::u32>::max());
    insert->set_signed64(6, std::numeric_limits<mariadb::s64>::min());
    insert->set_unsigned64(7, std::numeric_limits<mariadb::u64>::max());
    insert->set_float(8, 0.25f);
    insert->set_double(9, -1.0e300);
    insert->set_decimal(10, mariadb::decimal("-12.345"));
    insert->set_date(11, mariadb::date_time(2024, 2, 29, 13, 14, 15, 16));
    insert->set_date_time(12, mariadb::date_time(2024, 1, 15, 10, 20, 30, 123));
    insert->set_date_time(13, mariadb::date_time(2024, 1, 2));
    insert->set_time(14, mariadb::time(23, 59, 58, 999));
    insert->set_boolean(15, true);
    std::string text = "caf\xC3\xA9 " + g_grinning_face;
    insert->set_string(16, text);
    text = "changed";
    insert->set_blob(17, std::make_shared<std::istringstream>(std::string("\x00\x01\x02", 3)));
    insert->set_data(18, std::make_shared<mariadb::data<char>>("\xFF\xFE", 2));
    insert->set_null(19);
    EXPECT_EQ(insert->insert(), 1u);
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { insert->set_signed32(21, 1); }), "Field index out of range");

    const auto rows = m_connection->query(
        "SELECT c_tiny, c_utiny, c_small, c_usmall, c_int, c_uint, c_big, c_ubig, c_float, c_double, c_decimal,"
        " c_date, c_datetime, c_midnight, c_time, c_bool, c_text, HEX(c_blob), HEX(c_data),"
        " c_null IS NULL, c_unset IS NULL FROM params");
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->get_signed8(0), -128);
    EXPECT_EQ(rows->get_unsigned8(1), 255);
    EXPECT_EQ(rows->get_signed16(2), -32768);
    EXPECT_EQ(rows->get_unsigned16(3), 65535);
    EXPECT_EQ(rows->get_signed32(4), std::numeric_limits<mariadb::s32>::min());
    EXPECT_EQ(rows->get_unsigned32(5), std::numeric_limits<mariadb::u32>::max());
    EXPECT_EQ(rows->get_signed64(6), std::numeric_limits<mariadb::s64>::min());
    EXPECT_EQ(rows->get_unsigned64(7), std::numeric_limits<mariadb::u64>::max());
    EXPECT_FLOAT_EQ(rows->get_float(8), 0.25f);
    EXPECT_DOUBLE_EQ(rows->get_double(9), -1.0e300);
    EXPECT_EQ(rows->get_decimal(10).str(), "-12.345");
    EXPECT_EQ(rows->get_date(11).str(true), "2024-02-29 00:00:00.000");
    EXPECT_EQ(value("SELECT CAST(c_datetime AS CHAR) FROM params"), "2024-01-15 10:20:30.123000");
    EXPECT_EQ(value("SELECT CAST(c_midnight AS CHAR) FROM params"), "2024-01-02 00:00:00.000000");
    EXPECT_EQ(value("SELECT CAST(c_time AS CHAR) FROM params"), "23:59:58.999");
    EXPECT_EQ(rows->get_signed8(15), 1);
    EXPECT_EQ(rows->get_string(16), "caf\xC3\xA9 " + g_grinning_face);
    EXPECT_EQ(rows->get_string(17), "000102");
    EXPECT_EQ(rows->get_string(18), "FFFE");
    EXPECT_EQ(rows->get_signed32(19), 1);
    EXPECT_EQ(rows->get_signed32(20), 1);
}

TEST_F(mariadb_statement, runs_again_with_new_values_of_any_type) {
    sql("CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20), b BLOB)");
    const auto insert = m_connection->create_statement("INSERT INTO t (id, v, b) VALUES (?, ?, ?)");
    struct step {
        std::function<void(mariadb::statement&)> set;
        const char* v;
        const char* b;
    };
    const step steps[] = {
        {[](auto& s) {
             s.set_string(1, "a text");
             s.set_data(2, std::make_shared<mariadb::data<char>>("x", 1));
         },
         "a text", "x"},
        // A number after a text, and a text after a number, each send the new value.
        {[](auto& s) {
             s.set_signed64(1, 42);
             s.set_blob(2, std::make_shared<std::istringstream>("from a stream"));
         },
         "42", "from a stream"},
        {[](auto& s) {
             s.set_string(1, "again");
             s.set_double(2, 0.5);
         },
         "again", "0.5"},
        {[](auto& s) {
             s.set_date(1, mariadb::date_time(2024, 5, 6));
             s.set_string(2, "text again");
         },
         "2024-05-06", "text again"},
        // A null buffer or stream sends NULL, never the value of the previous run.
        {[](auto& s) {
             s.set_null(1);
             s.set_data(2, nullptr);
         },
         "NULL", "NULL"},
        {[](auto& s) {
             s.set_unsigned8(1, 7);
             s.set_blob(2, nullptr);
         },
         "7", "NULL"},
    };
    mariadb::s32 id = 0;
    for (const auto& each : steps) {
        insert->set_signed32(0, ++id);
        each.set(*insert);
        EXPECT_EQ(insert->execute(), 1u) << id;
    }

    const auto select = m_connection->create_statement("SELECT v, b FROM t WHERE id = ?");
    id = 0;
    for (const auto& each : steps) {
        select->set_signed32(0, ++id);
        const auto rows = select->query();
        ASSERT_TRUE(rows->next()) << id;
        EXPECT_EQ(rows->get_is_null(0) ? "NULL" : rows->get_string(0), each.v) << id;
        EXPECT_EQ(rows->get_is_null(1) ? "NULL" : rows->get_string(1), each.b) << id;
        EXPECT_FALSE(rows->next());
    }
}

// Values longer than their bind's storage are fetched in full; the rows never end early.
TEST_F(mariadb_statement, long_values_never_end_the_rows) {
    sql("CREATE TABLE texts (id INT PRIMARY KEY, v MEDIUMTEXT, d DECIMAL(30,10));"
        "INSERT INTO texts VALUES (1, 'a', 1), (2, REPEAT('x', 5000), 12345678901234567890.0123456789),"
        " (3, NULL, NULL), (4, '', 0), (5, 'bb', 2), (6, REPEAT('y', 70000), -3)");
    const std::vector<std::string> expected = {"a", std::string(5000, 'x'), "NULL", "", "bb", std::string(70000, 'y')};
    struct mode {
        bool store;
        bool report_truncation;
    };
    for (const mode each : {mode{true, true}, mode{false, true}, mode{false, false}}) {
        m_account->set_store_result(each.store);
        m_account->set_connect_option(MYSQL_REPORT_DATA_TRUNCATION, each.report_truncation);
        const auto connection = mariadb::connection::create(m_account);
        const auto select = connection->create_statement("SELECT v, d FROM texts ORDER BY id");
        const auto rows = select->query();
        std::vector<std::string> read;
        while (rows->next()) {
            read.push_back(rows->get_is_null("v") ? "NULL" : rows->get_string("v"));
            if (read.size() == 2) {
                EXPECT_EQ(rows->get_decimal("d").str(), "12345678901234567890.0123456789");
            }
        }
        EXPECT_TRUE(read == expected) << "store " << each.store << ", report " << each.report_truncation << ": "
                                      << read.size() << " rows";
    }
}

TEST_F(mariadb_statement, failing_fetch_throws_instead_of_ending_the_rows) {
    sql("CREATE TABLE items (id INT PRIMARY KEY, name VARCHAR(20));"
        "INSERT INTO items VALUES (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd')");
    for (const bool store : {true, false}) {
        m_account->set_store_result(store);
        const auto connection = mariadb::connection::create(m_account);
        const auto select = connection->create_statement(
            "SELECT id, IF(id = ?, (SELECT name FROM items), name) FROM items ORDER BY id");
        select->set_signed32(0, 3);
        testing::internal::CaptureStderr();
        int read = 0;
        EXPECT_THROW(
            {
                const auto rows = select->query();
                while (rows->next())
                    ++read;
            },
            mariadb::exception::connection)
            << "store " << store;
        const std::string report = testing::internal::GetCapturedStderr();
        EXPECT_NE(report.find("MariaDB Error(1242)"), std::string::npos) << report;
        EXPECT_LT(read, 3);
        const auto count = connection->query("SELECT COUNT(*) FROM items");
        ASSERT_TRUE(count->next());
        EXPECT_EQ(count->get_signed64(0), 4);
    }
}

TEST_F(mariadb_statement, failures_are_reported_and_thrown) {
    sql("CREATE TABLE items (id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(20) UNIQUE)");

    testing::internal::CaptureStderr();
    try {
        m_connection->create_statement("SELEC name FROM items");
        ADD_FAILURE() << "a syntax error was prepared";
    } catch (const mariadb::exception::connection& failure) {
        EXPECT_EQ(failure.error_id(), mariadb::u32{ER_PARSE_ERROR});
    }
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(report.rfind("MariaDB Error(1064): ", 0), 0u) << report;
    EXPECT_NE(report.find("\nIn function: statement\nIn file "), std::string::npos) << report;
    EXPECT_NE(report.find("statement.cpp\nOn line "), std::string::npos) << report;

    const auto insert = m_connection->create_statement("INSERT INTO items (name) VALUES (?)");
    insert->set_string(0, "a");
    EXPECT_EQ(insert->insert(), 1u);
    insert->set_string(0, "b");
    EXPECT_EQ(insert->insert(), 2u);
    for (const char* function : {"execute", "insert"}) {
        testing::internal::CaptureStderr();
        try {
            if (std::string(function) == "execute")
                insert->execute();
            else
                insert->insert();
            ADD_FAILURE() << "a duplicate was inserted";
        } catch (const mariadb::exception::connection& failure) {
            EXPECT_EQ(failure.error_id(), mariadb::u32{ER_DUP_ENTRY});
        }
        report = testing::internal::GetCapturedStderr();
        EXPECT_NE(report.find(std::string("\nIn function: ") + function + "\n"), std::string::npos) << report;
        EXPECT_EQ(insert->error_no(), mariadb::u32{ER_DUP_ENTRY});
    }
    insert->set_string(0, "c");
    const mariadb::u64 id = insert->insert();
    EXPECT_EQ(std::to_string(id), value("SELECT id FROM items WHERE name = 'c'"));

    // A stream that cannot be measured or read is refused, not sent as garbage.
    const auto failed = std::make_shared<std::istringstream>("bytes");
    failed->setstate(std::ios::failbit);
    EXPECT_THROW(insert->set_blob(0, failed), std::runtime_error);
    struct unseekable : std::streambuf {};
    unseekable buffer;
    EXPECT_THROW(insert->set_blob(0, std::make_shared<std::istream>(&buffer)), std::runtime_error);
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { insert->set_blob(1, nullptr); }), "Field index out of range");
}

TEST_F(mariadb_statement, statement_of_a_closed_or_replaced_link_throws) {
    sql("CREATE TABLE t (id INT)");
    const auto insert = m_connection->create_statement("INSERT INTO t VALUES (?)");
    insert->set_signed32(0, 1);
    EXPECT_EQ(insert->execute(), 1u);

    kill_session();
    testing::internal::CaptureStderr();
    // The dead link fails the run.
    EXPECT_THROW(insert->execute(), mariadb::exception::connection);
    // The connection reconnects on its own; the statement does not come along.
    EXPECT_EQ(m_connection->execute("INSERT INTO t VALUES (2)"), 1u);
    try {
        insert->execute();
        ADD_FAILURE() << "a statement of the old link ran";
    } catch (const mariadb::exception::connection& failure) {
        EXPECT_EQ(failure.error_id(), mariadb::u32{CR_STMT_CLOSED});
        EXPECT_NE(std::string(failure.what()).find("Prepared statement lost"), std::string::npos) << failure.what();
    }
    const std::string reports = testing::internal::GetCapturedStderr();
    EXPECT_NE(reports.find("MariaDB Error(2056): Prepared statement lost"), std::string::npos) << reports;
    EXPECT_EQ(value("SELECT COUNT(*) FROM t"), "2");

    const auto again = m_connection->create_statement("INSERT INTO t VALUES (?)");
    again->set_signed32(0, 3);
    EXPECT_EQ(again->execute(), 1u);
    m_connection->disconnect();
    testing::internal::CaptureStderr();
    EXPECT_THROW(again->query(), mariadb::exception::connection);

    // A statement that outlives its connection fails the same way; one that holds it keeps it.
    auto connection = mariadb::connection::create(m_account);
    const auto orphan = connection->create_statement("SELECT 1");
    connection = mariadb::connection::create(m_account);
    EXPECT_THROW(orphan->execute(), mariadb::exception::connection);
    testing::internal::GetCapturedStderr();
    const auto holder = connection->create_statement("SELECT 2");
    holder->set_connection(connection);
    connection.reset();
    const auto rows = holder->query();
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->get_signed32(0), 2);
}

TEST_F(mariadb_statement, a_new_run_or_command_ends_earlier_rows_cleanly) {
    sql("CREATE TABLE t (id INT PRIMARY KEY);"
        "INSERT INTO t SELECT seq FROM seq_1_to_100");
    const auto select = m_connection->create_statement("SELECT id FROM t WHERE id <= ? ORDER BY id");
    select->set_signed32(0, 3);
    auto first = select->query();
    ASSERT_TRUE(first->next());
    select->set_signed32(0, 2);
    const auto second = select->query();
    testing::internal::CaptureStderr();
    EXPECT_THROW(first->next(), mariadb::exception::connection);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("In function: result_set"), std::string::npos);
    ASSERT_TRUE(second->next());
    first.reset();
    EXPECT_EQ(second->get_signed32(0), 1);
    ASSERT_TRUE(second->next());
    EXPECT_EQ(second->get_signed32(0), 2);
    EXPECT_FALSE(second->next());

    // A SELECT run through execute, and a statement without rows run through query.
    EXPECT_EQ(select->execute(), 0u);
    const auto none = m_connection->create_statement("DO ?");
    none->set_signed32(0, 1);
    const auto empty = none->query();
    EXPECT_EQ(empty->column_count(), 0u);
    EXPECT_FALSE(empty->next());
    EXPECT_EQ(m_connection->execute("DO 1"), 0u);

    // Streamed rows, of a statement or of a text query, never put the next command out of sync.
    m_account->set_store_result(false);
    select->set_signed32(0, 100);
    const auto streamed = select->query();
    ASSERT_TRUE(streamed->next());
    EXPECT_EQ(m_connection->execute("UPDATE t SET id = id + 1000 WHERE id = 100"), 1u);
    testing::internal::CaptureStderr();
    EXPECT_THROW(streamed->next(), mariadb::exception::connection);
    testing::internal::GetCapturedStderr();
    const auto text = m_connection->query("SELECT id FROM t");
    ASSERT_TRUE(text->next());
    EXPECT_EQ(none->execute(), 0u);
    const auto again = select->query();
    mariadb::u32 count = 0;
    while (again->next())
        ++count;
    EXPECT_EQ(count, 99u);
}

} // namespace
