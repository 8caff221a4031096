#include "thrown_text.hpp"

#include <mariadb_client/mariadb.hpp>

#include "support/mariadb_server.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <functional>
#include <string>

namespace {

using namespace qvd::test_support;

// One database per test: CTest runs the tests of this file in parallel processes.
std::string g_database;


class mariadb_result_set : public ::testing::Test {
protected:
    void SetUp() override {
        LOMVERA_REQUIRE_MARIADB();
        g_database = fresh_database(test_database_name("mdbc_rs_"));
        run_sql(shared_mariadb(),
                "SET SESSION sql_mode = '';"
                "CREATE TABLE all_types ("
                " c_tiny TINYINT, c_utiny TINYINT UNSIGNED, c_small SMALLINT, c_usmall SMALLINT UNSIGNED,"
                " c_medium MEDIUMINT, c_int INT, c_uint INT UNSIGNED, c_big BIGINT, c_ubig BIGINT UNSIGNED,"
                " c_float FLOAT, c_double DOUBLE, c_decimal DECIMAL(10,3), c_date DATE, c_datetime DATETIME(3),"
                " c_timestamp TIMESTAMP NULL, c_time TIME, c_year YEAR, c_bit BIT(1), c_enum ENUM('red','blue'),"
                " c_varchar VARCHAR(20), c_char CHAR(4), c_text TEXT, c_blob BLOB, c_null INT NULL);"
                "INSERT INTO all_types VALUES (-5, 250, -300, 60000, -70000, -2000000000, 4000000000,"
                " -9000000000000, 18446744073709551615, 1.5, 2.25, 12.345, '2024-02-29',"
                " '2024-01-15 10:20:30.045', '2024-03-01 00:00:01', '23:59:58', 2024, b'1', 'blue',"
                " 'hello', 'ab', 'long text', x'00FF10', NULL);"
                "INSERT INTO all_types (c_tiny, c_uint, c_bit, c_blob, c_varchar) VALUES (1, 7, b'0', '', NULL);"
                "INSERT INTO all_types (c_tiny) VALUES (2);"
                "CREATE TABLE dates (id INT PRIMARY KEY, at DATETIME(6), tenth DATETIME(1), day DATE);"
                "INSERT INTO dates VALUES (1, '2024-01-15 10:20:30.123456', '2024-01-15 10:20:30.5', '2024-01-15'),"
                " (2, '2023-12-31 23:59:59.999999', '2023-12-31 23:59:59.0', '2023-12-31'),"
                " (3, '0000-00-00 00:00:00', NULL, NULL)",
                g_database);
        const auto& server = shared_mariadb();
        m_account = mariadb::account::create(server.host, server.user, server.password, g_database, server.port, "");
        m_connection = mariadb::connection::create(m_account);
    }

    void TearDown() override {
        m_connection.reset();
        drop_database(g_database);
    }

    mariadb::result_set_ref first_row() {
        auto rows = m_connection->query("SELECT * FROM all_types ORDER BY c_tiny");
        EXPECT_TRUE(rows->next());
        return rows;
    }

    mariadb::account_ref m_account;
    mariadb::connection_ref m_connection;
};

TEST_F(mariadb_result_set, typed_getters_read_every_column_type) {
    const auto rows = first_row();
    EXPECT_EQ(rows->row_count(), 3u);
    EXPECT_EQ(rows->column_count(), 24u);
    EXPECT_EQ(rows->get_signed8("c_tiny"), -5);
    EXPECT_EQ(rows->get_unsigned8("c_utiny"), 250);
    EXPECT_EQ(rows->get_signed16("c_small"), -300);
    EXPECT_EQ(rows->get_unsigned16("c_usmall"), 60000);
    EXPECT_EQ(rows->get_signed32("c_medium"), -70000);
    EXPECT_EQ(rows->get_signed32("c_int"), -2000000000);
    EXPECT_EQ(rows->get_unsigned32("c_uint"), 4000000000u);
    EXPECT_EQ(rows->get_signed64("c_big"), -9000000000000LL);
    EXPECT_EQ(rows->get_unsigned64("c_ubig"), 18446744073709551615ULL);
    EXPECT_FLOAT_EQ(rows->get_float("c_float"), 1.5f);
    EXPECT_DOUBLE_EQ(rows->get_double("c_double"), 2.25);
    EXPECT_EQ(rows->get_decimal("c_decimal").str(), "12.345");
    EXPECT_DOUBLE_EQ(rows->get_decimal("c_decimal").double64(), 12.345);
    EXPECT_EQ(rows->get_date("c_date").str(true), "2024-02-29 00:00:00.000");
    EXPECT_EQ(rows->get_date_time("c_datetime").str(true), "2024-01-15 10:20:30.045");
    EXPECT_EQ(rows->get_date_time("c_timestamp").str(true), "2024-03-01 00:00:01.000");
    EXPECT_EQ(rows->get_time("c_time").str_time(true), "23:59:58.000");
    EXPECT_EQ(rows->get_unsigned16("c_year"), 2024);
    EXPECT_TRUE(rows->get_boolean("c_bit"));
    EXPECT_EQ(rows->get_string("c_enum"), "blue");
    EXPECT_EQ(rows->get_string("c_varchar"), "hello");
    EXPECT_EQ(rows->get_string("c_char"), "ab");
    EXPECT_EQ(rows->get_string("c_text"), "long text");
    EXPECT_EQ(rows->get_string("c_blob"), std::string("\x00\xff\x10", 3));

    const auto blob = rows->get_blob("c_blob");
    ASSERT_TRUE(blob);
    std::string streamed((std::istreambuf_iterator<char>(*blob)), std::istreambuf_iterator<char>());
    EXPECT_EQ(streamed, std::string("\x00\xff\x10", 3));
    const auto copy = rows->get_data("c_blob");
    ASSERT_TRUE(copy);
    EXPECT_EQ(std::string(copy->get(), copy->count()), std::string("\x00\xff\x10", 3));
    EXPECT_EQ(copy->position(), 0u);
    EXPECT_EQ(rows->column_size(rows->column_index("c_blob")), 3u);

    // Mixed signedness of the same width is accepted.
    EXPECT_EQ(rows->get_unsigned32("c_int"), 0u);
    EXPECT_EQ(rows->get_signed8("c_utiny"), 0);
    EXPECT_EQ(rows->get_unsigned8("c_tiny"), 0);
    EXPECT_EQ(rows->get_unsigned64("c_big"), 0u);
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { rows->get_signed32("c_uint"); }), "stoi");

    ASSERT_TRUE(rows->next());
    EXPECT_TRUE(rows->get_boolean("c_tiny"));
    EXPECT_FALSE(rows->get_boolean("c_bit"));
    EXPECT_EQ(rows->get_signed32("c_uint"), 7);
    EXPECT_FALSE(rows->get_blob("c_blob"));
    EXPECT_FALSE(rows->get_data("c_blob"));
    ASSERT_TRUE(rows->next());
    EXPECT_FALSE(rows->get_boolean("c_tiny"));
    EXPECT_FALSE(rows->next());
    EXPECT_FALSE(rows->next());
}

TEST_F(mariadb_result_set, column_types_and_type_errors) {
    const auto rows = first_row();
    struct type_case {
        const char* column;
        mariadb::value::type type;
    };
    const type_case cases[] = {
        {"c_tiny", mariadb::value::signed8},       {"c_utiny", mariadb::value::unsigned8},
        {"c_small", mariadb::value::signed16},     {"c_year", mariadb::value::unsigned16},
        {"c_medium", mariadb::value::signed32},    {"c_uint", mariadb::value::unsigned32},
        {"c_big", mariadb::value::signed64},       {"c_float", mariadb::value::float32},
        {"c_double", mariadb::value::double64},    {"c_decimal", mariadb::value::decimal},
        {"c_date", mariadb::value::date},          {"c_datetime", mariadb::value::date_time},
        {"c_timestamp", mariadb::value::date_time}, {"c_time", mariadb::value::time},
        {"c_bit", mariadb::value::boolean},        {"c_varchar", mariadb::value::string},
        {"c_blob", mariadb::value::blob},          {"c_text", mariadb::value::blob},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rows->column_type(rows->column_index(c.column)), c.type) << c.column;

    testing::internal::CaptureStdout();
    try {
        rows->get_signed32("c_big");
        ADD_FAILURE() << "BIGINT read as INT";
    } catch (const mariadb::exception::connection& failure) {
        EXPECT_EQ(failure.error_id(), 12u);
        EXPECT_STREQ(failure.what(), "type error");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "requested type 14 does not match actual type 16");

    testing::internal::CaptureStdout();
    EXPECT_THROW(rows->get_string("c_datetime"), mariadb::exception::connection);
    EXPECT_THROW(rows->get_date_time("c_date"), mariadb::exception::connection);
    EXPECT_THROW(rows->get_double("c_float"), mariadb::exception::connection);
    EXPECT_THROW(rows->get_boolean("c_utiny"), mariadb::exception::connection);
    EXPECT_THROW(rows->get_signed16("c_tiny"), mariadb::exception::connection);
    testing::internal::GetCapturedStdout();
    // A type error leaves the result set usable.
    EXPECT_EQ(rows->get_signed64("c_big"), -9000000000000LL);
    EXPECT_EQ(rows->error_no(), 0u);
}

TEST_F(mariadb_result_set, names_indexes_and_missing_rows) {
    const auto empty = m_connection->query("SELECT * FROM all_types WHERE c_tiny > 100");
    EXPECT_EQ(empty->row_count(), 0u);
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { empty->get_string("no_such_column"); }), "No row was fetched");
    EXPECT_FALSE(empty->next());
    EXPECT_THROW(empty->get_is_null(0), std::out_of_range);

    const auto rows = first_row();
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { rows->get_string("no_such_column"); }),
              "Column index out of range");
    EXPECT_THROW(rows->get_string("C_VARCHAR"), std::out_of_range);
    EXPECT_THROW(rows->column_name(24), std::out_of_range);
    EXPECT_EQ(rows->column_index("nothing"), std::numeric_limits<mariadb::u32>::max());
    EXPECT_EQ(rows->column_name(0), "c_tiny");

    const auto duplicate = m_connection->query("SELECT 1 AS id, 2 AS id");
    ASSERT_TRUE(duplicate->next());
    EXPECT_EQ(duplicate->get_signed32("id"), 2);

    const auto none = m_connection->query("DO 1");
    EXPECT_EQ(none->column_count(), 0u);
    EXPECT_EQ(none->row_count(), 0u);
    EXPECT_FALSE(none->next());
}

TEST_F(mariadb_result_set, null_values) {
    const auto rows = first_row();
    EXPECT_TRUE(rows->get_is_null("c_null"));
    EXPECT_FALSE(rows->get_is_null("c_int"));
    ASSERT_TRUE(rows->next());
    EXPECT_TRUE(rows->get_is_null("c_varchar"));
    EXPECT_EQ(rows->get_string("c_varchar"), "");
    EXPECT_TRUE(rows->get_is_null("c_datetime"));
    EXPECT_EQ(thrown_text<std::invalid_argument>([&] { rows->get_date_time("c_datetime"); }), "invalid date format");
    EXPECT_EQ(thrown_text<std::invalid_argument>([&] { rows->get_signed32("c_int"); }), "stoi");
    ASSERT_TRUE(rows->next());
    EXPECT_TRUE(rows->get_is_null("c_bit"));
    EXPECT_EQ(thrown_text<std::invalid_argument>([&] { rows->get_boolean("c_bit"); }), "stoi");
}

TEST_F(mariadb_result_set, date_table) {
    const auto rows = m_connection->query("SELECT * FROM dates ORDER BY id");
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->get_date_time("at").str(true), "2024-01-15 10:20:30.123");
    EXPECT_EQ(rows->get_date_time("tenth").str(true), "2024-01-15 10:20:30.500");
    EXPECT_EQ(rows->get_date("day").str(true), "2024-01-15 00:00:00.000");
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->get_date_time("at").str(true), "2023-12-31 23:59:59.999");
    EXPECT_EQ(rows->get_date_time("tenth").millisecond(), 0);
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(thrown_text<mariadb::exception::date_time>([&] { rows->get_date_time("at"); }),
              "Invalid date time: 0000-00-00T00:00:00.000");

    EXPECT_TRUE(rows->set_row_index(0));
    EXPECT_EQ(rows->get_signed32("id"), 1);
    EXPECT_EQ(rows->row_index(), 1u);
    EXPECT_FALSE(rows->set_row_index(3));
}

TEST_F(mariadb_result_set, streamed_rows) {
    m_account->set_store_result(false);
    const auto rows = m_connection->query("SELECT seq FROM seq_1_to_5");
    mariadb::u64 sum = 0;
    while (rows->next())
        sum += rows->get_unsigned64("seq");
    EXPECT_EQ(sum, 15u);
    EXPECT_EQ(rows->row_count(), 5u);
    EXPECT_EQ(m_connection->execute("DO 1"), 0u);
}

} // namespace
