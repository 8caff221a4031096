// The seven processors against the real server, runtime database and column store both.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <boost/filesystem.hpp>

#include <core/exception.hpp>

#include <mariadb_client/account.hpp>
#include <mariadb_client/connection.hpp>
#include <mariadb_client/result_set.hpp>

#include "own_server_support.hpp"

#include "transfer/activities_processor.hpp"
#include "transfer/external_events_processor.hpp"
#include "transfer/heartbeats_processor.hpp"
#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"
#include "transfer/node_parameters_processor.hpp"
#include "transfer/parts_mark.hpp"
#include "transfer/positions_processor.hpp"
#include "runtime/database_impl.hpp"
#include "store/store_impl.hpp"
#include "support/core_values.hpp"
#include "support/eventually.hpp"
#include "support/mariadb_server.hpp"
#include "support/eventually.hpp"
#include "transfer/vehicle_driver_associations_processor.hpp"
#include "transfer/zone_events_processor.hpp"

namespace {

namespace fs = boost::filesystem;
using namespace qvd::test_support;
using qvd::db_test::insert_positions;
using qvd::db_test::open_session;
using qvd::db_test::session_alive;
using qvd::db_test::takes_lock;

class processors : public ::testing::Test {
protected:
    void SetUp() override {
        LOMVERA_REQUIRE_MARIADB();
        m_runtime_name = fresh_database(test_database_name("lv_transfer_rt_"));
        m_store_name = fresh_database(test_database_name("lv_transfer_cs_"));
        run_sql_file(shared_mariadb(), "tests/fixtures/runtime_schema.sql", m_runtime_name);
        run_sql_file(shared_mariadb(), "tests/fixtures/column_store_schema.sql", m_store_name);
        const auto& server = shared_mariadb();
        m_runtime = std::make_unique<qvd::runtime::database_impl>(server.host, server.user, server.password,
                                                                  m_runtime_name, server.port, m_signals, m_logger);
        m_store = std::make_unique<qvd::store::column_store_impl>(server.host, server.user, server.password,
                                                                  m_store_name, server.port, m_signals, m_logger);
        m_dir_path = fs::temp_directory_path() / fs::unique_path("lomvera-transfer-%%%%-%%%%");
        fs::create_directories(m_dir_path);
        m_dir = m_dir_path.string() + "/";
    }
    void TearDown() override {
        boost::system::error_code ignored;
        if (!m_dir_path.empty())
            fs::remove_all(m_dir_path, ignored);
    }

    void runtime_sql(const std::string& _sql) { run_sql(shared_mariadb(), _sql, m_runtime_name); }
    void store_sql(const std::string& _sql) { run_sql(shared_mariadb(), _sql, m_store_name); }
    long long runtime_count(const std::string& _table) { return count(_table, m_runtime_name); }
    long long store_count(const std::string& _table) { return count(_table, m_store_name); }
    long long count(const std::string& _what, const std::string& _database) {
        const std::string sql = _what.rfind("SELECT", 0) == 0 ? _what : "SELECT COUNT(*) FROM " + _what;
        return std::stoll(*query_value(shared_mariadb(), sql, _database));
    }
    // Files of the journal directory.
    std::vector<std::string> files() const {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(m_dir_path))
            result.push_back(entry.path().filename().string());
        std::sort(result.begin(), result.end());
        return result;
    }

    // Positions 1.._n, each with its own time; hot rows: two old ones and one fresh.
    void seed_positions(int _n) {
        for (int i = 1; i <= _n; ++i)
            runtime_sql(
                "INSERT INTO position_histories (id, trackable_id, obj_uid, mac_address, ts, sublocation_uid, x) "
                "VALUES (" +
                std::to_string(i) + ", 10, 'uid" + std::to_string(i) +
                "', 'A0B1C2D3E4F5', "
                "'2024-03-05 07:08:" +
                (i < 10 ? "0" : "") + std::to_string(i) + ".010', 'area', " + std::to_string(i) + ")");
    }
    void seed_hot() {
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

TEST_F(processors, positions_full_and_partial_batches_with_the_hot_purge) {
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

TEST_F(processors, positions_batch_of_exactly_the_size_and_one_less) {
    seed_positions(3);
    EXPECT_TRUE(positions(3).processing());
    EXPECT_TRUE(files().empty());
    seed_positions(2);
    EXPECT_FALSE(positions(3).processing());
    EXPECT_EQ(store_count("positions_raw"), 5);
}

TEST_F(processors, zero_batch_size_moves_nothing_but_still_recovers) {
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
TEST_F(processors, positions_recovery_at_each_crash_point) {
    for (int crash_point = 0; crash_point < 3; ++crash_point) {
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

TEST_F(processors, empty_journal_batch_is_removed_without_probe) {
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

// _text, a journal of 2 records, with another record count.
std::string with_count(const std::string& _text, const std::string& _count) {
    const std::string count_two = "22 serialization::archive 19 0 0 2 ";
    EXPECT_EQ(_text.rfind(count_two, 0), 0u);
    return "22 serialization::archive 19 0 0 " + _count + _text.substr(count_two.size() - 1);
}

// A spoiled journal (outside damage: empty, cut short, garbage, not one whole batch) is set aside and the step fails
// naming it. Its rows may have arrived without being deleted, so the kind's next batch inserts only
// what did not arrive: each row once, whether the batch had arrived or not, and also when the
// process restarts in between (a new processor knows it from the set-aside file).
TEST_F(processors, a_spoiled_journal_is_set_aside_and_the_next_batch_inserts_only_what_did_not_arrive) {
    struct spoil_t {
        std::string name;
        std::function<std::string(const std::string&)> spoil;
        std::string reason;
    };
    const std::vector<spoil_t> spoils = {
        {"empty", [](const std::string&) { return std::string(); }, "input stream error"},
        // Cut inside a string value.
        {"cut short", [](const std::string& _text) { return _text.substr(0, _text.find("uid1") + 2); },
         "input stream error"},
        {"garbage", [](const std::string&) { return std::string("13 not a journal 19 0 0 0 0"); }, "invalid signature"},
        // Read as an empty batch, its records would be dropped from the journal and moved again.
        {"count of 0 with the records behind it", [](const std::string& _text) { return with_count(_text, "0"); },
         "text after the batch"},
        {"count smaller than the records", [](const std::string& _text) { return with_count(_text, "1"); },
         "text after the batch"},
        {"a second batch appended", [](const std::string& _text) { return _text + " " + _text; },
         "text after the batch"},
        {"count of millions", [](const std::string& _text) { return with_count(_text, "8000000"); },
         "input stream error"},
    };
    const std::string journal = m_dir + "positions_raw.bin";
    for (const auto& spoil : spoils)
        for (const bool arrived : {false, true})
            for (const bool restart : {false, true}) {
                SCOPED_TRACE(spoil.name + (arrived ? ", arrived" : ", not arrived") + (restart ? ", restart" : ""));
                store_sql("TRUNCATE TABLE positions_raw");
                runtime_sql("DELETE FROM position_histories");
                for (const auto& f : files())
                    fs::remove(m_dir + f);
                seed_positions(3);
                const auto batch = m_runtime->get_positions(2);
                if (arrived)
                    m_store->insert_positions_raw(batch);
                std::ofstream(journal, std::ios::binary) << spoil.spoil(qvd::journal::to_string(batch));

                auto processor = std::make_unique<qvd::positions_processor>(*m_runtime, *m_store, 5, m_dir);
                try {
                    processor->processing();
                    ADD_FAILURE() << "the step did not fail";
                } catch (const qvd::libs::core::exception& error) {
                    EXPECT_EQ(error.get_string_error().rfind("journal file " + journal + " cannot be parsed (" +
                                                                 spoil.reason + "): set aside as " + journal + ".bad",
                                                             0),
                              0u)
                        << error.get_string_error();
                }
                EXPECT_EQ(files(), std::vector<std::string>{"positions_raw.bin.bad"});
                EXPECT_EQ(runtime_count("position_histories"), 3);

                if (restart)
                    processor = std::make_unique<qvd::positions_processor>(*m_runtime, *m_store, 5, m_dir);
                EXPECT_FALSE(processor->processing());
                EXPECT_EQ(store_count("positions_raw"), 3);
                EXPECT_EQ(store_count("SELECT COUNT(DISTINCT trackable_uid, ts) FROM positions_raw"), 3);
                EXPECT_EQ(runtime_count("position_histories"), 0);
                // Record 3 was missing: the doubt is settled, and the operator's copy says so.
                EXPECT_EQ(files(), std::vector<std::string>{"positions_raw.bin.bad.settled"});

                // Settled: later batches go as usual.
                seed_positions(1);
                EXPECT_FALSE(processor->processing());
                EXPECT_EQ(store_count("positions_raw"), 4);
            }
}

TEST_F(processors, unreadable_journal_fails_the_step_and_stays) {
    seed_positions(1);
    fs::create_directory(m_dir + "positions_raw.bin");
    EXPECT_THROW(positions(5).processing(), qvd::libs::core::exception);
    EXPECT_TRUE(fs::is_directory(m_dir + "positions_raw.bin"));
    EXPECT_EQ(runtime_count("position_histories"), 1);
    EXPECT_EQ(store_count("positions_raw"), 0);
}

TEST_F(processors, journal_not_written_means_nothing_inserted) {
    seed_positions(2);
    qvd::positions_processor processor(*m_runtime, *m_store, 5, m_dir + "missing/");
    try {
        processor.processing();
        ADD_FAILURE() << "the step did not fail";
    } catch (const qvd::libs::core::exception& error) {
        EXPECT_NE(std::string(error.what()).find(m_dir + "missing/positions_raw.bin"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(store_count("positions_raw"), 0);
    EXPECT_EQ(runtime_count("position_histories"), 2);
}

TEST_F(processors, journal_path_is_plain_concatenation) {
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
struct kind {
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
std::function<bool()> make_step(qvd::runtime::database& _runtime, qvd::store::column_store& _store, unsigned int _max,
                                const std::string& _dir) {
    auto processor = std::make_shared<Processor>(_runtime, _store, _max, _dir);
    return [processor] { return processor->processing(); };
}

template <typename Read, typename Insert>
std::function<void(qvd::runtime::database&, qvd::store::column_store&, const std::string&)> crash_after(
    std::string _journal, Read _read, Insert _insert) {
    return [=](qvd::runtime::database& _runtime, qvd::store::column_store& _store, const std::string& _dir) {
        const auto batch = (_runtime.*_read)(2);
        qvd::journal::write_file(_dir + _journal, qvd::journal::to_string(batch));
        (_store.*_insert)(batch);
    };
}

std::vector<kind> kinds() {
    using qvd::runtime::database;
    using qvd::store::column_store;
    return {
        {"external events", "external_events.bin", "external_events", "external_events",
         "INSERT INTO external_events (id, object_uid, event_type, ts, created_at) VALUES "
         "(1, 'o1', 'e', '2024-01-01 00:00:01.001', '2024-01-01 00:00:01'), "
         "(2, NULL, 'e', '2024-01-01 00:00:02.002', NULL), (3, 'o3', 'e', '2024-01-01 00:00:03.003', NULL)",
         &make_step<qvd::external_events_processor>,
         crash_after("external_events.bin", &database::get_external_events, &column_store::insert_external_events)},
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
         crash_after("node_parameters.bin", &database::get_node_parameters, &column_store::insert_node_parameters)},
    };
}

TEST_F(processors, other_kinds_drain_in_batches_and_recover) {
    for (const auto& k : kinds()) {
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

TEST_F(processors, activities_use_their_own_batch_size_and_sys_journal_counts_as_present) {
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

    // Its first rows moved on to sys_journal, its last one still staged: present all the same.
    runtime_sql(kinds()[1].seed);
    qvd::journal::write_file(m_dir + "activities.bin", qvd::journal::to_string(m_runtime->get_activities(3)));
    store_sql("INSERT INTO sys_journal_staging SELECT * FROM sys_journal WHERE id = 3; DELETE FROM sys_journal "
              "WHERE id = 3");
    EXPECT_TRUE(processor.processing());
    EXPECT_EQ(store_count("sys_journal_staging"), 1);
    EXPECT_EQ(store_count("sys_journal"), 2);
    EXPECT_EQ(runtime_count("activities"), 0);
}

// A 4-byte character (an emoji) in a string column of every kind, alone and beside a backslash (which
// the insert writes as a hex literal), arrives byte for byte: the sessions speak utf8mb4.
TEST_F(processors, four_byte_characters_arrive_byte_for_byte) {
    const std::string emoji = "\xF0\x9F\x98\x80";
    const std::string plain = "'a" + emoji + "'";
    const std::string slashed = "'b\\\\" + emoji + "'";
    runtime_sql("INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, slvr_mode) VALUES "
                "(1, 10, 'u1', '2024-03-05 07:08:09', 'area', " +
                plain +
                "), "
                "(2, 10, 'u2', '2024-03-05 07:08:10', 'area', " +
                slashed + ")");
    runtime_sql("INSERT INTO trackable_objects (uid, name) VALUES ('t1', " + plain + "), ('t2', " + slashed +
                ");"
                "INSERT INTO zone_event_history (id, uid, related_event, action, obj_uid, created_at, duration) "
                "VALUES (1, 'e1', NULL, 'enter', 't1', '2024-01-01 00:00:01', NULL), "
                "(2, 'l1', 'e1', 'leave', 't1', '2024-01-01 00:01:01', 60), "
                "(3, 'e2', NULL, 'enter', 't2', '2024-01-01 00:00:02', NULL)");
    runtime_sql("INSERT INTO external_events (id, event_info, ts) VALUES (1, " + plain +
                ", '2024-01-01 00:00:01'), (2, " + slashed + ", '2024-01-01 00:00:02')");
    runtime_sql("INSERT INTO activities (id, created_at, created_by, action, object, plist) VALUES "
                "(1, '2024-01-01 00:00:01', 'me', 'a', 'o', " +
                plain +
                "), "
                "(2, '2024-01-01 00:00:02', 'me', 'a', 'o', " +
                slashed + ")");
    runtime_sql("INSERT INTO vehicle_driver_associations (id, event_id, created_at, removed_at) VALUES "
                "(1, " +
                plain +
                ", '2024-01-01 00:00:01', '2024-01-01 01:00:00'), "
                "(2, " +
                slashed + ", '2024-01-01 00:00:02', NULL)");
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
        while (step()) {
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
struct open_kind {
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

std::vector<open_kind> open_kinds() {
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

TEST_F(processors, open_snapshots_follow_the_drain_of_the_closed_rows) {
    for (const auto& k : open_kinds()) {
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
    for (const auto& k : open_kinds()) {
        SCOPED_TRACE(k.name);
        EXPECT_FALSE(k.make(*m_runtime, *m_store, 2, m_dir)());
        EXPECT_EQ(store_count(k.open_store_table), 0);
    }
}

// An open row the column store refuses fails the refill and leaves the mirror as it was; the
// error names the table and the row. Once the row is mended, the next snapshot replaces it.
TEST_F(processors, a_refused_open_row_leaves_the_mirror_as_it_was) {
    // Uids longer than the column store's CHAR(22).
    const std::map<std::string, std::pair<std::string, std::string>> refused = {
        {"zone events",
         {"INSERT INTO zone_event_history (id, uid, related_event, action, obj_uid, created_at) VALUES "
          "(9, 'e9', NULL, 'enter', 'a-tag-uid-of-thirty-chars-long', '2024-01-03 00:00:01')",
          "DELETE FROM zone_event_history WHERE id = 9"}},
        {"vehicle-driver associations",
         {"INSERT INTO vehicle_driver_associations (id, vehicle_uid, driver_uid, created_at, removed_at) VALUES "
          "(9, 'a-vehicle-uid-of-thirty-chars', 'd', '2024-01-03 00:00:01', NULL)",
          "DELETE FROM vehicle_driver_associations WHERE id = 9"}},
    };
    for (const auto& k : open_kinds()) {
        SCOPED_TRACE(k.name);
        runtime_sql(k.open_seed);
        auto step = k.make(*m_runtime, *m_store, 2, m_dir);
        EXPECT_FALSE(step());
        ASSERT_EQ(store_count(k.open_store_table), 2);
        const auto checksum = [&] {
            return query_sql(shared_mariadb(), "CHECKSUM TABLE " + k.open_store_table, m_store_name).at(0).at(1);
        };
        const auto before = checksum();

        runtime_sql(refused.at(k.name).first);
        try {
            step();
            ADD_FAILURE() << "the refused row was accepted";
        } catch (const qvd::libs::core::exception& error) {
            EXPECT_NE(error.get_string_error().find("(table " + k.open_store_table + ", row id 9)"), std::string::npos)
                << error.get_string_error();
        }
        EXPECT_EQ(store_count(k.open_store_table), 2);
        EXPECT_EQ(checksum(), before);

        runtime_sql(refused.at(k.name).second);
        store_sql(k.stale_open_row);
        EXPECT_FALSE(step());
        EXPECT_EQ(store_count(k.open_store_table), 2);
        EXPECT_EQ(checksum(), before);
    }
}

TEST_F(processors, closed_rows_of_open_kinds_recover_without_a_second_insert) {
    for (const auto& k : open_kinds()) {
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
TEST_F(processors, a_lookalike_row_does_not_stand_for_the_journalled_batch) {
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

    for (const auto& k : kinds()) {
        SCOPED_TRACE(k.name);
        runtime_sql(k.seed);
        k.crash_after_insert(*m_runtime, *m_store, m_dir);
        store_sql(lookalike.at(k.name));
        recover(k.make(*m_runtime, *m_store, 2, m_dir), k.store_table);
        EXPECT_EQ(runtime_count(k.runtime_table), 0);
    }
    for (const auto& k : open_kinds()) {
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
TEST_F(processors, a_failing_insert_or_delete_keeps_the_journal_and_the_next_step_finishes_once) {
    struct subject {
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
        subjects.push_back(
            {k.name, k.journal, k.runtime_table, k.store_table, [&, k] { runtime_sql(k.seed); }, k.make});
    for (const auto& k : open_kinds())
        subjects.push_back({k.name, k.journal,
                            k.name == "zone events" ? "zone_event_history" : "vehicle_driver_associations",
                            k.closed_store_table, [&, k] { runtime_sql(k.closed_seed); }, k.make});

    const std::string refuse = " FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused by the test'";
    for (const auto& k : subjects) {
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
        while (step()) {
        }
        EXPECT_EQ(store_count(k.store_table), 3);
        EXPECT_EQ(runtime_count(k.runtime_table), 0);
        EXPECT_TRUE(files().empty());
    }
}

// Both databases on a server of the test's own, started with the given options.
class own_server : public qvd::db_test::own_mariadb {
public:
    explicit own_server(std::vector<std::string> _options) : own_mariadb(std::move(_options)) {
        const auto& e = endpoint();
        runtime = std::make_unique<qvd::runtime::database_impl>(e.host, e.user, e.password, "rt", e.port, m_signals,
                                                                m_logger);
        store = std::make_unique<qvd::store::column_store_impl>(e.host, e.user, e.password, "cs", e.port, m_signals,
                                                                m_logger);
        m_dir = fs::temp_directory_path() / fs::unique_path("lomvera-own-%%%%-%%%%");
        fs::create_directories(m_dir);
        dir = m_dir.string() + "/";
    }
    ~own_server() {
        boost::system::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    // A new column-store session, which reads the server's limits afresh.
    void renew_store() {
        const auto& e = endpoint();
        store.reset();
        store = std::make_unique<qvd::store::column_store_impl>(e.host, e.user, e.password, "cs", e.port, m_signals,
                                                                m_logger);
    }

private:
    no_signal m_signals;
    qvd::libs::core::logger m_logger{"lomvera", "transfer-test"};
    fs::path m_dir;

public:
    std::unique_ptr<qvd::runtime::database_impl> runtime;
    std::unique_ptr<qvd::store::column_store_impl> store;
    std::string dir;
};

// Journals the 400 runtime positions and lets a split recovery leave its mark and insert the part of
// them that one statement carries, as a crash after that first part leaves them.
void journal_with_its_first_part_inserted(own_server& _server) {
    const auto batch = _server.runtime->get_positions(1000);
    ASSERT_EQ(batch.size(), 400u);
    const std::string journal = _server.dir + "positions_raw.bin";
    const std::string text = qvd::journal::to_string(batch);
    qvd::journal::write_file(journal, text);
    struct crash {};
    std::size_t parts = 0;
    try {
        qvd::journalled_processor::insert_rest(
            batch, 0, [&](const std::vector<qvd::position>& _part) { return _server.store->fitting_rows(_part); },
            [&](const std::vector<qvd::position>& _part) {
                if (parts++ == 1)
                    throw crash();
                _server.store->insert_positions_raw(_part);
            },
            [&](const std::vector<std::size_t>& _cuts) {
                qvd::journal::write_parts_mark(journal, {qvd::journal::fingerprint(text), batch.size(), _cuts});
            });
    } catch (const crash&) {
    }
    ASSERT_EQ(parts, 2u);
    ASSERT_TRUE(fs::exists(journal + ".parts"));
}

// A server whose sql_mode is empty cuts an over-long text and clamps an out-of-range number with
// a warning. The column-store session is strict on every connect, so such a batch fails whole and
// its runtime rows stay; after a reconnect as well.
TEST(processors_on_a_lax_server, a_value_the_column_store_cannot_hold_fails_the_batch) {
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
TEST(processors_on_a_small_packet_limit, statements_stay_under_the_limit) {
    own_server server({"--max-allowed-packet=16384"});
    const auto& endpoint = server.endpoint();
    const auto seed_positions = [&](int _from) {
        run_sql(endpoint,
                "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, x) SELECT seq, 10, "
                "CONCAT('uid', seq), '2024-03-05 00:00:00' + INTERVAL seq SECOND, 'area', seq FROM seq_" +
                    std::to_string(_from) + "_to_" + std::to_string(_from + 399),
                "rt");
    };
    const auto distinct = [&] { return *query_value(endpoint, "SELECT COUNT(DISTINCT ts) FROM positions_raw", "cs"); };

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
    ASSERT_NO_FATAL_FAILURE(journal_with_its_first_part_inserted(server));
    EXPECT_TRUE(positions.processing());
    EXPECT_EQ(server.count("positions_raw", "cs"), "800");
    EXPECT_EQ(distinct(), "800");
    EXPECT_EQ(server.count("position_histories", "rt"), "0");
    EXPECT_FALSE(fs::exists(server.dir + "positions_raw.bin"));
    EXPECT_FALSE(fs::exists(server.dir + "positions_raw.bin.parts"));

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
    try {
        external_events.processing();
        ADD_FAILURE() << "a row larger than the limit was accepted";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_NE(e.get_string_error().find("row id 3"), std::string::npos) << e.get_string_error();
        EXPECT_NE(e.get_string_error().find("table external_events"), std::string::npos) << e.get_string_error();
        EXPECT_NE(e.get_string_error().find("max_allowed_packet is 16384"), std::string::npos) << e.get_string_error();
    }
    EXPECT_EQ(server.count("external_events", "rt"), "1");
    EXPECT_FALSE(fs::exists(server.dir + "external_events.bin"));
}

// Without the table sys_journal an interrupted batch of activities still finishes: a batch that
// did not arrive is inserted once, one that did is not inserted again.
TEST_F(processors, activities_recover_without_a_journal_table) {
    store_sql("DROP TABLE sys_journal");
    qvd::activities_processor processor(*m_runtime, *m_store, 3, m_dir);
    runtime_sql(kinds()[1].seed);
    qvd::journal::write_file(m_dir + "activities.bin", qvd::journal::to_string(m_runtime->get_activities(3)));
    EXPECT_TRUE(processor.processing());
    EXPECT_EQ(store_count("sys_journal_staging"), 3);
    EXPECT_EQ(runtime_count("activities"), 0);
    EXPECT_TRUE(files().empty());

    runtime_sql(kinds()[1].seed);
    const auto batch = m_runtime->get_activities(3);
    qvd::journal::write_file(m_dir + "activities.bin", qvd::journal::to_string(batch));
    store_sql("DELETE FROM sys_journal_staging");
    m_store->insert_sys_journal_staging(batch);
    EXPECT_TRUE(processor.processing());
    EXPECT_EQ(store_count("sys_journal_staging"), 3);
    EXPECT_EQ(runtime_count("activities"), 0);
    EXPECT_TRUE(files().empty());
}

// The fenced recovery: the column-store account lacks the PROCESS privilege, and an earlier
// daemon session of it (holding the column-store lock) runs the journalled batch's INSERT, which
// waits in a trigger for a row the test holds. With the trigger's definer being the account
// itself, the recovery ends that session (its insert rolls back) and inserts the batch. With
// another definer the process list shows that account as the session's user and the column-store
// account does not see the session at all, nor may it end it: the recovery waits, fails, and the
// next step, after the earlier insert committed, inserts nothing. Either way every row arrives once.
class processors_recovery_fence : public ::testing::TestWithParam<bool> {};

TEST_P(processors_recovery_fence, an_earlier_sessions_insert_is_ended_or_waited_for_and_arrives_once) {
    const bool other_definer = GetParam();
    own_server server({"--innodb-lock-wait-timeout=300"});
    const auto& endpoint = server.endpoint();
    run_sql(endpoint, "CREATE USER writer@'%' IDENTIFIED BY 'writer'; GRANT ALL ON cs.* TO writer@'%'; "
                      "CREATE USER definer@'%' IDENTIFIED BY 'definer'; GRANT ALL ON cs.* TO definer@'%'");
    run_sql(
        endpoint,
        "CREATE TABLE gate (n INT PRIMARY KEY); CREATE DEFINER=" + std::string(other_definer ? "definer" : "writer") +
            "@'%' TRIGGER through_gate BEFORE INSERT ON positions_raw FOR EACH ROW "
            "INSERT INTO gate VALUES (1) ON DUPLICATE KEY UPDATE n = n",
        "cs");
    mariadb_endpoint writer = endpoint;
    writer.user = "writer";
    writer.password = "writer";
    const std::string lock =
        qvd::store::column_store_impl::string_literal(qvd::store::column_store_impl::fence_lock_name("cs"));

    insert_positions(endpoint, 5);
    const auto batch = server.runtime->get_positions(10);
    ASSERT_EQ(batch.size(), 5u);
    qvd::journal::write_file(server.dir + "positions_raw.bin", qvd::journal::to_string(batch));

    // The earlier daemon's session: it took the lock on connect and is inserting the batch.
    const auto gate = open_session(endpoint, "cs");
    gate->execute("BEGIN; INSERT INTO gate VALUES (1)");
    const auto earlier_session = open_session(writer, "cs");
    ASSERT_TRUE(takes_lock(*earlier_session, lock));
    // The restarted daemon: its connect finds the lock taken.
    const no_signal signals;
    const qvd::libs::core::logger logger{"lomvera", "transfer-test"};
    qvd::store::column_store_impl store(writer.host, writer.user, writer.password, "cs", writer.port, signals, logger);
    qvd::positions_processor positions(*server.runtime, store, 10, server.dir);

    std::thread earlier([&] {
        try {
            earlier_session->execute(qvd::store::column_store_impl::make_insert(batch));
        } catch (const std::exception&) {
            // Ended by the recovery.
        }
    });
    std::future<bool> step;
    // Whatever fails below, nothing stays blocked behind the gate.
    struct on_exit {
        std::function<void()> action;
        ~on_exit() { action(); }
    };
    const on_exit release{[&] {
        gate->execute("ROLLBACK");
        if (earlier.joinable())
            earlier.join();
        if (step.valid())
            step.wait();
    }};

    std::string earlier_id;
    ASSERT_TRUE(eventually(
        [&] {
            const auto rows = query_sql(endpoint, "SELECT ID, USER FROM information_schema.PROCESSLIST WHERE INFO "
                                                  "LIKE 'INSERT INTO gate%'");
            if (rows.empty())
                return false;
            earlier_id = *rows[0][0];
            EXPECT_EQ(*rows[0][1], other_definer ? "definer" : "writer");
            return true;
        },
        std::chrono::seconds(30)));
    EXPECT_EQ(*query_value(writer, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + earlier_id),
              other_definer ? "0" : "1");

    step = std::async(std::launch::async, [&] { return positions.processing(); });
    if (!other_definer) {
        ASSERT_TRUE(eventually([&] { return !session_alive(endpoint, earlier_id); }, std::chrono::seconds(30)));
        // The earlier insert rolled back; the recovery's own insert waits at the gate.
        EXPECT_EQ(server.count("positions_raw", "cs"), "0");
        gate->execute("ROLLBACK");
        EXPECT_TRUE(step.get());
    } else {
        const auto limit = qvd::store::column_store_impl::fence_wait_limit + std::chrono::seconds(60);
        ASSERT_EQ(step.wait_for(limit), std::future_status::ready);
        EXPECT_THROW(step.get(), qvd::libs::core::exception);
        EXPECT_TRUE(fs::exists(server.dir + "positions_raw.bin"));
        EXPECT_EQ(server.count("position_histories", "rt"), "5");
        // The earlier insert goes through and commits; its session stays, idle, with the lock.
        gate->execute("ROLLBACK");
        earlier.join();
        EXPECT_EQ(server.count("positions_raw", "cs"), "5");
        EXPECT_TRUE(positions.processing());
        EXPECT_FALSE(session_alive(endpoint, earlier_id));
    }
    EXPECT_EQ(server.count("positions_raw", "cs"), "5");
    EXPECT_EQ(*query_value(endpoint, "SELECT COUNT(DISTINCT ts) FROM positions_raw", "cs"), "5");
    EXPECT_EQ(server.count("position_histories", "rt"), "0");
    EXPECT_FALSE(fs::exists(server.dir + "positions_raw.bin"));
}

INSTANTIATE_TEST_SUITE_P(trigger_definer, processors_recovery_fence, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& _info) {
                             return std::string(_info.param ? "another_account" : "the_account_itself");
                         });

// A store that connected while an earlier session held the lock takes it over before its first
// insert of a new batch, so that a restart after a kill during that insert waits for it.
TEST(processors_fence_lock, is_taken_over_before_a_new_batch_is_inserted) {
    own_server server({});
    const auto& endpoint = server.endpoint();
    const std::string lock =
        qvd::store::column_store_impl::string_literal(qvd::store::column_store_impl::fence_lock_name("cs"));
    const auto earlier_session = open_session(endpoint, "cs");
    ASSERT_TRUE(takes_lock(*earlier_session, lock));
    const auto earlier_id = std::to_string(earlier_session->thread_id());
    server.renew_store();
    insert_positions(endpoint, 5);
    qvd::positions_processor positions(*server.runtime, *server.store, 10, server.dir);
    EXPECT_FALSE(positions.processing());
    EXPECT_EQ(server.count("positions_raw", "cs"), "5");
    const auto holder = query_value(endpoint, "SELECT IS_USED_LOCK(" + lock + ")");
    ASSERT_TRUE(holder);
    EXPECT_NE(*holder, earlier_id);
    EXPECT_EQ(*query_value(endpoint, "SELECT DB FROM information_schema.PROCESSLIST WHERE ID = " + *holder), "cs");
    EXPECT_TRUE(eventually([&] { return !session_alive(endpoint, earlier_id); }, std::chrono::seconds(30)));
}

// A server whose sql_mode pads CHAR values when read and stores an empty text as NULL: the
// sessions set their whole mode on every connect, so an empty text arrives as an empty text and
// the recovery probe finds a batch that arrived; after a reconnect as well.
TEST(processors_on_a_server_with_odd_modes, values_and_probes_are_as_on_a_plain_server) {
    own_server server({"--sql-mode=PAD_CHAR_TO_FULL_LENGTH,EMPTY_STRING_IS_NULL"});
    const auto& endpoint = server.endpoint();
    EXPECT_EQ(*query_value(endpoint, "SELECT @@GLOBAL.sql_mode"), "PAD_CHAR_TO_FULL_LENGTH,EMPTY_STRING_IS_NULL");
    const auto seed = [&](int _from, int _to) {
        run_sql(endpoint,
                "SET SESSION sql_mode = ''; INSERT INTO position_histories (id, trackable_id, obj_uid, mac_address, "
                "ts, sublocation_uid, slvr_mode, x) SELECT seq, 10, CONCAT('uid', seq), '', '2024-03-05 00:00:00' + "
                "INTERVAL seq SECOND, 'area', '', seq FROM seq_" +
                    std::to_string(_from) + "_to_" + std::to_string(_to),
                "rt");
    };
    const auto count = [&](const std::string& _sql) { return *query_value(endpoint, _sql, "cs"); };
    qvd::positions_processor positions(*server.runtime, *server.store, 3, server.dir);

    seed(1, 3);
    EXPECT_TRUE(positions.processing());
    EXPECT_EQ(count("SELECT COUNT(*) FROM positions_raw WHERE slvr_mode IS NOT NULL AND LENGTH(slvr_mode) = 0 AND "
                    "mac_address IS NOT NULL AND trackable_uid LIKE 'uid%'"),
              "3");

    for (int round = 0; round < 2; ++round) {
        // A batch that arrived just before the crash.
        seed(4 + 3 * round, 6 + 3 * round);
        const auto batch = server.runtime->get_positions(3);
        qvd::journal::write_file(server.dir + "positions_raw.bin", qvd::journal::to_string(batch));
        server.store->insert_positions_raw(batch);
        EXPECT_TRUE(positions.processing());
        EXPECT_EQ(count("SELECT COUNT(*) FROM positions_raw"), std::to_string(6 + 3 * round));
        // The next round's sessions are new ones (a short-lived session of the test may be gone).
        for (const auto& row : query_sql(endpoint, "SELECT ID FROM information_schema.PROCESSLIST WHERE DB IN "
                                                   "('cs', 'rt') AND ID <> CONNECTION_ID()")) {
            try {
                run_sql(endpoint, "KILL " + *row[0]);
            } catch (const std::runtime_error&) {
            }
        }
    }
    EXPECT_EQ(count("SELECT COUNT(DISTINCT ts) FROM positions_raw"), "9");
    EXPECT_EQ(count("SELECT COUNT(*) FROM positions_raw WHERE slvr_mode IS NULL OR mac_address IS NULL"), "0");
    EXPECT_EQ(server.count("position_histories", "rt"), "0");
}

// A journal inserted in parts under one packet limit, left by a crash after its first part, is
// recovered under a larger limit (the rest fits one statement) and under a smaller one (the parts
// are cut elsewhere): only the rows that did not arrive are inserted, each once.
TEST(processors_on_a_changed_packet_limit, a_split_recovery_inserts_only_what_did_not_arrive) {
    own_server server({"--max-allowed-packet=16384"});
    const auto& endpoint = server.endpoint();
    for (const std::string limit : {"1048576", "8192"}) {
        SCOPED_TRACE(limit);
        run_sql(endpoint, "TRUNCATE TABLE positions_raw", "cs");
        run_sql(endpoint, "SET GLOBAL max_allowed_packet = 16384");
        server.renew_store();
        insert_positions(endpoint, 400);
        ASSERT_NO_FATAL_FAILURE(journal_with_its_first_part_inserted(server));

        run_sql(endpoint, "SET GLOBAL max_allowed_packet = " + limit);
        server.renew_store();
        qvd::positions_processor positions(*server.runtime, *server.store, 1000, server.dir);
        EXPECT_TRUE(positions.processing());
        EXPECT_EQ(server.count("positions_raw", "cs"), "400");
        EXPECT_EQ(*query_value(endpoint, "SELECT COUNT(DISTINCT ts) FROM positions_raw", "cs"), "400");
        EXPECT_EQ(server.count("position_histories", "rt"), "0");
        EXPECT_FALSE(fs::exists(server.dir + "positions_raw.bin"));
        EXPECT_FALSE(fs::exists(server.dir + "positions_raw.bin.parts"));
    }
}

// Rows alike in every written column (resent telemetry): the runtime rows 1..200 each take the
// values of their own number, except some of the first batch, which take those of chosen records
// of the second, so that the first batch moves twins of them. What differs per kind: the rows made
// from a table of (id, v), where the values of v tell the rows apart in the column store, and how a
// batch of the second hundred is journalled (and inserted, when it arrived).
struct twin_kind {
    std::string name;
    std::string journal;
    std::string runtime_table;
    std::string store_table;
    std::string value_column;
    std::function<std::string(int)> value_literal;
    std::function<std::string(const std::string&)> seed;
    std::function<std::function<bool()>(qvd::runtime::database&, qvd::store::column_store&, unsigned int,
                                        const std::string&)>
        make;
    std::function<void(qvd::runtime::database&, qvd::store::column_store&, const std::string&, bool)> interrupt;
};

template <typename Read, typename Insert>
std::function<void(qvd::runtime::database&, qvd::store::column_store&, const std::string&, bool)> journal_of_hundred(
    std::string _journal, Read _read, Insert _insert) {
    return [=](qvd::runtime::database& _runtime, qvd::store::column_store& _store, const std::string& _dir,
               bool _arrived) {
        const auto batch = (_runtime.*_read)(100);
        ASSERT_EQ(batch.size(), 100u);
        qvd::journal::write_file(_dir + _journal, qvd::journal::to_string(batch));
        if (_arrived)
            (_store.*_insert)(batch);
    };
}

std::vector<twin_kind> twin_kinds() {
    using qvd::runtime::database;
    using qvd::store::column_store;
    return {
        {"positions", "positions_raw.bin", "position_histories", "positions_raw", "x",
         [](int _v) { return std::to_string(_v); },
         [](const std::string& _values) {
             return "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, x) SELECT id, "
                    "10, CONCAT('uid', v), '2024-03-05 00:00:00.250' + INTERVAL v SECOND, 'area', v FROM " +
                    _values;
         },
         &make_step<qvd::positions_processor>,
         journal_of_hundred("positions_raw.bin", &database::get_positions, &column_store::insert_positions_raw)},
        {"external events", "external_events.bin", "external_events", "external_events", "object_uid",
         [](int _v) { return "'o" + std::to_string(_v) + "'"; },
         [](const std::string& _values) {
             return "INSERT INTO external_events (id, object_uid, event_type, ts) SELECT id, CONCAT('o', v), 'e', "
                    "'2024-01-01 00:00:00' + INTERVAL v SECOND FROM " +
                    _values;
         },
         &make_step<qvd::external_events_processor>,
         journal_of_hundred("external_events.bin", &database::get_external_events,
                            &column_store::insert_external_events)},
        {"node parameters", "node_parameters.bin", "node_parameters_staging", "node_parameters", "param_value",
         [](int _v) { return "'v" + std::to_string(_v) + "'"; },
         [](const std::string& _values) {
             return "INSERT INTO node_parameters_staging (id, mac_address, obj_uid, param_name, param_value, ts) "
                    "SELECT id, 'A0', 'o', 'rate', CONCAT('v', v), '2024-01-01 00:00:00' + INTERVAL v SECOND FROM " +
                    _values;
         },
         &make_step<qvd::node_parameters_processor>,
         journal_of_hundred("node_parameters.bin", &database::get_node_parameters,
                            &column_store::insert_node_parameters)},
    };
}

// Batches of 100; the second one is interrupted (not in the column store, or in it whole), or its
// journal is spoiled and set aside. The first batch already holds twins of its first record, of
// its first and last, of records in the middle. The recovery leaves every row exactly once: each
// twin value twice, every other value once, the runtime rows gone.
TEST_F(processors, twins_of_an_interrupted_batchs_records_in_an_earlier_batch_lose_no_row) {
    struct twins_t {
        std::string name;
        // Records of the second batch (101..200) that a row of the first has twins of.
        std::vector<int> of;
    };
    const std::vector<twins_t> twin_sets = {
        {"first", {101}},
        {"first and last", {101, 200}},
        {"middle", {115, 143, 171}},
        {"first, middle and last", {101, 150, 200}},
    };
    enum class crash { before_insert, after_insert, spoiled_journal, spoiled_journal_after_insert };
    const std::vector<std::pair<crash, std::string>> crashes = {
        {crash::before_insert, "before the insert"},
        {crash::after_insert, "after the insert"},
        {crash::spoiled_journal, "spoiled journal"},
        {crash::spoiled_journal_after_insert, "spoiled journal after the insert"},
    };
    for (const auto& k : twin_kinds())
        for (const auto& twins : twin_sets)
            for (const auto& c : crashes) {
                SCOPED_TRACE(k.name + ", twins of " + twins.name + ", " + c.second);
                store_sql("DELETE FROM " + k.store_table);
                runtime_sql("DELETE FROM " + k.runtime_table);
                for (const auto& f : files())
                    fs::remove(m_dir + f);
                std::string v = "CASE seq";
                std::string twin_values;
                for (std::size_t i = 0; i < twins.of.size(); ++i) {
                    v += " WHEN " + std::to_string(50 + i) + " THEN " + std::to_string(twins.of[i]);
                    twin_values += (i == 0 ? "" : ", ") + k.value_literal(twins.of[i]);
                }
                v += " ELSE seq END";
                runtime_sql(k.seed("(SELECT seq AS id, " + v + " AS v FROM seq_1_to_200) AS s"));

                auto step = k.make(*m_runtime, *m_store, 100, m_dir);
                EXPECT_TRUE(step());
                EXPECT_EQ(store_count(k.store_table), 100);
                EXPECT_EQ(runtime_count(k.runtime_table), 100);

                const bool arrived = c.first == crash::after_insert || c.first == crash::spoiled_journal_after_insert;
                k.interrupt(*m_runtime, *m_store, m_dir, arrived);
                if (c.first == crash::spoiled_journal || c.first == crash::spoiled_journal_after_insert) {
                    std::ofstream(m_dir + k.journal, std::ios::binary) << "13 not a journal 19 0 0 0 0";
                    EXPECT_THROW(step(), qvd::libs::core::exception);
                    EXPECT_EQ(files(), std::vector<std::string>{k.journal + ".bad"});
                }
                EXPECT_TRUE(step());
                EXPECT_FALSE(step());

                EXPECT_EQ(store_count(k.store_table), 200);
                EXPECT_EQ(store_count("SELECT COUNT(DISTINCT " + k.value_column + ") FROM " + k.store_table),
                          static_cast<long long>(200 - twins.of.size()));
                EXPECT_EQ(store_count("SELECT COUNT(*) FROM " + k.store_table + " WHERE " + k.value_column + " IN (" +
                                      twin_values + ")"),
                          static_cast<long long>(2 * twins.of.size()));
                EXPECT_EQ(runtime_count(k.runtime_table), 0);
                // A spoiled batch that arrived whole leaves the doubt for the next rows to settle.
                const auto left = files();
                EXPECT_TRUE(left.empty() ||
                            left == std::vector<std::string>{k.journal + (arrived ? ".bad" : ".bad.settled")});
            }
}

// A journal written under a larger packet limit is recovered under a smaller one, in parts, with a
// mark of them left first; the column store refuses one part, so the recovery fails after the
// parts before it. The earlier rows hold twins of the batch's first and last records. The next
// recovery (under a smaller limit again, so its parts differ) inserts only the parts that did not
// arrive, each row once, and removes the mark with the journal.
TEST(processors_on_a_changed_packet_limit, an_interrupted_split_recovery_is_finished_part_by_part) {
    own_server server({"--max-allowed-packet=1048576"});
    const auto& endpoint = server.endpoint();
    insert_positions(endpoint, 400);
    const auto batch = server.runtime->get_positions(1000);
    ASSERT_EQ(batch.size(), 400u);
    // The earlier batch's twins of the first and last records.
    server.store->insert_positions_raw({batch.front(), batch.back()});
    const std::string journal = server.dir + "positions_raw.bin";
    qvd::journal::write_file(journal, qvd::journal::to_string(batch));

    run_sql(endpoint, "SET GLOBAL max_allowed_packet = 16384");
    server.renew_store();
    run_sql(endpoint,
            "CREATE TRIGGER refuse_insert BEFORE INSERT ON positions_raw FOR EACH ROW BEGIN IF NEW.x = 300 THEN "
            "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused by the test'; END IF; END",
            "cs");
    {
        qvd::positions_processor positions(*server.runtime, *server.store, 1000, server.dir);
        EXPECT_THROW(positions.processing(), qvd::libs::core::exception);
    }
    EXPECT_TRUE(fs::exists(journal));
    EXPECT_TRUE(fs::exists(journal + ".parts"));
    const long long inserted = std::stoll(server.count("positions_raw", "cs")) - 2;
    EXPECT_GT(inserted, 0);
    EXPECT_LT(inserted, 300);
    EXPECT_EQ(server.count("position_histories", "rt"), "400");
    run_sql(endpoint, "DROP TRIGGER refuse_insert", "cs");

    run_sql(endpoint, "SET GLOBAL max_allowed_packet = 8192");
    server.renew_store();
    qvd::positions_processor positions(*server.runtime, *server.store, 1000, server.dir);
    EXPECT_TRUE(positions.processing());
    EXPECT_FALSE(positions.processing());
    EXPECT_EQ(server.count("positions_raw", "cs"), "402");
    EXPECT_EQ(*query_value(endpoint, "SELECT COUNT(DISTINCT ts) FROM positions_raw", "cs"), "400");
    EXPECT_EQ(*query_value(endpoint, "SELECT COUNT(*) FROM positions_raw WHERE x IN (1, 400)", "cs"), "4");
    EXPECT_EQ(server.count("position_histories", "rt"), "0");
    EXPECT_FALSE(fs::exists(journal));
    EXPECT_FALSE(fs::exists(journal + ".parts"));
}

// A mark left beside another batch's journal (a crash between the removals of a journal and its
// mark cannot leave one, but a journal set aside can) is not taken for this batch's: the batch is
// recovered whole, and the mark goes with the journal.
TEST_F(processors, a_mark_of_another_batch_is_not_taken_for_the_journals) {
    seed_positions(4);
    const std::string journal = m_dir + "positions_raw.bin";
    const auto batch = m_runtime->get_positions(4);
    qvd::journal::write_file(journal, qvd::journal::to_string(batch));
    // A mark of parts [0, 2) and [2, 4) of another text: taken at its word, the first part would
    // count as arrived on its first record's twin.
    qvd::journal::write_parts_mark(journal, {qvd::journal::fingerprint("another batch"), 4, {0, 2, 4}});
    m_store->insert_positions_raw({batch.front()});
    EXPECT_TRUE(positions(4).processing());
    EXPECT_EQ(store_count("positions_raw"), 5);
    EXPECT_EQ(store_count("SELECT COUNT(DISTINCT trackable_uid, ts) FROM positions_raw"), 4);
    EXPECT_EQ(runtime_count("position_histories"), 0);
    EXPECT_TRUE(files().empty());
}

// Position _id of the runtime table with the values seed_positions gives position _v.
std::string position_row(int _id, int _v) {
    const std::string v = std::to_string(_v);
    return "INSERT INTO position_histories (id, trackable_id, obj_uid, mac_address, ts, sublocation_uid, x) VALUES (" +
           std::to_string(_id) + ", 10, 'uid" + v + "', 'A0B1C2D3E4F5', '2024-03-05 07:08:" + (_v < 10 ? "0" : "") + v +
           ".010', 'area', " + v + ")";
}

// A set-aside journal of an earlier version (no sign of settlement) raises the doubt once: its
// batch had arrived, and only the record that had not is inserted. That check settles it, the file
// is renamed, and after a restart a new batch moves as a new batch, also when its first records are
// resent rows equal to rows stored before.
TEST_F(processors, a_settled_set_aside_journal_leaves_later_batches_alone_after_a_restart) {
    seed_positions(3);
    m_store->insert_positions_raw(m_runtime->get_positions(2));
    std::ofstream(m_dir + "positions_raw.bin.bad") << "spoiled";
    EXPECT_FALSE(positions(5).processing());
    EXPECT_EQ(store_count("positions_raw"), 3);
    EXPECT_EQ(store_count("SELECT COUNT(DISTINCT trackable_uid, ts) FROM positions_raw"), 3);
    EXPECT_EQ(files(), std::vector<std::string>{"positions_raw.bin.bad.settled"});

    // Rows 11..20; 11 and 12 resend rows 1 and 2.
    for (int id = 11; id <= 20; ++id)
        runtime_sql(position_row(id, id <= 12 ? id - 10 : id));
    EXPECT_FALSE(positions(20).processing());
    EXPECT_EQ(store_count("positions_raw"), 13);
    EXPECT_EQ(store_count("SELECT COUNT(*) FROM positions_raw WHERE x IN (1, 2)"), 4);
    EXPECT_EQ(runtime_count("position_histories"), 0);
    EXPECT_EQ(files(), std::vector<std::string>{"positions_raw.bin.bad.settled"});
}

// A spoiled batch of 250 that had arrived, and a smaller batch size after it: the first checked
// batch (200) is found whole, so the spoiled batch may reach further and the next one is checked
// too; each row arrives once. The first checked batch that shows a record missing settles the
// doubt, after a restart as well.
TEST_F(processors, the_doubt_after_a_spoiled_journal_holds_while_checked_batches_are_found_whole) {
    const auto seed = [&](int _from, int _to) {
        runtime_sql(
            "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, x) SELECT seq, 10, "
            "CONCAT('uid', seq), '2024-03-05 00:00:00' + INTERVAL seq SECOND, 'area', seq FROM seq_" +
            std::to_string(_from) + "_to_" + std::to_string(_to));
    };
    seed(1, 250);
    m_store->insert_positions_raw(m_runtime->get_positions(250));
    std::ofstream(m_dir + "positions_raw.bin.bad") << "spoiled";
    {
        auto processor = positions(200);
        EXPECT_TRUE(processor.processing());
        EXPECT_FALSE(processor.processing());
    }
    EXPECT_EQ(store_count("positions_raw"), 250);
    EXPECT_EQ(store_count("SELECT COUNT(DISTINCT ts) FROM positions_raw"), 250);
    EXPECT_EQ(runtime_count("position_histories"), 0);
    EXPECT_EQ(files(), std::vector<std::string>{"positions_raw.bin.bad"});

    seed(251, 260);
    EXPECT_FALSE(positions(200).processing());
    EXPECT_EQ(store_count("positions_raw"), 260);
    EXPECT_EQ(files(), std::vector<std::string>{"positions_raw.bin.bad.settled"});
}

// A mark beside the journal that fails its own check, or one of the earlier format with a changed
// first cut, takes no record as arrived on its word: a batch that did not arrive goes in whole.
TEST_F(processors, a_damaged_parts_mark_takes_no_record_as_arrived) {
    const std::string journal = m_dir + "positions_raw.bin";
    const std::vector<std::pair<std::string, std::string>> marks = {
        {"earlier format, first cut 8", "8 10 20"},
        {"earlier format, first cut 19", "19 20"},
        {"checked format, a digit of the first cut changed", ""},
    };
    for (const auto& m : marks) {
        SCOPED_TRACE(m.first);
        store_sql("TRUNCATE TABLE positions_raw");
        runtime_sql("DELETE FROM position_histories");
        seed_positions(20);
        const auto batch = m_runtime->get_positions(20);
        const std::string text = qvd::journal::to_string(batch);
        qvd::journal::write_file(journal, text);
        const std::string print = std::to_string(qvd::journal::fingerprint(text));
        if (!m.second.empty())
            std::ofstream(journal + ".parts") << "lomvera parts 1\n" << print << "\n20\n" << m.second << "\n";
        else {
            qvd::journal::write_parts_mark(journal, {qvd::journal::fingerprint(text), 20, {0, 10, 20}});
            std::ifstream in(journal + ".parts");
            std::string mark((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            mark[mark.find("\n0 10 20\n") + 1] = '8';
            std::ofstream(journal + ".parts", std::ios::trunc) << mark;
        }
        EXPECT_TRUE(positions(20).processing());
        EXPECT_EQ(store_count("positions_raw"), 20);
        EXPECT_EQ(store_count("SELECT COUNT(DISTINCT trackable_uid, ts) FROM positions_raw"), 20);
        EXPECT_EQ(runtime_count("position_histories"), 0);
        EXPECT_TRUE(files().empty());
    }
}

// A column-store table on an engine without transactions keeps the first rows of an INSERT that
// was ended: its batch is recovered as a leading run, each row once. InnoDB tables keep the rule of
// a batch that went in whole or not at all.
TEST_F(processors, a_table_without_transactions_is_recovered_as_a_leading_run) {
    EXPECT_TRUE(m_store->has_transactions("positions_raw"));
    EXPECT_FALSE(m_store->has_transactions("no_such_table"));
    store_sql("ALTER TABLE positions_raw ENGINE = MyISAM");
    EXPECT_FALSE(m_store->has_transactions("positions_raw"));
    const std::string journal = m_dir + "positions_raw.bin";
    for (const std::size_t arrived : {std::size_t(0), std::size_t(1), std::size_t(120), std::size_t(200)}) {
        SCOPED_TRACE(std::to_string(arrived) + " arrived");
        store_sql("TRUNCATE TABLE positions_raw");
        runtime_sql("DELETE FROM position_histories");
        runtime_sql(
            "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, x) SELECT seq, 10, "
            "CONCAT('uid', seq), '2024-03-05 00:00:00' + INTERVAL seq SECOND, 'area', seq FROM seq_1_to_200");
        const auto batch = m_runtime->get_positions(200);
        qvd::journal::write_file(journal, qvd::journal::to_string(batch));
        if (arrived > 0)
            m_store->insert_positions_raw(
                std::vector<qvd::position>(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(arrived)));
        EXPECT_TRUE(positions(200).processing());
        // A run of one record found alone could be an older twin's: it goes in again.
        EXPECT_EQ(store_count("positions_raw"), arrived == 1 ? 201 : 200);
        EXPECT_EQ(store_count("SELECT COUNT(DISTINCT ts) FROM positions_raw"), 200);
        EXPECT_EQ(runtime_count("position_histories"), 0);
        EXPECT_TRUE(files().empty());
    }
}

} // namespace

namespace {

// A text 20 blanks longer than its column arrives cut to the column's width. A batch of them whose
// delete failed after its insert is found by the recovery's probe and stored once, not twice.
TEST_F(processors, a_batch_of_texts_the_column_cuts_is_stored_once) {
    const std::string info = std::string(7990, 'i') + std::string(20, ' ');
    for (int i = 1; i <= 100; ++i)
        runtime_sql("INSERT INTO external_events (id, object_uid, event_info, ts) VALUES (" + std::to_string(i) +
                    ", 'o', '" + info + "', '2024-03-05 07:08:09' + INTERVAL " + std::to_string(i) + " SECOND)");
    runtime_sql("INSERT INTO node_parameters_staging (id, mac_address, param_name, param_value, ts) VALUES "
                "(1, 'A0B1C2D3E4F5', 'rate', '" +
                info + "', '2024-03-05 07:08:09')");
    qvd::external_events_processor events(*m_runtime, *m_store, 100, m_dir);
    qvd::node_parameters_processor parameters(*m_runtime, *m_store, 100, m_dir);
    const std::string refuse = " FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused by the test'";
    runtime_sql("CREATE TRIGGER refuse_events BEFORE DELETE ON external_events" + refuse);
    runtime_sql("CREATE TRIGGER refuse_parameters BEFORE DELETE ON node_parameters_staging" + refuse);
    EXPECT_THROW(events.processing(), qvd::libs::core::exception);
    EXPECT_THROW(parameters.processing(), qvd::libs::core::exception);
    EXPECT_EQ(store_count("external_events"), 100);
    EXPECT_EQ(store_count("node_parameters"), 1);
    EXPECT_EQ(store_count("SELECT MAX(CHAR_LENGTH(event_info)) FROM external_events"), 8000);
    runtime_sql("DROP TRIGGER refuse_events");
    runtime_sql("DROP TRIGGER refuse_parameters");

    EXPECT_TRUE(events.processing());
    EXPECT_TRUE(parameters.processing());
    EXPECT_FALSE(events.processing());
    EXPECT_FALSE(parameters.processing());
    EXPECT_EQ(store_count("external_events"), 100);
    EXPECT_EQ(store_count("node_parameters"), 1);
    EXPECT_EQ(runtime_count("external_events"), 0);
    EXPECT_EQ(runtime_count("node_parameters_staging"), 0);
    EXPECT_TRUE(files().empty());
}

// What rightly changes in the runtime database after a batch was journalled: a node parameter's
// staging row takes a newer value in place (it stays for the next batch, the journalled value is
// moved), a project is renamed (its name is no part of the activity's row). The batch finishes.
TEST_F(processors, rows_changed_rightly_since_the_journal_finish_it_and_a_newer_value_stays) {
    runtime_sql("INSERT INTO node_parameters_staging (id, mac_address, obj_uid, param_name, param_value, ts) VALUES "
                "(5, 'A0B1C2D3E4F5', 'obj', 'rate', 'old', '2024-03-05 07:08:09'), "
                "(6, 'A0B1C2D3E4F5', 'obj', 'gain', 'same', '2024-03-05 07:08:09')");
    runtime_sql("INSERT INTO projects (uid, name, user_params) VALUES ('p1', 'Old name', 'a=1');"
                "INSERT INTO activities (id, created_at, created_by, action, object, project_uid) VALUES "
                "(7, '2024-03-05 07:08:09', 'me', 'edit', 'zone', 'p1')");
    const auto parameters_batch = m_runtime->get_node_parameters(10);
    const auto activities_batch = m_runtime->get_activities(10);
    ASSERT_EQ(parameters_batch.size(), 2u);
    ASSERT_EQ(activities_batch.size(), 1u);
    qvd::journal::write_file(m_dir + "node_parameters.bin", qvd::journal::to_string(parameters_batch));
    qvd::journal::write_file(m_dir + "activities.bin", qvd::journal::to_string(activities_batch));
    runtime_sql("UPDATE node_parameters_staging SET param_value = 'new', ts = '2024-03-05 07:09:09' WHERE id = 5;"
                "UPDATE projects SET name = 'New name', user_params = 'a=2' WHERE uid = 'p1'");

    qvd::node_parameters_processor parameters(*m_runtime, *m_store, 10, m_dir);
    qvd::activities_processor activities(*m_runtime, *m_store, 10, m_dir);
    EXPECT_TRUE(parameters.processing());
    EXPECT_TRUE(activities.processing());
    EXPECT_EQ(store_count("SELECT COUNT(*) FROM node_parameters WHERE param_value IN ('old', 'same')"), 2);
    EXPECT_EQ(runtime_count("SELECT COUNT(*) FROM node_parameters_staging WHERE id = 5 AND param_value = 'new'"), 1);
    EXPECT_EQ(runtime_count("node_parameters_staging"), 1);
    EXPECT_EQ(store_count("SELECT COUNT(*) FROM sys_journal_staging WHERE project_name = 'Old name'"), 1);
    EXPECT_EQ(runtime_count("activities"), 0);
    EXPECT_TRUE(files().empty());

    EXPECT_FALSE(parameters.processing());
    EXPECT_EQ(store_count("node_parameters"), 3);
    EXPECT_EQ(runtime_count("node_parameters_staging"), 0);
}

// Journals whose records are not the runtime rows of their ids, one per kind: set aside with the
// error naming the file and the first differing record; nothing inserted, no runtime row deleted.
// A closed zone event is two rows: an enter row of its id that is now another stay's counts too.
TEST_F(processors, a_journal_of_other_rows_is_set_aside_with_nothing_inserted_or_deleted) {
    seed_positions(2);
    runtime_sql("INSERT INTO zone_event_history (id, uid, related_event, `action`, obj_uid, created_at) VALUES "
                "(1, 'e1', NULL, 'enter', 'o1', '2024-03-05 07:08:09'),"
                "(2, 'l1', 'e1', 'leave', 'o1', '2024-03-05 07:09:09'),"
                "(3, 'e2', NULL, 'enter', 'o2', '2024-03-05 07:10:09')");
    runtime_sql("INSERT INTO heartbeats (id, ts, mac_address) VALUES (1, '2024-03-05 07:08:09', 'A0B1C2D3E4F5')");

    std::vector<qvd::position> positions_batch = m_runtime->get_positions(10);
    ASSERT_EQ(positions_batch.size(), 2u);
    positions_batch[1].x = 99;
    std::vector<qvd::zone_event> zones_batch = m_runtime->get_zone_events(10);
    ASSERT_EQ(zones_batch.size(), 1u);
    // The journal's stay began at the row that is now an open stay of another object.
    zones_batch[0].id_enter = 3;
    zones_batch[0].id_leave = 4;
    std::vector<qvd::heartbeat> heartbeats_batch = m_runtime->get_heartbeats(10);
    ASSERT_EQ(heartbeats_batch.size(), 1u);
    heartbeats_batch[0].mac_address = boost::none;

    struct subject {
        std::string journal;
        std::string text;
        std::function<bool()> step;
        std::string table;
        std::string store_table;
        std::string difference;
    };
    qvd::positions_processor positions_step(*m_runtime, *m_store, 10, m_dir);
    qvd::zone_events_processor zones_step(*m_runtime, *m_store, 10, m_dir);
    qvd::heartbeats_processor heartbeats_step(*m_runtime, *m_store, 10, m_dir);
    const std::vector<subject> subjects = {
        {"positions_raw.bin", qvd::journal::to_string(positions_batch), [&] { return positions_step.processing(); },
         "position_histories", "positions_raw",
         "record 2 of 2 (row id 2 of position_histories): x is 99 in the "
         "journal, 2 in the runtime database"},
        {"zone_events.bin", qvd::journal::to_string(zones_batch), [&] { return zones_step.processing(); },
         "zone_event_history", "zone_events",
         "record 1 of 1 (enter row id 3, leave row id 4 of zone_event_history): row id 3 of zone_event_history is "
         "there, but not as the closed zone event the journal holds"},
        {"heartbeats.bin", qvd::journal::to_string(heartbeats_batch), [&] { return heartbeats_step.processing(); },
         "heartbeats", "heartbeats",
         "record 1 of 1 (row id 1 of heartbeats): mac_address is NULL in the journal, 'A0B1C2D3E4F5' in the runtime "
         "database"},
    };
    for (const subject& s : subjects) {
        SCOPED_TRACE(s.journal);
        const std::string file = m_dir + s.journal;
        qvd::journal::write_file(file, s.text);
        const long long runtime_rows = runtime_count(s.table);
        std::string message;
        try {
            s.step();
        } catch (const qvd::libs::core::exception& error) {
            message = error.get_string_error();
        }
        EXPECT_EQ(message, "journal file " + file + " does not hold the runtime rows of its ids: " + s.difference +
                               "; set aside as " + file +
                               ".bad, nothing of it inserted or deleted; the next batches of its kind are inserted "
                               "only where they did not arrive, until one shows a record missing");
        EXPECT_EQ(runtime_count(s.table), runtime_rows);
        EXPECT_EQ(store_count(s.store_table), 0);
        EXPECT_FALSE(fs::exists(file));
        std::ifstream aside(file + ".bad");
        const std::string kept((std::istreambuf_iterator<char>(aside)), std::istreambuf_iterator<char>());
        EXPECT_EQ(kept, s.text);
    }
    // The runtime rows themselves then move, once.
    while (positions_step.processing()) {
    }
    while (zones_step.processing()) {
    }
    while (heartbeats_step.processing()) {
    }
    EXPECT_EQ(store_count("positions_raw"), 2);
    EXPECT_EQ(store_count("zone_events"), 1);
    EXPECT_EQ(store_count("heartbeats"), 1);
    EXPECT_EQ(runtime_count("position_histories"), 0);
    EXPECT_EQ(runtime_count("zone_event_history"), 1);
    EXPECT_EQ(runtime_count("heartbeats"), 0);
}

} // namespace
