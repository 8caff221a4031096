#include "store/store_impl.hpp"

#include "records/row_name.hpp"
#include "store/kind.hpp"

#include <core/exception.hpp>

#include <mariadb_client/account.hpp>
#include <mariadb_client/connection.hpp>
#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/result_set.hpp>

#include <boost/algorithm/string/case_conv.hpp>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <locale>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <type_traits>

namespace qvd::store {

namespace {

using libs::core::timestamp;

// Appends the literal of string_literal without a temporary.
void append_string_literal(std::string& _text, const std::string& _str)
{
    // One plain pass over the bytes: far cheaper than find_first_of's search per byte.
    bool quote = false;
    bool backslash = false;
    for (const char c : _str) {
        if (c == '\\') {
            backslash = true;
            break;
        }
        quote = quote || c == '\'';
    }
    if (!quote && !backslash) {
        _text += '\'';
        _text += _str;
        _text += '\'';
        return;
    }
    if (!backslash) {
        // A doubled quote is read as one quote in every sql_mode.
        _text += '\'';
        for (const char c : _str) {
            if (c == '\'')
                _text += '\'';
            _text += c;
        }
        _text += '\'';
        return;
    }
    // A backslash reads differently with and without NO_BACKSLASH_ESCAPES; hex digits never do.
    // The introducer gives the literal the connection's character set, as a quoted one has.
    static const char digits[] = "0123456789ABCDEF";
    _text += "_utf8mb4 X'";
    for (const char c : _str) {
        const auto byte = static_cast<unsigned char>(c);
        _text += digits[byte >> 4];
        _text += digits[byte & 0x0f];
    }
    _text += '\'';
}

template <class Number>
void append_number(std::string& _text, Number _number)
{
    static_assert(std::is_integral_v<Number>, "numbers of the column store are integers");
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, _number);
    _text.append(buffer, result.ptr);
}

void append_time_literal(std::string& _text, const timestamp& _timestamp)
{
    _text += '\'';
    _timestamp.append_iso_8601_string(_text, true);
    _text += '\'';
}

// The values of one row, separated by a comma alone.
class row_values {
public:
    explicit row_values(std::string& _text) : m_text(_text) {}

    row_values& keyword_default()
    {
        separate();
        m_text += "DEFAULT";
        return *this;
    }

    template <class Number, class = std::enable_if_t<std::is_integral_v<Number>>>
    row_values& value(Number _number)
    {
        separate();
        append_number(m_text, _number);
        return *this;
    }

    row_values& value(const std::string& _str)
    {
        separate();
        append_string_literal(m_text, _str);
        return *this;
    }

    row_values& value(const timestamp& _timestamp)
    {
        separate();
        append_time_literal(m_text, _timestamp);
        return *this;
    }

    // An absent value is NULL.
    template <class T>
    row_values& value(const boost::optional<T>& _optional)
    {
        if (_optional)
            return value(*_optional);
        separate();
        m_text += "NULL";
        return *this;
    }

    // An absent value is a single blank, for NOT NULL text columns.
    row_values& value_or_blank(const boost::optional<std::string>& _optional)
    {
        if (_optional)
            return value(*_optional);
        separate();
        m_text += "' '";
        return *this;
    }

private:
    void separate()
    {
        if (m_first)
            m_first = false;
        else
            m_text += ',';
    }

    std::string& m_text;
    bool m_first = true;
};

// The conditions of a probe: every column that the insert writes holds exactly the record's value,
// NULL-safe, texts compared byte for byte whatever the column's collation. Fed by the same row
// description as row_values, so the columns compared are the columns written.
class row_conditions {
public:
    row_conditions(std::string& _text, const table& _table) : m_text(_text), m_columns(_table.columns) {}

    // A column left to its default is not compared.
    row_conditions& keyword_default()
    {
        next_column();
        return *this;
    }

    template <class Number, class = std::enable_if_t<std::is_integral_v<Number>>>
    row_conditions& value(Number _number)
    {
        begin_condition(next_column());
        append_number(m_text, _number);
        return *this;
    }

    row_conditions& value(const std::string& _str)
    {
        const column& c = begin_condition(next_column());
        // A CHAR column gives its value back without trailing blanks.
        const bool fixed_width = c.type.compare(0, 5, "char(") == 0;
        if (fixed_width)
            m_text += "RTRIM(";
        append_string_literal(m_text, _str);
        if (fixed_width)
            m_text += ')';
        m_text += " COLLATE utf8mb4_nopad_bin";
        return *this;
    }

    row_conditions& value(const timestamp& _timestamp)
    {
        begin_condition(next_column());
        append_time_literal(m_text, _timestamp);
        return *this;
    }

    template <class T>
    row_conditions& value(const boost::optional<T>& _optional)
    {
        if (_optional)
            return value(*_optional);
        const column& c = next_column();
        separate();
        m_text += c.field;
        m_text += " IS NULL";
        return *this;
    }

    row_conditions& value_or_blank(const boost::optional<std::string>& _optional)
    {
        return value(_optional ? *_optional : std::string(" "));
    }

private:
    const column& next_column()
    {
        if (m_index >= m_columns.size())
            throw std::logic_error("a row description has more values than its table has columns");
        return m_columns[m_index++];
    }

    const column& begin_condition(const column& _column)
    {
        separate();
        m_text += _column.field;
        m_text += " <=> ";
        return _column;
    }

    void separate()
    {
        if (m_first)
            m_first = false;
        else
            m_text += " AND ";
    }

    std::string& m_text;
    const std::vector<column>& m_columns;
    std::size_t m_index = 0;
    bool m_first = true;
};

// SELECT 1 FROM name WHERE (every written column equal) LIMIT 1.
template <class Record>
std::string make_presence_text(const std::string& _table_name, const Record& _record)
{
    std::string text = "SELECT 1 FROM " + _table_name + " WHERE ";
    row_conditions conditions(text, kind<Record>::table);
    kind<Record>::describe_row(conditions, _record);
    text += " LIMIT 1";
    return text;
}

void append_insert_header(std::string& _text, const table& _table)
{
    _text += "INSERT ";
    _text += _table.name;
    _text += '(';
    bool first = true;
    for (const column& c : _table.columns) {
        if (!first)
            _text += ", ";
        first = false;
        _text += c.field;
    }
    _text += ") VALUES ";
}

// Appends one record's row, in parentheses.
template <class Record>
void append_row(std::string& _text, const Record& _record)
{
    _text += '(';
    row_values values(_text);
    kind<Record>::describe_row(values, _record);
    _text += ')';
}

// Builds into _insert the INSERT name(columns) VALUES (row), (row), ... of the leading records of
// [_first, _last) that fit in _budget bytes: rows are appended until one passes the budget, and the
// text is cut after the last row that fits. Returns how many rows it carries, 0 when the first one
// alone does not fit; _first_size receives the length of the first row's statement.
template <class Iterator>
std::size_t build_insert_text(prepared_insert& _insert, const table& _table, Iterator _first, Iterator _last,
                              std::size_t _budget, std::size_t& _first_size)
{
    std::string& text = _insert.text;
    text.clear();
    std::size_t header_size = _table.name.size() + 16;
    for (const column& c : _table.columns)
        header_size += c.field.size() + 2;
    text.reserve(header_size + 512);
    append_insert_header(text, _table);
    _insert.header_end = text.size();

    const auto size = static_cast<std::size_t>(_last - _first);
    std::size_t count = 0;
    std::size_t row_start = text.size();
    for (Iterator record = _first; record != _last; ++record) {
        const std::size_t end_of_previous = text.size();
        if (record != _first)
            text += ", ";
        row_start = text.size();
        append_row(text, *record);
        if (record == _first)
            _first_size = text.size();
        if (text.size() > _budget) {
            text.resize(end_of_previous);
            break;
        }
        if (record == _first) {
            _insert.first_row_end = text.size();
            if (size > 1) {
                // Rows of a batch are alike: the first one sizes the rest, with room for longer texts.
                const std::size_t row_size = text.size() - row_start + 2;
                text.reserve(text.size() + (size - 1) * (row_size + row_size / 4 + 16));
            }
        }
        _insert.last_row_start = row_start;
        ++count;
    }
    _insert.count = count;
    return count;
}

// The whole INSERT of the records [_first, _last).
template <class Iterator>
std::string make_insert_text(const table& _table, Iterator _first, Iterator _last)
{
    prepared_insert insert;
    std::size_t first_size = 0;
    build_insert_text(insert, _table, _first, _last, std::string::npos, first_size);
    return std::move(insert.text);
}

template <class Record>
std::string make_insert_text(const table& _table, const std::vector<Record>& _piece)
{
    return make_insert_text(_table, _piece.begin(), _piece.end());
}

// Whether the row of _record is the text's [_start, _end), rebuilt into _scratch.
template <class Record>
bool row_text_is(const std::string& _text, std::size_t _start, std::size_t _end, const Record& _record,
                 std::string& _scratch)
{
    _scratch.clear();
    append_row(_scratch, _record);
    return _text.compare(_start, _end - _start, _scratch) == 0;
}

// The 1-based position within its INSERT of the row the server refused, as its message ends
// ("Data too long for column 'mac_address' at row 3"); 0 when the message names no row.
std::size_t refused_row(const std::string& _message)
{
    static const std::string marker = " at row ";
    const std::size_t at = _message.rfind(marker);
    if (at == std::string::npos)
        return 0;
    const char* const first = _message.data() + at + marker.size();
    const char* const last = _message.data() + _message.size();
    std::size_t row = 0;
    const auto result = std::from_chars(first, last, row);
    return result.ec == std::errc() && result.ptr == last ? row : 0;
}

// " (table T, row id N)" for the record of [_first, _last) that the server's message names; empty
// when it names none of them.
template <class Iterator>
std::string refused_record_text(const std::string& _message, const table& _table, Iterator _first, Iterator _last)
{
    const std::size_t row = refused_row(_message);
    if (row == 0 || row > static_cast<std::size_t>(_last - _first))
        return {};
    return " (table " + _table.name + ", " + row_name(*(_first + static_cast<std::ptrdiff_t>(row - 1))) + ")";
}

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
      m_fence_lock(string_literal(fence_lock_name(_schema)))
{
    // Taken without waiting on every connect and reconnect: while an earlier session still holds
    // it, a probe ends that session first (fence_earlier_sessions). The link opened above is
    // closed so that the first statement connects again with it.
    m_account->set_option("@lomvera_fence", "GET_LOCK(" + m_fence_lock + ", 0)");
    m_connection->disconnect();
}

column_store_impl::~column_store_impl() = default;

std::string column_store_impl::string_literal(const std::string& _str)
{
    std::string text;
    text.reserve(_str.size() + 2);
    append_string_literal(text, _str);
    return text;
}

std::string column_store_impl::to_iso_8601_with_ms_string(const libs::core::timestamp& _timestamp)
{
    return _timestamp.to_iso_8601_string(true);
}

void column_store_impl::log_warning(const std::string& _text) const
{
    get_logger().warning("%1%") % _text;
}

// Structure check

bool column_store_impl::check_columns(const table& _table, std::string& _err_str) const
{
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
            _err_str = "Table: " + _table.name + ", field: " + double_quoted(field) + ": types do not match: " +
                       double_quoted(type) + ", " + double_quoted(expected.type);
            return false;
        }
        const std::string null = lower_case(result->get_string("Null"));
        if (null != expected.null) {
            _err_str = "Table: " + _table.name + ", field: " + double_quoted(field) + ": null do not match: " +
                       double_quoted(null) + ", " + double_quoted(expected.null);
            return false;
        }
    }
    return true;
}

void column_store_impl::check_structure() const
{
    std::string err_str;
    for (const table* schema : {&positions_raw, &external_events, &zone_events, &zone_events_open,
                                &sys_journal_staging, &vehicle_driver_associations,
                                &vehicle_driver_associations_open, &heartbeats, &node_parameters}) {
        if (!check_columns(*schema, err_str))
            QVD_THROW(err_str);
    }
}

// Inserts

template <class Record>
std::string column_store_impl::make_insert(const std::vector<Record>& _piece)
{
    return make_insert_text(kind<Record>::table, _piece);
}

std::size_t column_store_impl::statement_budget(libs::core::source_location _source_location) const
{
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
                                       libs::core::source_location _source_location) const
{
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
                                                    typename std::vector<Record>::const_iterator _last) const
{
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
                                             libs::core::source_location _source_location) const
{
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
                                             libs::core::source_location _source_location) const
{
    return insert<Record>(_piece.begin(), _piece.end(), _source_location);
}

template <class Record>
unsigned long long column_store_impl::insert_in_parts(const std::vector<Record>& _piece,
                                                      libs::core::source_location _source_location) const
{
    if (_piece.empty())
        return insert(_piece, _source_location);
    unsigned long long count = 0;
    for (auto first = _piece.begin(); first != _piece.end();) {
        const auto last =
            first + static_cast<std::ptrdiff_t>(fitting<Record>(first, _piece.end(), _source_location));
        count += insert<Record>(first, last, _source_location);
        first = last;
    }
    return count;
}

// The public operations name their kind; the kind's trait gives the table. The open tables are
// not journalled: they take as many statements as the limit needs.

unsigned long long column_store_impl::insert_positions_raw(const std::vector<position>& _piece) const
{
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_external_events(const std::vector<external_event>& _piece) const
{
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_zone_events(const std::vector<zone_event>& _piece) const
{
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_zone_events_open(const std::vector<zone_event_open>& _piece) const
{
    return insert_in_parts(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_sys_journal_staging(const std::vector<activity>& _piece) const
{
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_vehicle_driver_associations(
    const std::vector<vehicle_driver_association>& _piece) const
{
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_vehicle_driver_associations_open(
    const std::vector<vehicle_driver_association_open>& _piece) const
{
    return insert_in_parts(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_heartbeats(const std::vector<heartbeat>& _piece) const
{
    return insert(_piece, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::insert_node_parameters(const node_parameters_vector& _piece) const
{
    return insert(_piece, QVD_SOURCE_LOCATION);
}

// Statement size

template <class Record>
std::size_t column_store_impl::fitting(const std::vector<Record>& _piece,
                                       libs::core::source_location _source_location) const
{
    return fitting<Record>(_piece.begin(), _piece.end(), _source_location);
}

std::size_t column_store_impl::fitting_rows(const std::vector<position>& _piece) const
{
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<external_event>& _piece) const
{
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<zone_event>& _piece) const
{
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<activity>& _piece) const
{
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<vehicle_driver_association>& _piece) const
{
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const std::vector<heartbeat>& _piece) const
{
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

std::size_t column_store_impl::fitting_rows(const node_parameters_vector& _piece) const
{
    return fitting(_piece, QVD_SOURCE_LOCATION);
}

// Presence checks

template <class Record>
std::string column_store_impl::make_presence_query(const std::string& _table, const Record& _record)
{
    return make_presence_text(_table, _record);
}

std::string column_store_impl::fence_lock_name(const std::string& _schema)
{
    const std::string name = "lomvera." + _schema;
    constexpr std::size_t longest = 64;
    if (name.size() <= longest)
        return name;
    // A long name is cut and told apart by a hash that every build computes alike (64-bit FNV-1a).
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : _schema) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    static const char digits[] = "0123456789abcdef";
    std::string suffix = ".";
    for (int shift = 60; shift >= 0; shift -= 4)
        suffix += digits[(hash >> shift) & 0x0f];
    std::string cut = name.substr(0, longest - suffix.size());
    // Whole UTF-8 characters only.
    while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xc0) == 0x80)
        cut.pop_back();
    if (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0x80) != 0)
        cut.pop_back();
    return cut + suffix;
}

void column_store_impl::fence_earlier_sessions(libs::core::source_location _source_location) const
{
    // A killed daemon's INSERT goes on on the server and commits seconds later; a probe made before
    // that would find nothing and insert the batch a second time. Every column-store session of
    // the daemon holds the lock from its connect on, so a holder other than this session is an
    // earlier one that may still insert, whoever the process list shows as its user.
    // Read as texts: the server's integer types of these functions differ.
    const std::string holder_query = "SELECT CAST(IS_USED_LOCK(" + m_fence_lock +
                                     ") AS CHAR) AS holder, CAST(CONNECTION_ID() AS CHAR) AS me";
    // At most a second per round, so that a refused KILL is tried again.
    const std::string take_query = "SELECT CAST(GET_LOCK(" + m_fence_lock + ", 1) AS CHAR) AS taken";
    const auto deadline = std::chrono::steady_clock::now() + fence_wait_limit;
    std::string ended;
    for (;;) {
        std::string holder;
        {
            const mariadb::result_set_ref result = query(holder_query, _source_location);
            if (!result->next())
                throw libs::core::exception("the column-store lock gave no answer", _source_location);
            if (!result->get_is_null("holder")) {
                holder = result->get_string("holder");
                if (holder == result->get_string("me"))
                    return;
            }
        }
        if (!holder.empty()) {
            if (holder != ended)
                get_logger().warning("ending column-store session %1%, an earlier holder of lock %2%, before the "
                                     "probe") %
                    holder % m_fence_lock;
            try {
                // Allowed on the account's own sessions; the server rolls its statement back.
                m_connection->execute("KILL " + holder);
            } catch (const mariadb::exception::connection& e) {
                // 1094: already gone. 1095: it runs a trigger of another definer just now, or
                // belongs to another account: waited for instead.
                if (e.error_id() != 1094 && e.error_id() != 1095)
                    throw libs::core::exception(failure_text(e), _source_location);
            }
            ended = holder;
        }
        const mariadb::result_set_ref taken = query(take_query, _source_location);
        if (taken->next() && !taken->get_is_null("taken") && taken->get_string("taken") == "1")
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            throw libs::core::exception("column-store session " + (holder.empty() ? std::string("--") : holder) +
                                            " still holds the lock " + m_fence_lock +
                                            ": cannot tell whether the journalled batch arrived",
                                        _source_location);
    }
}

void column_store_impl::hold_fence(libs::core::source_location _source_location) const
{
    if (m_fenced_session != 0 && m_connection->thread_id() == m_fenced_session)
        return;
    fence_earlier_sessions(_source_location);
    m_fenced_session = m_connection->thread_id();
}

bool column_store_impl::found_in(const std::string& _query, const std::string& _table, bool _may_be_missing,
                                 libs::core::source_location _source_location) const
{
    try {
        return m_connection->query(_query)->row_count() != 0;
    } catch (const mariadb::exception::connection& e) {
        // ER_NO_SUCH_TABLE
        if (!_may_be_missing || e.error_id() != 1146)
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
                                 libs::core::source_location _source_location) const
{
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

bool column_store_impl::check_presence(const std::string& _table, const position& _record) const
{
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const external_event& _record) const
{
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const zone_event& _record) const
{
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const activity& _record) const
{
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const vehicle_driver_association& _record) const
{
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const heartbeat& _record) const
{
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

bool column_store_impl::check_presence(const std::string& _table, const node_parameter& _record) const
{
    return presence(_table, _record, QVD_SOURCE_LOCATION);
}

// Truncation

unsigned long long column_store_impl::truncate_table(const std::string& _table) const
{
    const auto trace = get_logger().enter_function_short(QVD_SOURCE_LOCATION, "");
    get_logger().debug("truncating table %1%") % _table;
    const unsigned long long count = execute("TRUNCATE TABLE " + _table, QVD_SOURCE_LOCATION);
    get_logger().debug("result: %1%") % count;
    return count;
}

template <class Record>
unsigned long long column_store_impl::refill(const std::vector<Record>& _rows,
                                             libs::core::source_location _source_location) const
{
    const table& schema = kind<Record>::table;
    const auto trace = get_logger().enter_function_short(_source_location, "");
    get_logger().debug("refilling table %1% with %2% rows") % schema.name % _rows.size();
    // TRUNCATE would commit at once and leave the table empty when a row is then refused; a DELETE
    // inside the transaction is undone with the insert. The transaction never reconnects, so no
    // statement of it can land on a new session outside it.
    mariadb::transaction_ref transaction;
    try {
        transaction = m_connection->create_transaction(mariadb::isolation::read_committed, false);
    } catch (const std::exception& e) {
        throw libs::core::exception(failure_text(e), _source_location);
    }
    const unsigned long long deleted = execute("DELETE FROM " + schema.name, _source_location);
    const unsigned long long count = _rows.empty() ? 0 : insert_in_parts(_rows, _source_location);
    try {
        transaction->commit();
    } catch (const std::exception& e) {
        throw libs::core::exception(failure_text(e), _source_location);
    }
    get_logger().debug("result: %1% rows replaced by %2%") % deleted % count;
    return count;
}

unsigned long long column_store_impl::refill_zone_events_open(const std::vector<zone_event_open>& _rows) const
{
    return refill(_rows, QVD_SOURCE_LOCATION);
}

unsigned long long column_store_impl::refill_vehicle_driver_associations_open(
    const std::vector<vehicle_driver_association_open>& _rows) const
{
    return refill(_rows, QVD_SOURCE_LOCATION);
}

// The statement texts of every kind, for the callers that look at them.
template std::string column_store_impl::make_insert(const std::vector<position>&);
template std::string column_store_impl::make_insert(const std::vector<external_event>&);
template std::string column_store_impl::make_insert(const std::vector<zone_event>&);
template std::string column_store_impl::make_insert(const std::vector<zone_event_open>&);
template std::string column_store_impl::make_insert(const std::vector<activity>&);
template std::string column_store_impl::make_insert(const std::vector<vehicle_driver_association>&);
template std::string column_store_impl::make_insert(const std::vector<vehicle_driver_association_open>&);
template std::string column_store_impl::make_insert(const std::vector<heartbeat>&);
template std::string column_store_impl::make_insert(const std::vector<node_parameter>&);
template std::string column_store_impl::make_presence_query(const std::string&, const position&);
template std::string column_store_impl::make_presence_query(const std::string&, const external_event&);
template std::string column_store_impl::make_presence_query(const std::string&, const zone_event&);
template std::string column_store_impl::make_presence_query(const std::string&, const activity&);
template std::string column_store_impl::make_presence_query(const std::string&, const vehicle_driver_association&);
template std::string column_store_impl::make_presence_query(const std::string&, const heartbeat&);
template std::string column_store_impl::make_presence_query(const std::string&, const node_parameter&);

} // namespace qvd::store
