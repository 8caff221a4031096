// The column store against a real server: structure check, inserts, presence checks, truncation.
// The value tests run twice: on the shared server and on a server of their own whose sql_mode
// has NO_BACKSLASH_ESCAPES.

#include "store/kind.hpp"
#include "store/store_impl.hpp"

#include "support/core_values.hpp"
#include "support/mariadb_server.hpp"
#include "support/zmq_reader.hpp"

#include <core/exception.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using qvd::timestamp;
using qvd::store::column_store;
using qvd::store::column_store_impl;
using qvd::test_support::at_ms;
using qvd::test_support::mariadb_endpoint;
using qvd::test_support::no_signal;
using qvd::test_support::sql_row;

const char* const fixture = "tests/fixtures/column_store_schema.sql";

const qvd::libs::core::logger& test_logger() {
    static const qvd::libs::core::logger logger("lomvera_store_test", "main");
    return logger;
}

// 2024-03-05 07:08:09.010 UTC
const timestamp some_time = at_ms(1709622489010);

// Creates the database afresh on the endpoint's server and loads the column store's tables.
void load_column_store(const mariadb_endpoint& _endpoint, const std::string& _database) {
    qvd::test_support::run_sql(_endpoint, "DROP DATABASE IF EXISTS `" + _database + "`; CREATE DATABASE `" + _database +
                                              "` CHARACTER SET utf8mb4 COLLATE utf8mb4_bin");
    qvd::test_support::run_sql_file(_endpoint, fixture, _database);
    qvd::test_support::run_sql(_endpoint, "CREATE TABLE canary (n INT)", _database);
}

std::unique_ptr<column_store_impl> open_store(const mariadb_endpoint& _endpoint, const std::string& _database) {
    static const no_signal signals;
    return std::make_unique<column_store_impl>(_endpoint.host, _endpoint.user, _endpoint.password, _database,
                                               _endpoint.port, signals, test_logger());
}

// Field texts as the server returns them.
std::optional<std::string> text(const boost::optional<std::string>& _value) {
    return _value ? std::optional<std::string>(*_value) : std::nullopt;
}
std::optional<std::string> text(const std::string& _value) { return _value; }
std::optional<std::string> text(const timestamp& _value) { return _value.to_iso_8601_string(true); }
std::optional<std::string> text(const boost::optional<timestamp>& _value) {
    return _value ? text(*_value) : std::nullopt;
}
template <class T>
std::optional<std::string> text(const boost::optional<T>& _value) {
    return _value ? std::optional<std::string>(std::to_string(*_value)) : std::nullopt;
}
template <class T, class = std::enable_if_t<std::is_integral_v<T>>>
std::optional<std::string> text(T _value) {
    return std::to_string(_value);
}

// Strings for every string column, each no longer than its column.
struct strings {
    std::string uid;  // char(22)
    std::string mac;  // char(12)
    std::string code; // varchar(15)
    std::string id10; // char(10)
    std::string sw8;  // char(8)
    std::string cat3; // char(3)
    std::string name; // up to 36
    std::string text; // long texts
};

// The bytes of a literal, NUL bytes included.
template <std::size_t N>
std::string bytes(const char (&_literal)[N]) {
    return std::string(_literal, N - 1);
}

// Each with a 4-byte character (an emoji), which only a utf8mb4 session keeps.
const strings plain_strings = {"Tuid-plain-0001\U0001F600",
                               "A0B1C2D3E4F5",
                               "mode\U0001F600",
                               "ev-1\U0001F600",
                               "1.2.3\U0001F600",
                               "AB\U0001F600",
                               "Zürich 東京 \U0001F600",
                               "free text, with \"double\" quotes and ; -- /* */ \U0001F600"};

// Quotes, backslashes, comment markers, a second statement, NUL bytes, multi-byte text.
const strings hostile_strings = {
    bytes("x'\\'; DROP--\0é東"),
    bytes("'\\'); --\0é"),
    bytes("';--\\'\0é東*/"),
    bytes("\\'--;\0é"),
    bytes("\\'#;\0é"),
    bytes("\\'é"),
    bytes("O'Brien \\\\ \\' \0 ünï 東京 \U0001F600 */ #"),
    bytes("'); INSERT INTO canary VALUES (1); -- \\'); INSERT INTO canary VALUES (2); /* \0 */ # ending \\"),
};

qvd::position make_position(const strings& _s) {
    qvd::position p;
    p.id = 12345;
    p.trackable_id = -17;
    p.trackable_uid = _s.uid;
    p.mac_address = _s.mac;
    p.ts = some_time;
    p.fom = -3;
    p.sfsn = 32767;
    p.slvr_mode = _s.code;
    p.edge_corr = 1;
    p.pe_dims = -2;
    p.type = _s.code;
    p.x = -350;
    p.y = 0;
    p.z = 2147483647;
    p.area_uid = _s.uid;
    p.project_uid = _s.uid;
    p.inactive = static_cast<short>(1);
    p.to_type_id = 9;
    return p;
}

sql_row expected_row(const qvd::position& _p) {
    return {text(_p.trackable_id),
            text(_p.trackable_uid),
            text(_p.mac_address),
            text(_p.ts),
            text(_p.fom),
            text(_p.sfsn),
            text(_p.slvr_mode),
            text(_p.edge_corr),
            text(_p.pe_dims),
            text(_p.type),
            text(_p.x),
            text(_p.y),
            text(_p.z),
            text(_p.area_uid),
            text(_p.project_uid),
            text(_p.inactive),
            text(_p.to_type_id)};
}

qvd::external_event make_external_event(const strings& _s) {
    qvd::external_event e;
    e.id = 5;
    e.object_uid = _s.uid;
    e.mac_address = _s.mac;
    e.event_info = _s.text;
    e.event_type = _s.code;
    e.ts = some_time;
    e.area_uid = _s.uid;
    e.area_name = _s.name;
    e.project_uid = _s.uid;
    e.project_name = _s.name;
    e.x = -1;
    e.y = -2;
    e.z = -3;
    e.object_name = _s.text;
    e.created_at = at_ms(0);
    return e;
}

sql_row expected_row(const qvd::external_event& _e) {
    return {text(_e.object_uid),  text(_e.object_name),  text(_e.mac_address), text(_e.event_info),
            text(_e.event_type),  text(_e.ts),           text(_e.area_uid),    text(_e.area_name),
            text(_e.project_uid), text(_e.project_name), text(_e.x),           text(_e.y),
            text(_e.z),           text(_e.created_at)};
}

qvd::zone_event make_zone_event(const strings& _s) {
    qvd::zone_event z;
    z.id_enter = 1;
    z.enter_time = some_time;
    z.x_enter = 10;
    z.y_enter = -20;
    z.z_enter = 30;
    z.id_leave = 2;
    z.leave_time = at_ms(1709622489999);
    z.x_leave = -40;
    z.y_leave = 50;
    z.z_leave = -60;
    z.duration = 989;
    z.trackable_uid = _s.uid;
    z.trackable_name = _s.name;
    z.area_uid = _s.uid;
    z.area_name = _s.name;
    z.zone_uid = _s.uid;
    z.zone_name = _s.name;
    z.zone_type_name = _s.name;
    z.project_uid = _s.uid;
    z.project_name = _s.name;
    return z;
}

sql_row expected_row(const qvd::zone_event& _z) {
    return {text(_z.trackable_uid), _z.trackable_name ? text(_z.trackable_name) : std::string(" "),
            text(_z.area_uid),      text(_z.area_name),
            text(_z.enter_time),    text(_z.leave_time),
            text(_z.duration),      text(_z.zone_uid),
            text(_z.zone_name),     text(_z.project_uid),
            text(_z.project_name),  text(_z.x_leave),
            text(_z.y_leave),       text(_z.z_leave),
            text(_z.x_enter),       text(_z.y_enter),
            text(_z.z_enter),       text(_z.zone_type_name)};
}

qvd::zone_event_open make_zone_event_open(const strings& _s) {
    qvd::zone_event_open z;
    z.id = 3;
    z.trackable_uid = _s.uid;
    z.trackable_name = _s.name;
    z.area_uid = _s.uid;
    z.area_name = _s.name;
    z.enter_time = some_time;
    z.zone_uid = _s.uid;
    z.zone_name = _s.name;
    z.zone_type_name = _s.name;
    z.project_uid = _s.uid;
    z.project_name = _s.name;
    z.x_enter = -7;
    z.y_enter = 8;
    z.z_enter = -9;
    return z;
}

sql_row expected_row(const qvd::zone_event_open& _z) {
    return {text(_z.trackable_uid), _z.trackable_name ? text(_z.trackable_name) : std::string(" "),
            text(_z.area_uid),      text(_z.area_name),
            text(_z.enter_time),    text(_z.zone_uid),
            text(_z.zone_name),     text(_z.project_uid),
            text(_z.project_name),  text(_z.x_enter),
            text(_z.y_enter),       text(_z.z_enter),
            text(_z.zone_type_name)};
}

qvd::activity make_activity(const strings& _s) {
    qvd::activity a;
    a.id = 18446744073709551615ULL;
    a.created_at = some_time;
    a.created_by = _s.name;
    a.action = _s.name;
    a.object = _s.code;
    a.plist = _s.text;
    a.project_uid = _s.uid;
    a.company_uid = _s.uid;
    a.on_behalf = _s.name;
    a.ip = _s.uid;
    a.company_name = _s.name + "C";
    a.project_name = _s.name + "P";
    a.project_user_params = _s.text;
    return a;
}

sql_row expected_row(const qvd::activity& _a) {
    return {
        text(_a.id),           text(_a.created_at),   text(_a.created_by),         text(_a.action),    text(_a.object),
        text(_a.plist),        text(_a.project_uid),  text(_a.company_uid),        text(_a.on_behalf), text(_a.ip),
        text(_a.project_name), text(_a.company_name), text(_a.project_user_params)};
}

template <class Association>
Association make_association(const strings& _s) {
    Association v;
    v.id = -42;
    v.event_id = _s.id10;
    v.vehicle_uid = _s.uid;
    v.vehicle_mac = _s.mac;
    v.vehicle_name = _s.name;
    v.driver_uid = _s.uid;
    v.driver_mac = _s.mac;
    v.driver_name = _s.name;
    v.created_at = some_time;
    v.created_area_uid = _s.uid;
    v.created_x = -1;
    v.created_y = 2;
    v.project_uid = _s.uid;
    return v;
}

qvd::vehicle_driver_association make_vehicle_driver_association(const strings& _s) {
    auto v = make_association<qvd::vehicle_driver_association>(_s);
    v.removed_at = at_ms(1709622499123);
    v.removed_area_uid = _s.uid;
    v.removed_x = -3;
    v.removed_y = 4;
    return v;
}

sql_row expected_row(const qvd::vehicle_driver_association& _v) {
    return {text(_v.id),           text(_v.event_id),         text(_v.vehicle_uid), text(_v.vehicle_mac),
            text(_v.vehicle_name), text(_v.driver_uid),       text(_v.driver_mac),  text(_v.driver_name),
            text(_v.created_at),   text(_v.created_area_uid), text(_v.created_x),   text(_v.created_y),
            text(_v.removed_at),   text(_v.removed_area_uid), text(_v.removed_x),   text(_v.removed_y),
            text(_v.project_uid)};
}

sql_row expected_row(const qvd::vehicle_driver_association_open& _v) {
    return {text(_v.id),           text(_v.event_id),         text(_v.vehicle_uid), text(_v.vehicle_mac),
            text(_v.vehicle_name), text(_v.driver_uid),       text(_v.driver_mac),  text(_v.driver_name),
            text(_v.created_at),   text(_v.created_area_uid), text(_v.created_x),   text(_v.created_y),
            text(_v.project_uid)};
}

qvd::heartbeat make_heartbeat(const strings& _s) {
    qvd::heartbeat h;
    h.id = 18446744073709551615UL;
    h.ts = some_time;
    h.message_type = 271;
    h.mac_address = _s.mac;
    h.trackable_uid = _s.uid;
    h.area_uid = _s.uid;
    h.company_uid = _s.uid;
    h.project_uid = _s.uid;
    h.x = -5;
    h.y = 6;
    h.z = -7;
    h.flags_raw = 4294967295U;
    h.parent_mac_address = _s.mac;
    h.bridge_mac_address = _s.mac;
    h.reporting_frequency = 10;
    h.ranging_frequency = -11;
    h.category = _s.cat3;
    h.sw_version = _s.sw8;
    return h;
}

sql_row expected_row(const qvd::heartbeat& _h) {
    return {text(_h.id),
            text(_h.ts),
            text(_h.message_type),
            text(_h.mac_address),
            text(_h.trackable_uid),
            text(_h.area_uid),
            text(_h.company_uid),
            text(_h.project_uid),
            text(_h.x),
            text(_h.y),
            text(_h.z),
            text(_h.flags_raw),
            text(_h.parent_mac_address),
            text(_h.bridge_mac_address),
            text(_h.reporting_frequency),
            text(_h.ranging_frequency),
            text(_h.category),
            text(_h.sw_version)};
}

qvd::node_parameter make_node_parameter(const strings& _s) {
    qvd::node_parameter n;
    n.id = 4000000000U;
    n.mac_address = _s.mac;
    n.obj_uid = _s.uid;
    n.param_name = _s.name;
    n.param_value = _s.text;
    n.ts = some_time;
    return n;
}

sql_row expected_row(const qvd::node_parameter& _n) {
    return {text(_n.mac_address), text(_n.obj_uid), text(_n.param_name), text(_n.param_value), text(_n.ts)};
}

class column_store_values : public ::testing::Test {
protected:
    void SetUp() override {
        LOMVERA_REQUIRE_MARIADB();
        use(qvd::test_support::shared_mariadb());
    }

    // A fresh column store on the endpoint's server.
    void use(const mariadb_endpoint& _endpoint) {
        m_store.reset();
        m_endpoint = _endpoint;
        load_column_store(m_endpoint, m_database);
        m_store = open_store(m_endpoint, m_database);
    }

    std::vector<sql_row> rows(const std::string& _sql) const {
        return qvd::test_support::query_sql(m_endpoint, _sql, m_database);
    }

    std::string value(const std::string& _sql) const {
        return qvd::test_support::query_value(m_endpoint, _sql, m_database).value_or("NULL");
    }

    // Inserts one batch and compares the table with the records, row by row in insert order.
    template <class Record, class Insert>
    void round_trip(const std::vector<Record>& _batch, Insert _insert, const std::string& _table,
                    const std::string& _columns) {
        EXPECT_EQ(_insert(_batch), _batch.size());
        std::vector<sql_row> expected;
        for (const Record& r : _batch)
            expected.push_back(expected_row(r));
        EXPECT_EQ(rows("SELECT " + _columns + " FROM " + _table), expected) << _table;
        EXPECT_EQ(value("SELECT COUNT(*) FROM canary"), "0");
    }

    // Every column of the schema but the auto-filled id of positions_raw.
    static std::string columns_of(const qvd::store::table& _table, bool _skip_first = false) {
        std::string list;
        for (std::size_t i = _skip_first ? 1 : 0; i < _table.columns.size(); ++i)
            list += (list.empty() ? "" : ", ") + _table.columns[i].field;
        return list;
    }

    void check_all_kinds(const strings& _s) {
        const column_store_impl& store = *m_store;
        round_trip(
            std::vector<qvd::position>{make_position(_s), qvd::position()},
            [&](const auto& _b) { return store.insert_positions_raw(_b); }, "positions_raw",
            columns_of(column_store::positions_raw, true));
        round_trip(
            std::vector<qvd::external_event>{make_external_event(_s), qvd::external_event()},
            [&](const auto& _b) { return store.insert_external_events(_b); }, "external_events",
            columns_of(column_store::external_events));
        round_trip(
            std::vector<qvd::zone_event>{make_zone_event(_s), qvd::zone_event()},
            [&](const auto& _b) { return store.insert_zone_events(_b); }, "zone_events",
            columns_of(column_store::zone_events));
        round_trip(
            std::vector<qvd::zone_event_open>{make_zone_event_open(_s), qvd::zone_event_open()},
            [&](const auto& _b) { return store.insert_zone_events_open(_b); }, "zone_events_open",
            columns_of(column_store::zone_events_open));
        round_trip(
            std::vector<qvd::activity>{make_activity(_s), qvd::activity()},
            [&](const auto& _b) { return store.insert_sys_journal_staging(_b); }, "sys_journal_staging",
            columns_of(column_store::sys_journal_staging));
        round_trip(
            std::vector<qvd::vehicle_driver_association>{make_vehicle_driver_association(_s),
                                                         qvd::vehicle_driver_association()},
            [&](const auto& _b) { return store.insert_vehicle_driver_associations(_b); }, "vehicle_driver_associations",
            columns_of(column_store::vehicle_driver_associations));
        round_trip(
            std::vector<qvd::vehicle_driver_association_open>{
                make_association<qvd::vehicle_driver_association_open>(_s), qvd::vehicle_driver_association_open()},
            [&](const auto& _b) { return store.insert_vehicle_driver_associations_open(_b); },
            "vehicle_driver_associations_open", columns_of(column_store::vehicle_driver_associations_open));
        round_trip(
            std::vector<qvd::heartbeat>{make_heartbeat(_s), qvd::heartbeat()},
            [&](const auto& _b) { return store.insert_heartbeats(_b); }, "heartbeats",
            columns_of(column_store::heartbeats));
        round_trip(
            qvd::node_parameters_vector{make_node_parameter(_s), qvd::node_parameter()},
            [&](const auto& _b) { return store.insert_node_parameters(_b); }, "node_parameters",
            columns_of(column_store::node_parameters));

        // What the inserts stored, the presence checks find.
        EXPECT_TRUE(store.check_presence("positions_raw", make_position(_s)));
        EXPECT_TRUE(store.check_presence("external_events", make_external_event(_s)));
        EXPECT_TRUE(store.check_presence("zone_events", make_zone_event(_s)));
        EXPECT_TRUE(store.check_presence("sys_journal_staging", make_activity(_s)));
        EXPECT_TRUE(store.check_presence("vehicle_driver_associations", make_vehicle_driver_association(_s)));
        EXPECT_TRUE(store.check_presence("heartbeats", make_heartbeat(_s)));
        EXPECT_TRUE(store.check_presence("node_parameters", make_node_parameter(_s)));
        EXPECT_EQ(value("SELECT COUNT(*) FROM canary"), "0");
    }

    void check_hostile_strings() {
        check_all_kinds(hostile_strings);
        // The NUL bytes and the multi-byte text arrived as they were.
        EXPECT_EQ(value("SELECT HEX(mac_address) FROM positions_raw WHERE mac_address IS NOT NULL"),
                  "275C27293B202D2D00C3A9");
        EXPECT_EQ(value("SELECT HEX(area_name) FROM external_events WHERE area_name IS NOT NULL"),
                  "4F27427269656E205C5C205C27200020C3BC6EC3AF20E69DB1E4BAAC20F09F9880202A2F2023");
    }

    void check_empty_texts() {
        qvd::external_event e;
        e.ts = some_time;
        e.object_uid = std::string();
        e.event_info = std::string();
        EXPECT_EQ(m_store->insert_external_events({e}), 1u);
        EXPECT_EQ(rows("SELECT object_uid, event_info, object_name FROM external_events"),
                  (std::vector<sql_row>{{std::string(), std::string(), std::nullopt}}));

        qvd::zone_event z;
        z.trackable_uid = "T";
        z.trackable_name = std::string();
        EXPECT_EQ(m_store->insert_zone_events({z, qvd::zone_event()}), 2u);
        EXPECT_EQ(rows("SELECT trackable_name FROM zone_events"), (std::vector<sql_row>{{std::string()}, {" "}}));
    }

    void check_default_id() {
        qvd::position p = make_position(plain_strings);
        p.id = 777;
        EXPECT_EQ(m_store->insert_positions_raw({p, p}), 2u);
        EXPECT_EQ(rows("SELECT id FROM positions_raw ORDER BY id"), (std::vector<sql_row>{{"1"}, {"2"}}));
    }

    void TearDown() override {
        if (!m_store)
            return;
        m_store.reset();
        try {
            qvd::test_support::run_sql(m_endpoint, "DROP DATABASE IF EXISTS `" + m_database + "`");
        } catch (const std::exception&) {
            // A server of the test's own is gone with its databases.
        }
    }

    mariadb_endpoint m_endpoint;
    const std::string m_database = qvd::test_support::test_database_name("lomvera_store_values_");
    std::unique_ptr<column_store_impl> m_store;
};

TEST_F(column_store_values, each_insert_stores_exactly_the_records_values) { check_all_kinds(plain_strings); }

TEST_F(column_store_values, hostile_strings_are_stored_unchanged_and_run_nothing_else) { check_hostile_strings(); }

TEST_F(column_store_values, empty_texts_stay_empty_and_absent_ones_null) { check_empty_texts(); }

TEST_F(column_store_values, the_id_of_a_position_is_left_to_the_table) { check_default_id(); }

TEST_F(column_store_values, years_before_1000_are_stored_as_they_are) {
    qvd::external_event e;
    e.ts = at_ms(-59028694154993);         // 0099-06-15 12:30:45.007
    e.created_at = at_ms(-30610224000001); // 0999-12-31 23:59:59.999
    EXPECT_EQ(m_store->insert_external_events({e}), 1u);
    EXPECT_EQ(rows("SELECT ts, created_at FROM external_events"),
              (std::vector<sql_row>{{"0099-06-15 12:30:45.007", "0999-12-31 23:59:59.999"}}));
    EXPECT_TRUE(m_store->check_presence("external_events", e));
}

// The same checks on a server whose sessions start with NO_BACKSLASH_ESCAPES: one test, so that
// one server start serves them all.
TEST_F(column_store_values, under_no_backslash_escapes_every_value_is_stored_unchanged) {
    qvd::test_support::private_mariadb_server server(
        0, {"--sql-mode=STRICT_TRANS_TABLES,NO_ENGINE_SUBSTITUTION,NO_BACKSLASH_ESCAPES"});
    server.start();
    ASSERT_EQ(
        qvd::test_support::query_value(server.endpoint(), "SELECT @@GLOBAL.sql_mode LIKE '%NO_BACKSLASH_ESCAPES%'"),
        "1");
    use(server.endpoint());
    check_all_kinds(plain_strings);
    use(server.endpoint());
    check_hostile_strings();
    use(server.endpoint());
    check_empty_texts();
    use(server.endpoint());
    check_default_id();
    m_store.reset();
}

class column_store_test : public ::testing::Test {
protected:
    void SetUp() override {
        LOMVERA_REQUIRE_MARIADB();
        load_column_store(endpoint(), m_database);
        m_store = open_store(endpoint(), m_database);
    }

    static const mariadb_endpoint& endpoint() { return qvd::test_support::shared_mariadb(); }

    void sql(const std::string& _sql) const { qvd::test_support::run_sql(endpoint(), _sql, m_database); }

    std::string value(const std::string& _sql) const {
        return qvd::test_support::query_value(endpoint(), _sql, m_database).value_or("NULL");
    }

    // The message of the exception that the callable throws.
    template <class F>
    static std::string failure_of(F _f) {
        try {
            _f();
        } catch (const qvd::libs::core::exception& e) {
            return e.get_string_error();
        }
        return "no exception";
    }

    void TearDown() override {
        if (m_store)
            qvd::test_support::run_sql(endpoint(), "DROP DATABASE IF EXISTS `" + m_database + "`");
    }

    const std::string m_database = qvd::test_support::test_database_name("lomvera_store_checks_");
    std::unique_ptr<column_store_impl> m_store;
};

TEST_F(column_store_test, structure_check_passes_on_the_fixture) {
    EXPECT_NO_THROW(m_store->check_structure());
    std::string err_str = "untouched";
    EXPECT_TRUE(m_store->check_columns(column_store::heartbeats, err_str));
    EXPECT_EQ(err_str, "untouched");
}

TEST_F(column_store_test, structure_check_names_the_first_difference) {
    struct case_t {
        std::string change;
        std::string undo;
        std::string message;
    };
    const std::vector<case_t> cases = {
        {"ALTER TABLE zone_events ADD COLUMN extra INT", "ALTER TABLE zone_events DROP COLUMN extra",
         "Table: zone_events, the number of columns does not match"},
        {"ALTER TABLE external_events MODIFY mac_address CHAR(12) NULL AFTER event_info",
         "ALTER TABLE external_events MODIFY mac_address CHAR(12) NULL AFTER object_name",
         "Table: external_events, field names do not match: \"event_info\", \"mac_address\""},
        {"ALTER TABLE heartbeats MODIFY category CHAR(4) NULL", "ALTER TABLE heartbeats MODIFY category CHAR(3) NULL",
         "Table: heartbeats, field: \"category\": types do not match: \"char(4)\", \"char(3)\""},
        {"ALTER TABLE node_parameters MODIFY obj_uid CHAR(22) NOT NULL",
         "ALTER TABLE node_parameters MODIFY obj_uid CHAR(22) NULL",
         "Table: node_parameters, field: \"obj_uid\": null do not match: \"no\", \"yes\""},
        {"ALTER TABLE vehicle_driver_associations_open MODIFY id INT(11) NOT NULL",
         "ALTER TABLE vehicle_driver_associations_open MODIFY id INT(11) NULL",
         "Table: vehicle_driver_associations_open, field: \"id\": null do not match: \"no\", \"yes\""},
    };
    for (const auto& c : cases) {
        sql(c.change);
        EXPECT_EQ(failure_of([&] { m_store->check_structure(); }), c.message) << c.change;
        sql(c.undo);
    }
    EXPECT_NO_THROW(m_store->check_structure());

    // Two changed tables: only the first one in schema order is reported.
    sql("ALTER TABLE node_parameters ADD COLUMN extra INT; ALTER TABLE positions_raw DROP COLUMN to_type_id");
    EXPECT_EQ(failure_of([&] { m_store->check_structure(); }),
              "Table: positions_raw, the number of columns does not match");
}

TEST_F(column_store_test, a_missing_table_fails_the_check_with_the_servers_text) {
    sql("DROP TABLE zone_events_open");
    const std::string message = failure_of([&] { m_store->check_structure(); });
    EXPECT_NE(message.find("zone_events_open"), std::string::npos) << message;
    EXPECT_NE(message.find("doesn't exist"), std::string::npos) << message;
}

TEST_F(column_store_test, an_empty_batch_is_refused_before_any_sql) {
    // The table is gone: a statement sent to the server would fail with the server's text instead.
    sql("DROP TABLE heartbeats");
    EXPECT_EQ(failure_of([&] { m_store->insert_heartbeats({}); }),
              "Cannot insert an empty batch into table heartbeats");
    EXPECT_EQ(failure_of([&] { m_store->insert_positions_raw({}); }),
              "Cannot insert an empty batch into table positions_raw");
    EXPECT_EQ(failure_of([&] { m_store->insert_node_parameters({}); }),
              "Cannot insert an empty batch into table node_parameters");
}

// A refused batch stores nothing. Where the server names the row it refused ("at row N", counted
// within the statement), the failure also names that record by its table and runtime row id.
TEST_F(column_store_test, a_refused_statement_fails_the_whole_batch_with_the_servers_text) {
    std::vector<qvd::heartbeat> heartbeats(3);
    for (std::size_t i = 0; i < heartbeats.size(); ++i)
        heartbeats[i].id = 101 + i;
    heartbeats[2].category = std::string("ABCD"); // longer than char(3) in a strict session

    std::vector<qvd::position> positions(3);
    for (std::size_t i = 0; i < positions.size(); ++i)
        positions[i].id = 201 + static_cast<long long>(i);
    positions[1].fom = 99999; // beyond smallint

    std::vector<qvd::zone_event> zone_events(3);
    for (std::size_t i = 0; i < zone_events.size(); ++i) {
        zone_events[i].id_enter = 301 + 2 * static_cast<int>(i);
        zone_events[i].id_leave = 302 + 2 * static_cast<int>(i);
    }
    const timestamp year_10000 = at_ms(253402300800000);
    zone_events[1].leave_time = year_10000;

    std::vector<qvd::node_parameter> node_parameters(2);
    node_parameters[0].id = 401;
    node_parameters[1].id = 4000000000U;
    node_parameters[1].mac_address = std::string("aa:bb:cc:dd:ee:ff"); // longer than char(12)

    struct case_t {
        std::string table;
        std::function<void()> insert;
        std::string message;
    };
    const std::vector<case_t> cases = {
        {"heartbeats", [&] { m_store->insert_heartbeats(heartbeats); },
         "Data too long for column 'category' at row 3 (table heartbeats, row id 103)"},
        {"positions_raw", [&] { m_store->insert_positions_raw(positions); },
         "Out of range value for column 'fom' at row 2 (table positions_raw, row id 202)"},
        {"zone_events", [&] { m_store->insert_zone_events(zone_events); },
         "Incorrect datetime value: '" + column_store_impl::to_iso_8601_with_ms_string(year_10000) + "' for column `" +
             m_database +
             "`.`zone_events`.`leave_time` at row 2 (table zone_events, enter row id 303, leave row id 304)"},
        {"node_parameters", [&] { m_store->insert_node_parameters(node_parameters); },
         "Data too long for column 'mac_address' at row 2 (table node_parameters, row id 4000000000)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failure_of(c.insert), c.message) << c.table;
        EXPECT_EQ(value("SELECT COUNT(*) FROM " + c.table), "0") << c.table;
    }

    // A failure that names no row stays the server's text alone.
    sql("DROP TABLE positions_raw");
    EXPECT_EQ(failure_of([&] { m_store->insert_positions_raw(positions); }),
              "Table '" + m_database + ".positions_raw' doesn't exist");
}

TEST_F(column_store_test, presence_of_each_kind) {
    qvd::position p = make_position(plain_strings);
    m_store->insert_positions_raw({p});
    EXPECT_TRUE(m_store->check_presence("positions_raw", p));
    p.ts = p.ts + std::chrono::milliseconds(1);
    EXPECT_FALSE(m_store->check_presence("positions_raw", p));

    qvd::external_event e;
    e.ts = some_time;
    m_store->insert_external_events({e});
    EXPECT_TRUE(m_store->check_presence("external_events", e));
    e.object_uid = std::string("O");
    EXPECT_FALSE(m_store->check_presence("external_events", e));

    qvd::zone_event z = make_zone_event(plain_strings);
    m_store->insert_zone_events({z});
    EXPECT_TRUE(m_store->check_presence("zone_events", z));
    z.trackable_uid = "other";
    EXPECT_FALSE(m_store->check_presence("zone_events", z));

    qvd::vehicle_driver_association v;
    v.id = 42;
    m_store->insert_vehicle_driver_associations({v});
    EXPECT_TRUE(m_store->check_presence("vehicle_driver_associations", v));
    v.id = 43;
    EXPECT_FALSE(m_store->check_presence("vehicle_driver_associations", v));

    qvd::heartbeat h;
    h.id = 18446744073709551615UL;
    m_store->insert_heartbeats({h});
    EXPECT_TRUE(m_store->check_presence("heartbeats", h));
    h.id = 1;
    EXPECT_FALSE(m_store->check_presence("heartbeats", h));

    // Absent fields are matched as NULL, present ones by value.
    qvd::node_parameter n;
    m_store->insert_node_parameters({n});
    EXPECT_TRUE(m_store->check_presence("node_parameters", n));
    n.obj_uid = std::string("O");
    EXPECT_FALSE(m_store->check_presence("node_parameters", n));
    n = make_node_parameter(hostile_strings);
    n.obj_uid = boost::none;
    m_store->insert_node_parameters({n});
    EXPECT_TRUE(m_store->check_presence("node_parameters", n));
    n.param_value = std::string("other");
    EXPECT_FALSE(m_store->check_presence("node_parameters", n));
}

// A row that matches a record only in the columns that once identified it (the same tag and
// instant elsewhere, nested zones entered at one instant, the same action by another user, a
// reused id) is not the record's row; the record's own row is.
TEST_F(column_store_test, only_a_row_with_every_written_value_is_the_records) {
    const auto expect_lookalike_is_not = [&](const std::string& _table, const auto& _record, auto _lookalike,
                                             auto _insert) {
        SCOPED_TRACE(_table);
        _insert(std::vector<std::decay_t<decltype(_record)>>{_lookalike});
        EXPECT_FALSE(m_store->check_presence(_table, _record));
        _insert(std::vector<std::decay_t<decltype(_record)>>{_record});
        EXPECT_TRUE(m_store->check_presence(_table, _record));
    };
    const column_store_impl& store = *m_store;

    const qvd::position p = make_position(plain_strings);
    qvd::position elsewhere = p;
    elsewhere.x = 1;
    expect_lookalike_is_not("positions_raw", p, elsewhere, [&](const auto& _b) { store.insert_positions_raw(_b); });

    const qvd::zone_event z = make_zone_event(plain_strings);
    qvd::zone_event outer_zone = z;
    outer_zone.zone_uid = std::string("outer");
    expect_lookalike_is_not("zone_events", z, outer_zone, [&](const auto& _b) { store.insert_zone_events(_b); });

    const qvd::external_event e = make_external_event(plain_strings);
    qvd::external_event other_type = e;
    other_type.event_type = std::string("other");
    expect_lookalike_is_not("external_events", e, other_type,
                            [&](const auto& _b) { store.insert_external_events(_b); });

    const qvd::activity a = make_activity(plain_strings);
    qvd::activity other_user = a;
    other_user.created_by = "someone else";
    expect_lookalike_is_not("sys_journal_staging", a, other_user,
                            [&](const auto& _b) { store.insert_sys_journal_staging(_b); });

    const qvd::vehicle_driver_association v = make_vehicle_driver_association(plain_strings);
    qvd::vehicle_driver_association reused_id = v;
    reused_id.driver_uid = std::string("another driver");
    expect_lookalike_is_not("vehicle_driver_associations", v, reused_id,
                            [&](const auto& _b) { store.insert_vehicle_driver_associations(_b); });

    const qvd::heartbeat h = make_heartbeat(plain_strings);
    qvd::heartbeat reused_heartbeat_id = h;
    reused_heartbeat_id.ts = boost::none;
    expect_lookalike_is_not("heartbeats", h, reused_heartbeat_id, [&](const auto& _b) { store.insert_heartbeats(_b); });

    const qvd::node_parameter n = make_node_parameter(plain_strings);
    qvd::node_parameter other_value = n;
    other_value.param_value = std::string("other");
    expect_lookalike_is_not("node_parameters", n, other_value,
                            [&](const auto& _b) { store.insert_node_parameters(_b); });
}

// Texts compare byte for byte whatever the table's collation: another case or a trailing blank is
// another value. A CHAR column, which gives its value back without trailing blanks, still finds
// what was inserted.
TEST_F(column_store_test, presence_compares_texts_byte_for_byte) {
    sql("ALTER TABLE external_events CONVERT TO CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci");
    qvd::external_event e;
    e.ts = some_time;
    e.event_info = std::string("Text");
    e.object_uid = std::string("O1");
    qvd::external_event upper = e;
    upper.event_info = std::string("TEXT");
    qvd::external_event blank = e;
    blank.event_info = std::string("Text ");
    m_store->insert_external_events({upper, blank});
    EXPECT_FALSE(m_store->check_presence("external_events", e));

    qvd::external_event padded = e;
    padded.object_uid = std::string("O1  ");
    m_store->insert_external_events({padded});
    EXPECT_TRUE(m_store->check_presence("external_events", padded));
}

TEST_F(column_store_test, an_activity_is_found_in_staging_then_in_the_journal) {
    const qvd::activity staged = make_activity(hostile_strings);
    qvd::activity journalled = make_activity(plain_strings);
    journalled.object = "journalled";
    qvd::activity nowhere = journalled;
    nowhere.created_at = nowhere.created_at + std::chrono::milliseconds(1);

    m_store->insert_sys_journal_staging({staged, journalled});
    sql("INSERT INTO sys_journal SELECT * FROM sys_journal_staging WHERE object = 'journalled';"
        "DELETE FROM sys_journal_staging WHERE object = 'journalled'");

    EXPECT_TRUE(m_store->check_presence("sys_journal_staging", staged));
    EXPECT_TRUE(m_store->check_presence("sys_journal_staging", journalled));
    EXPECT_FALSE(m_store->check_presence("sys_journal_staging", nowhere));

    // A journal table that does not exist holds no row; the staging table still must exist.
    sql("DROP TABLE sys_journal");
    EXPECT_TRUE(m_store->check_presence("sys_journal_staging", staged));
    EXPECT_FALSE(m_store->check_presence("sys_journal_staging", nowhere));
    EXPECT_FALSE(m_store->check_presence("sys_journal_staging", journalled));
    sql("DROP TABLE sys_journal_staging");
    EXPECT_NE(failure_of([&] { m_store->check_presence("sys_journal_staging", staged); }).find("sys_journal_staging"),
              std::string::npos);
}

TEST_F(column_store_test, truncation_empties_a_table) {
    EXPECT_EQ(m_store->truncate_table("zone_events_open"), 0u);
    m_store->insert_zone_events_open({make_zone_event_open(plain_strings), qvd::zone_event_open()});
    EXPECT_EQ(value("SELECT COUNT(*) FROM zone_events_open"), "2");
    m_store->truncate_table("zone_events_open");
    EXPECT_EQ(value("SELECT COUNT(*) FROM zone_events_open"), "0");
    EXPECT_NE(failure_of([&] { m_store->truncate_table("no_such_table"); }).find("no_such_table"), std::string::npos);
}

// A column store on a private server whose max_allowed_packet is 16384 bytes.
class column_store_on_a_small_packet_limit : public ::testing::Test {
protected:
    void SetUp() override {
        m_server.start();
        load_column_store(m_server.endpoint(), m_database);
        m_store = open_store(m_server.endpoint(), m_database);
    }

    std::string value(const std::string& _query) const {
        return *qvd::test_support::query_value(m_server.endpoint(), _query, m_database);
    }

    qvd::test_support::private_mariadb_server m_server{0, {"--max-allowed-packet=16384"}};
    const std::string m_database = qvd::test_support::test_database_name("lomvera_store_packet_");
    std::unique_ptr<column_store_impl> m_store;
};

// Under a small max_allowed_packet an open table is refilled with several INSERTs, each counting its
// rows from 1: a row refused in a later one is still named by its own row id.
TEST_F(column_store_on_a_small_packet_limit, a_row_refused_in_a_later_statement_is_named_by_its_row_id) {
    const auto& store = m_store;
    const auto count = [&](const std::string& _table) { return std::stoul(value("SELECT COUNT(*) FROM " + _table)); };
    const auto failure_of = [](const std::function<void()>& _insert) {
        try {
            _insert();
        } catch (const qvd::libs::core::exception& e) {
            return e.get_string_error();
        }
        return std::string("no exception");
    };
    // About 30 KB of rows each: at least two statements; the refused row is the last.
    constexpr int rows = 300;

    std::vector<qvd::vehicle_driver_association_open> associations(rows);
    for (int i = 0; i < rows; ++i) {
        associations[i].id = 1001 + i;
        associations[i].vehicle_uid = "vehicle" + std::to_string(i);
    }
    associations.back().vehicle_mac = std::string("aa:bb:cc:dd:ee:ff");
    const std::string association_failure =
        failure_of([&] { store->insert_vehicle_driver_associations_open(associations); });
    // The statements before the refused one are in.
    const unsigned long stored_associations = count("vehicle_driver_associations_open");
    EXPECT_GT(stored_associations, 0u);
    EXPECT_EQ(association_failure, "Data too long for column 'vehicle_mac' at row " +
                                       std::to_string(rows - stored_associations) +
                                       " (table vehicle_driver_associations_open, row id 1300)");

    std::vector<qvd::zone_event_open> zone_events(rows);
    for (int i = 0; i < rows; ++i) {
        zone_events[i].id = 2001 + i;
        zone_events[i].trackable_uid = "trackable" + std::to_string(i);
    }
    zone_events.back().zone_uid = std::string(23, 'z'); // longer than char(22)
    const std::string zone_event_failure = failure_of([&] { store->insert_zone_events_open(zone_events); });
    const unsigned long stored_zone_events = count("zone_events_open");
    EXPECT_GT(stored_zone_events, 0u);
    EXPECT_EQ(zone_event_failure, "Data too long for column 'zone_uid' at row " +
                                      std::to_string(rows - stored_zone_events) +
                                      " (table zone_events_open, row id 2300)");
}

// Under a small max_allowed_packet a batch is cut after the last row whose INSERT still fits; the
// insert that follows the count stores the rows it is given, also when its first or last row
// changed after the count.
TEST_F(column_store_on_a_small_packet_limit, a_batch_is_cut_after_the_last_row_that_fits) {
    const auto& store = m_store;

    // Rows of unlike lengths, so that the limit falls within the batch.
    std::vector<qvd::position> batch(400);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        batch[i].trackable_id = static_cast<long long>(i + 1);
        batch[i].trackable_uid = std::string(i % 5, 'o') + "obj" + std::to_string(i);
        batch[i].ts = timestamp(1700000000 + static_cast<std::time_t>(i), static_cast<int>(i % 1000));
        batch[i].area_uid = "area";
    }
    const std::size_t budget = 16384 - 1024;
    const std::size_t fitting = store->fitting_rows(batch);
    ASSERT_GT(fitting, 1u);
    ASSERT_LT(fitting, batch.size());
    const auto statement_size = [&](std::size_t _rows) {
        return column_store_impl::make_insert(
                   std::vector<qvd::position>(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(_rows)))
            .size();
    };
    EXPECT_LE(statement_size(fitting), budget);
    EXPECT_GT(statement_size(fitting + 1), budget);

    // Cut as a processor cuts it after the count.
    batch.erase(batch.begin() + static_cast<std::ptrdiff_t>(fitting), batch.end());
    EXPECT_EQ(store->insert_positions_raw(batch), fitting);
    EXPECT_EQ(value("SELECT COUNT(*) FROM positions_raw"), std::to_string(fitting));
    EXPECT_EQ(value("SELECT COUNT(DISTINCT ts) FROM positions_raw"), std::to_string(fitting));
    EXPECT_EQ(value("SELECT MAX(trackable_id) FROM positions_raw"), std::to_string(fitting));

    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "first row changed" : "last row changed");
        store->truncate_table("positions_raw");
        ASSERT_EQ(store->fitting_rows(batch), fitting);
        qvd::position& changed = first ? batch.front() : batch.back();
        changed.x = first ? 11 : 22;
        EXPECT_EQ(store->insert_positions_raw(batch), fitting);
        EXPECT_EQ(value("SELECT COUNT(*) FROM positions_raw"), std::to_string(fitting));
        EXPECT_EQ(value("SELECT COUNT(*) FROM positions_raw WHERE x = " + std::to_string(*changed.x)), "1");
    }
}

// The debug lines of the operations, read from the logger's ZeroMQ stream.
TEST(column_store_log, operations_log_what_they_do_and_their_result) {
    LOMVERA_REQUIRE_MARIADB();
    const std::string database = qvd::test_support::test_database_name("lomvera_store_log_");
    load_column_store(qvd::test_support::shared_mariadb(), database);

    // The reader outlives the logger pushing to it.
    const qvd::test_support::zmq_reader reader;
    qvd::libs::core::logger logger("lomvera_store_test", "main");
    logger.connect(reader.endpoint());

    const no_signal signals;
    const auto& endpoint = qvd::test_support::shared_mariadb();
    {
        const column_store_impl store(endpoint.host, endpoint.user, endpoint.password, database, endpoint.port, signals,
                                      logger);
        qvd::vehicle_driver_association v;
        v.id = 42;
        store.insert_vehicle_driver_associations({v, v});
        // Without created_at the logged time is "--"; the row is still found by its id.
        EXPECT_TRUE(store.check_presence("vehicle_driver_associations", v));
        qvd::position p;
        p.ts = some_time;
        EXPECT_FALSE(store.check_presence("positions_raw", p));
        store.truncate_table("zone_events_open");
    }

    // Until the last operation's line is in; the checks below tell what is missing.
    reader.wait_for([](const std::string& _line) { return _line.find("truncating") != std::string::npos; });
    std::vector<std::string> bodies;
    const std::string prefix = "&lomvera_store_test:main ";
    for (const auto& line : reader.messages()) {
        // Prefix, then the date text of 24 characters, then the indentation and the body.
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
        bodies.push_back(line.substr(prefix.size() + 24));
        if (bodies.back().find("truncating") != std::string::npos)
            break;
    }
    const std::vector<std::string> expected = {
        "qvd::store::column_store_impl::insert_vehicle_driver_associations: ",
        "    | inserting 2 rows into table vehicle_driver_associations",
        "    | result: 2",
        "qvd::store::column_store_impl::check_presence: ",
        "    | checking presence of row with ts = -- in table vehicle_driver_associations",
        "    | result: 1",
        "qvd::store::column_store_impl::check_presence: ",
        "    | checking presence of row with ts = 2024-03-05T07:08:09.010Z in table positions_raw",
        "    | result: 0",
        "qvd::store::column_store_impl::truncate_table: ",
        "    | truncating table zone_events_open",
    };
    // The connection holder may log lines of its own before these.
    const auto first = std::find(bodies.begin(), bodies.end(), expected.front());
    ASSERT_NE(first, bodies.end());
    EXPECT_EQ(std::vector<std::string>(first, bodies.end()), expected);
    qvd::test_support::run_sql(endpoint, "DROP DATABASE IF EXISTS `" + database + "`");
}

// Without sys_journal every probe of an activity that is not staged says "not found", and one
// warning names the table, however many stores and probes there are.
TEST(column_store_log, a_missing_journal_table_is_warned_about_once) {
    LOMVERA_REQUIRE_MARIADB();
    const std::string database = qvd::test_support::test_database_name("lomvera_store_nojournal_");
    load_column_store(qvd::test_support::shared_mariadb(), database);
    qvd::test_support::run_sql(qvd::test_support::shared_mariadb(), "DROP TABLE sys_journal", database);

    const qvd::test_support::zmq_reader reader;
    qvd::libs::core::logger logger("lomvera_store_test", "main");
    logger.connect(reader.endpoint());
    const no_signal signals;
    const auto& endpoint = qvd::test_support::shared_mariadb();
    qvd::activity activity;
    activity.created_at = some_time;
    activity.action = "create";
    activity.object = "zone";
    for (int store_number = 0; store_number < 2; ++store_number) {
        const column_store_impl store(endpoint.host, endpoint.user, endpoint.password, database, endpoint.port, signals,
                                      logger);
        EXPECT_FALSE(store.check_presence("sys_journal_staging", activity));
        EXPECT_FALSE(store.check_presence("sys_journal_staging", activity));
        // The second store's truncation is the last line to wait for.
        store.truncate_table(store_number == 0 ? "zone_events_open" : "vehicle_driver_associations_open");
    }
    ASSERT_TRUE(reader.wait_for_suffix("truncating table vehicle_driver_associations_open"));
    std::vector<std::string> warnings;
    for (const auto& line : reader.messages())
        if (line.find("sys_journal ") != std::string::npos && line.find("does not exist") != std::string::npos)
            warnings.push_back(line);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("table sys_journal does not exist in the column store"), std::string::npos)
        << warnings[0];
    qvd::test_support::run_sql(endpoint, "DROP DATABASE IF EXISTS `" + database + "`");
}

} // namespace

namespace {

// One value the server stores otherwise than it was written, without an error in the sessions'
// strict mode: the record to insert, the stored value's character count the server reports, and
// the probe of the same record, which must find the row as the column keeps it.
struct kept_value_case {
    const char* name;
    std::string table;
    std::function<void(const column_store&)> insert;
    std::function<bool(const column_store&)> probe;
    const char* stored_length; // SELECT of CHAR_LENGTH of the column
    long long expected_length;
};

template <class Record>
kept_value_case kept_case(const char* _name, Record _record, const char* _stored_length, long long _expected,
                          unsigned long long (column_store::*_insert)(const std::vector<Record>&) const) {
    const std::string table = qvd::store::kind<Record>::table.name;
    return {_name,
            table,
            [=](const column_store& _store) { (_store.*_insert)({_record}); },
            [=](const column_store& _store) { return _store.check_presence(table, _record); },
            _stored_length,
            _expected};
}

} // namespace

// The texts the server cuts to their column's width when the rest is blanks, the CHAR columns'
// padding, and the values it keeps as written (fractions of a second, trailing blanks within the
// width, a MEDIUMTEXT's): each row is found by the probe of its record, once.
TEST_F(column_store_test, a_probe_finds_each_value_as_its_column_keeps_it) {
    const std::string blanks(20, ' ');
    std::vector<kept_value_case> cases;
    {
        qvd::external_event e = make_external_event(plain_strings);
        e.event_info = std::string(7990, 'i') + blanks;
        cases.push_back(kept_case("varchar(8000) event_info, 7990 characters and 20 blanks", e,
                                  "SELECT CHAR_LENGTH(event_info) FROM external_events", 8000,
                                  &column_store::insert_external_events));
    }
    {
        qvd::external_event e = make_external_event(plain_strings);
        std::string name;
        for (int i = 0; i < 510; ++i)
            name += "東";
        e.object_name = name + blanks;
        cases.push_back(kept_case("varchar(512) object_name of 3-byte characters, counted as characters", e,
                                  "SELECT CHAR_LENGTH(object_name) FROM external_events", 512,
                                  &column_store::insert_external_events));
    }
    {
        qvd::external_event e = make_external_event(plain_strings);
        e.created_at = at_ms(1709622489999);
        e.event_type = std::string("type   ");
        cases.push_back(kept_case("datetime(3) .999 and varchar(15) blanks within the width, kept", e,
                                  "SELECT CHAR_LENGTH(event_type) FROM external_events", 7,
                                  &column_store::insert_external_events));
    }
    {
        qvd::node_parameter n = make_node_parameter(plain_strings);
        n.param_value = std::string(7995, 'v') + "ééééé" + blanks;
        cases.push_back(kept_case("varchar(8000) param_value, multi-byte, escaped", n,
                                  "SELECT CHAR_LENGTH(param_value) FROM node_parameters", 8000,
                                  &column_store::insert_node_parameters));
    }
    {
        qvd::position p = make_position(plain_strings);
        p.slvr_mode = std::string("mode") + blanks;
        p.trackable_uid = std::string(22, 'u') + "   ";
        p.mac_address = std::string("A0B1  ");
        cases.push_back(kept_case("varchar(15) slvr_mode, char(22) cut, char(12) padded", p,
                                  "SELECT CONCAT(CHAR_LENGTH(slvr_mode), CHAR_LENGTH(trackable_uid), "
                                  "CHAR_LENGTH(mac_address)) FROM positions_raw",
                                  15224, &column_store::insert_positions_raw));
    }
    {
        qvd::zone_event z = make_zone_event(plain_strings);
        z.trackable_name = std::string(250, 'n') + blanks;
        z.zone_type_name = std::string(36, 't') + " ";
        cases.push_back(kept_case("varchar(255) NOT NULL trackable_name, varchar(36) zone_type_name", z,
                                  "SELECT CHAR_LENGTH(trackable_name) + CHAR_LENGTH(zone_type_name) FROM zone_events",
                                  291, &column_store::insert_zone_events));
    }
    {
        qvd::activity a = make_activity(plain_strings);
        a.action = std::string(48, 'a') + "'" + blanks;
        a.plist = std::string("list") + blanks;
        cases.push_back(kept_case("varchar(50) action, escaped; mediumtext plist keeps its blanks", a,
                                  "SELECT CHAR_LENGTH(action) + CHAR_LENGTH(plist) FROM sys_journal_staging", 74,
                                  &column_store::insert_sys_journal_staging));
    }
    {
        qvd::vehicle_driver_association v = make_vehicle_driver_association(plain_strings);
        v.event_id = std::string(10, 'e') + blanks;
        v.vehicle_name = std::string(255, 'v') + blanks;
        cases.push_back(kept_case("char(10) event_id, varchar(255) vehicle_name", v,
                                  "SELECT CHAR_LENGTH(event_id) + CHAR_LENGTH(vehicle_name) FROM "
                                  "vehicle_driver_associations",
                                  265, &column_store::insert_vehicle_driver_associations));
    }
    {
        qvd::heartbeat h = make_heartbeat(plain_strings);
        h.category = std::string("AB") + blanks;
        h.sw_version = std::string(8, 's') + " ";
        cases.push_back(kept_case("char(3) category, char(8) sw_version", h,
                                  "SELECT CHAR_LENGTH(category) + CHAR_LENGTH(sw_version) FROM heartbeats", 10,
                                  &column_store::insert_heartbeats));
    }

    for (const kept_value_case& c : cases) {
        SCOPED_TRACE(c.name);
        sql("DELETE FROM " + c.table);
        ASSERT_NO_THROW(c.insert(*m_store));
        // The server did change the value...
        EXPECT_EQ(value(c.stored_length), std::to_string(c.expected_length));
        // ... and the probe finds the row as the column keeps it.
        EXPECT_TRUE(c.probe(*m_store));
    }
}

// A text cut by its column is found only when what the column keeps is the record's: another
// text within the width is another row.
TEST_F(column_store_test, a_cut_text_is_found_only_by_its_kept_part) {
    qvd::external_event e = make_external_event(plain_strings);
    e.event_info = std::string(7999, 'i') + "j" + std::string(20, ' ');
    m_store->insert_external_events({e});
    qvd::external_event other = e;
    other.event_info = std::string(7999, 'i') + "k" + std::string(20, ' ');
    EXPECT_FALSE(m_store->check_presence("external_events", other));
    qvd::external_event shorter = e;
    shorter.event_info = std::string(7999, 'i') + "j";
    EXPECT_TRUE(m_store->check_presence("external_events", shorter));
    EXPECT_TRUE(m_store->check_presence("external_events", e));
}
