#include "runtime/database_impl.hpp"

#include "records/row_name.hpp"

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

// What the read of one kind says and asks: one row per kind below.
template <class Record, class Time>
struct kind_read {
    // The table that a failure names.
    const char* table;
    // The debug line before the query.
    const char* loading_text;
    // The debug line after it, fed with the size and the first and last logged times.
    const char* done_text;
    Time Record::*logged_time;
    const char* statement;
    // What comes between the statement and the limit; nullptr for a read of all open rows.
    const char* before_limit;
};

namespace {

// The statements, exactly as the runtime database has always been asked: every blank counts,
// those at the ends of lines included.
const char* const select_positions =
    "SELECT id, trackable_id, obj_uid, mac_address, ts, x, y, z, sublocation_uid, fom, sfsn, slvr_mode, "
    "edge_corr, pe_dims, type, project_uid, inactive, to_type_id FROM position_histories WHERE "
    "trackable_id is not NULL LIMIT ";
const char* const select_zone_events =
    "SELECT ze1.id AS id_enter,ze2.id AS id_leave,ze2.obj_uid AS trackable_uid, tko.name AS "
    "trackable_name, ze2.sublocation_uid AS area_uid, sl.name AS area_name, ze1.created_at AS "
    "enter_time, ze2.created_at AS leave_time, ze2.duration, ze2.zone_uid, zn.name as zone_name, "
    "ze2.zone_type_name, ze2.project_uid, tags.name as project_name, ze1.x AS enter_x, ze1.y AS enter_y, "
    "ze1.z AS enter_z, ze2.x AS leave_x, ze2.y AS leave_y, ze2.z AS leave_z FROM zone_event_history ze2 "
    "JOIN zone_event_history ze1 ON ze1.uid = ze2.related_event LEFT JOIN tags on ze1.project_uid = "
    "tags.uid LEFT JOIN sublocations sl on ze1.sublocation_uid = sl.uid LEFT JOIN zones zn on "
    "ze1.zone_uid = zn.uid LEFT JOIN trackable_objects tko on ze1.obj_uid = tko.uid WHERE "
    "ze2.related_event IS NOT NULL AND ze2.`action` = 'leave' LIMIT ";
const char* const select_zone_events_open =
    "SELECT   ze.id,   ze.obj_uid AS trackable_uid,   tko.name AS trackable_name,   ze.sublocation_uid "
    "AS area_uid,   sl.name AS area_name,   ze.created_at AS enter_time,   ze.zone_uid,   zn.name as "
    "zone_name,   ze.zone_type_name,   ze.project_uid,   tags.name as project_name,   ze.x AS enter_x,   "
    "ze.y AS enter_y,   ze.z AS enter_z FROM zone_event_history ze LEFT JOIN tags on ze.project_uid = "
    "tags.uid LEFT JOIN sublocations sl on ze.sublocation_uid = sl.uid LEFT JOIN zones zn on ze.zone_uid "
    "= zn.uid LEFT JOIN trackable_objects tko on ze.obj_uid = tko.uid WHERE ze.related_event IS NULL AND "
    "ze.`action` = 'enter' ";
const char* const select_external_events =
    "SELECT ee.id, ee.object_uid, ee.object_name, ee.mac_address, ee.event_info, ee.event_type, ee.ts, "
    "ee.area_uid, sl.name as area_name, ee.project_uid, tags.name as project_name, ee.x, ee.y, ee.z, "
    "ee.created_at FROM external_events ee LEFT JOIN tags ON ee.project_uid = tags.uid LEFT JOIN "
    "sublocations sl ON ee.area_uid = sl.uid LIMIT ";
const char* const select_activities = R"(
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
const char* const select_vehicle_driver_associations = R"(
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
const char* const select_vehicle_driver_associations_open = R"(
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
const char* const select_heartbeats = R"(
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
const char* const select_node_parameters = R"(
                SELECT *
                FROM node_parameters_staging
                LIMIT
            )";

// The most records a read reserves before it knows how many rows came: a huge limit must not
// allocate for rows that are not there.
constexpr std::size_t records_reserved_before_query = 10000;

const char* const done_text_of_most = "done, size = %1%, first ts = %2%, last ts = %3%";

using optional_time = boost::optional<timestamp>;

// table, loading text, done text, logged time, statement, what comes before the limit
const kind_read<position, timestamp> positions_read{
    "position_histories", "loading data from table position_histories", done_text_of_most, &position::ts,
    select_positions, ""};
const kind_read<zone_event, timestamp> zone_events_read{
    "zone_event_history", "loading closed zone events from table zone_event_history", done_text_of_most,
    &zone_event::enter_time, select_zone_events, ""};
const kind_read<zone_event_open, timestamp> zone_events_open_read{
    "zone_event_history", "loading open zoen events from table zone_event_history",
    "done, size = %1%, first enter_time = %2%, last = %3%", &zone_event_open::enter_time, select_zone_events_open,
    nullptr};
const kind_read<external_event, timestamp> external_events_read{
    "external_events", "loading data from table external_events", done_text_of_most, &external_event::ts,
    select_external_events, ""};
const kind_read<activity, timestamp> activities_read{
    "activities", "loading data from table activities", done_text_of_most, &activity::created_at,
    select_activities, " "};
const kind_read<vehicle_driver_association, optional_time> vehicle_driver_associations_read{
    "vehicle_driver_associations", "loading closed VDAs from table vehicle_driver_associations", done_text_of_most,
    &vehicle_driver_association::created_at, select_vehicle_driver_associations, " "};
const kind_read<vehicle_driver_association_open, optional_time> vehicle_driver_associations_open_read{
    "vehicle_driver_associations", "loading open VDAs from vehicle_driver_associations", done_text_of_most,
    &vehicle_driver_association_open::created_at, select_vehicle_driver_associations_open, nullptr};
const kind_read<heartbeat, optional_time> heartbeats_read{
    "heartbeats", "loading heartbeats from table heartbeats", done_text_of_most, &heartbeat::ts, select_heartbeats,
    " "};
const kind_read<node_parameter, optional_time> node_parameters_read{
    "node_parameters_staging", "loading data from table node_parameters_staging", done_text_of_most,
    &node_parameter::ts, select_node_parameters, " "};

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
    std::uint32_t u32_of_u64(const char* _column) const
    {
        const unsigned long long value = u64(_column);
        if (value > std::numeric_limits<std::uint32_t>::max())
            throw std::out_of_range(std::string(_column) + " " + std::to_string(value) + " does not fit in 32 bits");
        return static_cast<std::uint32_t>(value);
    }

    // Sets the field only when the column is not NULL.
    template <class T, class Value>
    void optional(boost::optional<T>& _field, const char* _column, Value (field_reader::*_get)(const char*) const) const
    {
        if (!m_result.get_is_null(index(_column)))
            _field = static_cast<T>((this->*_get)(_column));
    }

private:
    // The column names are the same literals, read in the same order on every row: each is
    // looked up by name once per result, then found by its address next to the last one read.
    std::uint32_t index(const char* _column) const
    {
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
void read_fields(const r& _r, position& _p)
{
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

void read_key(const r& _r, zone_event& _e)
{
    _e.id_enter = _r.s32("id_enter");
    _e.id_leave = _r.s32("id_leave");
}
void read_fields(const r& _r, zone_event& _e)
{
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
void read_fields(const r& _r, zone_event_open& _e)
{
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
void read_fields(const r& _r, external_event& _e)
{
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
void read_fields(const r& _r, activity& _a)
{
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
void read_association_start(const r& _r, Association& _v)
{
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
void read_fields(const r& _r, vehicle_driver_association& _v)
{
    read_association_start(_r, _v);
    _r.optional(_v.removed_at, "removed_at", &r::time);
    _r.optional(_v.removed_area_uid, "removed_area_uid", &r::text);
    _r.optional(_v.removed_x, "removed_x", &r::s32);
    _r.optional(_v.removed_y, "removed_y", &r::s32);
    _r.optional(_v.project_uid, "project_uid", &r::text);
}

void read_key(const r& _r, vehicle_driver_association_open& _v) { _v.id = _r.s32("id"); }
void read_fields(const r& _r, vehicle_driver_association_open& _v)
{
    read_association_start(_r, _v);
    _r.optional(_v.project_uid, "project_uid", &r::text);
}

void read_key(const r& _r, heartbeat& _h) { _h.id = _r.u64("id"); }
void read_fields(const r& _r, heartbeat& _h)
{
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
void read_fields(const r& _r, node_parameter& _n)
{
    _r.optional(_n.mac_address, "mac_address", &r::text);
    _r.optional(_n.obj_uid, "obj_uid", &r::text);
    _r.optional(_n.param_name, "param_name", &r::text);
    _r.optional(_n.param_value, "param_value", &r::text);
    _r.optional(_n.ts, "ts", &r::time);
}

// The logged time of the first and of the last record, empty for an empty batch.
template <class Record, class Time>
std::pair<boost::optional<const Time&>, boost::optional<const Time&>> first_and_last(
    const std::vector<Record>& _records, Time Record::*_logged_time)
{
    if (_records.empty())
        return {};
    return {boost::optional<const Time&>(_records.front().*_logged_time),
            boost::optional<const Time&>(_records.back().*_logged_time)};
}

// The "table: message" of the first row of an OPTIMIZE answer that reports an error, if any.
boost::optional<std::string> error_row(mariadb::result_set& _answer)
{
    while (_answer.next()) {
        // The server's letter case of the type is not part of its meaning.
        if (boost::iequals(_answer.get_string("Msg_type"), "error"))
            return _answer.get_string("Table") + ": " + _answer.get_string("Msg_text");
    }
    return boost::none;
}

} // namespace

database_impl::database_impl(const std::string& _host_name, const std::string& _user_name,
                             const std::string& _password, const std::string& _schema, unsigned int _port,
                             const libs::core::events_loop::signals_handle& _signals,
                             const libs::core::logger& _logger, unsigned int _timeout_seconds,
                             cancellation* _cancellation)
    : qvd_mariadb(_host_name, _user_name, _password, _schema, _port, _signals, _logger, "runtime database",
                  _timeout_seconds, _cancellation)
{
}

database_impl::~database_impl() = default;

template <class Record, class Time>
std::vector<Record> database_impl::load(const kind_read<Record, Time>& _read,
                                        libs::core::source_location _source_location,
                                        boost::optional<unsigned int> _limit) const
{
    const auto trace = get_logger().enter_function_short(_source_location, "");
    get_logger().debug(_read.loading_text);
    // Reserved before the query, so that the batch's records lie below the result set in the heap
    // and are reused by the next batch instead of being given back to the kernel when the batch
    // ends; a limit beyond that bound, or none, reserves the rest once the rows have come.
    std::vector<Record> result;
    result.reserve(_limit ? std::min<std::size_t>(*_limit, records_reserved_before_query)
                          : records_reserved_before_query);
    const std::string statement =
        _limit ? _read.statement + (_read.before_limit + std::to_string(*_limit)) : std::string(_read.statement);
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
        return std::string(" (table ") + _read.table + ", " + row +
               (column != nullptr ? std::string(", column ") + column : std::string()) + ")";
    };
    run(
        [&](mariadb::connection& _connection) {
            const mariadb::result_set_ref rows = _connection.query(statement);
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
    const auto times = first_and_last(result, _read.logged_time);
    get_logger().debug(_read.done_text) % result.size() % times.first % times.second;
    return result;
}

template <class Record, class Time, class Ids>
unsigned long long database_impl::remove(libs::core::source_location _source_location, const char* _deleting_text,
                                         const std::vector<Record>& _batch, Time Record::*_logged_time,
                                         const char* _prefix, Ids _ids) const
{
    const auto trace = get_logger().enter_function_short(_source_location, "");
    const auto times = first_and_last(_batch, _logged_time);
    get_logger().debug(_deleting_text) % _batch.size() % times.first % times.second;
    comma_separated_list_builder list;
    for (const Record& record : _batch)
        _ids(list, record);
    const unsigned long long count = execute(_prefix + list.get() + ")", _source_location);
    get_logger().debug("result: %1%") % count;
    return count;
}

unsigned long long database_impl::maintain(libs::core::source_location _source_location, const char* _text,
                                           const std::string& _statement) const
{
    const auto trace = get_logger().enter_function_short(_source_location, "");
    get_logger().debug(_text);
    const unsigned long long count = execute(_statement, _source_location);
    get_logger().debug("result: %1%") % count;
    return count;
}

std::vector<position> database_impl::get_positions(unsigned int _limit) const
{
    return load(positions_read, QVD_SOURCE_LOCATION, _limit);
}

std::vector<zone_event> database_impl::get_zone_events(unsigned int _limit) const
{
    return load(zone_events_read, QVD_SOURCE_LOCATION, _limit);
}

std::vector<zone_event_open> database_impl::get_zone_events_open() const
{
    return load(zone_events_open_read, QVD_SOURCE_LOCATION, boost::none);
}

std::vector<external_event> database_impl::get_external_events(unsigned int _limit) const
{
    return load(external_events_read, QVD_SOURCE_LOCATION, _limit);
}

std::vector<activity> database_impl::get_activities(unsigned int _limit) const
{
    return load(activities_read, QVD_SOURCE_LOCATION, _limit);
}

std::vector<vehicle_driver_association> database_impl::get_vehicle_driver_associations(unsigned int _limit) const
{
    return load(vehicle_driver_associations_read, QVD_SOURCE_LOCATION, _limit);
}

std::vector<vehicle_driver_association_open> database_impl::get_vehicle_driver_associations_open() const
{
    return load(vehicle_driver_associations_open_read, QVD_SOURCE_LOCATION, boost::none);
}

std::vector<heartbeat> database_impl::get_heartbeats(unsigned int _limit) const
{
    return load(heartbeats_read, QVD_SOURCE_LOCATION, _limit);
}

node_parameters_vector database_impl::get_node_parameters(unsigned int _limit) const
{
    return load(node_parameters_read, QVD_SOURCE_LOCATION, _limit);
}

namespace {

// The id list of most kinds: the record's id.
const auto by_id = [](database_impl::comma_separated_list_builder& _list, const auto& _record) {
    _list.add(_record.id);
};

} // namespace

unsigned long long database_impl::delete_positions(const std::vector<position>& _positions) const
{
    return remove(QVD_SOURCE_LOCATION, "deleting %1% rows from position_histories. First ts = %2%, last ts = %3%",
                  _positions, &position::ts, "DELETE FROM position_histories WHERE id IN (", by_id);
}

unsigned long long database_impl::delete_external_events(const std::vector<external_event>& _external_events) const
{
    return remove(QVD_SOURCE_LOCATION, "deleting %1% rows from external_events. First ts = %2%, last ts = %3%",
                  _external_events, &external_event::ts, "DELETE FROM external_events WHERE id IN (", by_id);
}

unsigned long long database_impl::delete_activities(const std::vector<activity>& _activities) const
{
    return remove(QVD_SOURCE_LOCATION, "deleting %1% rows from activities. First ts = %2%, last ts = %3%",
                  _activities, &activity::created_at, "DELETE FROM activities WHERE id IN (", by_id);
}

unsigned long long database_impl::delete_zone_events(const std::vector<zone_event>& _zone_events) const
{
    // A stay is two rows: its enter row and its leave row.
    return remove(QVD_SOURCE_LOCATION,
                  "deleting %1% rows from zone_event_history. First enter_time = %2%, last = %3%", _zone_events,
                  &zone_event::enter_time, "DELETE FROM zone_event_history WHERE id IN (",
                  [](comma_separated_list_builder& _list, const zone_event& _event) {
                      _list.add(_event.id_enter);
                      _list.add(_event.id_leave);
                  });
}

unsigned long long database_impl::delete_vehicle_driver_associations(
    const std::vector<vehicle_driver_association>& _vehicle_driver_associations) const
{
    return remove(QVD_SOURCE_LOCATION,
                  "deleting %1% closed Vdas from vehicle_driver_associations. First ts = %2%, last = %3%",
                  _vehicle_driver_associations, &vehicle_driver_association::created_at,
                  "DELETE FROM vehicle_driver_associations WHERE id IN (", by_id);
}

unsigned long long database_impl::delete_heartbeats(const std::vector<heartbeat>& _heartbeats) const
{
    return remove(QVD_SOURCE_LOCATION, "deleting %1% rows from table heartbeats. First ts = %2%, last ts = %3%",
                  _heartbeats, &heartbeat::ts, "DELETE FROM heartbeats WHERE id IN (", by_id);
}

unsigned long long database_impl::delete_node_parameters(const node_parameters_vector& _node_parameters) const
{
    return remove(QVD_SOURCE_LOCATION,
                  "deleting %1% rows from table node_parameters_staging. First ts = %2%, last = %3% ",
                  _node_parameters, &node_parameter::ts, "DELETE FROM node_parameters_staging WHERE id IN (", by_id);
}

unsigned long long database_impl::drop_positions_indexes() const
{
    return maintain(QVD_SOURCE_LOCATION, "dropping indexes in table position_histories",
                    "ALTER TABLE position_histories"
                    "    DROP INDEX IF EXISTS sublocation_uid_index_position_histories,"
                    "    DROP INDEX IF EXISTS obj_uid_index_position_histories,"
                    "    DROP INDEX IF EXISTS ts_index_position_histories,"
                    "    DROP INDEX IF EXISTS to_type_id_index_position_histories");
}

unsigned long long database_impl::drop_zone_events_indexes() const
{
    return maintain(QVD_SOURCE_LOCATION, "dropping indexes in table zone_event_history",
                    "ALTER TABLE zone_event_history    DROP INDEX IF EXISTS events_created_at");
}

unsigned long long database_impl::delete_position_histories_hot(unsigned int _interval_min) const
{
    std::stringstream statement;
    statement << "DELETE FROM position_histories_hot WHERE ts < (NOW() - INTERVAL " << _interval_min << " MINUTE)";
    return maintain(QVD_SOURCE_LOCATION, "deleting data from table position_histories_hot", statement.str());
}

void database_impl::optimize_tables()
{
    static const std::vector<std::string> tables{"external_events",  "zone_event_history",
                                                 "position_histories", "activities",
                                                 "heartbeats",       "vehicle_driver_associations",
                                                 "nodes_obj_associations", "node_parameters_staging"};
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
