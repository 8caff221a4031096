#include "runtime/database_impl.hpp"

#include "records/row_name.hpp"
#include "runtime/kind.hpp"

#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/source_location.hpp>

#include <mariadb_client/connection.hpp>
#include <mariadb_client/date_time.hpp>
#include <mariadb_client/result_set.hpp>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/optional/optional_io.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace qvd::runtime {

namespace {

// The most records a read reserves before it knows how many rows came: a huge limit must not
// allocate for rows that are not there.
constexpr std::size_t records_reserved_before_query = 10000;

using to_timestamp_function = libs::core::timestamp (*)(const mariadb::date_time&);

// Reads the current row's columns by name into record fields.
class field_reader {
public:
    // _column names the column last asked for, so that a failure can name it.
    field_reader(const mariadb::result_set& _result, to_timestamp_function _to_timestamp, const char*& _column)
        : m_result(_result), m_to_timestamp(_to_timestamp), m_column(_column) {}

    std::string text(const char* _column) const { return m_result.get_string(index(_column)); }
    timestamp time(const char* _column) const { return m_to_timestamp(m_result.get_date_time(index(_column))); }
    int s8(const char* _column) const { return m_result.get_signed8(index(_column)); }
    int s32(const char* _column) const { return m_result.get_signed32(index(_column)); }
    long long s64(const char* _column) const { return m_result.get_signed64(index(_column)); }
    std::uint32_t u32(const char* _column) const { return m_result.get_unsigned32(index(_column)); }
    unsigned long long u64(const char* _column) const { return m_result.get_unsigned64(index(_column)); }
    // An unsigned column whose field holds 32 bits: a wider value is an error, never its low bits.
    std::uint32_t u32_of_u64(const char* _column) const {
        const unsigned long long value = u64(_column);
        if (value > std::numeric_limits<std::uint32_t>::max())
            throw std::out_of_range(std::string(_column) + " " + std::to_string(value) + " does not fit in 32 bits");
        return static_cast<std::uint32_t>(value);
    }

    // Sets the field only when the column is not NULL.
    template <class T, class Value>
    void optional(boost::optional<T>& _field, const char* _column,
                  Value (field_reader::*_get)(const char*) const) const {
        if (!m_result.get_is_null(index(_column)))
            _field = static_cast<T>((this->*_get)(_column));
    }

private:
    // The column names are the same literals, read in the same order on every row: each is
    // looked up by name once per result, then found by its address next to the last one read.
    std::uint32_t index(const char* _column) const {
        m_column = _column;
        if (m_next < m_indexes.size() && m_indexes[m_next].first == _column)
            return m_indexes[m_next++].second;
        if (m_next > 0 && m_indexes[m_next - 1].first == _column)
            return m_indexes[m_next - 1].second;
        for (std::size_t i = 0; i < m_indexes.size(); ++i)
            if (m_indexes[i].first == _column) {
                m_next = i + 1;
                return m_indexes[i].second;
            }
        m_indexes.emplace_back(_column, m_result.column_index(_column));
        m_next = m_indexes.size();
        return m_indexes.back().second;
    }

    const mariadb::result_set& m_result;
    to_timestamp_function m_to_timestamp;
    const char*& m_column;
    mutable std::vector<std::pair<const char*, std::uint32_t>> m_indexes;
    mutable std::size_t m_next = 0;
};

using r = field_reader;

// Each kind: its key columns first (so a failing row can be named by row_name), then the rest.

void read_key(const r& _r, position& _p) { _p.id = _r.s64("id"); }
void read_fields(const r& _r, position& _p) {
    _p.trackable_id = _r.s32("trackable_id");
    _p.trackable_uid = _r.text("obj_uid");
    _r.optional(_p.mac_address, "mac_address", &r::text);
    _p.ts = _r.time("ts");
    _r.optional(_p.x, "x", &r::s32);
    _r.optional(_p.y, "y", &r::s32);
    _r.optional(_p.z, "z", &r::s32);
    _p.area_uid = _r.text("sublocation_uid");
    _r.optional(_p.fom, "fom", &r::s32);
    _r.optional(_p.sfsn, "sfsn", &r::s32);
    _r.optional(_p.slvr_mode, "slvr_mode", &r::text);
    _r.optional(_p.edge_corr, "edge_corr", &r::s8);
    _r.optional(_p.pe_dims, "pe_dims", &r::s8);
    _r.optional(_p.type, "type", &r::text);
    _r.optional(_p.project_uid, "project_uid", &r::text);
    _r.optional(_p.inactive, "inactive", &r::s8);
    _r.optional(_p.to_type_id, "to_type_id", &r::s8);
}

void read_key(const r& _r, zone_event& _e) {
    _e.id_enter = _r.s32("id_enter");
    _e.id_leave = _r.s32("id_leave");
}
void read_fields(const r& _r, zone_event& _e) {
    _e.trackable_uid = _r.text("trackable_uid");
    _r.optional(_e.trackable_name, "trackable_name", &r::text);
    _r.optional(_e.area_uid, "area_uid", &r::text);
    _r.optional(_e.area_name, "area_name", &r::text);
    _e.enter_time = _r.time("enter_time");
    _e.leave_time = _r.time("leave_time");
    _r.optional(_e.duration, "duration", &r::s32);
    _r.optional(_e.zone_uid, "zone_uid", &r::text);
    _r.optional(_e.zone_name, "zone_name", &r::text);
    _r.optional(_e.zone_type_name, "zone_type_name", &r::text);
    _r.optional(_e.project_uid, "project_uid", &r::text);
    _r.optional(_e.project_name, "project_name", &r::text);
    _r.optional(_e.x_enter, "enter_x", &r::s32);
    _r.optional(_e.y_enter, "enter_y", &r::s32);
    _r.optional(_e.z_enter, "enter_z", &r::s32);
    _r.optional(_e.x_leave, "leave_x", &r::s32);
    _r.optional(_e.y_leave, "leave_y", &r::s32);
    _r.optional(_e.z_leave, "leave_z", &r::s32);
}

void read_key(const r& _r, zone_event_open& _e) { _e.id = _r.s32("id"); }
void read_fields(const r& _r, zone_event_open& _e) {
    _e.trackable_uid = _r.text("trackable_uid");
    _r.optional(_e.trackable_name, "trackable_name", &r::text);
    _r.optional(_e.area_uid, "area_uid", &r::text);
    _r.optional(_e.area_name, "area_name", &r::text);
    _e.enter_time = _r.time("enter_time");
    _r.optional(_e.zone_uid, "zone_uid", &r::text);
    _r.optional(_e.zone_name, "zone_name", &r::text);
    _r.optional(_e.zone_type_name, "zone_type_name", &r::text);
    _r.optional(_e.project_uid, "project_uid", &r::text);
    _r.optional(_e.project_name, "project_name", &r::text);
    _r.optional(_e.x_enter, "enter_x", &r::s32);
    _r.optional(_e.y_enter, "enter_y", &r::s32);
    _r.optional(_e.z_enter, "enter_z", &r::s32);
}

void read_key(const r& _r, external_event& _e) { _e.id = _r.s32("id"); }
void read_fields(const r& _r, external_event& _e) {
    _r.optional(_e.object_uid, "object_uid", &r::text);
    _r.optional(_e.mac_address, "mac_address", &r::text);
    _r.optional(_e.event_info, "event_info", &r::text);
    _r.optional(_e.event_type, "event_type", &r::text);
    _e.ts = _r.time("ts");
    _r.optional(_e.area_uid, "area_uid", &r::text);
    _r.optional(_e.area_name, "area_name", &r::text);
    _r.optional(_e.project_uid, "project_uid", &r::text);
    _r.optional(_e.project_name, "project_name", &r::text);
    _r.optional(_e.x, "x", &r::s32);
    _r.optional(_e.y, "y", &r::s32);
    _r.optional(_e.z, "z", &r::s32);
    _r.optional(_e.object_name, "object_name", &r::text);
    _r.optional(_e.created_at, "created_at", &r::time);
}

void read_key(const r& _r, activity& _a) { _a.id = _r.u64("id"); }
void read_fields(const r& _r, activity& _a) {
    _a.created_at = _r.time("created_at");
    _a.created_by = _r.text("created_by");
    _a.action = _r.text("action");
    _a.object = _r.text("object");
    _r.optional(_a.plist, "plist", &r::text);
    _r.optional(_a.project_uid, "project_uid", &r::text);
    _r.optional(_a.company_uid, "company_uid", &r::text);
    _r.optional(_a.on_behalf, "on_behalf", &r::text);
    _r.optional(_a.ip, "ip", &r::text);
    _r.optional(_a.company_name, "company_name", &r::text);
    _r.optional(_a.project_name, "project_name", &r::text);
    _r.optional(_a.project_user_params, "project_user_params", &r::text);
}

// The columns both association kinds share, in reading order up to created_y.
template <class Association>
void read_association_start(const r& _r, Association& _v) {
    _r.optional(_v.event_id, "event_id", &r::text);
    _r.optional(_v.vehicle_uid, "vehicle_uid", &r::text);
    _r.optional(_v.vehicle_mac, "vehicle_mac", &r::text);
    _r.optional(_v.vehicle_name, "vehicle_name", &r::text);
    _r.optional(_v.driver_uid, "driver_uid", &r::text);
    _r.optional(_v.driver_mac, "driver_mac", &r::text);
    _r.optional(_v.driver_name, "driver_name", &r::text);
    _r.optional(_v.created_at, "created_at", &r::time);
    _r.optional(_v.created_area_uid, "created_area_uid", &r::text);
    _r.optional(_v.created_x, "created_x", &r::s32);
    _r.optional(_v.created_y, "created_y", &r::s32);
}

void read_key(const r& _r, vehicle_driver_association& _v) { _v.id = _r.s32("id"); }
void read_fields(const r& _r, vehicle_driver_association& _v) {
    read_association_start(_r, _v);
    _r.optional(_v.removed_at, "removed_at", &r::time);
    _r.optional(_v.removed_area_uid, "removed_area_uid", &r::text);
    _r.optional(_v.removed_x, "removed_x", &r::s32);
    _r.optional(_v.removed_y, "removed_y", &r::s32);
    _r.optional(_v.project_uid, "project_uid", &r::text);
}

void read_key(const r& _r, vehicle_driver_association_open& _v) { _v.id = _r.s32("id"); }
void read_fields(const r& _r, vehicle_driver_association_open& _v) {
    read_association_start(_r, _v);
    _r.optional(_v.project_uid, "project_uid", &r::text);
}

void read_key(const r& _r, heartbeat& _h) { _h.id = _r.u64("id"); }
void read_fields(const r& _r, heartbeat& _h) {
    _r.optional(_h.ts, "ts", &r::time);
    // The server computes 271 or 260; only the low 32 bits are kept.
    _r.optional(_h.message_type, "message_type", &r::s64);
    _r.optional(_h.mac_address, "mac_address", &r::text);
    _r.optional(_h.trackable_uid, "trackable_uid", &r::text);
    _r.optional(_h.area_uid, "area_uid", &r::text);
    _r.optional(_h.company_uid, "company_uid", &r::text);
    _r.optional(_h.project_uid, "project_uid", &r::text);
    _r.optional(_h.x, "x", &r::s32);
    _r.optional(_h.y, "y", &r::s32);
    _r.optional(_h.z, "z", &r::s32);
    _r.optional(_h.flags_raw, "flags_raw", &r::u32_of_u64);
    _r.optional(_h.parent_mac_address, "parent_mac_address", &r::text);
    _r.optional(_h.bridge_mac_address, "bridge_mac_address", &r::text);
    _r.optional(_h.reporting_frequency, "reporting_frequency", &r::s32);
    _r.optional(_h.ranging_frequency, "ranging_frequency", &r::s32);
    _r.optional(_h.category, "category", &r::text);
    _r.optional(_h.sw_version, "sw_version", &r::text);
}

void read_key(const r& _r, node_parameter& _n) { _n.id = _r.u32("id"); }
void read_fields(const r& _r, node_parameter& _n) {
    _r.optional(_n.mac_address, "mac_address", &r::text);
    _r.optional(_n.obj_uid, "obj_uid", &r::text);
    _r.optional(_n.param_name, "param_name", &r::text);
    _r.optional(_n.param_value, "param_value", &r::text);
    _r.optional(_n.ts, "ts", &r::time);
}

// The logged time of the first and of the last record, empty for an empty batch.
template <class Record, class Time>
std::pair<boost::optional<const Time&>, boost::optional<const Time&>> first_and_last(
    const std::vector<Record>& _records, Time Record::*_logged_time) {
    if (_records.empty())
        return {};
    return {boost::optional<const Time&>(_records.front().*_logged_time),
            boost::optional<const Time&>(_records.back().*_logged_time)};
}

// The "table: message" of the first row of an OPTIMIZE answer that reports an error, if any.
boost::optional<std::string> error_row(mariadb::result_set& _answer) {
    while (_answer.next()) {
        // The server's letter case of the type is not part of its meaning.
        if (boost::iequals(_answer.get_string("Msg_type"), "error"))
            return _answer.get_string("Table") + ": " + _answer.get_string("Msg_text");
    }
    return boost::none;
}

} // namespace

database_impl::database_impl(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
                             const std::string& _schema, unsigned int _port,
                             const libs::core::events_loop::signals_handle& _signals, const libs::core::logger& _logger,
                             unsigned int _timeout_seconds, cancellation* _cancellation)
    : qvd_mariadb(_host_name, _user_name, _password, _schema, _port, _signals, _logger, "runtime database",
                  _timeout_seconds, _cancellation) {}

database_impl::~database_impl() = default;

template <class Record>
std::vector<Record> database_impl::load(libs::core::source_location _source_location,
                                        boost::optional<unsigned int> _limit) const {
    using facts = kind<Record>;
    std::string statement = facts::read_statement;
    // The open kinds are read whole: they have no text before a limit.
    if constexpr (facts::before_limit != nullptr)
        if (_limit)
            statement += facts::before_limit + std::to_string(*_limit);
    // Reserved before the query, so that the batch's records lie below the result set in the heap
    // and are reused by the next batch instead of being given back to the kernel when the batch
    // ends; a limit beyond that bound, or none, reserves the rest once the rows have come.
    return load_rows<Record>(_source_location, statement,
                             _limit ? std::min<std::size_t>(*_limit, records_reserved_before_query)
                                    : records_reserved_before_query);
}

template <class Record>
std::vector<Record> database_impl::load_by_key(libs::core::source_location _source_location,
                                               const std::vector<Record>& _batch) const {
    using facts = kind<Record>;
    comma_separated_list_builder list;
    for (const Record& record : _batch)
        list.add(facts::key(record));
    static const std::string by_key_statement = [] {
        const std::string read = facts::read_statement;
        const std::size_t filter = read.rfind(facts::read_filter);
        if (filter == std::string::npos)
            throw std::logic_error(std::string("no filter \"") + facts::read_filter + "\" in the read of " +
                                   facts::table);
        return read.substr(0, filter) + facts::by_key_condition;
    }();
    return load_rows<Record>(_source_location, by_key_statement + list.get() + ")",
                             std::min<std::size_t>(_batch.size(), records_reserved_before_query));
}

template <class Record>
std::vector<Record> database_impl::load_rows(libs::core::source_location _source_location,
                                             const std::string& _statement, const std::size_t _reserve) const {
    using facts = kind<Record>;
    const auto trace = get_logger().enter_function_short(_source_location, "");
    get_logger().debug(facts::loading_text);
    std::vector<Record> result;
    result.reserve(_reserve);
    // Names the row being read, so that an operator can find a row the types refuse; the text
    // is built only when one fails.
    enum class reading { none, row, fields };
    reading stage = reading::none;
    std::size_t row_number = 0;
    const char* column = nullptr;
    const auto row_being_read = [&](const std::exception&) {
        if (stage == reading::none)
            return std::string();
        const std::string row =
            stage == reading::row ? "row " + std::to_string(row_number) + " of the result" : row_name(result.back());
        return std::string(" (table ") + facts::table + ", " + row +
               (column != nullptr ? std::string(", column ") + column : std::string()) + ")";
    };
    run(
        [&](mariadb::connection& _connection) {
            const mariadb::result_set_ref rows = _connection.query(_statement);
            if (rows->row_count() > result.capacity())
                result.reserve(static_cast<std::size_t>(rows->row_count()));
            const field_reader reader(*rows, &qvd_mariadb::to_timestamp, column);
            while (rows->next()) {
                row_number = result.size() + 1;
                stage = reading::row;
                result.emplace_back();
                read_key(reader, result.back());
                stage = reading::fields;
                read_fields(reader, result.back());
                stage = reading::none;
            }
        },
        _source_location, row_being_read);
    const auto times = first_and_last(result, facts::logged_time);
    get_logger().debug(facts::done_text) % result.size() % times.first % times.second;
    return result;
}

template <class Record>
unsigned long long database_impl::remove(libs::core::source_location _source_location,
                                         const std::vector<Record>& _batch) const {
    using facts = kind<Record>;
    const auto trace = get_logger().enter_function_short(_source_location, "");
    const auto times = first_and_last(_batch, facts::logged_time);
    get_logger().debug(facts::deleting_text) % _batch.size() % times.first % times.second;
    comma_separated_list_builder list;
    for (const Record& record : _batch)
        facts::delete_ids(list, record);
    const unsigned long long count = execute(facts::delete_statement + list.get() + ")", _source_location);
    get_logger().debug("result: %1%") % count;
    return count;
}

unsigned long long database_impl::maintain(libs::core::source_location _source_location, const char* _text,
                                           const std::string& _statement) const {
    const auto trace = get_logger().enter_function_short(_source_location, "");
    get_logger().debug(_text);
    const unsigned long long count = execute(_statement, _source_location);
    get_logger().debug("result: %1%") % count;
    return count;
}

std::vector<position> database_impl::get_positions(unsigned int _limit) const {
    return load<position>(QVD_SOURCE_LOCATION, _limit);
}

std::vector<zone_event> database_impl::get_zone_events(unsigned int _limit) const {
    return load<zone_event>(QVD_SOURCE_LOCATION, _limit);
}

std::vector<zone_event_open> database_impl::get_zone_events_open() const {
    return load<zone_event_open>(QVD_SOURCE_LOCATION, boost::none);
}

std::vector<external_event> database_impl::get_external_events(unsigned int _limit) const {
    return load<external_event>(QVD_SOURCE_LOCATION, _limit);
}

std::vector<activity> database_impl::get_activities(unsigned int _limit) const {
    return load<activity>(QVD_SOURCE_LOCATION, _limit);
}

std::vector<vehicle_driver_association> database_impl::get_vehicle_driver_associations(unsigned int _limit) const {
    return load<vehicle_driver_association>(QVD_SOURCE_LOCATION, _limit);
}

std::vector<vehicle_driver_association_open> database_impl::get_vehicle_driver_associations_open() const {
    return load<vehicle_driver_association_open>(QVD_SOURCE_LOCATION, boost::none);
}

std::vector<heartbeat> database_impl::get_heartbeats(unsigned int _limit) const {
    return load<heartbeat>(QVD_SOURCE_LOCATION, _limit);
}

node_parameters_vector database_impl::get_node_parameters(unsigned int _limit) const {
    return load<node_parameter>(QVD_SOURCE_LOCATION, _limit);
}

unsigned long long database_impl::delete_positions(const std::vector<position>& _positions) const {
    return remove(QVD_SOURCE_LOCATION, _positions);
}

unsigned long long database_impl::delete_external_events(const std::vector<external_event>& _external_events) const {
    return remove(QVD_SOURCE_LOCATION, _external_events);
}

unsigned long long database_impl::delete_activities(const std::vector<activity>& _activities) const {
    return remove(QVD_SOURCE_LOCATION, _activities);
}

unsigned long long database_impl::delete_zone_events(const std::vector<zone_event>& _zone_events) const {
    return remove(QVD_SOURCE_LOCATION, _zone_events);
}

unsigned long long database_impl::delete_vehicle_driver_associations(
    const std::vector<vehicle_driver_association>& _vehicle_driver_associations) const {
    return remove(QVD_SOURCE_LOCATION, _vehicle_driver_associations);
}

unsigned long long database_impl::delete_heartbeats(const std::vector<heartbeat>& _heartbeats) const {
    return remove(QVD_SOURCE_LOCATION, _heartbeats);
}

unsigned long long database_impl::delete_node_parameters(const node_parameters_vector& _node_parameters) const {
    return remove(QVD_SOURCE_LOCATION, _node_parameters);
}

unsigned long long database_impl::drop_positions_indexes() const {
    return maintain(QVD_SOURCE_LOCATION, "dropping indexes in table position_histories",
                    "ALTER TABLE position_histories"
                    "    DROP INDEX IF EXISTS sublocation_uid_index_position_histories,"
                    "    DROP INDEX IF EXISTS obj_uid_index_position_histories,"
                    "    DROP INDEX IF EXISTS ts_index_position_histories,"
                    "    DROP INDEX IF EXISTS to_type_id_index_position_histories");
}

unsigned long long database_impl::drop_zone_events_indexes() const {
    return maintain(QVD_SOURCE_LOCATION, "dropping indexes in table zone_event_history",
                    "ALTER TABLE zone_event_history    DROP INDEX IF EXISTS events_created_at");
}

unsigned long long database_impl::delete_position_histories_hot(unsigned int _interval_min) const {
    std::stringstream statement;
    statement << "DELETE FROM position_histories_hot WHERE ts < (NOW() - INTERVAL " << _interval_min << " MINUTE)";
    return maintain(QVD_SOURCE_LOCATION, "deleting data from table position_histories_hot", statement.str());
}

std::vector<position> database_impl::rows_to_delete(const std::vector<position>& _positions) const {
    return load_by_key(QVD_SOURCE_LOCATION, _positions);
}

std::vector<external_event> database_impl::rows_to_delete(const std::vector<external_event>& _external_events) const {
    return load_by_key(QVD_SOURCE_LOCATION, _external_events);
}

std::vector<zone_event> database_impl::rows_to_delete(const std::vector<zone_event>& _zone_events) const {
    return load_by_key(QVD_SOURCE_LOCATION, _zone_events);
}

std::vector<activity> database_impl::rows_to_delete(const std::vector<activity>& _activities) const {
    return load_by_key(QVD_SOURCE_LOCATION, _activities);
}

std::vector<vehicle_driver_association> database_impl::rows_to_delete(
    const std::vector<vehicle_driver_association>& _vehicle_driver_associations) const {
    return load_by_key(QVD_SOURCE_LOCATION, _vehicle_driver_associations);
}

std::vector<heartbeat> database_impl::rows_to_delete(const std::vector<heartbeat>& _heartbeats) const {
    return load_by_key(QVD_SOURCE_LOCATION, _heartbeats);
}

node_parameters_vector database_impl::rows_to_delete(const node_parameters_vector& _node_parameters) const {
    return load_by_key(QVD_SOURCE_LOCATION, _node_parameters);
}

std::vector<long long> database_impl::zone_event_history_ids(const std::vector<zone_event>& _zone_events) const {
    const libs::core::source_location here = QVD_SOURCE_LOCATION;
    const auto trace = get_logger().enter_function_short(here, "");
    comma_separated_list_builder list;
    for (const zone_event& event : _zone_events)
        kind<zone_event>::delete_ids(list, event);
    const mariadb::result_set_ref rows =
        query("SELECT id FROM zone_event_history WHERE id IN (" + list.get() + ")", here);
    std::vector<long long> ids;
    while (rows->next())
        ids.push_back(rows->get_signed32("id"));
    get_logger().debug("result: %1%") % ids.size();
    return ids;
}

void database_impl::optimize_tables() {
    static const std::vector<std::string> tables{
        "external_events", "zone_event_history",          "position_histories",     "activities",
        "heartbeats",      "vehicle_driver_associations", "nodes_obj_associations", "node_parameters_staging"};
    // Taken here: inside the lambda the location would name the lambda instead of this function.
    const libs::core::source_location here = QVD_SOURCE_LOCATION;
    for (const std::string& table : tables) {
        // The trace and the done line stay inside the wrapping, as the statement does.
        const boost::optional<std::string> refusal = run(
            [&](mariadb::connection& _connection) {
                const auto trace = get_logger().enter_function_short(here, "Optimizing table " + table);
                const boost::optional<std::string> error = error_row(*_connection.query("optimize table " + table));
                if (!error)
                    get_logger().debug("done");
                return error;
            },
            here);
        if (refusal)
            throw libs::core::exception(*refusal, here);
    }
}

} // namespace qvd::runtime
