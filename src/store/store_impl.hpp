#pragma once

#include "db/qvd_mariadb.hpp"
#include "store/prepared_insert.hpp"
#include "store/store.hpp"

#include <core/source_location.hpp>
#include <core/timestamp.hpp>

#include <boost/optional.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qvd::store {

// The column store over one MariaDB connection; every batch is one plain-text statement.
class column_store_impl : public column_store, private qvd_mariadb {
public:
    // Connects with retries (see qvd_mariadb).
    column_store_impl(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
                      const std::string& _schema, unsigned int _port,
                      const libs::core::events_loop::signals_handle& _signals, const libs::core::logger& _logger,
                      unsigned int _timeout_seconds = default_database_timeout, cancellation* _cancellation = nullptr);
    ~column_store_impl() override;

    unsigned long long truncate_table(const std::string& _table) const override;
    unsigned long long refill_zone_events_open(const std::vector<zone_event_open>& _rows) const override;
    unsigned long long refill_vehicle_driver_associations_open(
        const std::vector<vehicle_driver_association_open>& _rows) const override;

    bool check_presence(const std::string& _table, const position& _position) const override;
    bool check_presence(const std::string& _table, const external_event& _event) const override;
    bool check_presence(const std::string& _table, const zone_event& _event) const override;
    bool check_presence(const std::string& _table, const activity& _activity) const override;
    bool check_presence(const std::string& _table,
                        const vehicle_driver_association& _vehicle_driver_association) const override;
    bool check_presence(const std::string& _table, const heartbeat& _heartbeat) const override;
    bool check_presence(const std::string& _table, const node_parameter& _node_parameter) const override;

    std::size_t fitting_rows(const std::vector<position>& _piece) const override;
    std::size_t fitting_rows(const std::vector<external_event>& _piece) const override;
    std::size_t fitting_rows(const std::vector<zone_event>& _piece) const override;
    std::size_t fitting_rows(const std::vector<activity>& _piece) const override;
    std::size_t fitting_rows(const std::vector<vehicle_driver_association>& _piece) const override;
    std::size_t fitting_rows(const std::vector<heartbeat>& _piece) const override;
    std::size_t fitting_rows(const node_parameters_vector& _piece) const override;

    bool has_transactions(const std::string& _table) const override;

    void log_warning(const std::string& _text) const override;

    bool check_columns(const table& _table, std::string& _err_str) const override;
    void check_structure() const override;

    unsigned long long insert_positions_raw(const std::vector<position>& _piece) const override;
    unsigned long long insert_external_events(const std::vector<external_event>& _piece) const override;
    unsigned long long insert_zone_events(const std::vector<zone_event>& _piece) const override;
    unsigned long long insert_zone_events_open(const std::vector<zone_event_open>& _piece) const override;
    unsigned long long insert_sys_journal_staging(const std::vector<activity>& _piece) const override;
    unsigned long long insert_vehicle_driver_associations(
        const std::vector<vehicle_driver_association>& _piece) const override;
    unsigned long long insert_vehicle_driver_associations_open(
        const std::vector<vehicle_driver_association_open>& _piece) const override;
    unsigned long long insert_heartbeats(const std::vector<heartbeat>& _piece) const override;
    unsigned long long insert_node_parameters(const node_parameters_vector& _piece) const override;

    // The literal of a string that the server reads back as exactly its bytes, whatever the
    // session's sql_mode (NO_BACKSLASH_ESCAPES included) and on a connection that runs several
    // statements per text: the text between single quotes when it holds no quote and no
    // backslash; with each quote doubled when it holds no backslash; else a hex literal in the
    // connection's character set.
    static std::string string_literal(const std::string& _str);
    // The datetime(3) text of the column store: "%Y-%m-%d %H:%M:%S.mmm" in UTC.
    static std::string to_iso_8601_with_ms_string(const libs::core::timestamp& _timestamp);

    // The INSERT statement of a batch (at least one record), into its kind's table.
    template <class Record>
    static std::string make_insert(const std::vector<Record>& _piece);

    // The SELECT ... LIMIT 1 that looks for a row holding every value the insert writes for the
    // record (its kind's columns, whatever table is named).
    template <class Record>
    static std::string make_presence_query(const std::string& _table, const Record& _record);

    // The named lock that every column-store session of the daemon takes on each connect: a
    // name made from the database's ("lomvera.cs"), at most the server's 64 characters.
    static std::string fence_lock_name(const std::string& _schema);
    // How long a probe waits for an earlier session that holds the lock to end.
    static constexpr std::chrono::seconds fence_wait_limit{30};

private:
    // Ends an earlier session that holds the lock (a killed daemon's, or ours from before a lost
    // link, whose INSERT may still run) and waits until this session holds it; throws when it
    // still cannot after fence_wait_limit.
    void fence_earlier_sessions(libs::core::source_location _source_location) const;
    // Fences unless the current session took the lock already (a session keeps it until it ends),
    // so that every insert and probe runs in a session that holds the lock.
    void hold_fence(libs::core::source_location _source_location) const;
    // Runs a presence query; a table that does not exist holds no row when _may_be_missing.
    bool found_in(const std::string& _query, const std::string& _table, bool _may_be_missing,
                  libs::core::source_location _source_location) const;
    // The longest INSERT text the server takes (its max_allowed_packet, read when first needed
    // and again after a failed insert) less room for a single row's probe.
    std::size_t statement_budget(libs::core::source_location _source_location) const;
    // How many leading records of [_first, _last) one INSERT into their kind's table carries;
    // throws naming the row when the first one alone does not fit.
    template <class Record>
    std::size_t fitting(typename std::vector<Record>::const_iterator _first,
                        typename std::vector<Record>::const_iterator _last,
                        libs::core::source_location _source_location) const;
    template <class Record>
    std::size_t fitting(const std::vector<Record>& _piece, libs::core::source_location _source_location) const;
    // Sends one statement for the records with the trace and debug lines of the calling
    // operation; refuses a text longer than the server takes. A failure whose server message names
    // a row of the statement ("at row N") also names that record's table and runtime row id.
    template <class Record>
    unsigned long long insert(typename std::vector<Record>::const_iterator _first,
                              typename std::vector<Record>::const_iterator _last,
                              libs::core::source_location _source_location) const;
    // The INSERT of the records: the text that the last fitting built when it was for these same
    // records, else one built anew; valid until the next fitting or insert.
    template <class Record>
    const std::string& prepared_text(typename std::vector<Record>::const_iterator _first,
                                     typename std::vector<Record>::const_iterator _last) const;
    template <class Record>
    unsigned long long insert(const std::vector<Record>& _piece, libs::core::source_location _source_location) const;
    // As many statements as the packet limit needs, for the tables that are refilled whole.
    template <class Record>
    unsigned long long insert_in_parts(const std::vector<Record>& _piece,
                                       libs::core::source_location _source_location) const;
    // Empties the table and inserts the rows within one transaction, committed only when all of it
    // succeeded.
    template <class Record>
    unsigned long long refill(const std::vector<Record>& _rows, libs::core::source_location _source_location) const;
    // Runs one presence query with the trace and debug lines of the calling operation; when the
    // row is not in _table, also asks the table the kind's rows move on to, if it has one.
    template <class Record>
    bool presence(const std::string& _table, const Record& _record, libs::core::source_location _source_location) const;

    // The server's max_allowed_packet; 0 until read.
    mutable std::size_t m_max_allowed_packet = 0;
    // The literal of fence_lock_name.
    const std::string m_fence_lock;
    // The session known to hold the lock; 0 for none.
    mutable std::uint64_t m_fenced_session = 0;
    // The INSERT that the last fitting built.
    mutable prepared_insert m_prepared;
};

} // namespace qvd::store
