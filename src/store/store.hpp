#pragma once

#include "records/activity.hpp"
#include "records/external_event.hpp"
#include "records/heartbeat.hpp"
#include "records/node_parameter.hpp"
#include "records/position.hpp"
#include "records/vehicle_driver_association.hpp"
#include "records/zone_event.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace qvd::store {

// One column of a column-store table as SHOW COLUMNS reports it (type in lower case).
struct column {
    const std::string field;
    const std::string type;
    // "yes" when the column may hold NULL, "no" when not.
    const std::string null;
};

// A column-store table: its name and its columns in table order.
struct table {
    const std::string name;
    const std::vector<column> columns;
};

// The column store: structure check, one-statement batch inserts, presence checks, refills of the
// open tables.
class column_store {
public:
    using ptr = std::unique_ptr<column_store>;

    virtual ~column_store() = default;

    // Empties a table with TRUNCATE TABLE; returns the affected-row count the server reports. The
    // transfer does not call it: the open tables are refilled, never truncated.
    virtual unsigned long long truncate_table(const std::string& _table) const = 0;
    // Replaces the whole content of an open table by the rows (none: emptied), in one transaction:
    // a row the store refuses leaves the previous content in place. Returns the rows inserted.
    virtual unsigned long long refill_zone_events_open(const std::vector<zone_event_open>& _rows) const = 0;
    virtual unsigned long long refill_vehicle_driver_associations_open(
        const std::vector<vehicle_driver_association_open>& _rows) const = 0;

    // Whether the table holds a row with every value that the insert writes for the record (one of
    // the up to eight records a recovery probes in a journalled batch, part or leading run); texts
    // compare byte for byte, NULL equals NULL. Waits first, within a limit, for statements that
    // other sessions of the account still run there (those of a killed process), and fails when
    // they do not end.
    virtual bool check_presence(const std::string& _table, const position& _position) const = 0;
    virtual bool check_presence(const std::string& _table, const external_event& _event) const = 0;
    virtual bool check_presence(const std::string& _table, const zone_event& _event) const = 0;
    // Looks in the staging table first, then in sys_journal.
    virtual bool check_presence(const std::string& _table, const activity& _activity) const = 0;
    virtual bool check_presence(const std::string& _table,
                                const vehicle_driver_association& _vehicle_driver_association) const = 0;
    virtual bool check_presence(const std::string& _table, const heartbeat& _heartbeat) const = 0;
    virtual bool check_presence(const std::string& _table, const node_parameter& _node_parameter) const = 0;

    // How many leading records of a batch one INSERT carries within the server's packet limit (all
    // of them when the whole batch fits); throws naming the table and the row when the first one
    // alone does not fit.
    virtual std::size_t fitting_rows(const std::vector<position>& _piece) const = 0;
    virtual std::size_t fitting_rows(const std::vector<external_event>& _piece) const = 0;
    virtual std::size_t fitting_rows(const std::vector<zone_event>& _piece) const = 0;
    virtual std::size_t fitting_rows(const std::vector<activity>& _piece) const = 0;
    virtual std::size_t fitting_rows(const std::vector<vehicle_driver_association>& _piece) const = 0;
    virtual std::size_t fitting_rows(const std::vector<heartbeat>& _piece) const = 0;
    virtual std::size_t fitting_rows(const node_parameters_vector& _piece) const = 0;

    // Whether the table's engine has transactions (information_schema.ENGINES): an INSERT there
    // goes in whole or not at all. False for an engine that has none or is not known, and for a
    // table that is not there. Asked by a recovery only.
    virtual bool has_transactions(const std::string& _table) const = 0;

    // Logs a warning through the column store's logger: what a recovery's probes could not settle.
    virtual void log_warning(const std::string& _text) const = 0;

    // Compares the server's columns of one table with its schema; on a mismatch sets _err_str.
    virtual bool check_columns(const table& _table, std::string& _err_str) const = 0;
    // Checks the nine tables in order; throws the first mismatch.
    virtual void check_structure() const = 0;

    // Each insert writes the whole batch (at least one record) with one statement and returns
    // the affected-row count; a batch whose statement exceeds the packet limit is refused, except
    // for the two open tables, which take as many statements as needed.
    virtual unsigned long long insert_positions_raw(const std::vector<position>& _piece) const = 0;
    virtual unsigned long long insert_external_events(const std::vector<external_event>& _piece) const = 0;
    virtual unsigned long long insert_zone_events(const std::vector<zone_event>& _piece) const = 0;
    virtual unsigned long long insert_zone_events_open(const std::vector<zone_event_open>& _piece) const = 0;
    virtual unsigned long long insert_sys_journal_staging(const std::vector<activity>& _piece) const = 0;
    virtual unsigned long long insert_vehicle_driver_associations(
        const std::vector<vehicle_driver_association>& _piece) const = 0;
    virtual unsigned long long insert_vehicle_driver_associations_open(
        const std::vector<vehicle_driver_association_open>& _piece) const = 0;
    virtual unsigned long long insert_heartbeats(const std::vector<heartbeat>& _piece) const = 0;
    virtual unsigned long long insert_node_parameters(const node_parameters_vector& _piece) const = 0;

    // The tables the system writes, in the order the structure check visits them.
    static const table positions_raw;
    static const table external_events;
    static const table zone_events;
    static const table zone_events_open;
    static const table sys_journal_staging;
    static const table vehicle_driver_associations;
    static const table vehicle_driver_associations_open;
    static const table heartbeats;
    static const table node_parameters;
};

} // namespace qvd::store
