#include "db_test_support.hpp"

#include "runtime/database_impl.hpp"
#include "runtime/kind.hpp"

#include <core/exception.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using qvd::db_test::captured_logger;
using qvd::db_test::log_time;
using qvd::db_test::signal_watch;
using qvd::test_support::query_sql;
using qvd::test_support::query_value;
using qvd::test_support::run_sql;
using qvd::test_support::shared_mariadb;
using qvd::test_support::test_database_name;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The time of a UTC text as a timestamp.
qvd::timestamp utc(const std::string& _text) {
    std::tm fields{};
    fields.tm_year = std::stoi(_text.substr(0, 4)) - 1900;
    fields.tm_mon = std::stoi(_text.substr(5, 2)) - 1;
    fields.tm_mday = std::stoi(_text.substr(8, 2));
    fields.tm_hour = std::stoi(_text.substr(11, 2));
    fields.tm_min = std::stoi(_text.substr(14, 2));
    fields.tm_sec = std::stoi(_text.substr(17, 2));
    const unsigned ms = _text.size() > 20 ? static_cast<unsigned>(std::stoi(_text.substr(20, 3))) : 0;
    return qvd::timestamp(timegm(&fields), ms);
}

class runtime_database : public ::testing::Test {
protected:
    void SetUp() override {
        LOMVERA_REQUIRE_MARIADB();
        m_schema = qvd::db_test::load_runtime_database(test_database_name("lomvera_db_rt_"));
        m_logger = std::make_unique<captured_logger>();
        m_watch = std::make_unique<signal_watch>(m_logger->get());
        const auto& server = shared_mariadb();
        m_database = std::make_unique<qvd::runtime::database_impl>(server.host, server.user, server.password, m_schema,
                                                                   server.port, m_watch->handle(), m_logger->get());
    }

    void TearDown() override {
        m_database.reset();
        m_watch.reset();
        m_logger.reset();
    }

    void sql(const std::string& _sql) const { run_sql(shared_mariadb(), _sql, m_schema); }

    std::vector<std::string> ids(const std::string& _table) const {
        std::vector<std::string> result;
        for (const auto& row : query_sql(shared_mariadb(), "SELECT id FROM " + _table + " ORDER BY id", m_schema))
            result.push_back(row.at(0).value_or("NULL"));
        return result;
    }

    std::vector<std::string> indexes(const std::string& _table) const {
        std::vector<std::string> result;
        for (const auto& row : query_sql(shared_mariadb(),
                                         "SELECT DISTINCT index_name FROM information_schema.statistics WHERE "
                                         "table_schema = DATABASE() AND table_name = '" +
                                             _table + "'",
                                         m_schema))
            result.push_back(row.at(0).value_or(""));
        std::sort(result.begin(), result.end());
        return result;
    }

    ::testing::AssertionResult logged(const std::string& _text) const {
        if (m_logger->wait_for(_text))
            return ::testing::AssertionSuccess();
        auto failure = ::testing::AssertionFailure() << "no line with \"" << _text << "\" among:";
        for (const auto& line : m_logger->lines())
            failure << "\n  " << line;
        return failure;
    }

    std::string m_schema;
    std::unique_ptr<captured_logger> m_logger;
    std::unique_ptr<signal_watch> m_watch;
    std::unique_ptr<qvd::runtime::database_impl> m_database;
};

const char* const insert_positions =
    "INSERT INTO position_histories (id, trackable_id, obj_uid, mac_address, ts, x, y, z, sublocation_uid, fom, "
    "sfsn, slvr_mode, edge_corr, pe_dims, type, project_uid, inactive, to_type_id) VALUES ";

TEST_F(runtime_database, reads_positions_with_every_field) {
    sql(std::string(insert_positions) +
        "(10, 1, 'obj-1', '00:aa', '2024-05-01 08:00:00.125', 1200, -340, -1, 'area-1', 3, 17, 'auto', -1, 2, "
        "'uwb', 'prj-1', 1, 5),"
        "(11, 2, NULL, NULL, '2024-05-01 08:00:01.000', NULL, NULL, NULL, '', NULL, NULL, '', NULL, NULL, NULL, "
        "NULL, NULL, NULL),"
        "(12, NULL, 'obj-9', NULL, '2024-05-01 08:00:02.000', 0, 0, 0, 'area-2', NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL, NULL, NULL)");

    const auto positions = m_database->get_positions(10);

    // The row without a trackable id is not moved.
    ASSERT_EQ(positions.size(), 2u);
    const qvd::position& full = positions[0];
    EXPECT_EQ(full.id, 10);
    EXPECT_EQ(full.trackable_id, 1);
    EXPECT_EQ(full.trackable_uid, "obj-1");
    EXPECT_EQ(full.mac_address, std::string("00:aa"));
    EXPECT_EQ(full.ts, utc("2024-05-01 08:00:00.125"));
    EXPECT_EQ(full.x, 1200);
    EXPECT_EQ(full.y, -340);
    EXPECT_EQ(full.z, -1);
    EXPECT_EQ(full.area_uid, "area-1");
    EXPECT_EQ(full.fom, 3);
    EXPECT_EQ(full.sfsn, 17);
    EXPECT_EQ(full.slvr_mode, std::string("auto"));
    EXPECT_EQ(full.edge_corr, -1);
    EXPECT_EQ(full.pe_dims, 2);
    EXPECT_EQ(full.type, std::string("uwb"));
    EXPECT_EQ(full.project_uid, std::string("prj-1"));
    EXPECT_EQ(full.inactive, short{1});
    EXPECT_EQ(full.to_type_id, 5);

    const qvd::position& sparse = positions[1];
    EXPECT_EQ(sparse.id, 11);
    EXPECT_EQ(sparse.trackable_uid, ""); // NULL uid reads as empty text
    EXPECT_FALSE(sparse.mac_address);
    EXPECT_FALSE(sparse.x);
    EXPECT_FALSE(sparse.fom);
    EXPECT_EQ(sparse.slvr_mode, std::string("")); // an empty text is not NULL
    EXPECT_FALSE(sparse.edge_corr);
    EXPECT_FALSE(sparse.inactive);
    EXPECT_FALSE(sparse.to_type_id);

    EXPECT_TRUE(logged("qvd::runtime::database_impl::get_positions: "));
    EXPECT_TRUE(logged("    | loading data from table position_histories"));
    EXPECT_TRUE(logged("    | done, size = 2, first ts =  " + log_time("2024-05-01 08:00:00.125") +
                       ", last ts =  " + log_time("2024-05-01 08:00:01.000")));
}

TEST_F(runtime_database, position_limit_bounds_the_batch) {
    sql(std::string(insert_positions) +
        "(1, 1, 'a', NULL, '2024-01-01 00:00:01', NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL),"
        "(2, 1, 'a', NULL, '2024-01-01 00:00:02', NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL),"
        "(3, 1, 'a', NULL, '2024-01-01 00:00:03', NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL)");

    EXPECT_EQ(m_database->get_positions(2).size(), 2u);
    const auto one = m_database->get_positions(1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(logged("done, size = 1, first ts =  " + log_time("2024-01-01 00:00:01.000") +
                       ", last ts =  " + log_time("2024-01-01 00:00:01.000")));
    EXPECT_TRUE(m_database->get_positions(0).empty());
    EXPECT_TRUE(logged("done, size = 0, first ts = --, last ts = --"));
    // A limit far above the rows present reserves room only for those.
    EXPECT_EQ(m_database->get_positions(4294967295u).size(), 3u);
}

TEST_F(runtime_database, a_refused_row_is_named_in_the_failure) {
    struct case_t {
        const char* name;
        std::string rows;
        std::function<void(const qvd::runtime::database&)> read;
        std::vector<std::string> expected;
    };
    const std::vector<case_t> cases{
        {"NULL time of a position",
         std::string(insert_positions) +
             "(20, 1, 'a', NULL, '2024-01-01 00:00:01', NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, "
             "NULL, NULL, NULL),"
             "(21, 1, 'a', NULL, NULL, NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)",
         [](const qvd::runtime::database& _db) { _db.get_positions(10); },
         {"invalid date format", " (table position_histories, row id 21, column ts)"}},
        {"zero date of a position",
         "SET SESSION sql_mode = ''; DELETE FROM position_histories; " + std::string(insert_positions) +
             "(-22, 1, 'a', NULL, '0000-00-00 00:00:00', NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, "
             "NULL, NULL, NULL)",
         [](const qvd::runtime::database& _db) { _db.get_positions(10); },
         {"Invalid date time: 0000-00-00T00:00:00.000", " (table position_histories, row id -22, column ts)"}},
        {"NULL creation time of an activity",
         "INSERT INTO activities (id, created_at, created_by, action, object) VALUES (5, NULL, 'u', 'a', 'o')",
         [](const qvd::runtime::database& _db) { _db.get_activities(10); },
         {"invalid date format", " (table activities, row id 5, column created_at)"}},
        {"heartbeat flags wider than 32 bits",
         "INSERT INTO heartbeats (id, ts, flags_raw) VALUES (7, '2024-01-01 00:00:00', 'ffffffff'), "
         "(8, '2024-01-01 00:00:01', '100000000')",
         [](const qvd::runtime::database& _db) { _db.get_heartbeats(10); },
         {"flags_raw 4294967296 does not fit in 32 bits", " (table heartbeats, row id 8, column flags_raw)"}},
        {"NULL leave time of a zone event",
         "INSERT INTO zone_event_history (id, uid, related_event, `action`, obj_uid, created_at) VALUES "
         "(1, 'e1', NULL, 'enter', 'o', '2024-01-01 00:00:00'), (2, 'l1', 'e1', 'leave', 'o', NULL)",
         [](const qvd::runtime::database& _db) { _db.get_zone_events(10); },
         {"invalid date format", " (table zone_event_history, enter row id 1, leave row id 2, column leave_time)"}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        sql(c.rows);
        try {
            c.read(*m_database);
            ADD_FAILURE() << "the read did not fail";
        } catch (const qvd::libs::core::exception& e) {
            for (const auto& part : c.expected)
                EXPECT_THAT(e.get_string_error(), HasSubstr(part));
            EXPECT_THAT(e.what(), HasSubstr("database_impl.cpp:"));
        }
    }
}

TEST_F(runtime_database, a_failing_query_keeps_the_server_text) {
    sql("DROP TABLE external_events");
    try {
        m_database->get_external_events(5);
        FAIL() << "the read did not fail";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_EQ(e.get_string_error(), "Table '" + m_schema + ".external_events' doesn't exist");
    }
}

TEST_F(runtime_database, reads_closed_and_open_zone_events) {
    sql("INSERT INTO tags (uid, name) VALUES ('prj-1', 'Project One');"
        "INSERT INTO sublocations (uid, name) VALUES ('area-1', 'Hall A');"
        "INSERT INTO zones (uid, name) VALUES ('zone-1', 'Entrance');"
        "INSERT INTO trackable_objects (uid, name) VALUES ('obj-1', 'Forklift 7');"
        "INSERT INTO zone_event_history (id, uid, related_event, `action`, obj_uid, sublocation_uid, zone_uid, "
        "zone_type_name, project_uid, created_at, duration, x, y, z) VALUES "
        "(1, 'ze-1', NULL, 'enter', 'obj-1', 'area-1', 'zone-1', 'entrance', 'prj-1', '2024-05-01 07:59:00.000', "
        "NULL, -5, 6, 7),"
        "(2, 'ze-2', 'ze-1', 'leave', 'obj-1', 'area-1', 'zone-1', 'entrance', 'prj-1', '2024-05-01 08:04:30.500', "
        "330, 8, -9, 10),"
        "(3, 'ze-3', NULL, 'enter', 'obj-x', NULL, NULL, NULL, NULL, '2024-05-01 09:00:00.000', NULL, NULL, NULL, "
        "NULL),"
        "(4, 'ze-4', 'ze-3', 'leave', 'obj-x', NULL, NULL, NULL, NULL, '2024-05-01 09:01:00.000', NULL, NULL, NULL, "
        "NULL),"
        "(5, 'ze-5', 'ze-missing', 'leave', 'obj-1', NULL, NULL, NULL, NULL, '2024-05-01 09:02:00.000', 1, NULL, "
        "NULL, NULL),"
        "(6, 'ze-6', NULL, 'enter', 'obj-1', 'area-1', 'zone-1', 'entrance', 'prj-1', '2024-05-01 10:00:00.250', "
        "NULL, 1, 2, 3)");

    const auto closed = m_database->get_zone_events(10);
    // The leave row whose enter row is missing is not a closed stay.
    ASSERT_EQ(closed.size(), 2u);
    const qvd::zone_event& named = closed[0];
    EXPECT_EQ(named.id_enter, 1);
    EXPECT_EQ(named.id_leave, 2);
    EXPECT_EQ(named.enter_time, utc("2024-05-01 07:59:00.000"));
    EXPECT_EQ(named.leave_time, utc("2024-05-01 08:04:30.500"));
    EXPECT_EQ(named.x_enter, -5);
    EXPECT_EQ(named.y_enter, 6);
    EXPECT_EQ(named.z_enter, 7);
    EXPECT_EQ(named.x_leave, 8);
    EXPECT_EQ(named.y_leave, -9);
    EXPECT_EQ(named.z_leave, 10);
    EXPECT_EQ(named.duration, 330);
    EXPECT_EQ(named.trackable_uid, "obj-1");
    EXPECT_EQ(named.trackable_name, std::string("Forklift 7"));
    EXPECT_EQ(named.area_uid, std::string("area-1"));
    EXPECT_EQ(named.area_name, std::string("Hall A"));
    EXPECT_EQ(named.zone_uid, std::string("zone-1"));
    EXPECT_EQ(named.zone_name, std::string("Entrance"));
    EXPECT_EQ(named.zone_type_name, std::string("entrance"));
    EXPECT_EQ(named.project_uid, std::string("prj-1"));
    EXPECT_EQ(named.project_name, std::string("Project One"));

    const qvd::zone_event& unnamed = closed[1];
    EXPECT_EQ(unnamed.id_enter, 3);
    EXPECT_EQ(unnamed.id_leave, 4);
    EXPECT_EQ(unnamed.trackable_uid, "obj-x");
    EXPECT_FALSE(unnamed.trackable_name);
    EXPECT_FALSE(unnamed.area_uid);
    EXPECT_FALSE(unnamed.area_name);
    EXPECT_FALSE(unnamed.zone_name);
    EXPECT_FALSE(unnamed.project_name);
    EXPECT_FALSE(unnamed.duration);
    EXPECT_FALSE(unnamed.x_enter);
    EXPECT_FALSE(unnamed.z_leave);
    EXPECT_TRUE(logged("loading closed zone events from table zone_event_history"));

    // Both rows of each stay go; the orphan leave row and the open enter row stay.
    EXPECT_EQ(m_database->delete_zone_events(closed), 4u);
    EXPECT_EQ(ids("zone_event_history"), (std::vector<std::string>{"5", "6"}));
    EXPECT_TRUE(logged("deleting 2 rows from zone_event_history. First enter_time =  " +
                       log_time("2024-05-01 07:59:00.000") + ", last =  " + log_time("2024-05-01 09:00:00.000")));
    EXPECT_TRUE(logged("result: 4"));

    const auto open = m_database->get_zone_events_open();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].id, 6);
    EXPECT_EQ(open[0].trackable_uid, "obj-1");
    EXPECT_EQ(open[0].trackable_name, std::string("Forklift 7"));
    EXPECT_EQ(open[0].area_uid, std::string("area-1"));
    EXPECT_EQ(open[0].area_name, std::string("Hall A"));
    EXPECT_EQ(open[0].enter_time, utc("2024-05-01 10:00:00.250"));
    EXPECT_EQ(open[0].zone_uid, std::string("zone-1"));
    EXPECT_EQ(open[0].zone_name, std::string("Entrance"));
    EXPECT_EQ(open[0].zone_type_name, std::string("entrance"));
    EXPECT_EQ(open[0].project_uid, std::string("prj-1"));
    EXPECT_EQ(open[0].project_name, std::string("Project One"));
    EXPECT_EQ(open[0].x_enter, 1);
    EXPECT_EQ(open[0].y_enter, 2);
    EXPECT_EQ(open[0].z_enter, 3);
    EXPECT_TRUE(logged("loading open zoen events from table zone_event_history"));
    EXPECT_TRUE(logged("done, size = 1, first enter_time =  " + log_time("2024-05-01 10:00:00.250") +
                       ", last =  " + log_time("2024-05-01 10:00:00.250")));
}

TEST_F(runtime_database, reads_and_deletes_external_events) {
    sql("INSERT INTO tags (uid, name) VALUES ('prj-1', 'Project One');"
        "INSERT INTO sublocations (uid, name) VALUES ('area-1', 'Hall A');"
        "INSERT INTO external_events (id, object_uid, object_name, mac_address, event_info, event_type, ts, "
        "area_uid, project_uid, x, y, z, created_at) VALUES "
        "(7, 'obj-1', 'Forklift 7', '00:aa', 'button 1 pressed', 'button', '2024-05-01 08:01:00.000', 'area-1', "
        "'prj-1', -1, -2, -3, '2024-05-01 08:01:00.020'),"
        "(8, NULL, NULL, NULL, '', NULL, '2024-05-01 08:02:00.000', 'area-9', 'prj-9', NULL, NULL, NULL, NULL),"
        "(9, 'obj-2', NULL, NULL, NULL, NULL, '2024-05-01 08:03:00.000', NULL, NULL, NULL, NULL, NULL, NULL)");

    const auto events = m_database->get_external_events(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].id, 7);
    EXPECT_EQ(events[0].object_uid, std::string("obj-1"));
    EXPECT_EQ(events[0].object_name, std::string("Forklift 7"));
    EXPECT_EQ(events[0].mac_address, std::string("00:aa"));
    EXPECT_EQ(events[0].event_info, std::string("button 1 pressed"));
    EXPECT_EQ(events[0].event_type, std::string("button"));
    EXPECT_EQ(events[0].ts, utc("2024-05-01 08:01:00.000"));
    EXPECT_EQ(events[0].area_uid, std::string("area-1"));
    EXPECT_EQ(events[0].area_name, std::string("Hall A"));
    EXPECT_EQ(events[0].project_uid, std::string("prj-1"));
    EXPECT_EQ(events[0].project_name, std::string("Project One"));
    EXPECT_EQ(events[0].x, -1);
    EXPECT_EQ(events[0].y, -2);
    EXPECT_EQ(events[0].z, -3);
    EXPECT_EQ(events[0].created_at, utc("2024-05-01 08:01:00.020"));

    EXPECT_FALSE(events[1].object_uid);
    EXPECT_EQ(events[1].event_info, std::string(""));
    EXPECT_EQ(events[1].area_uid, std::string("area-9"));
    EXPECT_FALSE(events[1].area_name); // no such sub-location
    EXPECT_FALSE(events[1].project_name);
    EXPECT_FALSE(events[1].x);
    EXPECT_FALSE(events[1].created_at);

    EXPECT_EQ(m_database->delete_external_events(events), 2u);
    EXPECT_EQ(ids("external_events"), std::vector<std::string>{"9"});
    EXPECT_TRUE(logged("deleting 2 rows from external_events. First ts =  " + log_time("2024-05-01 08:01:00.000") +
                       ", last ts =  " + log_time("2024-05-01 08:02:00.000")));
    // Rows already gone: nothing more is deleted.
    EXPECT_EQ(m_database->delete_external_events(events), 0u);
    EXPECT_TRUE(logged("result: 0"));
}

TEST_F(runtime_database, reads_and_deletes_activities) {
    sql("INSERT INTO companies (uid, name) VALUES ('cmp-1', 'Lomvera Logistics');"
        "INSERT INTO projects (uid, name, user_params) VALUES ('prj-1', 'Warehouse', '{\"shift\":\"early\"}');"
        "INSERT INTO activities (id, created_at, created_by, action, object, plist, project_uid, company_uid, "
        "on_behalf, ip) VALUES "
        "(9223372036854775808, '2024-05-01 09:00:00.000', 'admin', 'update', 'zone', 'a b', 'prj-1', 'cmp-1', "
        "'boss', '192.0.2.10'),"
        "(9223372036854775809, '2024-05-01 09:05:00.000', '', 'login', 'session', NULL, 'prj-9', NULL, NULL, NULL),"
        "(9223372036854775810, '2024-05-01 09:06:00.000', 'x', 'y', 'z', NULL, NULL, NULL, NULL, NULL)");

    const auto activities = m_database->get_activities(2);
    ASSERT_EQ(activities.size(), 2u);
    EXPECT_EQ(activities[0].id, 9223372036854775808ull);
    EXPECT_EQ(activities[0].created_at, utc("2024-05-01 09:00:00.000"));
    EXPECT_EQ(activities[0].created_by, "admin");
    EXPECT_EQ(activities[0].action, "update");
    EXPECT_EQ(activities[0].object, "zone");
    EXPECT_EQ(activities[0].plist, std::string("a b"));
    EXPECT_EQ(activities[0].project_uid, std::string("prj-1"));
    EXPECT_EQ(activities[0].company_uid, std::string("cmp-1"));
    EXPECT_EQ(activities[0].on_behalf, std::string("boss"));
    EXPECT_EQ(activities[0].ip, std::string("192.0.2.10"));
    EXPECT_EQ(activities[0].company_name, std::string("Lomvera Logistics"));
    EXPECT_EQ(activities[0].project_name, std::string("Warehouse"));
    EXPECT_EQ(activities[0].project_user_params, std::string("{\"shift\":\"early\"}"));

    EXPECT_EQ(activities[1].created_by, "");
    EXPECT_FALSE(activities[1].plist);
    EXPECT_EQ(activities[1].project_uid, std::string("prj-9"));
    EXPECT_FALSE(activities[1].project_name);
    EXPECT_FALSE(activities[1].project_user_params);
    EXPECT_FALSE(activities[1].company_name);
    EXPECT_TRUE(logged("loading data from table activities"));

    EXPECT_EQ(m_database->delete_activities(activities), 2u);
    EXPECT_EQ(ids("activities"), std::vector<std::string>{"9223372036854775810"});
    EXPECT_TRUE(logged("deleting 2 rows from activities. First ts =  " + log_time("2024-05-01 09:00:00.000") +
                       ", last ts =  " + log_time("2024-05-01 09:05:00.000")));
}

TEST_F(runtime_database, reads_closed_and_open_vehicle_driver_associations) {
    sql("INSERT INTO trackable_objects (uid, name) VALUES ('veh-1', 'Truck 3'), ('drv-1', 'Alex');"
        "INSERT INTO vehicle_driver_associations (id, event_id, vehicle_uid, vehicle_mac, driver_uid, driver_mac, "
        "created_at, created_sublocation_uid, created_x, created_y, removed_at, removed_sublocation_uid, removed_x, "
        "removed_y, project_uid) VALUES "
        "(1, 'ev-1', 'veh-1', '00:10', 'drv-1', '00:20', '2024-05-01 06:00:00.000', 'area-2', -10, 20, "
        "'2024-05-01 14:00:00.000', 'area-3', 15, -25, 'prj-2'),"
        "(2, NULL, 'veh-9', NULL, 'drv-9', NULL, NULL, NULL, NULL, NULL, '2024-05-02 00:00:00.000', NULL, NULL, "
        "NULL, NULL),"
        "(3, 'ev-3', 'veh-1', NULL, 'drv-1', NULL, '2024-05-01 14:05:00.000', 'area-2', 1, 2, NULL, NULL, NULL, "
        "NULL, 'prj-2'),"
        "(4, 'ev-4', NULL, NULL, NULL, NULL, '2024-05-01 15:00:00.000', NULL, NULL, NULL, NOW() + INTERVAL 1 DAY, "
        "NULL, NULL, NULL, NULL)");

    const auto closed = m_database->get_vehicle_driver_associations(10);
    // Ordered by creation time; a NULL creation time comes first.
    ASSERT_EQ(closed.size(), 2u);
    EXPECT_EQ(closed[0].id, 2);
    EXPECT_FALSE(closed[0].created_at);
    EXPECT_FALSE(closed[0].vehicle_name);
    EXPECT_FALSE(closed[0].driver_name);
    EXPECT_EQ(closed[0].vehicle_uid, std::string("veh-9"));
    EXPECT_EQ(closed[0].removed_at, utc("2024-05-02 00:00:00.000"));
    const auto& full = closed[1];
    EXPECT_EQ(full.id, 1);
    EXPECT_EQ(full.event_id, std::string("ev-1"));
    EXPECT_EQ(full.vehicle_uid, std::string("veh-1"));
    EXPECT_EQ(full.vehicle_mac, std::string("00:10"));
    EXPECT_EQ(full.vehicle_name, std::string("Truck 3"));
    EXPECT_EQ(full.driver_uid, std::string("drv-1"));
    EXPECT_EQ(full.driver_mac, std::string("00:20"));
    EXPECT_EQ(full.driver_name, std::string("Alex"));
    EXPECT_EQ(full.created_at, utc("2024-05-01 06:00:00.000"));
    EXPECT_EQ(full.created_area_uid, std::string("area-2"));
    EXPECT_EQ(full.created_x, -10);
    EXPECT_EQ(full.created_y, 20);
    EXPECT_EQ(full.removed_at, utc("2024-05-01 14:00:00.000"));
    EXPECT_EQ(full.removed_area_uid, std::string("area-3"));
    EXPECT_EQ(full.removed_x, 15);
    EXPECT_EQ(full.removed_y, -25);
    EXPECT_EQ(full.project_uid, std::string("prj-2"));
    EXPECT_TRUE(logged("done, size = 2, first ts =  --, last ts =   " + log_time("2024-05-01 06:00:00.000")));

    const auto open = m_database->get_vehicle_driver_associations_open();
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].id, 3);
    EXPECT_EQ(open[0].vehicle_name, std::string("Truck 3"));
    EXPECT_EQ(open[0].driver_name, std::string("Alex"));
    EXPECT_EQ(open[0].created_at, utc("2024-05-01 14:05:00.000"));
    EXPECT_EQ(open[0].created_x, 1);
    EXPECT_EQ(open[0].project_uid, std::string("prj-2"));
    EXPECT_EQ(open[1].id, 4); // removal still ahead
    EXPECT_FALSE(open[1].vehicle_uid);
    EXPECT_TRUE(logged("loading open VDAs from vehicle_driver_associations"));

    EXPECT_EQ(m_database->delete_vehicle_driver_associations(closed), 2u);
    EXPECT_EQ(ids("vehicle_driver_associations"), (std::vector<std::string>{"3", "4"}));
    EXPECT_TRUE(logged("deleting 2 closed Vdas from vehicle_driver_associations. First ts =  --, last =   " +
                       log_time("2024-05-01 06:00:00.000")));
}

TEST_F(runtime_database, reads_heartbeats_with_unsigned_flags) {
    sql("INSERT INTO heartbeats (id, ts, is_announce, mac_address, trackable_uid, area_uid, company_uid, "
        "project_uid, x, y, z, flags_raw, parent_mac_address, bridge_mac_address, reporting_frequency, "
        "ranging_frequency, category, sw_version) VALUES "
        "(1, '2024-05-01 08:00:00.000', 1, '00:01', 'obj-1', 'area-1', 'cmp-1', 'prj-1', 1200, -340, 0, 'ff', "
        "'00:f0', '00:f1', 10, 5, 'tag', '2.4.1'),"
        "(2, NULL, 0, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, '80000000', NULL, NULL, NULL, NULL, NULL, NULL),"
        "(3, '2024-05-01 08:00:03.000', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 'FFFFFFFF', NULL, NULL, "
        "NULL, NULL, NULL, NULL),"
        "(18446744073709551615, '2024-05-01 08:00:04.000', 1, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL, NULL, NULL, NULL, '')");

    const auto heartbeats = m_database->get_heartbeats(10);
    ASSERT_EQ(heartbeats.size(), 4u);
    struct expected_t {
        unsigned long id;
        int message_type;
        boost::optional<std::uint32_t> flags;
    };
    const std::vector<expected_t> expected{{1, 271, std::uint32_t{255}},
                                           {2, 260, std::uint32_t{0x80000000}},
                                           {3, 260, std::uint32_t{0xffffffff}},
                                           {18446744073709551615ul, 271, boost::none}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(heartbeats[i].id, expected[i].id);
        EXPECT_EQ(heartbeats[i].message_type, expected[i].message_type);
        EXPECT_EQ(heartbeats[i].flags_raw, expected[i].flags);
    }
    const qvd::heartbeat& full = heartbeats[0];
    EXPECT_EQ(full.ts, utc("2024-05-01 08:00:00.000"));
    EXPECT_EQ(full.mac_address, std::string("00:01"));
    EXPECT_EQ(full.trackable_uid, std::string("obj-1"));
    EXPECT_EQ(full.area_uid, std::string("area-1"));
    EXPECT_EQ(full.company_uid, std::string("cmp-1"));
    EXPECT_EQ(full.project_uid, std::string("prj-1"));
    EXPECT_EQ(full.x, 1200);
    EXPECT_EQ(full.y, -340);
    EXPECT_EQ(full.z, 0);
    EXPECT_EQ(full.parent_mac_address, std::string("00:f0"));
    EXPECT_EQ(full.bridge_mac_address, std::string("00:f1"));
    EXPECT_EQ(full.reporting_frequency, 10);
    EXPECT_EQ(full.ranging_frequency, 5);
    EXPECT_EQ(full.category, std::string("tag"));
    EXPECT_EQ(full.sw_version, std::string("2.4.1"));
    EXPECT_FALSE(heartbeats[1].ts);
    EXPECT_FALSE(heartbeats[1].mac_address);
    EXPECT_EQ(heartbeats[3].sw_version, std::string(""));
    // An optional time prints one level deeper: a third blank.
    EXPECT_TRUE(logged("done, size = 4, first ts =   " + log_time("2024-05-01 08:00:00.000") +
                       ", last ts =   " + log_time("2024-05-01 08:00:04.000")));

    EXPECT_EQ(m_database->delete_heartbeats({heartbeats[1], heartbeats[3]}), 2u);
    EXPECT_EQ(ids("heartbeats"), (std::vector<std::string>{"1", "3"}));
    EXPECT_TRUE(logged("deleting 2 rows from table heartbeats. First ts =  --, last ts =   " +
                       log_time("2024-05-01 08:00:04.000")));
}

TEST_F(runtime_database, node_parameters_above_the_signed_range_are_deleted) {
    sql("INSERT INTO node_parameters_staging (id, mac_address, obj_uid, param_name, param_value, ts) VALUES "
        "(7, '0a:1b', NULL, 'rate', '', '2024-05-01 08:00:00.000'),"
        "(3000000000, NULL, 'obj-1', NULL, NULL, NULL),"
        "(4294967295, '0a:1c', 'obj-2', 'battery', '88', '2024-05-01 08:00:02.000')");

    const auto parameters = m_database->get_node_parameters(10);
    ASSERT_EQ(parameters.size(), 3u);
    EXPECT_EQ(parameters[0].id, 7u);
    EXPECT_EQ(parameters[0].mac_address, std::string("0a:1b"));
    EXPECT_FALSE(parameters[0].obj_uid);
    EXPECT_EQ(parameters[0].param_name, std::string("rate"));
    EXPECT_EQ(parameters[0].param_value, std::string(""));
    EXPECT_EQ(parameters[0].ts, utc("2024-05-01 08:00:00.000"));
    EXPECT_EQ(parameters[1].id, 3000000000u);
    EXPECT_FALSE(parameters[1].ts);
    EXPECT_EQ(parameters[2].id, 4294967295u);

    EXPECT_EQ(m_database->delete_node_parameters({parameters[1], parameters[2]}), 2u);
    EXPECT_EQ(ids("node_parameters_staging"), std::vector<std::string>{"7"});
    EXPECT_TRUE(logged("deleting 2 rows from table node_parameters_staging. First ts =  --, last =   " +
                       log_time("2024-05-01 08:00:02.000") + " "));
}

TEST_F(runtime_database, deletes_exactly_the_given_positions) {
    sql(std::string(insert_positions) +
        "(-5, 1, 'a', NULL, '2024-01-01 00:00:01', NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL),"
        "(6, 1, 'a', NULL, '2024-01-01 00:00:02', NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL),"
        "(7, 1, 'a', NULL, '2024-01-01 00:00:03', NULL, NULL, NULL, 's', NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
        "NULL, NULL)");
    const auto positions = m_database->get_positions(10);
    ASSERT_EQ(positions.size(), 3u);

    // One record, with a negative id: no separator, the minus sign kept.
    EXPECT_EQ(m_database->delete_positions({positions[0]}), 1u);
    EXPECT_EQ(ids("position_histories"), (std::vector<std::string>{"6", "7"}));
    EXPECT_TRUE(logged("deleting 1 rows from position_histories. First ts =  " + log_time("2024-01-01 00:00:01.000") +
                       ", last ts =  " + log_time("2024-01-01 00:00:01.000")));
    EXPECT_TRUE(logged("qvd::runtime::database_impl::delete_positions: "));

    // Part of the batch already gone: the rest is deleted.
    EXPECT_EQ(m_database->delete_positions(positions), 2u);
    EXPECT_TRUE(ids("position_histories").empty());
    EXPECT_TRUE(logged("result: 2"));
}

TEST_F(runtime_database, drops_the_indexes_once_and_again) {
    EXPECT_EQ(indexes("position_histories"),
              (std::vector<std::string>{"PRIMARY", "obj_uid_index_position_histories",
                                        "sublocation_uid_index_position_histories",
                                        "to_type_id_index_position_histories", "ts_index_position_histories"}));
    EXPECT_EQ(m_database->drop_positions_indexes(), 0u);
    EXPECT_EQ(indexes("position_histories"), std::vector<std::string>{"PRIMARY"});
    EXPECT_TRUE(logged("dropping indexes in table position_histories"));
    // Nothing left to drop: still a success.
    EXPECT_EQ(m_database->drop_positions_indexes(), 0u);

    EXPECT_EQ(m_database->drop_zone_events_indexes(), 0u);
    EXPECT_EQ(indexes("zone_event_history"), (std::vector<std::string>{"PRIMARY", "zone_event_history_uid"}));
    EXPECT_EQ(m_database->drop_zone_events_indexes(), 0u);
    EXPECT_TRUE(logged("dropping indexes in table zone_event_history"));
    EXPECT_TRUE(logged("result: 0"));
}

const std::vector<std::string> optimised_tables{
    "external_events", "zone_event_history",          "position_histories",     "activities",
    "heartbeats",      "vehicle_driver_associations", "nodes_obj_associations", "node_parameters_staging"};

TEST_F(runtime_database, optimises_the_eight_tables) {
    m_database->optimize_tables();
    for (const auto& table : optimised_tables)
        EXPECT_TRUE(logged("qvd::runtime::database_impl::optimize_tables: Optimizing table " + table)) << table;
    EXPECT_EQ(m_logger->lines_with("    | done").size(), optimised_tables.size());
}

TEST_F(runtime_database, optimisation_stops_at_an_error_row) {
    sql("DROP TABLE heartbeats");
    try {
        m_database->optimize_tables();
        FAIL() << "the optimisation did not fail";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_THAT(e.get_string_error(), StartsWith(m_schema + ".heartbeats: "));
        EXPECT_THAT(e.get_string_error(), HasSubstr("heartbeats' doesn't exist"));
    }
    EXPECT_TRUE(logged("Optimizing table heartbeats"));
    EXPECT_TRUE(m_logger->lines_with("Optimizing table vehicle_driver_associations").empty());
    EXPECT_TRUE(m_logger->lines_with("Optimizing table node_parameters_staging").empty());
    EXPECT_EQ(m_logger->lines_with("    | done").size(), 4u);
}

TEST_F(runtime_database, purges_hot_positions_by_the_server_clock) {
    sql("INSERT INTO position_histories_hot (id, obj_uid, ts) VALUES "
        "(1, 'a', NOW() - INTERVAL 2 HOUR), (2, 'a', NOW() - INTERVAL 31 MINUTE), "
        "(3, 'a', NOW() - INTERVAL 29 MINUTE), (4, 'a', NOW() + INTERVAL 1 HOUR)");

    EXPECT_EQ(m_database->delete_position_histories_hot(30), 2u);
    EXPECT_EQ(ids("position_histories_hot"), (std::vector<std::string>{"3", "4"}));
    EXPECT_TRUE(logged("deleting data from table position_histories_hot"));
    EXPECT_TRUE(logged("result: 2"));

    EXPECT_EQ(m_database->delete_position_histories_hot(0), 1u);
    EXPECT_EQ(ids("position_histories_hot"), std::vector<std::string>{"4"});
}

TEST_F(runtime_database, sample_rows_load_and_read) {
    qvd::test_support::run_sql_file(shared_mariadb(), "tests/fixtures/runtime_sample.sql", m_schema);
    EXPECT_EQ(m_database->get_positions(100).size(), 3u);
    EXPECT_EQ(m_database->get_zone_events(100).size(), 1u);
    EXPECT_EQ(m_database->get_external_events(100).size(), 2u);
    EXPECT_EQ(m_database->get_activities(100).size(), 2u);
    EXPECT_EQ(m_database->get_vehicle_driver_associations(100).size(), 1u);
    EXPECT_EQ(m_database->get_vehicle_driver_associations_open().size(), 1u);
    EXPECT_EQ(m_database->get_heartbeats(100).size(), 2u);
    EXPECT_EQ(m_database->get_node_parameters(100).size(), 2u);
    EXPECT_EQ(m_database->delete_position_histories_hot(30), 1u);
}

// The statement texts the server has always been sent, every blank counted (those at the ends of
// lines included): the operators' own tooling on the runtime database may know them.
const char* const sent_select_positions =
    "SELECT id, trackable_id, obj_uid, mac_address, ts, x, y, z, sublocation_uid, fom, sfsn, slvr_mode, "
    "edge_corr, pe_dims, type, project_uid, inactive, to_type_id FROM position_histories WHERE "
    "trackable_id is not NULL LIMIT ";
const char* const sent_select_zone_events =
    "SELECT ze1.id AS id_enter,ze2.id AS id_leave,ze2.obj_uid AS trackable_uid, tko.name AS "
    "trackable_name, ze2.sublocation_uid AS area_uid, sl.name AS area_name, ze1.created_at AS "
    "enter_time, ze2.created_at AS leave_time, ze2.duration, ze2.zone_uid, zn.name as zone_name, "
    "ze2.zone_type_name, ze2.project_uid, tags.name as project_name, ze1.x AS enter_x, ze1.y AS enter_y, "
    "ze1.z AS enter_z, ze2.x AS leave_x, ze2.y AS leave_y, ze2.z AS leave_z FROM zone_event_history ze2 "
    "JOIN zone_event_history ze1 ON ze1.uid = ze2.related_event LEFT JOIN tags on ze1.project_uid = "
    "tags.uid LEFT JOIN sublocations sl on ze1.sublocation_uid = sl.uid LEFT JOIN zones zn on "
    "ze1.zone_uid = zn.uid LEFT JOIN trackable_objects tko on ze1.obj_uid = tko.uid WHERE "
    "ze2.related_event IS NOT NULL AND ze2.`action` = 'leave' LIMIT ";
const char* const sent_select_zone_events_open =
    "SELECT   ze.id,   ze.obj_uid AS trackable_uid,   tko.name AS trackable_name,   ze.sublocation_uid "
    "AS area_uid,   sl.name AS area_name,   ze.created_at AS enter_time,   ze.zone_uid,   zn.name as "
    "zone_name,   ze.zone_type_name,   ze.project_uid,   tags.name as project_name,   ze.x AS enter_x,   "
    "ze.y AS enter_y,   ze.z AS enter_z FROM zone_event_history ze LEFT JOIN tags on ze.project_uid = "
    "tags.uid LEFT JOIN sublocations sl on ze.sublocation_uid = sl.uid LEFT JOIN zones zn on ze.zone_uid "
    "= zn.uid LEFT JOIN trackable_objects tko on ze.obj_uid = tko.uid WHERE ze.related_event IS NULL AND "
    "ze.`action` = 'enter' ";
const char* const sent_select_external_events =
    "SELECT ee.id, ee.object_uid, ee.object_name, ee.mac_address, ee.event_info, ee.event_type, ee.ts, "
    "ee.area_uid, sl.name as area_name, ee.project_uid, tags.name as project_name, ee.x, ee.y, ee.z, "
    "ee.created_at FROM external_events ee LEFT JOIN tags ON ee.project_uid = tags.uid LEFT JOIN "
    "sublocations sl ON ee.area_uid = sl.uid LIMIT ";
const char* const sent_select_activities = R"(
                SELECT 
                    a.*, 
                    c.name AS company_name, 
                    p.name as project_name, 
                    p.user_params as project_user_params
                FROM activities a
                left JOIN view_companies c ON c.uid = a.company_uid
                left JOIN view_projects p ON p.uid = a.project_uid
                LIMIT
            )";
const char* const sent_select_vehicle_driver_associations = R"(
                SELECT 
                    vda.id,
                    vda.event_id,
                    
                    vda.vehicle_uid,
                    vda.vehicle_mac,
                    vehicle.name AS vehicle_name,
                    vda.driver_uid,
                    vda.driver_mac,
                    driver.name AS driver_name,  
                    vda.created_at,
                    vda.created_sublocation_uid AS created_area_uid,
                    vda.created_x,
                    vda.created_y,
                    vda.removed_at,
                    vda.removed_sublocation_uid AS removed_area_uid,
                    vda.removed_x,
                    vda.removed_y,
                    vda.project_uid
                FROM vehicle_driver_associations vda
                    LEFT JOIN trackable_objects vehicle ON (vda.vehicle_uid = vehicle.uid)
                    LEFT JOIN trackable_objects driver  ON (vda.driver_uid  = driver.uid)
                WHERE vda.removed_at IS NOT NULL AND vda.removed_at < NOW()
                ORDER BY created_at LIMIT 
            )";
const char* const sent_select_vehicle_driver_associations_open = R"(
                SELECT 
                    vda.id,
                    vda.event_id,
                    vda.vehicle_uid,
                    vda.vehicle_mac,
                    vehicle.name AS vehicle_name,
                    vda.driver_uid,
                    vda.driver_mac,
                    driver.name AS driver_name,  
                    vda.created_at,
                    vda.created_sublocation_uid AS created_area_uid,
                    vda.created_x,
                    vda.created_y,
                    vda.project_uid
                FROM vehicle_driver_associations vda
                    LEFT JOIN trackable_objects vehicle ON (vda.vehicle_uid = vehicle.uid)
                    LEFT JOIN trackable_objects driver  ON (vda.driver_uid  = driver.uid)
                WHERE vda.removed_at IS NULL OR vda.removed_at > NOW()
                ORDER BY created_at;
            )";
const char* const sent_select_heartbeats = R"(
                SELECT
                    `id`,
                    `ts`,
                    CAST(IF(`is_announce` = 1, 271, 260) as unsigned) as `message_type`,
                    `mac_address`,
                    `trackable_uid`,
                    `area_uid`,
                    `company_uid`,
                    `project_uid`,
                    `x`,
                    `y`,
                    `z`,
                    CAST(CONV(`flags_raw`, 16, 10) as unsigned) as `flags_raw`,
                    `parent_mac_address`,
                    `bridge_mac_address`,
                    `reporting_frequency`,
                    `ranging_frequency`,
                    `category`,
                    `sw_version`
                FROM heartbeats
                LIMIT
            )";
const char* const sent_select_node_parameters = R"(
                SELECT *
                FROM node_parameters_staging
                LIMIT
            )";

// The general log of the shared server as a table, on for one test.
class general_log {
public:
    // Emptied first: a server kept from an earlier run may have logged a session of the same id.
    explicit general_log(const std::string& _schema) : m_sessions(sessions_in(_schema)) {
        run_sql(shared_mariadb(), "SET GLOBAL general_log = 'OFF'; TRUNCATE TABLE mysql.general_log; "
                                  "SET GLOBAL log_output = 'TABLE'; SET GLOBAL general_log = 'ON'");
    }
    ~general_log() { run_sql(shared_mariadb(), "SET GLOBAL general_log = 'OFF'"); }
    general_log(const general_log&) = delete;
    general_log& operator=(const general_log&) = delete;

    // The server logs a statement without the blanks around it and without a final semicolon.
    static std::string as_logged(const std::string& _statement) {
        const std::size_t first = _statement.find_first_not_of(" \n");
        const std::size_t last = _statement.find_last_not_of(" \n;");
        return first == std::string::npos ? std::string() : _statement.substr(first, last - first + 1);
    }

    // The statements of the sessions that were in _schema before the log was on.
    std::vector<std::string> statements() const {
        std::vector<std::string> result;
        for (const auto& row : query_sql(shared_mariadb(), "SELECT argument FROM mysql.general_log WHERE "
                                                           "command_type = 'Query' AND thread_id IN (" +
                                                               m_sessions + ")"))
            result.push_back(row.at(0).value_or(""));
        return result;
    }

private:
    // One of them may be a session that is just ending; it adds nothing to the log.
    static std::string sessions_in(const std::string& _schema) {
        std::string result = "0";
        for (const auto& row :
             query_sql(shared_mariadb(), "SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" + _schema +
                                             "' AND ID <> CONNECTION_ID()"))
            result += ", " + row.at(0).value_or("0");
        return result;
    }

    const std::string m_sessions;
};

// The fields of two records of one kind that differ, as the kind lists them for a recovery's check.
struct differing_fields {
    template <class T>
    void same(const char* _field, const T& _one, const T& _other) {
        if (!(_one == _other))
            fields.push_back(_field);
    }
    template <class T>
    void may_change(const char* _field, const T& _one, const T& _other) {
        same(_field, _one, _other);
    }

    std::vector<std::string> fields;
};

// A recovery's check reads the rows of a batch's keys with the read's own columns and joins: every
// kind's rows come back as the read gave them, in every field the check compares.
TEST_F(runtime_database, the_rows_of_a_batchs_keys_come_back_as_read) {
    qvd::test_support::run_sql_file(shared_mariadb(), "tests/fixtures/runtime_sample.sql", m_schema);
    const auto check = [this](const auto& _batch) {
        using record = typename std::decay_t<decltype(_batch)>::value_type;
        using facts = qvd::runtime::kind<record>;
        ASSERT_FALSE(_batch.empty()) << facts::table;
        const auto rows = m_database->rows_to_delete(_batch);
        ASSERT_EQ(rows.size(), _batch.size()) << facts::table;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto read = std::find_if(_batch.begin(), _batch.end(), [&](const record& _record) {
                return facts::key(_record) == facts::key(rows[i]);
            });
            ASSERT_NE(read, _batch.end()) << facts::table;
            differing_fields differences;
            facts::compare(differences, *read, rows[i]);
            EXPECT_EQ(differences.fields, std::vector<std::string>{}) << facts::table;
        }
    };
    check(m_database->get_positions(100));
    check(m_database->get_external_events(100));
    check(m_database->get_zone_events(100));
    check(m_database->get_activities(100));
    check(m_database->get_vehicle_driver_associations(100));
    check(m_database->get_heartbeats(100));
    check(m_database->get_node_parameters(100));
}

TEST_F(runtime_database, each_kinds_read_and_deletion_send_the_texts_they_always_sent) {
    const general_log logging(m_schema);
    const qvd::runtime::database_impl& database = *m_database;
    database.get_positions(2);
    database.get_external_events(2);
    database.get_activities(2);
    database.get_zone_events(2);
    database.get_zone_events_open();
    database.get_vehicle_driver_associations(2);
    database.get_vehicle_driver_associations_open();
    database.get_heartbeats(2);
    database.get_node_parameters(2);

    // Rows that are not there: the statements are sent all the same.
    qvd::position position;
    position.id = -5;
    database.delete_positions({position, qvd::position{}});
    qvd::external_event external_event;
    external_event.id = 5;
    database.delete_external_events({external_event, external_event});
    qvd::activity activity;
    activity.id = 18446744073709551615ull;
    database.delete_activities({activity});
    qvd::zone_event zone_event;
    zone_event.id_enter = 5;
    zone_event.id_leave = 6;
    qvd::zone_event other_zone_event;
    other_zone_event.id_enter = 7;
    other_zone_event.id_leave = 8;
    database.delete_zone_events({zone_event, other_zone_event});
    qvd::vehicle_driver_association association;
    association.id = 5;
    database.delete_vehicle_driver_associations({association});
    qvd::heartbeat heartbeat;
    heartbeat.id = 5;
    database.delete_heartbeats({heartbeat});
    qvd::node_parameter node_parameter;
    node_parameter.id = 4294967295u;
    database.delete_node_parameters({node_parameter});

    const std::vector<std::string> sent = logging.statements();
    const std::vector<std::string> expected{std::string(sent_select_positions) + "2",
                                            std::string(sent_select_external_events) + "2",
                                            std::string(sent_select_activities) + " 2",
                                            std::string(sent_select_zone_events) + "2",
                                            sent_select_zone_events_open,
                                            std::string(sent_select_vehicle_driver_associations) + " 2",
                                            sent_select_vehicle_driver_associations_open,
                                            std::string(sent_select_heartbeats) + " 2",
                                            std::string(sent_select_node_parameters) + " 2",
                                            "DELETE FROM position_histories WHERE id IN (-5, 0)",
                                            "DELETE FROM external_events WHERE id IN (5, 5)",
                                            "DELETE FROM activities WHERE id IN (18446744073709551615)",
                                            "DELETE FROM zone_event_history WHERE id IN (5, 6, 7, 8)",
                                            "DELETE FROM vehicle_driver_associations WHERE id IN (5)",
                                            "DELETE FROM heartbeats WHERE id IN (5)",
                                            "DELETE FROM node_parameters_staging WHERE id IN (4294967295)"};
    for (const std::string& statement : expected)
        EXPECT_THAT(sent, ::testing::Contains(general_log::as_logged(statement)));
}

} // namespace
