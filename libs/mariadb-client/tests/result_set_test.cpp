#include "thrown_text.hpp"

#include <mariadb_client/mariadb.hpp>

#include "support/mariadb_server.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

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

// 1 MiB of bytes that are not text.
std::string mebibyte_blob() {
    std::string bytes;
    for (int i = 0; i < 262144; ++i)
        bytes += std::string("\x00\xFF\x10\x7F", 4);
    return bytes;
}

// The shortest text that reads back as the same number.
template <typename Number>
std::string exact(Number _number) {
    char text[64];
    return std::string(text, std::to_chars(text, text + sizeof text, _number).ptr);
}

// What a getter gives for a column of the current row, or how it fails.
std::string outcome(const std::function<std::string()>& _get) {
    try {
        return _get();
    } catch (const mariadb::exception::base& failure) {
        return "error " + std::to_string(failure.error_id()) + ": " + failure.what();
    } catch (const std::invalid_argument& failure) {
        return std::string("invalid_argument: ") + failure.what();
    } catch (const std::out_of_range& failure) {
        return std::string("out_of_range: ") + failure.what();
    }
}

using getter = std::function<std::string(const mariadb::result_set&, const std::string&)>;

const std::map<std::string, getter>& getters() {
    static const std::map<std::string, getter> all = {
        {"is_null", [](const auto& r, const auto& c) { return std::to_string(r.get_is_null(c)); }},
        {"boolean", [](const auto& r, const auto& c) { return std::to_string(r.get_boolean(c)); }},
        {"unsigned8", [](const auto& r, const auto& c) { return std::to_string(r.get_unsigned8(c)); }},
        {"signed8", [](const auto& r, const auto& c) { return std::to_string(r.get_signed8(c)); }},
        {"unsigned16", [](const auto& r, const auto& c) { return std::to_string(r.get_unsigned16(c)); }},
        {"signed16", [](const auto& r, const auto& c) { return std::to_string(r.get_signed16(c)); }},
        {"unsigned32", [](const auto& r, const auto& c) { return std::to_string(r.get_unsigned32(c)); }},
        {"signed32", [](const auto& r, const auto& c) { return std::to_string(r.get_signed32(c)); }},
        {"unsigned64", [](const auto& r, const auto& c) { return std::to_string(r.get_unsigned64(c)); }},
        {"signed64", [](const auto& r, const auto& c) { return std::to_string(r.get_signed64(c)); }},
        {"float", [](const auto& r, const auto& c) { return exact(r.get_float(c)); }},
        {"double", [](const auto& r, const auto& c) { return exact(r.get_double(c)); }},
        {"decimal", [](const auto& r, const auto& c) { return r.get_decimal(c).str(); }},
        {"decimal as double", [](const auto& r, const auto& c) { return exact(r.get_decimal(c).double64()); }},
        {"string", [](const auto& r, const auto& c) { return r.get_string(c); }},
        {"date", [](const auto& r, const auto& c) { return r.get_date(c).str(true); }},
        {"date_time", [](const auto& r, const auto& c) { return r.get_date_time(c).str(true); }},
        {"time", [](const auto& r, const auto& c) { return r.get_time(c).str_time(true); }},
        {"size", [](const auto& r, const auto& c) { return std::to_string(r.column_size(r.column_index(c))); }},
        {"blob",
         [](const auto& r, const auto& c) {
             const auto blob = r.get_blob(c);
             return blob ? std::string(std::istreambuf_iterator<char>(*blob), std::istreambuf_iterator<char>())
                         : std::string("none");
         }},
        {"data",
         [](const auto& r, const auto& c) {
             const auto data = r.get_data(c);
             if (!data)
                 return std::string("none");
             const std::string bytes(data->get(), data->count());
             return data->position() == 0 ? bytes : bytes + " at " + std::to_string(data->position());
         }},
    };
    return all;
}

// The typed getters give the same values, and fail the same way, on the rows of a text query and
// on those of a prepared statement.
TEST_F(mariadb_result_set, typed_getters_of_text_and_prepared_rows) {
    run_sql(shared_mariadb(),
            "SET SESSION sql_mode = '';"
            "CREATE TABLE typed (id INT PRIMARY KEY,"
            " c_tiny TINYINT, c_utiny TINYINT UNSIGNED, c_small SMALLINT, c_usmall SMALLINT UNSIGNED,"
            " c_medium MEDIUMINT, c_int INT, c_uint INT UNSIGNED, c_big BIGINT, c_ubig BIGINT UNSIGNED,"
            " c_float FLOAT, c_double DOUBLE, c_decimal DECIMAL(10,3), c_date DATE, c_datetime DATETIME(3),"
            " c_micro DATETIME(6), c_timestamp TIMESTAMP NULL, c_time TIME, c_year YEAR, c_bit BIT(1),"
            " c_bit16 BIT(16), c_enum ENUM('red','blue'), c_varchar VARCHAR(20), c_char CHAR(4), c_text TEXT,"
            " c_blob BLOB, c_long_blob LONGBLOB, c_utf8 VARCHAR(10) CHARACTER SET utf8mb4) DEFAULT CHARSET=latin1;"
            "INSERT INTO typed VALUES (1, -5, 250, -300, 60000, -70000, -2000000000, 4000000000,"
            " -9000000000000, 18446744073709551615, 1.5, 2.25, 12.345, '2024-02-29', '2024-01-15 10:20:30.045',"
            " '2024-01-15 10:20:30.123456', '2024-03-01 00:00:01', '23:59:58', 2024, b'1', b'1000000000000000',"
            " 'blue', 'hello', 'ab', 'long text', x'00FF10', UNHEX(REPEAT('00FF107F', 262144)), UNHEX('F09F9880'));"
            "INSERT INTO typed (id) VALUES (2);"
            "INSERT INTO typed (id, c_tiny, c_uint, c_bit, c_bit16, c_blob, c_varchar)"
            " VALUES (3, 1, 7, b'0', 1, '', '');"
            "INSERT INTO typed (id, c_tiny) VALUES (4, 2)",
            g_database);
    m_connection->set_charset("utf8mb4");
    const std::string blob(std::string("\x00\xff\x10", 3));
    struct row {
        int id;
        const char* column;
        const char* get;
        std::string expected;
    };
    std::vector<row> rows = {
        {1, "c_tiny", "signed8", "-5"},
        {1, "c_utiny", "unsigned8", "250"},
        {1, "c_small", "signed16", "-300"},
        {1, "c_usmall", "unsigned16", "60000"},
        {1, "c_medium", "signed32", "-70000"},
        {1, "c_int", "signed32", "-2000000000"},
        {1, "c_uint", "unsigned32", "4000000000"},
        {1, "c_big", "signed64", "-9000000000000"},
        {1, "c_ubig", "unsigned64", "18446744073709551615"},
        {1, "c_float", "float", "1.5"},
        {1, "c_double", "double", "2.25"},
        {1, "c_decimal", "decimal", "12.345"},
        {1, "c_decimal", "decimal as double", exact(12.345)},
        {1, "c_date", "date", "2024-02-29 00:00:00.000"},
        {1, "c_datetime", "date_time", "2024-01-15 10:20:30.045"},
        // Microseconds are cut to milliseconds.
        {1, "c_micro", "date_time", "2024-01-15 10:20:30.123"},
        {1, "c_timestamp", "date_time", "2024-03-01 00:00:01.000"},
        {1, "c_time", "time", "23:59:58.000"},
        {1, "c_year", "unsigned16", "2024"},
        {1, "c_bit", "boolean", "1"},
        {1, "c_bit16", "boolean", "1"},
        {1, "c_enum", "string", "blue"},
        {1, "c_varchar", "string", "hello"},
        {1, "c_char", "string", "ab"},
        {1, "c_text", "string", "long text"},
        {1, "c_utf8", "string", "\xF0\x9F\x98\x80"},
        {1, "c_blob", "string", blob},
        {1, "c_blob", "blob", blob},
        {1, "c_blob", "data", blob},
        {1, "c_blob", "size", "3"},
        {1, "c_long_blob", "string", mebibyte_blob()},
        {1, "c_long_blob", "blob", mebibyte_blob()},
        {1, "c_long_blob", "data", mebibyte_blob()},
        {1, "c_long_blob", "size", "1048576"},
        // Mixed signedness of the same width is accepted.
        {1, "c_int", "unsigned32", "0"},
        {1, "c_utiny", "signed8", "0"},
        {1, "c_tiny", "unsigned8", "0"},
        {1, "c_big", "unsigned64", "0"},
        {1, "c_uint", "signed32", "out_of_range: stoi"},
        // Every column of the second row is NULL.
        {2, "c_varchar", "string", ""},
        {2, "c_blob", "blob", "none"},
        {2, "c_blob", "data", "none"},
        {2, "c_decimal", "decimal", ""},
        {2, "c_tiny", "signed8", "invalid_argument: stoi"},
        {2, "c_ubig", "unsigned64", "invalid_argument: stoull"},
        {2, "c_double", "double", "invalid_argument: stod"},
        {2, "c_bit", "boolean", "invalid_argument: stoi"},
        {2, "c_datetime", "date_time", "invalid_argument: invalid date format"},
        {2, "c_time", "time", "invalid_argument: invalid time format"},
        // BIT(16) holding 1 has its set bit in the second byte; an empty blob is not NULL, yet has no stream.
        {3, "c_tiny", "boolean", "1"},
        {3, "c_bit", "boolean", "0"},
        {3, "c_bit16", "boolean", "1"},
        {3, "c_uint", "signed32", "7"},
        {3, "c_blob", "is_null", "0"},
        {3, "c_blob", "blob", "none"},
        {3, "c_blob", "data", "none"},
        {3, "c_varchar", "string", ""},
        // Only 1 is true.
        {4, "c_tiny", "boolean", "0"},
    };
    const auto statement = m_connection->create_statement("SELECT * FROM typed WHERE id >= ? ORDER BY id");
    EXPECT_EQ(statement->bind_count(), 1u);
    statement->set_signed32(0, 1);
    for (const bool prepared : {false, true}) {
        SCOPED_TRACE(prepared ? "prepared statement" : "text query");
        const auto result =
            prepared ? statement->query() : m_connection->query("SELECT * FROM typed WHERE id >= 1 ORDER BY id");
        EXPECT_EQ(result->row_count(), 4u);
        EXPECT_EQ(result->column_count(), 28u);
        for (int id = 1; id <= 4; ++id) {
            ASSERT_TRUE(result->next());
            ASSERT_EQ(result->get_signed32("id"), id);
            if (id == 2) {
                for (mariadb::u32 index = 1; index < result->column_count(); ++index)
                    EXPECT_TRUE(result->get_is_null(index)) << result->column_name(index);
            }
            for (const row& r : rows) {
                if (r.id != id)
                    continue;
                const getter& get = getters().at(r.get);
                const std::string got = outcome([&] { return get(*result, r.column); });
                if (r.expected.size() > 100) {
                    EXPECT_TRUE(got == r.expected) << r.get << " of " << r.column << ": " << got.size() << " bytes";
                } else {
                    EXPECT_EQ(got, r.expected) << r.get << " of " << r.column << " in row " << id;
                }
            }
        }
        EXPECT_FALSE(result->next());
        EXPECT_FALSE(result->next());
        EXPECT_EQ(thrown_text<std::out_of_range>([&] { result->get_string("c_varchar"); }), "No row was fetched");
        EXPECT_TRUE(result->set_row_index(0));
        EXPECT_EQ(result->get_signed32("id"), 1);
        EXPECT_EQ(result->row_index(), 1u);
    }
}

TEST_F(mariadb_result_set, column_types_and_type_errors) {
    const auto rows = first_row();
    struct type_case {
        const char* column;
        mariadb::value::type type;
    };
    const type_case cases[] = {
        {"c_tiny", mariadb::value::signed8},        {"c_utiny", mariadb::value::unsigned8},
        {"c_small", mariadb::value::signed16},      {"c_year", mariadb::value::unsigned16},
        {"c_medium", mariadb::value::signed32},     {"c_uint", mariadb::value::unsigned32},
        {"c_big", mariadb::value::signed64},        {"c_float", mariadb::value::float32},
        {"c_double", mariadb::value::double64},     {"c_decimal", mariadb::value::decimal},
        {"c_date", mariadb::value::date},           {"c_datetime", mariadb::value::date_time},
        {"c_timestamp", mariadb::value::date_time}, {"c_time", mariadb::value::time},
        {"c_bit", mariadb::value::boolean},         {"c_varchar", mariadb::value::string},
        {"c_blob", mariadb::value::blob},           {"c_text", mariadb::value::blob},
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
    EXPECT_EQ(thrown_text<std::out_of_range>([&] { rows->get_string("no_such_column"); }), "Column index out of range");
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
