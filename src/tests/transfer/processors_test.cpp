// The seven processors against the real server, runtime database and column store both.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/filesystem.hpp>

#include <core/exception.hpp>

#include "transfer/activities_processor.hpp"
#include "transfer/external_events_processor.hpp"
#include "transfer/heartbeats_processor.hpp"
#include "transfer/journal.hpp"
#include "transfer/node_parameters_processor.hpp"
#include "transfer/positions_processor.hpp"
#include "runtime/database_impl.hpp"
#include "store/store_impl.hpp"
#include "support/mariadb_server.hpp"
#include "support/wait.hpp"
#include "transfer/vehicle_driver_associations_processor.hpp"
#include "transfer/zone_events_processor.hpp"

namespace {

namespace fs = boost::filesystem;
using namespace qvd::test_support;

class no_signal : public qvd::libs::core::events_loop::signals_handle
{
public:
    bool signal_is_received() const override { return false; }
};

class processors : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LOMVERA_REQUIRE_MARIADB();
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const std::string id = std::to_string(std::hash<std::string>()(test) % 1000000000u);
        m_runtime_name = fresh_database("lv_transfer_rt_" + id);
        m_store_name = fresh_database("lv_transfer_cs_" + id);
        run_sql_file(shared_mariadb(), "tests/fixtures/runtime_schema.sql", m_runtime_name);
        run_sql_file(shared_mariadb(), "tests/fixtures/column_store_schema.sql", m_store_name);
        const auto& server = shared_mariadb();
        m_runtime = std::make_unique<qvd::runtime::database_impl>(
            server.host, server.user, server.password, m_runtime_name, server.port, m_signals, m_logger);
        m_store = std::make_unique<qvd::store::column_store_impl>(server.host, server.user, server.password,
                                                                  m_store_name, server.port, m_signals, m_logger);
        m_dir_path = fs::temp_directory_path() / fs::unique_path("lomvera-transfer-%%%%-%%%%");
        fs::create_directories(m_dir_path);
        m_dir = m_dir_path.string() + "/";
    }
    void TearDown() override
    {
        boost::system::error_code ignored;
        if (!m_dir_path.empty())
            fs::remove_all(m_dir_path, ignored);
    }

    void runtime_sql(const std::string& _sql) { run_sql(shared_mariadb(), _sql, m_runtime_name); }
    void store_sql(const std::string& _sql) { run_sql(shared_mariadb(), _sql, m_store_name); }
    long long runtime_count(const std::string& _table) { return count(_table, m_runtime_name); }
    long long store_count(const std::string& _table) { return count(_table, m_store_name); }
    long long count(const std::string& _what, const std::string& _database)
    {
        const std::string sql = _what.rfind("SELECT", 0) == 0 ? _what : "SELECT COUNT(*) FROM " + _what;
        return std::stoll(*query_value(shared_mariadb(), sql, _database));
    }
    // Files of the journal directory.
    std::vector<std::string> files() const
    {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(m_dir_path))
            result.push_back(entry.path().filename().string());
        std::sort(result.begin(), result.end());
        return result;
    }

    // Positions 1.._n, each with its own time; hot rows: two old ones and one fresh.
    void seed_positions(int _n)
    {
        for (int i = 1; i <= _n; ++i)
            runtime_sql(
                "INSERT INTO position_histories (id, trackable_id, obj_uid, mac_address, ts, sublocation_uid, x) "
                "VALUES (" +
                std::to_string(i) + ", 10, 'uid" + std::to_string(i) +
                "', 'A0B1C2D3E4F5', "
                "'2024-03-05 07:08:" +
                (i < 10 ? "0" : "") + std::to_string(i) + ".010', 'area', " + std::to_string(i) + ")");
    }
    void seed_hot()
    {
        runtime_sql("INSERT INTO position_histories_hot (id, trackable_id, obj_uid, ts) VALUES "
                    "(1, 10, 'old1', NOW() - INTERVAL 2 HOUR), (2, 10, 'old2', NOW() - INTERVAL 31 MINUTE), "
                    "(3, 10, 'fresh', NOW() - INTERVAL 1 MINUTE)");
    }
    qvd::positions_processor positions(unsigned int _max) { return {*m_runtime, *m_store, _max, m_dir}; }

    no_signal m_signals;
    qvd::libs::core::logger m_logger{"lomvera", "transfer-test"};
    std::string m_runtime_name;
    std::string m_store_name;
    std::unique_ptr<qvd::runtime::database_impl> m_runtime;
    std::unique_ptr<qvd::store::column_store_impl> m_store;
    fs::path m_dir_path;
    std::string m_dir;
};

TEST_F(processors, positions_full_and_partial_batches_with_the_hot_purge)
{
    seed_positions(5);
    seed_hot();
    auto processor = positions(2);
    EXPECT_TRUE(processor.processing());
    EXPECT_EQ(runtime_count("position_histories_hot"), 1);
    EXPECT_TRUE(processor.processing());
    EXPECT_FALSE(processor.processing());
    EXPECT_EQ(store_count("positions_raw"), 5);
    EXPECT_EQ(store_count("SELECT COUNT(DISTINCT trackable_uid, ts) FROM positions_raw"), 5);
    EXPECT_EQ(runtime_count("position_histories"), 0);
    EXPECT_TRUE(files().empty());

    // Caught up: still purges, creates no journal.
    runtime_sql("INSERT INTO position_histories_hot (id, trackable_id, obj_uid, ts) VALUES "
                "(4, 10, 'old3', NOW() - INTERVAL 1 HOUR)");
    EXPECT_FALSE(processor.processing());
    EXPECT_EQ(runtime_count("position_histories_hot"), 1);
    EXPECT_TRUE(files().empty());
}

TEST_F(processors, positions_batch_of_exactly_the_size_and_one_less)
{
    seed_positions(3);
    EXPECT_TRUE(positions(3).processing());
    EXPECT_TRUE(files().empty());
    seed_positions(2);
    EXPECT_FALSE(positions(3).processing());
    EXPECT_EQ(store_count("positions_raw"), 5);
}

TEST_F(processors, zero_batch_size_moves_nothing_but_still_recovers)
{
    seed_positions(2);
    EXPECT_FALSE(positions(0).processing());
    EXPECT_EQ(runtime_count("position_histories"), 2);
    EXPECT_TRUE(files().empty());

    qvd::journal::write_file(m_dir + "positions_raw.bin", qvd::journal::to_string(m_runtime->get_positions(2)));
    EXPECT_TRUE(positions(0).processing());
    EXPECT_EQ(store_count("positions_raw"), 2);
    EXPECT_EQ(runtime_count("position_histories"), 0);
    EXPECT_TRUE(files().empty());
}

// A crash leaves the journal with the batch not inserted, inserted but not deleted, or deleted but
// the journal not removed; the next step finishes it and every row arrives exactly once.
TEST_F(processors, positions_recovery_at_each_crash_point)
{
    for (int crash_point = 0; crash_point < 3; ++crash_point)
    {
        SCOPED_TRACE(crash_point);
        store_sql("TRUNCATE TABLE positions_raw");
        runtime_sql("DELETE FROM position_histories; DELETE FROM position_histories_hot");
        seed_positions(4);
        seed_hot();
        const auto batch = m_runtime->get_positions(3);
        qvd::journal::write_file(m_dir + "positions_raw.bin", qvd::journal::to_string(batch));
        if (crash_point >= 1)
            m_store->insert_positions_raw(batch);
        if (crash_point >= 2)
            m_runtime->delete_positions(batch);

        auto processor = positions(3);
        EXPECT_TRUE(processor.processing());
        EXPECT_TRUE(files().empty());
        EXPECT_EQ(runtime_count("position_histories"), 1);
        // A recovery step neither purges nor reads new rows.
        EXPECT_EQ(runtime_count("position_histories_hot"), 3);
        EXPECT_FALSE(processor.processing());
        EXPECT_EQ(store_count("positions_raw"), 4);
        EXPECT_EQ(store_count("SELECT COUNT(DISTINCT trackable_uid, ts) FROM positions_raw"), 4);
        EXPECT_EQ(runtime_count("position_histories"), 0);
    }
}

TEST_F(processors, empty_journal_batch_is_removed_without_probe)
{
    seed_positions(1);
    qvd::journal::write_file(m_dir + "positions_raw.bin", "22 serialization::archive 19 0 0 0 0");
    // The probe would fail on a missing table: a zero-record journal must not ask it.
    store_sql("RENAME TABLE positions_raw TO positions_raw_away");
    EXPECT_TRUE(positions(5).processing());
    EXPECT_TRUE(files().empty());
    store_sql("RENAME TABLE positions_raw_away TO positions_raw");
    EXPECT_EQ(runtime_count("position_histories"), 1);
    EXPECT_FALSE(positions(5).processing());
    EXPECT_EQ(store_count("positions_raw"), 1);
}

TEST_F(processors, unparsable_journal_is_moved_aside_and_fails_the_step)
{
    seed_positions(2);
    const std::string text = qvd::journal::to_string(m_runtime->get_positions(2));
    // Cut inside a string value, as a crash during an in-place write would leave it.
    const std::string cut = text.substr(0, text.find("uid1") + 2);
    std::ofstream(m_dir + "positions_raw.bin", std::ios::binary) << cut;

    try
    {
        positions(5).processing();
        ADD_FAILURE() << "the step did not fail";
    }
    catch (const qvd::libs::core::exception& error)
    {
        EXPECT_EQ(error.get_string_error(), "input stream error");
    }
    EXPECT_EQ(files(), std::vector<std::string>{"positions_raw.bin.bad"});
    EXPECT_EQ(store_count("positions_raw"), 0);
    EXPECT_EQ(runtime_count("position_histories"), 2);

    EXPECT_FALSE(positions(5).processing());
    EXPECT_EQ(store_count("positions_raw"), 2);
}

TEST_F(processors, unreadable_journal_fails_the_step_and_stays)
{
    seed_positions(1);
    fs::create_directory(m_dir + "positions_raw.bin");
    EXPECT_THROW(positions(5).processing(), qvd::libs::core::exception);
    EXPECT_TRUE(fs::is_directory(m_dir + "positions_raw.bin"));
    EXPECT_EQ(runtime_count("position_histories"), 1);
    EXPECT_EQ(store_count("positions_raw"), 0);
}

TEST_F(processors, journal_not_written_means_nothing_inserted)
{
    seed_positions(2);
    qvd::positions_processor processor(*m_runtime, *m_store, 5, m_dir + "missing/");
    try
    {
        processor.processing();
        ADD_FAILURE() << "the step did not fail";
    }
    catch (const qvd::libs::core::exception& error)
    {
        EXPECT_NE(std::string(error.what()).find(m_dir + "missing/positions_raw.bin"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(store_count("positions_raw"), 0);
    EXPECT_EQ(runtime_count("position_histories"), 2);
}

TEST_F(processors, journal_path_is_plain_concatenation)
{
    seed_positions(1);
    // Without a trailing "/" the journal lands beside the directory under a joined name.
    qvd::journal::write_file(m_dir_path.string() + "positions_raw.bin",
                             qvd::journal::to_string(m_runtime->get_positions(1)));
    qvd::positions_processor processor(*m_runtime, *m_store, 5, m_dir_path.string());
    EXPECT_TRUE(processor.processing());
    EXPECT_FALSE(fs::exists(m_dir_path.string() + "positions_raw.bin"));
    EXPECT_EQ(store_count("positions_raw"), 1);
}

// What differs per moved kind: seed rows, tables, and a processor of the kind.
struct kind
{
    std::string name;
    std::string journal;
    std::string runtime_table;
    std::string store_table;
    std::string seed; // three runtime rows
    std::function<std::function<bool()>(qvd::runtime::database&, qvd::store::column_store&, unsigned int,
                                        const std::string&)>
        make;
    // Reads a batch of the runtime rows, journals it and inserts it, as a crash after the insert leaves it.
    std::function<void(qvd::runtime::database&, qvd::store::column_store&, const std::string&)> crash_after_insert;
};

template <typename Processor>
std::function<bool()> make_step(qvd::runtime::database& _runtime, qvd::store::column_store& _store,
                                unsigned int _max, const std::string& _dir)
{
    auto processor = std::make_shared<Processor>(_runtime, _store, _max, _dir);
    return [processor] { return processor->processing(); };
}

template <typename Read, typename Insert>
std::function<void(qvd::runtime::database&, qvd::store::column_store&, const std::string&)>
crash_after(std::string _journal, Read _read, Insert _insert)
{
    return [=](qvd::runtime::database& _runtime, qvd::store::column_store& _store, const std::string& _dir) {
        const auto batch = (_runtime.*_read)(2);
        qvd::journal::write_file(_dir + _journal, qvd::journal::to_string(batch));
        (_store.*_insert)(batch);
    };
}

std::vector<kind> kinds()
{
    using qvd::runtime::database;
    using qvd::store::column_store;
    return {
        {"external events", "external_events.bin", "external_events", "external_events",
         "INSERT INTO external_events (id, object_uid, event_type, ts, created_at) VALUES "
         "(1, 'o1', 'e', '2024-01-01 00:00:01.001', '2024-01-01 00:00:01'), "
         "(2, NULL, 'e', '2024-01-01 00:00:02.002', NULL), (3, 'o3', 'e', '2024-01-01 00:00:03.003', NULL)",
         &make_step<qvd::external_events_processor>,
         crash_after("external_events.bin", &database::get_external_events,
                     &column_store::insert_external_events)},
        {"activities", "activities.bin", "activities", "sys_journal_staging",
         "INSERT INTO activities (id, created_at, created_by, action, object, plist) VALUES "
         "(1, '2024-01-01 00:00:01.500', 'me', 'create', 'zone', 'it''s'), "
         "(2, '2024-01-01 00:00:02', 'me', 'update', 'zone', NULL), (3, '2024-01-01 00:00:03', 'you', 'drop', "
         "'tag', NULL)",
         &make_step<qvd::activities_processor>,
         crash_after("activities.bin", &database::get_activities, &column_store::insert_sys_journal_staging)},
        {"heartbeats", "heartbeats.bin", "heartbeats", "heartbeats",
         "INSERT INTO heartbeats (id, ts, is_announce, mac_address, flags_raw) VALUES "
         "(1, '2024-01-01 00:00:01', 1, 'A0', 'ff'), (2, NULL, 0, 'A1', NULL), (3, '2024-01-01 00:00:03', NULL, "
         "NULL, '10')",
         &make_step<qvd::heartbeats_processor>,
         crash_after("heartbeats.bin", &database::get_heartbeats, &column_store::insert_heartbeats)},
        {"node parameters", "node_parameters.bin", "node_parameters_staging", "node_parameters",
         "INSERT INTO node_parameters_staging (id, mac_address, obj_uid, param_name, param_value, ts) VALUES "
         "(1, 'A0', 'o', 'rate', 'v''1', '2024-01-01 00:00:01'), (2, 'A0', NULL, 'rate', '', NULL), "
         "(3, NULL, NULL, NULL, NULL, NULL)",
         &make_step<qvd::node_parameters_processor>,
         crash_after("node_parameters.bin", &database::get_node_parameters,
                     &column_store::insert_node_parameters)},
    };
}

TEST_F(processors, other_kinds_drain_in_batches_and_recover)
{
    for (const auto& k : kinds())
    {
        SCOPED_TRACE(k.name);
        seed_hot();
        runtime_sql(k.seed);
        auto step = k.make(*m_runtime, *m_store, 2, m_dir);
        EXPECT_TRUE(step());
        EXPECT_FALSE(step());
        EXPECT_FALSE(step());
        EXPECT_EQ(store_count(k.store_table), 3);
        EXPECT_EQ(runtime_count(k.runtime_table), 0);
        EXPECT_TRUE(files().empty());
        // The hot purge belongs to the positions step alone.
        EXPECT_EQ(runtime_count("position_histories_hot"), 3);

        // Crash after the insert: the journal finishes the batch without inserting it again.
        store_sql("DELETE FROM " + k.store_table);
        runtime_sql(k.seed);
        k.crash_after_insert(*m_runtime, *m_store, m_dir);
        // Another kind's journal is not this processor's business.
        qvd::journal::write_file(m_dir + (k.journal == "heartbeats.bin" ? "activities.bin" : "heartbeats.bin"),
                                 "22 serialization::archive 19 0 0 0 0");
        EXPECT_TRUE(step());
        EXPECT_EQ(runtime_count(k.runtime_table), 1);
        EXPECT_EQ(store_count(k.store_table), 2);
        EXPECT_FALSE(step());
        EXPECT_EQ(store_count(k.store_table), 3);
        EXPECT_EQ(runtime_count(k.runtime_table), 0);
        EXPECT_EQ(files().size(), 1u);
        for (const auto& f : files())
            fs::remove(m_dir + f);
        runtime_sql("DELETE FROM position_histories_hot");
    }
}

TEST_F(processors, activities_use_their_own_batch_size_and_sys_journal_counts_as_present)
{
    runtime_sql(kinds()[1].seed);
    qvd::activities_processor processor(*m_runtime, *m_store, 3, m_dir);
    EXPECT_TRUE(processor.processing());
    EXPECT_FALSE(processor.processing());
    EXPECT_EQ(store_count("sys_journal_staging"), 3);

    // A journalled batch whose first row already reached sys_journal is not inserted again.
    runtime_sql(kinds()[1].seed);
    const auto batch = m_runtime->get_activities(3);
    qvd::journal::write_file(m_dir + "activities.bin", qvd::journal::to_string(batch));
    store_sql("INSERT INTO sys_journal SELECT * FROM sys_journal_staging; DELETE FROM sys_journal_staging");
    EXPECT_TRUE(processor.processing());
    EXPECT_EQ(store_count("sys_journal_staging"), 0);
    EXPECT_EQ(runtime_count("activities"), 0);

    // Its first row moved on to sys_journal, its last one still staged: present all the same.
    runtime_sql(kinds()[1].seed);
    qvd::journal::write_file(m_dir + "activities.bin", qvd::journal::to_string(m_runtime->get_activities(3)));
    store_sql("INSERT INTO sys_journal_staging SELECT * FROM sys_journal WHERE id = 3; DELETE FROM sys_journal "
              "WHERE id <> 1");
    EXPECT_TRUE(processor.processing());
    EXPECT_EQ(store_count("sys_journal_staging"), 1);
    EXPECT_EQ(store_count("sys_journal"), 1);
    EXPECT_EQ(runtime_count("activities"), 0);
}

// A 4-byte character (an emoji) in a string column of every kind, alone and beside a backslash (which
// the insert writes as a hex literal), arrives byte for byte: the sessions speak utf8mb4.
TEST_F(processors, four_byte_characters_arrive_byte_for_byte)
{
    const std::string emoji = "\xF0\x9F\x98\x80";
    const std::string plain = "'a" + emoji + "'";
    const std::string slashed = "'b\\\\" + emoji + "'";
    runtime_sql("INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, slvr_mode) VALUES "
                "(1, 10, 'u1', '2024-03-05 07:08:09', 'area', " + plain + "), "
                "(2, 10, 'u2', '2024-03-05 07:08:10', 'area', " + slashed + ")");
    runtime_sql("INSERT INTO trackable_objects (uid, name) VALUES ('t1', " + plain + "), ('t2', " + slashed + ");"
                "INSERT INTO zone_event_history (id, uid, related_event, action, obj_uid, created_at, duration) "
                "VALUES (1, 'e1', NULL, 'enter', 't1', '2024-01-01 00:00:01', NULL), "
                "(2, 'l1', 'e1', 'leave', 't1', '2024-01-01 00:01:01', 60), "
                "(3, 'e2', NULL, 'enter', 't2', '2024-01-01 00:00:02', NULL)");
    runtime_sql("INSERT INTO external_events (id, event_info, ts) VALUES (1, " + plain +
                ", '2024-01-01 00:00:01'), (2, " + slashed + ", '2024-01-01 00:00:02')");
    runtime_sql("INSERT INTO activities (id, created_at, created_by, action, object, plist) VALUES "
                "(1, '2024-01-01 00:00:01', 'me', 'a', 'o', " + plain + "), "
                "(2, '2024-01-01 00:00:02', 'me', 'a', 'o', " + slashed + ")");
    runtime_sql("INSERT INTO vehicle_driver_associations (id, event_id, created_at, removed_at) VALUES "
                "(1, " + plain + ", '2024-01-01 00:00:01', '2024-01-01 01:00:00'), "
                "(2, " + slashed + ", '2024-01-01 00:00:02', NULL)");
    runtime_sql("INSERT INTO heartbeats (id, ts, sw_version) VALUES (1, '2024-01-01 00:00:01', " + plain +
                "), (2, '2024-01-01 00:00:02', " + slashed + ")");
    runtime_sql("INSERT INTO node_parameters_staging (id, param_value, ts) VALUES (1, " + plain +
                ", '2024-01-01 00:00:01'), (2, " + slashed + ", '2024-01-01 00:00:02')");

    std::vector<std::function<bool()>> steps = {
        make_step<qvd::positions_processor>(*m_runtime, *m_store, 10, m_dir),
        make_step<qvd::zone_events_processor>(*m_runtime, *m_store, 10, m_dir),
        make_step<qvd::external_events_processor>(*m_runtime, *m_store, 10, m_dir),
        make_step<qvd::activities_processor>(*m_runtime, *m_store, 10, m_dir),
        make_step<qvd::vehicle_driver_associations_processor>(*m_runtime, *m_store, 10, m_dir),
        make_step<qvd::heartbeats_processor>(*m_runtime, *m_store, 10, m_dir),
        make_step<qvd::node_parameters_processor>(*m_runtime, *m_store, 10, m_dir),
    };
    for (const auto& step : steps)
        while (step())
        {
        }

    const std::string a = "61F09F9880";
    const std::string b = "625CF09F9880";
    const auto hex = [&](const std::string& _sql) { return query_value(shared_mariadb(), _sql, m_store_name); };
    EXPECT_EQ(hex("SELECT GROUP_CONCAT(HEX(slvr_mode) ORDER BY ts) FROM positions_raw"), a + "," + b);
    EXPECT_EQ(hex("SELECT HEX(trackable_name) FROM zone_events"), a);
    EXPECT_EQ(hex("SELECT HEX(trackable_name) FROM zone_events_open"), b);
    EXPECT_EQ(hex("SELECT GROUP_CONCAT(HEX(event_info) ORDER BY ts) FROM external_events"), a + "," + b);
    EXPECT_EQ(hex("SELECT GROUP_CONCAT(HEX(plist) ORDER BY id) FROM sys_journal_staging"), a + "," + b);
    EXPECT_EQ(hex("SELECT HEX(event_id) FROM vehicle_driver_associations"), a);
    EXPECT_EQ(hex("SELECT HEX(event_id) FROM vehicle_driver_associations_open"), b);
    EXPECT_EQ(hex("SELECT GROUP_CONCAT(HEX(sw_version) ORDER BY id) FROM heartbeats"), a + "," + b);
    EXPECT_EQ(hex("SELECT GROUP_CONCAT(HEX(param_value) ORDER BY ts) FROM node_parameters"), a + "," + b);
}

// The two kinds with an open snapshot.
struct open_kind
{
    std::string name;
    std::string journal;
    std::string closed_store_table;
    std::string open_store_table;
    std::string stale_open_row; // inserted into the open store table
    std::string closed_seed;    // three closed runtime rows
    std::string open_seed;      // two open runtime rows
    std::string runtime_closed_count;
    std::function<std::function<bool()>(qvd::runtime::database&, qvd::store::column_store&, unsigned int,
                                        const std::string&)>
        make;
    std::function<void(qvd::runtime::database&, qvd::store::column_store&, const std::string&)> crash_after_insert;
};

std::vector<open_kind> open_kinds()
{
    return {
        {"zone events", "zone_events.bin", "zone_events", "zone_events_open",
         "INSERT INTO zone_events_open (trackable_uid, trackable_name, enter_time) VALUES ('stale', 's', "
         "'2020-01-01')",
         "INSERT INTO trackable_objects (uid, name) VALUES ('t1', 'one'), ('t2', 'two');"
         "INSERT INTO zone_event_history (id, uid, related_event, action, obj_uid, created_at, duration) VALUES "
         "(1, 'e1', NULL, 'enter', 't1', '2024-01-01 00:00:01', NULL), (2, 'l1', 'e1', 'leave', 't1', '2024-01-01 "
         "00:01:01', 60),"
         "(3, 'e2', NULL, 'enter', 't2', '2024-01-01 00:00:02', NULL), (4, 'l2', 'e2', 'leave', 't2', '2024-01-01 "
         "00:01:02', 60),"
         "(5, 'e3', NULL, 'enter', 't1', '2024-01-01 00:00:03', NULL), (6, 'l3', 'e3', 'leave', 't1', '2024-01-01 "
         "00:01:03', 60)",
         "INSERT INTO zone_event_history (id, uid, related_event, action, obj_uid, created_at) VALUES "
         "(7, 'e4', NULL, 'enter', 't1', '2024-01-02 00:00:01'), (8, 'e5', NULL, 'enter', 't2', '2024-01-02 "
         "00:00:02')",
         "SELECT COUNT(*) FROM zone_event_history WHERE action = 'leave'", &make_step<qvd::zone_events_processor>,
         crash_after("zone_events.bin", &qvd::runtime::database::get_zone_events,
                     &qvd::store::column_store::insert_zone_events)},
        {"vehicle-driver associations", "vehicle_driver_associations.bin", "vehicle_driver_associations",
         "vehicle_driver_associations_open", "INSERT INTO vehicle_driver_associations_open (id) VALUES (999)",
         "INSERT INTO vehicle_driver_associations (id, vehicle_uid, driver_uid, created_at, removed_at) VALUES "
         "(1, 'v', 'd', '2024-01-01 00:00:01', '2024-01-01 01:00:00'), (2, 'v', 'd', '2024-01-01 00:00:02', "
         "'2024-01-01 01:00:00'), (3, 'v', 'd', '2024-01-01 00:00:03', NOW() - INTERVAL 1 MINUTE)",
         "INSERT INTO vehicle_driver_associations (id, vehicle_uid, driver_uid, created_at, removed_at) VALUES "
         "(4, 'v', 'd', '2024-01-02 00:00:01', NULL), (5, 'v', 'd', '2024-01-02 00:00:02', NOW() + INTERVAL 1 "
         "DAY)",
         "SELECT COUNT(*) FROM vehicle_driver_associations WHERE removed_at < NOW()",
         &make_step<qvd::vehicle_driver_associations_processor>,
         crash_after("vehicle_driver_associations.bin", &qvd::runtime::database::get_vehicle_driver_associations,
                     &qvd::store::column_store::insert_vehicle_driver_associations)},
    };
}

TEST_F(processors, open_snapshots_follow_the_drain_of_the_closed_rows)
{
    for (const auto& k : open_kinds())
    {
        SCOPED_TRACE(k.name);
        store_sql(k.stale_open_row);
        runtime_sql(k.closed_seed);
        runtime_sql(k.open_seed);
        auto step = k.make(*m_runtime, *m_store, 2, m_dir);

        // Full closed batch: moved, the open table untouched.
        EXPECT_TRUE(step());
        EXPECT_EQ(store_count(k.closed_store_table), 2);
        EXPECT_EQ(store_count(k.open_store_table), 1);
        // Partial batch: moved, then the open table replaced by the open rows.
        EXPECT_FALSE(step());
        EXPECT_EQ(store_count(k.closed_store_table), 3);
        EXPECT_EQ(runtime_count(k.runtime_closed_count), 0);
        EXPECT_EQ(store_count(k.open_store_table), 2);
        EXPECT_TRUE(files().empty());

        // A journal present: recovery only, the snapshot waits for a later step.
        store_sql(k.stale_open_row);
        qvd::journal::write_file(m_dir + k.journal, "22 serialization::archive 19 0 0 0 0");
        EXPECT_TRUE(step());
        EXPECT_EQ(store_count(k.open_store_table), 3);
        // No closed row: only the snapshot, no journal; open rows are never deleted.
        EXPECT_FALSE(step());
        EXPECT_EQ(store_count(k.open_store_table), 2);
        EXPECT_TRUE(files().empty());
        EXPECT_EQ(store_count(k.closed_store_table), 3);
    }
    // No open row either: the open table is emptied and nothing inserted.
    runtime_sql("DELETE FROM zone_event_history; DELETE FROM vehicle_driver_associations");
    for (const auto& k : open_kinds())
    {
        SCOPED_TRACE(k.name);
        EXPECT_FALSE(k.make(*m_runtime, *m_store, 2, m_dir)());
        EXPECT_EQ(store_count(k.open_store_table), 0);
    }
}

TEST_F(processors, closed_rows_of_open_kinds_recover_without_a_second_insert)
{
    for (const auto& k : open_kinds())
    {
        SCOPED_TRACE(k.name);
        runtime_sql(k.closed_seed);
        runtime_sql(k.open_seed);
        k.crash_after_insert(*m_runtime, *m_store, m_dir);
        auto step = k.make(*m_runtime, *m_store, 2, m_dir);
        EXPECT_TRUE(step());
        EXPECT_EQ(store_count(k.closed_store_table), 2);
        EXPECT_EQ(runtime_count(k.runtime_closed_count), 1);
        EXPECT_EQ(store_count(k.open_store_table), 0);
        EXPECT_FALSE(step());
        EXPECT_EQ(store_count(k.closed_store_table), 3);
        EXPECT_EQ(runtime_count(k.runtime_closed_count), 0);
        EXPECT_EQ(store_count(k.open_store_table), 2);
        EXPECT_TRUE(files().empty());
    }
    // Both enter and leave rows of the moved zone events are gone; the open enter rows stay.
    EXPECT_EQ(runtime_count("zone_event_history"), 2);
}

// A stored row equal to a journalled record only in the columns that once identified it (the same
// tag and instant with other coordinates, nested zones entered at one instant, another user's same
// action, a reused id, a value that differs by a trailing blank) does not stand for the record:
// the recovered batch is inserted, not dropped.
TEST_F(processors, a_lookalike_row_does_not_stand_for_the_journalled_batch)
{
    const std::map<std::string, std::string> lookalike = {
        {"external events", "UPDATE external_events SET event_type = 'other'"},
        {"activities", "UPDATE sys_journal_staging SET created_by = 'someone else'"},
        {"heartbeats", "UPDATE heartbeats SET mac_address = 'B0'"},
        {"node parameters", "UPDATE node_parameters SET param_value = CONCAT(param_value, ' ')"},
        {"zone events", "UPDATE zone_events SET zone_uid = 'outer'"},
        {"vehicle-driver associations", "UPDATE vehicle_driver_associations SET driver_uid = 'another'"},
    };
    const auto recover = [&](const std::function<bool()>& _step, const std::string& _store_table) {
        EXPECT_TRUE(_step());
        EXPECT_FALSE(_step());
        // Two lookalikes beside the three rows.
        EXPECT_EQ(store_count(_store_table), 5);
        EXPECT_TRUE(files().empty());
    };

    seed_positions(3);
    qvd::journal::write_file(m_dir + "positions_raw.bin", qvd::journal::to_string(m_runtime->get_positions(2)));
    m_store->insert_positions_raw(m_runtime->get_positions(2));
    store_sql("UPDATE positions_raw SET x = -1");
    auto positions_step = positions(2);
    recover([&] { return positions_step.processing(); }, "positions_raw");
    EXPECT_EQ(runtime_count("position_histories"), 0);

    for (const auto& k : kinds())
    {
        SCOPED_TRACE(k.name);
        runtime_sql(k.seed);
        k.crash_after_insert(*m_runtime, *m_store, m_dir);
        store_sql(lookalike.at(k.name));
        recover(k.make(*m_runtime, *m_store, 2, m_dir), k.store_table);
        EXPECT_EQ(runtime_count(k.runtime_table), 0);
    }
    for (const auto& k : open_kinds())
    {
        SCOPED_TRACE(k.name);
        runtime_sql(k.closed_seed);
        k.crash_after_insert(*m_runtime, *m_store, m_dir);
        store_sql(lookalike.at(k.name));
        recover(k.make(*m_runtime, *m_store, 2, m_dir), k.closed_store_table);
        EXPECT_EQ(runtime_count(k.runtime_closed_count), 0);
    }
}

// The order of a step seen from outside: an insert that fails leaves the batch in the runtime table
// and its journal in place; a delete that fails leaves the journal, and the next step finishes the
// batch exactly once. Each kind, since each processor hands its own operations to the shared steps.
TEST_F(processors, a_failing_insert_or_delete_keeps_the_journal_and_the_next_step_finishes_once)
{
    struct subject
    {
        std::string name;
        std::string journal;
        std::string runtime_table;
        std::string store_table;
        std::function<void()> seed; // three runtime rows
        std::function<std::function<bool()>(qvd::runtime::database&, qvd::store::column_store&, unsigned int,
                                            const std::string&)>
            make;
    };
    std::vector<subject> subjects = {{"positions", "positions_raw.bin", "position_histories", "positions_raw",
                                      [&] { seed_positions(3); }, &make_step<qvd::positions_processor>}};
    for (const auto& k : kinds())
        subjects.push_back({k.name, k.journal, k.runtime_table, k.store_table, [&, k] { runtime_sql(k.seed); },
                            k.make});
    for (const auto& k : open_kinds())
        subjects.push_back({k.name, k.journal,
                            k.name == "zone events" ? "zone_event_history" : "vehicle_driver_associations",
                            k.closed_store_table, [&, k] { runtime_sql(k.closed_seed); }, k.make});

    const std::string refuse = " FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused by the test'";
    for (const auto& k : subjects)
    {
        SCOPED_TRACE(k.name);
        k.seed();
        const long long runtime_rows = runtime_count(k.runtime_table);
        auto step = k.make(*m_runtime, *m_store, 2, m_dir);

        store_sql("CREATE TRIGGER refuse_insert BEFORE INSERT ON " + k.store_table + refuse);
        EXPECT_THROW(step(), qvd::libs::core::exception);
        EXPECT_EQ(runtime_count(k.runtime_table), runtime_rows);
        EXPECT_EQ(store_count(k.store_table), 0);
        EXPECT_EQ(files(), std::vector<std::string>{k.journal});
        store_sql("DROP TRIGGER refuse_insert");

        runtime_sql("CREATE TRIGGER refuse_delete BEFORE DELETE ON " + k.runtime_table + refuse);
        EXPECT_THROW(step(), qvd::libs::core::exception);
        EXPECT_EQ(runtime_count(k.runtime_table), runtime_rows);
        EXPECT_EQ(store_count(k.store_table), 2);
        EXPECT_EQ(files(), std::vector<std::string>{k.journal});
        runtime_sql("DROP TRIGGER refuse_delete");

        EXPECT_TRUE(step());
        EXPECT_EQ(store_count(k.store_table), 2);
        EXPECT_TRUE(files().empty());
        while (step())
        {
        }
        EXPECT_EQ(store_count(k.store_table), 3);
        EXPECT_EQ(runtime_count(k.runtime_table), 0);
        EXPECT_TRUE(files().empty());
    }
}

// Both databases on a server of the test's own, started with the given options.
class own_server
{
public:
    explicit own_server(std::vector<std::string> _options) : m_server(0, std::move(_options))
    {
        m_server.start();
        run_sql(endpoint(), "CREATE DATABASE rt CHARACTER SET utf8mb4; CREATE DATABASE cs CHARACTER SET utf8mb4");
        run_sql_file(endpoint(), "tests/fixtures/runtime_schema.sql", "rt");
        run_sql_file(endpoint(), "tests/fixtures/column_store_schema.sql", "cs");
        const auto& e = endpoint();
        runtime = std::make_unique<qvd::runtime::database_impl>(e.host, e.user, e.password, "rt", e.port, m_signals,
                                                                m_logger);
        store = std::make_unique<qvd::store::column_store_impl>(e.host, e.user, e.password, "cs", e.port, m_signals,
                                                                m_logger);
        m_dir = fs::temp_directory_path() / fs::unique_path("lomvera-own-%%%%-%%%%");
        fs::create_directories(m_dir);
        dir = m_dir.string() + "/";
    }
    ~own_server()
    {
        boost::system::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    const mariadb_endpoint& endpoint() const { return m_server.endpoint(); }
    std::string count(const std::string& _table, const std::string& _database) const
    {
        return *query_value(endpoint(), "SELECT COUNT(*) FROM " + _table, _database);
    }

private:
    private_mariadb_server m_server;
    no_signal m_signals;
    qvd::libs::core::logger m_logger{"lomvera", "transfer-test"};
    fs::path m_dir;

public:
    std::unique_ptr<qvd::runtime::database_impl> runtime;
    std::unique_ptr<qvd::store::column_store_impl> store;
    std::string dir;
};

// A server whose sql_mode is empty cuts an over-long text and clamps an out-of-range number with
// a warning. The column-store session is strict on every connect, so such a batch fails whole and
// its runtime rows stay; after a reconnect as well.
TEST(processors_on_a_lax_server, a_value_the_column_store_cannot_hold_fails_the_batch)
{
    own_server server({"--sql-mode="});
    const auto& endpoint = server.endpoint();
    auto& runtime = *server.runtime;
    auto& store = *server.store;
    const std::string journal_dir = server.dir;
    const auto count = [&](const std::string& _table, const std::string& _database) {
        return server.count(_table, _database);
    };

    // fom is a smallint in the column store (40000 would become 32767).
    run_sql(endpoint,
            "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, fom) VALUES "
            "(1, 10, 'u1', '2024-03-05 07:08:09', 'area', 7), (2, 10, 'u2', '2024-03-05 07:08:10', 'area', 40000)",
            "rt");
    // event_type holds 15 characters in the column store.
    run_sql(endpoint,
            "INSERT INTO external_events (id, event_type, ts) VALUES (1, 'short', '2024-01-01 00:00:01'), "
            "(2, 'a type of twenty chars', '2024-01-01 00:00:02')",
            "rt");
    qvd::positions_processor positions(runtime, store, 10, journal_dir);
    qvd::external_events_processor external_events(runtime, store, 10, journal_dir);
    EXPECT_THROW(positions.processing(), qvd::libs::core::exception);
    EXPECT_THROW(external_events.processing(), qvd::libs::core::exception);
    EXPECT_EQ(count("positions_raw", "cs"), "0");
    EXPECT_EQ(count("external_events", "cs"), "0");
    EXPECT_EQ(count("position_histories", "rt"), "2");
    EXPECT_EQ(count("external_events", "rt"), "2");

    // A new session (the old one killed) is strict again: the journalled batch still fails.
    ASSERT_GE(kill_sessions(endpoint, "DB = 'cs'"), 1u);
    EXPECT_THROW(positions.processing(), qvd::libs::core::exception);
    EXPECT_EQ(count("positions_raw", "cs"), "0");
    EXPECT_EQ(count("position_histories", "rt"), "2");
    // The column store's new session; the sessions of the counts above end a moment after they quit.
    const std::string store_sessions = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = 'cs'";
    eventually([&] { return query_value(endpoint, store_sessions) == std::string("1"); }, std::chrono::seconds(30));
    EXPECT_EQ(query_value(endpoint, store_sessions), std::string("1"));
}

// With a small max_allowed_packet: a batch is cut to the rows one INSERT carries, the rest follows
// in the next batch; a journal written under a larger limit is inserted in parts, each probed; an
// open table is refilled with as many statements as needed; a row that alone does not fit is an
// error naming it, before anything is journalled.
TEST(processors_on_a_small_packet_limit, statements_stay_under_the_limit)
{
    own_server server({"--max-allowed-packet=16384"});
    const auto& endpoint = server.endpoint();
    const auto seed_positions = [&](int _from) {
        run_sql(endpoint,
                "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, x) SELECT seq, 10, "
                "CONCAT('uid', seq), '2024-03-05 00:00:00' + INTERVAL seq SECOND, 'area', seq FROM seq_" +
                    std::to_string(_from) + "_to_" + std::to_string(_from + 399),
                "rt");
    };
    const auto distinct = [&] {
        return *query_value(endpoint, "SELECT COUNT(DISTINCT ts) FROM positions_raw", "cs");
    };

    seed_positions(1);
    qvd::positions_processor positions(*server.runtime, *server.store, 1000, server.dir);
    int full_steps = 0;
    while (positions.processing())
        ++full_steps;
    EXPECT_GE(full_steps, 2);
    EXPECT_EQ(server.count("positions_raw", "cs"), "400");
    EXPECT_EQ(distinct(), "400");
    EXPECT_EQ(server.count("position_histories", "rt"), "0");

    // A journal too large for one statement, left by a crash after its first part was inserted.
    seed_positions(401);
    const auto batch = server.runtime->get_positions(1000);
    ASSERT_EQ(batch.size(), 400u);
    qvd::journal::write_file(server.dir + "positions_raw.bin", qvd::journal::to_string(batch));
    const std::size_t first_part = server.store->fitting_rows(batch);
    ASSERT_LT(first_part, batch.size());
    server.store->insert_positions_raw({batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(first_part)});
    EXPECT_TRUE(positions.processing());
    EXPECT_EQ(server.count("positions_raw", "cs"), "800");
    EXPECT_EQ(distinct(), "800");
    EXPECT_EQ(server.count("position_histories", "rt"), "0");
    EXPECT_FALSE(fs::exists(server.dir + "positions_raw.bin"));

    // Open associations refilled in several statements.
    run_sql(endpoint,
            "INSERT INTO vehicle_driver_associations (id, vehicle_uid, driver_uid, created_at) SELECT seq, "
            "CONCAT('vehicle', seq), CONCAT('driver', seq), '2024-01-01' FROM seq_1_to_300",
            "rt");
    qvd::vehicle_driver_associations_processor associations(*server.runtime, *server.store, 1000, server.dir);
    EXPECT_FALSE(associations.processing());
    EXPECT_EQ(server.count("vehicle_driver_associations_open", "cs"), "300");

    // Texts of backslashes, which the statement writes in hex at twice their length: one such row
    // per statement, and one that alone does not fit.
    run_sql(endpoint,
            "INSERT INTO external_events (id, event_info, ts) VALUES (1, REPEAT('\\\\', 7000), '2024-01-01 00:00:01'), "
            "(2, REPEAT('\\\\', 7000), '2024-01-01 00:00:02'), (3, REPEAT('\\\\', 7900), '2024-01-01 00:00:03')",
            "rt");
    qvd::external_events_processor external_events(*server.runtime, *server.store, 10, server.dir);
    EXPECT_TRUE(external_events.processing());
    EXPECT_TRUE(external_events.processing());
    EXPECT_EQ(server.count("external_events", "cs"), "2");
    EXPECT_EQ(*query_value(endpoint, "SELECT MIN(LENGTH(event_info)) FROM external_events", "cs"), "7000");
    try
    {
        external_events.processing();
        ADD_FAILURE() << "a row larger than the limit was accepted";
    }
    catch (const qvd::libs::core::exception& e)
    {
        EXPECT_NE(e.get_string_error().find("row id 3"), std::string::npos) << e.get_string_error();
        EXPECT_NE(e.get_string_error().find("table external_events"), std::string::npos) << e.get_string_error();
        EXPECT_NE(e.get_string_error().find("max_allowed_packet is 16384"), std::string::npos)
            << e.get_string_error();
    }
    EXPECT_EQ(server.count("external_events", "rt"), "1");
    EXPECT_FALSE(fs::exists(server.dir + "external_events.bin"));
}

} // namespace
