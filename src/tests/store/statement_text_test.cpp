// The SQL texts of the column store, checked without a server.

#include "store/store_impl.hpp"

#include "support/core_values.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace {

using qvd::timestamp;
using qvd::store::column_store;
using qvd::store::column_store_impl;
using qvd::test_support::at_ms;

// 2024-03-05 07:08:09.010 UTC
const timestamp some_time = at_ms(1709622489010);

TEST(store_sql, string_literal_keeps_plain_text_and_never_lets_a_value_out) {
    struct case_t {
        std::string value;
        std::string literal;
    };
    const std::vector<case_t> cases = {
        {"A0B1C2D3E4F5", "'A0B1C2D3E4F5'"},
        {"", "''"},
        // Double quotes, comment markers, semicolons, NUL bytes and multi-byte text are inert
        // between single quotes in every sql_mode.
        {"say \"hi\"; -- /* # */", "'say \"hi\"; -- /* # */'"},
        {std::string("a\0b", 3), std::string("'a\0b'", 5)},
        {"Zürich 東京", "'Zürich 東京'"},
        {"O'Brien", "'O''Brien'"},
        {"''", "''''''"},
        {"x'); DROP TABLE t; -- ", "'x''); DROP TABLE t; -- '"},
        // A backslash reads differently under NO_BACKSLASH_ESCAPES, hex digits never do.
        {"a\\b", "_utf8mb4 X'615C62'"},
        {"\\'", "_utf8mb4 X'5C27'"},
        {"\\", "_utf8mb4 X'5C'"},
        {"é\\", "_utf8mb4 X'C3A95C'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(column_store_impl::string_literal(c.value), c.literal) << c.value;
}

TEST(store_sql, time_text_is_the_timestamps_utc_text_with_three_digits_of_milliseconds) {
    EXPECT_EQ(column_store_impl::to_iso_8601_with_ms_string(timestamp()), "1970-01-01 00:00:00.000");
    EXPECT_EQ(column_store_impl::to_iso_8601_with_ms_string(some_time), "2024-03-05 07:08:09.010");
    EXPECT_EQ(column_store_impl::to_iso_8601_with_ms_string(at_ms(951782400005)), "2000-02-29 00:00:00.005");
    EXPECT_EQ(column_store_impl::to_iso_8601_with_ms_string(at_ms(253402300799999)), "9999-12-31 23:59:59.999");
    // A short year would be read by the server as another one ("99-06-15" as 1999).
    EXPECT_EQ(column_store_impl::to_iso_8601_with_ms_string(at_ms(-59028694154993)), "0099-06-15 12:30:45.007");
    EXPECT_EQ(column_store_impl::to_iso_8601_with_ms_string(at_ms(-30610224000001)), "0999-12-31 23:59:59.999");

    // The fast form must agree with the timestamp's own text everywhere, the odd ranges included.
    std::mt19937_64 random(42);
    std::uniform_int_distribution<long long> any_time(-100000000000000LL, 300000000000000LL);
    std::vector<long long> counts = {0,  1,     999,       1000,          86399999,        86400000,
                                     -1, -1000, -86400001, 4107542400000, 253402300800000, 253402300800001};
    for (int i = 0; i < 20000; ++i)
        counts.push_back(any_time(random));
    for (const long long count : counts)
        ASSERT_EQ(column_store_impl::to_iso_8601_with_ms_string(at_ms(count)), at_ms(count).to_iso_8601_string(true))
            << count;
}

qvd::position full_position() {
    qvd::position p;
    p.id = 99;
    p.trackable_id = 17;
    p.trackable_uid = "T1";
    p.mac_address = std::string("A0B1C2D3E4F5");
    p.ts = some_time;
    p.fom = 3;
    p.sfsn = -4;
    p.slvr_mode = std::string("m");
    p.edge_corr = 1;
    p.pe_dims = 2;
    p.type = std::string("t");
    p.x = -350;
    p.y = 0;
    p.z = 7;
    p.area_uid = "A1";
    p.project_uid = std::string("P1");
    p.inactive = static_cast<short>(0);
    p.to_type_id = 5;
    return p;
}

TEST(store_sql, position_insert_has_the_schemas_columns_default_id_and_one_row_per_record) {
    const std::string columns =
        "INSERT positions_raw(id, trackable_id, trackable_uid, mac_address, ts, fom, sfsn, slvr_mode, edge_corr, "
        "pe_dims, type, x, y, z, area_uid, project_uid, inactive, to_type_id) VALUES ";
    const std::string full_row =
        "(DEFAULT,17,'T1','A0B1C2D3E4F5','2024-03-05 07:08:09.010',3,-4,'m',1,2,'t',-350,0,7,'A1','P1',0,5)";
    const std::string empty_row = "(DEFAULT,0,'',NULL,'1970-01-01 00:00:00.000',NULL,NULL,NULL,NULL,NULL,NULL,"
                                  "NULL,NULL,NULL,'',NULL,NULL,NULL)";

    EXPECT_EQ(column_store_impl::make_insert(std::vector<qvd::position>{full_position()}), columns + full_row);
    EXPECT_EQ(column_store_impl::make_insert(std::vector<qvd::position>{full_position(), qvd::position()}),
              columns + full_row + ", " + empty_row);

    // Many rows: same text whatever the reservation guessed from the first one.
    std::vector<qvd::position> many(300, full_position());
    many[150].trackable_uid = std::string(2000, 'u');
    std::string expected = columns;
    for (std::size_t i = 0; i < many.size(); ++i) {
        qvd::position one = many[i];
        const std::string text = column_store_impl::make_insert(std::vector<qvd::position>{one});
        expected += (i == 0 ? "" : ", ") + text.substr(columns.size());
    }
    EXPECT_EQ(column_store_impl::make_insert(many), expected);
}

TEST(store_sql, inserts_write_each_tables_values_in_schema_order) {
    qvd::zone_event event;
    event.enter_time = some_time;
    event.leave_time = at_ms(1709622490000);
    event.x_enter = 1;
    event.y_enter = 2;
    event.z_enter = 3;
    event.x_leave = -4;
    event.y_leave = -5;
    event.z_leave = -6;
    event.trackable_uid = "T";
    EXPECT_EQ(column_store_impl::make_insert(std::vector<qvd::zone_event>{event}),
              "INSERT zone_events(trackable_uid, trackable_name, area_uid, area_name, enter_time, leave_time, "
              "duration, zone_uid, zone_name, project_uid, project_name, leave_x, leave_y, leave_z, enter_x, "
              "enter_y, enter_z, zone_type_name) VALUES ('T',' ',NULL,NULL,'2024-03-05 07:08:09.010',"
              "'2024-03-05 07:08:10.000',NULL,NULL,NULL,NULL,NULL,-4,-5,-6,1,2,3,NULL)");

    qvd::zone_event_open open;
    open.trackable_uid = "T";
    open.trackable_name = std::string("O'Brien");
    open.enter_time = some_time;
    open.zone_type_name = std::string("");
    EXPECT_EQ(column_store_impl::make_insert(std::vector<qvd::zone_event_open>{open}),
              "INSERT zone_events_open(trackable_uid, trackable_name, area_uid, area_name, enter_time, zone_uid, "
              "zone_name, project_uid, project_name, enter_x, enter_y, enter_z, zone_type_name) VALUES "
              "('T','O''Brien',NULL,NULL,'2024-03-05 07:08:09.010',NULL,NULL,NULL,NULL,NULL,NULL,NULL,'')");

    qvd::activity a;
    a.id = 18446744073709551615ULL;
    a.created_at = some_time;
    a.created_by = "u";
    a.action = "add";
    a.object = "zone";
    a.company_name = std::string("C");
    a.project_name = std::string("P");
    EXPECT_EQ(column_store_impl::make_insert(std::vector<qvd::activity>{a}),
              "INSERT sys_journal_staging(id, created_at, created_by, action, object, plist, project_uid, "
              "company_uid, on_behalf, ip, project_name, company_name, project_user_params) VALUES "
              "(18446744073709551615,'2024-03-05 07:08:09.010','u','add','zone',NULL,NULL,NULL,NULL,NULL,'P','C',"
              "NULL)");

    qvd::vehicle_driver_association_open v;
    v.id = -2;
    v.event_id = std::string("e\\1");
    v.created_at = some_time;
    v.created_x = -1;
    v.project_uid = std::string("P");
    EXPECT_EQ(column_store_impl::make_insert(std::vector<qvd::vehicle_driver_association_open>{v}),
              "INSERT vehicle_driver_associations_open(id, event_id, vehicle_uid, vehicle_mac, vehicle_name, "
              "driver_uid, driver_mac, driver_name, created_at, created_area_uid, created_x, created_y, "
              "project_uid) VALUES (-2,_utf8mb4 X'655C31',NULL,NULL,NULL,NULL,NULL,NULL,'2024-03-05 07:08:09.010',"
              "NULL,-1,NULL,'P')");

    qvd::heartbeat h;
    h.id = 42;
    h.flags_raw = 4294967295U;
    h.message_type = 271;
    h.category = std::string("ABC");
    EXPECT_EQ(column_store_impl::make_insert(std::vector<qvd::heartbeat>{h}),
              "INSERT heartbeats(id, ts, message_type, mac_address, trackable_uid, area_uid, company_uid, "
              "project_uid, x, y, z, flags_raw, parent_mac_address, bridge_mac_address, reporting_frequency, "
              "ranging_frequency, category, sw_version) VALUES (42,NULL,271,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,"
              "4294967295,NULL,NULL,NULL,NULL,'ABC',NULL)");

    qvd::node_parameter n;
    n.id = 7;
    n.mac_address = std::string("M");
    n.param_value = std::string("it's");
    EXPECT_EQ(column_store_impl::make_insert(qvd::node_parameters_vector{n, qvd::node_parameter()}),
              "INSERT node_parameters(mac_address, obj_uid, param_name, param_value, ts) VALUES "
              "('M',NULL,NULL,'it''s',NULL), (NULL,NULL,NULL,NULL,NULL)");
}

// A probe asks for a row holding every value that the insert writes: NULL-safe, texts byte for
// byte (CHAR columns give their values back without trailing blanks), the column left to its
// default not compared.
TEST(store_sql, presence_queries_compare_every_written_column) {
    const qvd::position p = full_position();
    EXPECT_EQ(column_store_impl::make_presence_query("positions_raw", p),
              "SELECT 1 FROM positions_raw WHERE trackable_id <=> 17 AND trackable_uid <=> RTRIM('T1') COLLATE "
              "utf8mb4_nopad_bin AND mac_address <=> RTRIM('A0B1C2D3E4F5') COLLATE utf8mb4_nopad_bin AND ts <=> "
              "'2024-03-05 07:08:09.010' AND fom <=> 3 AND sfsn <=> -4 AND slvr_mode <=> 'm' COLLATE "
              "utf8mb4_nopad_bin AND edge_corr <=> 1 AND pe_dims <=> 2 AND type <=> 't' COLLATE utf8mb4_nopad_bin "
              "AND x <=> -350 AND y <=> 0 AND z <=> 7 AND area_uid <=> RTRIM('A1') COLLATE utf8mb4_nopad_bin AND "
              "project_uid <=> RTRIM('P1') COLLATE utf8mb4_nopad_bin AND inactive <=> 0 AND to_type_id <=> 5 "
              "LIMIT 1");

    qvd::zone_event z;
    z.trackable_uid = "T";
    z.enter_time = some_time;
    EXPECT_EQ(column_store_impl::make_presence_query("zone_events", z),
              "SELECT 1 FROM zone_events WHERE trackable_uid <=> RTRIM('T') COLLATE utf8mb4_nopad_bin AND "
              "trackable_name <=> ' ' COLLATE utf8mb4_nopad_bin AND area_uid IS NULL AND area_name IS NULL AND "
              "enter_time <=> '2024-03-05 07:08:09.010' AND leave_time <=> '1970-01-01 00:00:00.000' AND duration "
              "IS NULL AND zone_uid IS NULL AND zone_name IS NULL AND project_uid IS NULL AND project_name IS NULL "
              "AND leave_x IS NULL AND leave_y IS NULL AND leave_z IS NULL AND enter_x IS NULL AND enter_y IS NULL "
              "AND enter_z IS NULL AND zone_type_name IS NULL LIMIT 1");

    // sys_journal is asked with the staging table's columns.
    qvd::activity a;
    a.created_at = some_time;
    a.action = "a\\";
    a.object = "zone";
    EXPECT_EQ(column_store_impl::make_presence_query("sys_journal", a),
              "SELECT 1 FROM sys_journal WHERE id <=> 0 AND created_at <=> '2024-03-05 07:08:09.010' AND "
              "created_by <=> '' COLLATE utf8mb4_nopad_bin AND action <=> _utf8mb4 X'615C' COLLATE "
              "utf8mb4_nopad_bin AND object <=> 'zone' COLLATE utf8mb4_nopad_bin AND plist IS NULL AND "
              "project_uid IS NULL AND company_uid IS NULL AND on_behalf IS NULL AND ip IS NULL AND project_name "
              "IS NULL AND company_name IS NULL AND project_user_params IS NULL LIMIT 1");

    qvd::node_parameter n;
    n.mac_address = std::string("M");
    n.param_name = std::string("p");
    n.param_value = std::string("v'");
    n.ts = some_time;
    EXPECT_EQ(column_store_impl::make_presence_query("node_parameters", n),
              "SELECT 1 FROM node_parameters WHERE mac_address <=> RTRIM('M') COLLATE utf8mb4_nopad_bin AND "
              "obj_uid IS NULL AND param_name <=> 'p' COLLATE utf8mb4_nopad_bin AND param_value <=> 'v''' COLLATE "
              "utf8mb4_nopad_bin AND ts <=> '2024-03-05 07:08:09.010' LIMIT 1");

    // The other kinds: one condition per column of the table, in table order.
    const auto expect_every_column = [](const std::string& _query, const qvd::store::table& _table) {
        std::size_t at = 0;
        for (const auto& c : _table.columns) {
            at = _query.find(" " + c.field + " ", at);
            EXPECT_NE(at, std::string::npos) << c.field << " in " << _query;
        }
    };
    qvd::external_event e;
    e.ts = some_time;
    expect_every_column(column_store_impl::make_presence_query("external_events", e), column_store::external_events);
    qvd::vehicle_driver_association v;
    v.id = 42;
    expect_every_column(column_store_impl::make_presence_query("vehicle_driver_associations", v),
                        column_store::vehicle_driver_associations);
    qvd::heartbeat h;
    h.id = 18446744073709551615UL;
    expect_every_column(column_store_impl::make_presence_query("heartbeats", h), column_store::heartbeats);
}

} // namespace
