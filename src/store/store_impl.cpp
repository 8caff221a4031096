// The operations of the column store on its server: structure check, inserts, probes, refills.
#include "store/store_impl.hpp"

#include "records/row_name.hpp"
#include "store/kind.hpp"
#include "store/statement_text.hpp"

#include <core/exception.hpp>

#include <mariadb_client/account.hpp>
#include <mariadb_client/connection.hpp>
#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/result_set.hpp>
#include <mariadb_client/transaction.hpp>

#include <mysqld_error.h>

#include <boost/algorithm/string/case_conv.hpp>

#include <locale>
#include <mutex>
#include <string>
#include <vector>

namespace qvd::store {

namespace {

std::string lower_case(const std::string& _text) { return boost::algorithm::to_lower_copy(_text, std::locale()); }

std::string double_quoted(const std::string& _text) { return "\"" + _text + "\""; }

} // namespace

column_store_impl::column_store_impl(const std::string& _host_name, const std::string& _user_name,
                                     const std::string& _password, const std::string& _schema, unsigned int _port,
                                     const libs::core::events_loop::signals_handle& _signals,
                                     const libs::core::logger& _logger, unsigned int _timeout_seconds,
                                     cancellation* _cancellation)
    : qvd_mariadb(_host_name, _user_name, _password, _schema, _port, _signals, _logger, "column store",
                  _timeout_seconds, _cancellation),
      m_fence_lock(string_literal(fence_lock_name(_schema))) {
    // Taken without waiting on every connect and reconnect: while an earlier session still holds
    // it, a probe ends that session first (fence_earlier_sessions). The link opened above is
    // closed so that the first statement connects again with it.
    m_account->set_option("@lomvera_fence", "GET_LOCK(" + m_fence_lock + ", 0)");
    m_connection->disconnect();
}

column_store_impl::~column_store_impl() = default;

void column_store_impl::log_warning(const std::string& _text) const { get_logger().warning("%1%") % _text; }

// Structure check

bool column_store_impl::check_columns(const table& _table, std::string& _err_str) const {
    const mariadb::result_set_ref result = query("SHOW COLUMNS FROM " + _table.name, QVD_SOURCE_LOCATION);
    if (result->row_count() != _table.columns.size()) {
        _err_str = "Table: " + _table.name + ", the number of columns does not match";
        return false;
    }
    for (const column& expected : _table.columns) {
        if (!result->next())
            break;
        const std::string field = lower_case(result->get_string("Field"));
        if (field != expected.field) {
            _err_str = "Table: " + _table.name + ", field names do not match: " + double_quoted(field) + ", " +
                       double_quoted(expected.field);
            return false;
        }
        const std::string type = lower_case(result->get_string("Type"));
        if (type != expected.type) {
            _err_str = "Table: " + _table.name + ", field: " + double_quoted(field) +
                       ": types do not match: " + double_quoted(type) + ", " + double_quoted(expected.type);
            return false;
        }
        const std::string null = lower_case(result->get_string("Null"));
        if (null != expected.null) {
            _err_str = "Table: " + _table.name + ", field: " + double_quoted(field) +
                       ": null do not match: " + double_quoted(null) + ", " + double_quoted(expected.null);
            return false;
        }
    }
    return true;
}

void column_store_impl::check_structure() const {
    std::string err_str;
    for (const table* schema :
         {&positions_raw, &external_events, &zone_events, &zone_events_open, &sys_journal_staging,
          &vehicle_driver_associations, &vehicle_driver_associations_open, &heartbeats, &node_parameters}) {
        if (!check_columns(*schema, err_str))
            QVD_THROW(err_str);
    }
}

bool column_store_impl::has_transactions(const std::string& _table) const {
    const auto trace = get_logger().enter_function_short(QVD_SOURCE_LOCATION, "");
    get_logger().debug("asking whether the engine of table %1% has transactions") % _table;
    const mariadb::result_set_ref result =
        query("SELECT t.ENGINE AS engine, e.TRANSACTIONS AS transactions FROM information_schema.TABLES t LEFT JOIN "
              "information_schema.ENGINES e ON e.ENGINE = t.ENGINE WHERE t.TABLE_SCHEMA = DATABASE() AND "
              "t.TABLE_NAME = " +
                  string_literal(_table),
              QVD_SOURCE_LOCATION);
    bool transactions = false;
    std::string engine = "--";
    if (result->next()) {
        if (!result->get_is_null("engine"))
            engine = result->get_string("engine");
        if (!result->get_is_null("transactions"))
            transactions = lower_case(result->get_string("transactions")) == "yes";
    }
    get_logger().debug("engine %1%, result: %2%") % engine % transactions;
    return transactions;
}

// Inserts

std::size_t column_store_impl::statement_budget(libs::core::source_location _source_location) const {
    if (m_max_allowed_packet == 0) {
        const mariadb::result_set_ref result =
            query("SELECT CAST(@@max_allowed_packet AS SIGNED) AS n", _source_location);
        m_max_allowed_packet = result->next() ? static_cast<std::size_t>(result->get_signed64("n")) : 0;
    }
    // Room is left for the command byte and for a single row's probe, whose text is longer than
    // that row's INSERT by less than this.
    constexpr std::size_t reserve = 1024;
    return m_max_allowed_packet > reserve ? m_max_allowed_packet - reserve : 0;
}

template <class Record>
std::size_t column_store_impl::fitting(typename std::vector<Record>::const_iterator _first,
                                       typename std::vector<Record>::const_iterator _last,
                                       libs::core::source_location _source_location) const {
    const table& schema = kind<Record>::table;
    const std::size_t budget = statement_budget(_source_location);
    std::size_t first_size = 0;
    // The text is kept for the insert of these rows that follows.
    m_prepared.for_table = nullptr;
    const std::size_t count = build_insert_text(m_prepared, schema, _first, _last, budget, first_size);
    if (count != 0) {
        m_prepared.for_table = &schema;
        m_prepared.first_record = &*_first;
    }
    if (count == 0 && _first != _last)
        throw libs::core::exception("The " + row_name(*_first) + " alone does not fit into one INSERT into table " +
                                        schema.name + ": " + std::to_string(first_size) +
                                        " bytes, the server's max_allowed_packet is " +
                                        std::to_string(m_max_allowed_packet),
                                    _source_location);
    if (count < static_cast<std::size_t>(_last - _first))
        get_logger().debug("%1% of %2% rows fit into one statement for table %3% (max_allowed_packet %4%)") % count %
            (_last - _first) % schema.name % m_max_allowed_packet;
    return count;
}

template <class Record>
const std::string& column_store_impl::prepared_text(typename std::vector<Record>::const_iterator _first,
                                                    typename std::vector<Record>::const_iterator _last) const {
    const table& schema = kind<Record>::table;
    prepared_insert& prepared = m_prepared;
    const bool same_place = prepared.for_table == &schema && _first != _last && prepared.first_record == &*_first &&
                            prepared.count == static_cast<std::size_t>(_last - _first);
    // Used once at most.
    prepared.for_table = nullptr;
    if (same_place) {
        // Other rows could since have come to the same place: the first and the last row must
        // still give the texts they gave.
        std::string scratch;
        if (row_text_is(prepared.text, prepared.header_end, prepared.first_row_end, *_first, scratch) &&
            row_text_is(prepared.text, prepared.last_row_start, prepared.text.size(), *(_last - 1), scratch))
            return prepared.text;
    }
    // Built in the same buffer, which keeps its size from batch to batch.
    std::size_t first_size = 0;
    build_insert_text(prepared, schema, _first, _last, std::string::npos, first_size);
    return prepared.text;
}

template <class Record>
unsigned long long column_store_impl::insert(typename std::vector<Record>::const_iterator _first,
                                             typename std::vector<Record>::const_iterator _last,
                                             libs::core::source_location _source_location) const {
    const table& schema = kind<Record>::table;
    const auto trace = get_logger().enter_function_short(_source_location, "");
    // Without rows the text would end after VALUES; refuse it here instead of at the server.
    if (_first == _last)
        throw libs::core::exception("Cannot insert an empty batch into table " + schema.name, _source_location);
    get_logger().debug("inserting %1% rows into table %2%") % (_last - _first) % schema.name;
    const std::string& text = prepared_text<Record>(_first, _last);
    // Sent anyway, the server would only answer "Server has gone away".
    if (text.size() > statement_budget(_source_location))
        throw libs::core::exception("The INSERT of " + std::to_string(_last - _first) + " rows into table " +
                                        schema.name + " needs " + std::to_string(text.size()) +
                                        " bytes, more than the server's max_allowed_packet of " +
                                        std::to_string(m_max_allowed_packet) + " allows",
                                    _source_location);
    // A session that connected while an earlier one held the lock must not write before it took
    // the lock over: a restart's probe would not wait for an insert it cannot see.
    hold_fence(_source_location);
    unsigned long long count = 0;
    try {
        // The server counts rows within this statement; the operator looks for the runtime row.
        count = run([&](mariadb::connection& _connection) { return _connection.execute(text); }, _source_location,
                    [&](const std::exception& _e) { return refused_record_text(_e.what(), schema, _first, _last); });
    } catch (...) {
        // The server may have been restarted with another limit: read it again next time.
        m_max_allowed_packet = 0;
        throw;
    }
    get_logger().debug("result: %1%") % count;
    return count;
}

template <class Record>
unsigned long long column_store_impl::insert(const std::vector<Record>& _piece,
                                             libs::core::source_location _source_location) const {
    return insert<Record>(_piece.begin(), _piece.end(), _source_location);
}

template <class Record>
unsigned long long column_store_impl::insert_in_parts(const std::vector<Record>& _piece,
                                                      libs::core::source_location _source_location) const {
    if (_piece.empty())
        return insert(_piece, _source_location);
    unsigned long long count = 0;
    for (auto first = _piece.begin(); first != _piece.end();) {
        const auto last = first + static_cast<std::ptrdiff_t>(fitting<Record>(first, _piece.end(), _source_location));
        count += insert<Record>(first, last, _source_location);
        first = last;
    }
    return count;
}

// The public operations name their kind; the kind's trait gives the table. The open tables are
// not journalled: they take as many statements as the limit needs.

unsigned long long column_store_impl::insert_positions_raw(const std::vector<position>& _piece) const {
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_external_events(const std::vector<external_event>& _piece) const {
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_zone_events(const std::vector<zone_event>& _piece) const {
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_zone_events_open(const std::vector<zone_event_open>& _piece) const {
    return insert_in_parts(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_sys_journal_staging(const std::vector<activity>& _piece) const {
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_vehicle_driver_associations(
    const std::vector<vehicle_driver_association>& _piece) const {
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_vehicle_driver_associations_open(
    const std::vector<vehicle_driver_association_open>& _piece) const {
    return insert_in_parts(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_heartbeats(const std::vector<heartbeat>& _piece) const {
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_node_parameters(const node_parameters_vector& _piece) const {
    return insert(_piece, QVD_SOURCE_LOCATION);
}

// Statement size

template <class Record>
std::size_t column_store_impl::fitting(const std::vector<Record>& _piece,
                                       libs::core::source_location _source_location) const {
    return fitting<Record>(_piece.begin(), _piece.end(), _source_location);
}

std::size_t column_store_impl::fitting_rows(const std::vector<position>& _piece) const {
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<external_event>& _piece) const {
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<zone_event>& _piece) const {
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<activity>& _piece) const {
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<vehicle_driver_association>& _piece) const {
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<heartbeat>& _piece) const {
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const node_parameters_vector& _piece) const {
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

// Presence checks

bool column_store_impl::found_in(const std::string& _query, const std::string& _table, bool _may_be_missing,
                                 libs::core::source_location _source_location) const {
    try {
        return m_connection->query(_query)->row_count() != 0;
    } catch (const mariadb::exception::connection& e) {
        if (!_may_be_missing || e.error_id() != ER_NO_SUCH_TABLE)
            throw libs::core::exception(failure_text(e), _source_location);
        static std::once_flag logged;
        std::call_once(logged, [&] {
            get_logger().warning("table %1% does not exist in the column store: a row is not looked for there") %
                _table;
        });
        return false;
    } catch (const std::exception& e) {
        throw libs::core::exception(failure_text(e), _source_location);
    }
}

template <class Record>
bool column_store_impl::presence(const std::string& _table, const Record& _record,
                                 libs::core::source_location _source_location) const {
    const auto trace = get_logger().enter_function_short(_source_location, "");
    get_logger().debug("checking presence of row with ts = %1% in table %2%") % _record.*kind<Record>::presence_time %
        _table;
    hold_fence(_source_location);
    bool found = found_in(make_presence_query(_table, _record), _table, false, _source_location);
    // The table rows move on to is not the daemon's and may not exist.
    const char* const next_table = kind<Record>::next_table;
    if (!found && next_table != nullptr)
        found = found_in(make_presence_query(next_table, _record), next_table, true, _source_location);
    get_logger().debug("result: %1%") % found;
    return found;
}

bool column_store_impl::check_presence(const std::string& _table, const position& _record) const {
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const external_event& _record) const {
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const zone_event& _record) const {
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const activity& _record) const {
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const vehicle_driver_association& _record) const {
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const heartbeat& _record) const {
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const node_parameter& _record) const {
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

// Truncation

unsigned long long column_store_impl::truncate_table(const std::string& _table) const {
    const auto trace = get_logger().enter_function_short(QVD_SOURCE_LOCATION, "");
    get_logger().debug("truncating table %1%") % _table;
    const unsigned long long count = execute("TRUNCATE TABLE " + _table, QVD_SOURCE_LOCATION);
    get_logger().debug("result: %1%") % count;
    return count;
}

template <class Record>
unsigned long long column_store_impl::refill(const std::vector<Record>& _rows,
                                             libs::core::source_location _source_location) const {
    const table& schema = kind<Record>::table;
    const auto trace = get_logger().enter_function_short(_source_location, "");
    get_logger().debug("refilling table %1% with %2% rows") % schema.name % _rows.size();
    // TRUNCATE would commit at once and leave the table empty when a row is then refused; a DELETE
    // inside the transaction is undone with the insert. The transaction never reconnects, so no
    // statement of it can land on a new session outside it.
    const mariadb::transaction_ref transaction = run(
        [](mariadb::connection& _connection) {
            return _connection.create_transaction(mariadb::isolation::read_committed, false);
        },
        _source_location);
    const unsigned long long deleted = execute("DELETE FROM " + schema.name, _source_location);
    const unsigned long long count = _rows.empty() ? 0 : insert_in_parts(_rows, _source_location);
    run([&](mariadb::connection&) { transaction->commit(); }, _source_location);
    get_logger().debug("result: %1% rows replaced by %2%") % deleted % count;
    return count;
}

unsigned long long column_store_impl::refill_zone_events_open(const std::vector<zone_event_open>& _rows) const {
    return refill(_rows, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::refill_vehicle_driver_associations_open(
    const std::vector<vehicle_driver_association_open>& _rows) const {
    return refill(_rows, QVD_SOURCE_LOCATION);
}

} // namespace qvd::store
