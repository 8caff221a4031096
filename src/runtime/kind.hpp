#pragma once

#include "runtime/database.hpp"

namespace qvd::runtime {

// The runtime side of each record kind, in one place: the operations of runtime::database that
// read a batch of it and delete one (the transfer calls them through here), the table a failed
// read names, the time the debug lines show for the first and the last record, the debug texts
// and the statements, exactly as the runtime database has always been asked: every blank counts,
// those at the ends of lines included. A limited read appends before_limit and the limit to its
// statement; a deletion appends the ids delete_ids writes, separated by ", ", and ")". The open
// kinds are read whole and never deleted, so they have no limit, deletion or deleting text. A
// recovery's check reads the rows of a batch's keys with the read's own statement, cut where its
// last read_filter begins and followed by by_key_condition and the keys, so that it takes the very
// columns and joins of a read. The columns a read takes are in database_impl.cpp; the column-store
// side of a kind is store::kind.
template <class Record>
struct kind;

// The done line of every read but that of the open zone events.
inline constexpr const char* done_text_of_most_reads = "done, size = %1%, first ts = %2%, last ts = %3%";

template <>
struct kind<position> {
    static constexpr auto read = &database::get_positions;
    static constexpr auto remove = &database::delete_positions;
    static constexpr const char* table = "position_histories";
    static constexpr auto logged_time = &position::ts;
    static constexpr const char* loading_text = "loading data from table position_histories";
    static constexpr const char* read_statement =
        "SELECT id, trackable_id, obj_uid, mac_address, ts, x, y, z, sublocation_uid, fom, sfsn, slvr_mode, "
        "edge_corr, pe_dims, type, project_uid, inactive, to_type_id FROM position_histories WHERE "
        "trackable_id is not NULL LIMIT ";
    static constexpr const char* before_limit = "";
    static constexpr const char* done_text = done_text_of_most_reads;
    static constexpr const char* deleting_text =
        "deleting %1% rows from position_histories. First ts = %2%, last ts = %3%";
    static constexpr const char* delete_statement = "DELETE FROM position_histories WHERE id IN (";

    template <class Ids>
    static void delete_ids(Ids& _ids, const position& _position) {
        _ids.add(_position.id);
    }

    // A recovery's check: the rows of the batch's keys, whatever their trackable_id.
    static long long key(const position& _position) { return _position.id; }
    static constexpr const char* read_filter = "WHERE trackable_id";
    static constexpr const char* by_key_condition = "WHERE id IN (";

    // Every field is the row's own.
    template <class Compare>
    static void compare(Compare& _c, const position& _journal, const position& _row) {
        _c.same("trackable_id", _journal.trackable_id, _row.trackable_id);
        _c.same("obj_uid", _journal.trackable_uid, _row.trackable_uid);
        _c.same("mac_address", _journal.mac_address, _row.mac_address);
        _c.same("ts", _journal.ts, _row.ts);
        _c.same("x", _journal.x, _row.x);
        _c.same("y", _journal.y, _row.y);
        _c.same("z", _journal.z, _row.z);
        _c.same("sublocation_uid", _journal.area_uid, _row.area_uid);
        _c.same("fom", _journal.fom, _row.fom);
        _c.same("sfsn", _journal.sfsn, _row.sfsn);
        _c.same("slvr_mode", _journal.slvr_mode, _row.slvr_mode);
        _c.same("edge_corr", _journal.edge_corr, _row.edge_corr);
        _c.same("pe_dims", _journal.pe_dims, _row.pe_dims);
        _c.same("type", _journal.type, _row.type);
        _c.same("project_uid", _journal.project_uid, _row.project_uid);
        _c.same("inactive", _journal.inactive, _row.inactive);
        _c.same("to_type_id", _journal.to_type_id, _row.to_type_id);
    }
};

template <>
struct kind<external_event> {
    static constexpr auto read = &database::get_external_events;
    static constexpr auto remove = &database::delete_external_events;
    static constexpr const char* table = "external_events";
    static constexpr auto logged_time = &external_event::ts;
    static constexpr const char* loading_text = "loading data from table external_events";
    static constexpr const char* read_statement =
        "SELECT ee.id, ee.object_uid, ee.object_name, ee.mac_address, ee.event_info, ee.event_type, ee.ts, "
        "ee.area_uid, sl.name as area_name, ee.project_uid, tags.name as project_name, ee.x, ee.y, ee.z, "
        "ee.created_at FROM external_events ee LEFT JOIN tags ON ee.project_uid = tags.uid LEFT JOIN "
        "sublocations sl ON ee.area_uid = sl.uid LIMIT ";
    static constexpr const char* before_limit = "";
    static constexpr const char* done_text = done_text_of_most_reads;
    static constexpr const char* deleting_text =
        "deleting %1% rows from external_events. First ts = %2%, last ts = %3%";
    static constexpr const char* delete_statement = "DELETE FROM external_events WHERE id IN (";

    template <class Ids>
    static void delete_ids(Ids& _ids, const external_event& _event) {
        _ids.add(_event.id);
    }

    static int key(const external_event& _event) { return _event.id; }
    static constexpr const char* read_filter = "LIMIT ";
    static constexpr const char* by_key_condition = "WHERE ee.id IN (";

    // The area's and the project's names are other tables' rows, renamed at any time.
    template <class Compare>
    static void compare(Compare& _c, const external_event& _journal, const external_event& _row) {
        _c.same("object_uid", _journal.object_uid, _row.object_uid);
        _c.same("mac_address", _journal.mac_address, _row.mac_address);
        _c.same("event_info", _journal.event_info, _row.event_info);
        _c.same("event_type", _journal.event_type, _row.event_type);
        _c.same("ts", _journal.ts, _row.ts);
        _c.same("area_uid", _journal.area_uid, _row.area_uid);
        _c.same("project_uid", _journal.project_uid, _row.project_uid);
        _c.same("x", _journal.x, _row.x);
        _c.same("y", _journal.y, _row.y);
        _c.same("z", _journal.z, _row.z);
        _c.same("object_name", _journal.object_name, _row.object_name);
        _c.same("created_at", _journal.created_at, _row.created_at);
    }
};

template <>
struct kind<zone_event> {
    static constexpr auto read = &database::get_zone_events;
    static constexpr auto remove = &database::delete_zone_events;
    static constexpr const char* table = "zone_event_history";
    static constexpr auto logged_time = &zone_event::enter_time;
    static constexpr const char* loading_text = "loading closed zone events from table zone_event_history";
    static constexpr const char* read_statement =
        "SELECT ze1.id AS id_enter,ze2.id AS id_leave,ze2.obj_uid AS trackable_uid, tko.name AS "
        "trackable_name, ze2.sublocation_uid AS area_uid, sl.name AS area_name, ze1.created_at AS "
        "enter_time, ze2.created_at AS leave_time, ze2.duration, ze2.zone_uid, zn.name as zone_name, "
        "ze2.zone_type_name, ze2.project_uid, tags.name as project_name, ze1.x AS enter_x, ze1.y AS enter_y, "
        "ze1.z AS enter_z, ze2.x AS leave_x, ze2.y AS leave_y, ze2.z AS leave_z FROM zone_event_history ze2 "
        "JOIN zone_event_history ze1 ON ze1.uid = ze2.related_event LEFT JOIN tags on ze1.project_uid = "
        "tags.uid LEFT JOIN sublocations sl on ze1.sublocation_uid = sl.uid LEFT JOIN zones zn on "
        "ze1.zone_uid = zn.uid LEFT JOIN trackable_objects tko on ze1.obj_uid = tko.uid WHERE "
        "ze2.related_event IS NOT NULL AND ze2.`action` = 'leave' LIMIT ";
    static constexpr const char* before_limit = "";
    static constexpr const char* done_text = done_text_of_most_reads;
    static constexpr const char* deleting_text =
        "deleting %1% rows from zone_event_history. First enter_time = %2%, last = %3%";
    static constexpr const char* delete_statement = "DELETE FROM zone_event_history WHERE id IN (";

    template <class Ids>
    static void delete_ids(Ids& _ids, const zone_event& _event) {
        // A stay is two rows: its enter row and its leave row.
        _ids.add(_event.id_enter);
        _ids.add(_event.id_leave);
    }

    // Keyed by the leave row, which names its enter row.
    static int key(const zone_event& _event) { return _event.id_leave; }
    static constexpr const char* read_filter = "LIMIT ";
    static constexpr const char* by_key_condition = "AND ze2.id IN (";

    // The names of the object, area, zone and project are other tables' rows.
    template <class Compare>
    static void compare(Compare& _c, const zone_event& _journal, const zone_event& _row) {
        _c.same("enter row id", _journal.id_enter, _row.id_enter);
        _c.same("enter created_at", _journal.enter_time, _row.enter_time);
        _c.same("enter x", _journal.x_enter, _row.x_enter);
        _c.same("enter y", _journal.y_enter, _row.y_enter);
        _c.same("enter z", _journal.z_enter, _row.z_enter);
        _c.same("created_at", _journal.leave_time, _row.leave_time);
        _c.same("x", _journal.x_leave, _row.x_leave);
        _c.same("y", _journal.y_leave, _row.y_leave);
        _c.same("z", _journal.z_leave, _row.z_leave);
        _c.same("duration", _journal.duration, _row.duration);
        _c.same("obj_uid", _journal.trackable_uid, _row.trackable_uid);
        _c.same("sublocation_uid", _journal.area_uid, _row.area_uid);
        _c.same("zone_uid", _journal.zone_uid, _row.zone_uid);
        _c.same("zone_type_name", _journal.zone_type_name, _row.zone_type_name);
        _c.same("project_uid", _journal.project_uid, _row.project_uid);
    }
};

template <>
struct kind<zone_event_open> {
    static constexpr auto read = &database::get_zone_events_open;
    static constexpr const char* table = "zone_event_history";
    static constexpr auto logged_time = &zone_event_open::enter_time;
    static constexpr const char* loading_text = "loading open zoen events from table zone_event_history";
    static constexpr const char* read_statement =
        "SELECT   ze.id,   ze.obj_uid AS trackable_uid,   tko.name AS trackable_name,   ze.sublocation_uid "
        "AS area_uid,   sl.name AS area_name,   ze.created_at AS enter_time,   ze.zone_uid,   zn.name as "
        "zone_name,   ze.zone_type_name,   ze.project_uid,   tags.name as project_name,   ze.x AS enter_x,   "
        "ze.y AS enter_y,   ze.z AS enter_z FROM zone_event_history ze LEFT JOIN tags on ze.project_uid = "
        "tags.uid LEFT JOIN sublocations sl on ze.sublocation_uid = sl.uid LEFT JOIN zones zn on ze.zone_uid "
        "= zn.uid LEFT JOIN trackable_objects tko on ze.obj_uid = tko.uid WHERE ze.related_event IS NULL AND "
        "ze.`action` = 'enter' ";
    static constexpr const char* before_limit = nullptr;
    static constexpr const char* done_text = "done, size = %1%, first enter_time = %2%, last = %3%";
};

template <>
struct kind<activity> {
    static constexpr auto read = &database::get_activities;
    static constexpr auto remove = &database::delete_activities;
    static constexpr const char* table = "activities";
    static constexpr auto logged_time = &activity::created_at;
    static constexpr const char* loading_text = "loading data from table activities";
    static constexpr const char* read_statement = R"(
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
    static constexpr const char* before_limit = " ";
    static constexpr const char* done_text = done_text_of_most_reads;
    static constexpr const char* deleting_text = "deleting %1% rows from activities. First ts = %2%, last ts = %3%";
    static constexpr const char* delete_statement = "DELETE FROM activities WHERE id IN (";

    template <class Ids>
    static void delete_ids(Ids& _ids, const activity& _activity) {
        _ids.add(_activity.id);
    }

    static unsigned long long key(const activity& _activity) { return _activity.id; }
    static constexpr const char* read_filter = "LIMIT";
    static constexpr const char* by_key_condition = "WHERE a.id IN (";

    // The company's and the project's names and the project's parameters are other tables' rows.
    template <class Compare>
    static void compare(Compare& _c, const activity& _journal, const activity& _row) {
        _c.same("created_at", _journal.created_at, _row.created_at);
        _c.same("created_by", _journal.created_by, _row.created_by);
        _c.same("action", _journal.action, _row.action);
        _c.same("object", _journal.object, _row.object);
        _c.same("plist", _journal.plist, _row.plist);
        _c.same("project_uid", _journal.project_uid, _row.project_uid);
        _c.same("company_uid", _journal.company_uid, _row.company_uid);
        _c.same("on_behalf", _journal.on_behalf, _row.on_behalf);
        _c.same("ip", _journal.ip, _row.ip);
    }
};

template <>
struct kind<vehicle_driver_association> {
    static constexpr auto read = &database::get_vehicle_driver_associations;
    static constexpr auto remove = &database::delete_vehicle_driver_associations;
    static constexpr const char* table = "vehicle_driver_associations";
    static constexpr auto logged_time = &vehicle_driver_association::created_at;
    static constexpr const char* loading_text = "loading closed VDAs from table vehicle_driver_associations";
    static constexpr const char* read_statement = R"(
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
    static constexpr const char* before_limit = " ";
    static constexpr const char* done_text = done_text_of_most_reads;
    static constexpr const char* deleting_text =
        "deleting %1% closed Vdas from vehicle_driver_associations. First ts = %2%, last = %3%";
    static constexpr const char* delete_statement = "DELETE FROM vehicle_driver_associations WHERE id IN (";

    template <class Ids>
    static void delete_ids(Ids& _ids, const vehicle_driver_association& _association) {
        _ids.add(_association.id);
    }

    static int key(const vehicle_driver_association& _association) { return _association.id; }
    static constexpr const char* read_filter = "WHERE vda.removed_at";
    static constexpr const char* by_key_condition = "WHERE vda.id IN (";

    // The vehicle's and the driver's names are other tables' rows.
    template <class Compare>
    static void compare(Compare& _c, const vehicle_driver_association& _journal,
                        const vehicle_driver_association& _row) {
        _c.same("event_id", _journal.event_id, _row.event_id);
        _c.same("vehicle_uid", _journal.vehicle_uid, _row.vehicle_uid);
        _c.same("vehicle_mac", _journal.vehicle_mac, _row.vehicle_mac);
        _c.same("driver_uid", _journal.driver_uid, _row.driver_uid);
        _c.same("driver_mac", _journal.driver_mac, _row.driver_mac);
        _c.same("created_at", _journal.created_at, _row.created_at);
        _c.same("created_sublocation_uid", _journal.created_area_uid, _row.created_area_uid);
        _c.same("created_x", _journal.created_x, _row.created_x);
        _c.same("created_y", _journal.created_y, _row.created_y);
        _c.same("removed_at", _journal.removed_at, _row.removed_at);
        _c.same("removed_sublocation_uid", _journal.removed_area_uid, _row.removed_area_uid);
        _c.same("removed_x", _journal.removed_x, _row.removed_x);
        _c.same("removed_y", _journal.removed_y, _row.removed_y);
        _c.same("project_uid", _journal.project_uid, _row.project_uid);
    }
};

template <>
struct kind<vehicle_driver_association_open> {
    static constexpr auto read = &database::get_vehicle_driver_associations_open;
    static constexpr const char* table = "vehicle_driver_associations";
    static constexpr auto logged_time = &vehicle_driver_association_open::created_at;
    static constexpr const char* loading_text = "loading open VDAs from vehicle_driver_associations";
    static constexpr const char* read_statement = R"(
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
    static constexpr const char* before_limit = nullptr;
    static constexpr const char* done_text = done_text_of_most_reads;
};

template <>
struct kind<heartbeat> {
    static constexpr auto read = &database::get_heartbeats;
    static constexpr auto remove = &database::delete_heartbeats;
    static constexpr const char* table = "heartbeats";
    static constexpr auto logged_time = &heartbeat::ts;
    static constexpr const char* loading_text = "loading heartbeats from table heartbeats";
    static constexpr const char* read_statement = R"(
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
    static constexpr const char* before_limit = " ";
    static constexpr const char* done_text = done_text_of_most_reads;
    static constexpr const char* deleting_text =
        "deleting %1% rows from table heartbeats. First ts = %2%, last ts = %3%";
    static constexpr const char* delete_statement = "DELETE FROM heartbeats WHERE id IN (";

    template <class Ids>
    static void delete_ids(Ids& _ids, const heartbeat& _heartbeat) {
        _ids.add(_heartbeat.id);
    }

    static unsigned long key(const heartbeat& _heartbeat) { return _heartbeat.id; }
    static constexpr const char* read_filter = "LIMIT";
    static constexpr const char* by_key_condition = "WHERE `id` IN (";

    // Every field is the row's own.
    template <class Compare>
    static void compare(Compare& _c, const heartbeat& _journal, const heartbeat& _row) {
        _c.same("ts", _journal.ts, _row.ts);
        _c.same("is_announce", _journal.message_type, _row.message_type);
        _c.same("mac_address", _journal.mac_address, _row.mac_address);
        _c.same("trackable_uid", _journal.trackable_uid, _row.trackable_uid);
        _c.same("area_uid", _journal.area_uid, _row.area_uid);
        _c.same("company_uid", _journal.company_uid, _row.company_uid);
        _c.same("project_uid", _journal.project_uid, _row.project_uid);
        _c.same("x", _journal.x, _row.x);
        _c.same("y", _journal.y, _row.y);
        _c.same("z", _journal.z, _row.z);
        _c.same("flags_raw", _journal.flags_raw, _row.flags_raw);
        _c.same("parent_mac_address", _journal.parent_mac_address, _row.parent_mac_address);
        _c.same("bridge_mac_address", _journal.bridge_mac_address, _row.bridge_mac_address);
        _c.same("reporting_frequency", _journal.reporting_frequency, _row.reporting_frequency);
        _c.same("ranging_frequency", _journal.ranging_frequency, _row.ranging_frequency);
        _c.same("category", _journal.category, _row.category);
        _c.same("sw_version", _journal.sw_version, _row.sw_version);
    }
};

template <>
struct kind<node_parameter> {
    static constexpr auto read = &database::get_node_parameters;
    static constexpr auto remove = &database::delete_node_parameters;
    static constexpr const char* table = "node_parameters_staging";
    static constexpr auto logged_time = &node_parameter::ts;
    static constexpr const char* loading_text = "loading data from table node_parameters_staging";
    static constexpr const char* read_statement = R"(
                SELECT *
                FROM node_parameters_staging
                LIMIT
            )";
    static constexpr const char* before_limit = " ";
    static constexpr const char* done_text = done_text_of_most_reads;
    static constexpr const char* deleting_text =
        "deleting %1% rows from table node_parameters_staging. First ts = %2%, last = %3% ";
    static constexpr const char* delete_statement = "DELETE FROM node_parameters_staging WHERE id IN (";

    template <class Ids>
    static void delete_ids(Ids& _ids, const node_parameter& _node_parameter) {
        _ids.add(_node_parameter.id);
    }

    static int key(const node_parameter& _node_parameter) { return _node_parameter.id; }
    static constexpr const char* read_filter = "LIMIT";
    static constexpr const char* by_key_condition = "WHERE id IN (";

    // A staging row is the latest value of one parameter of one node: its value and time may be
    // replaced in place after the read, while the node and the parameter stay.
    template <class Compare>
    static void compare(Compare& _c, const node_parameter& _journal, const node_parameter& _row) {
        _c.same("mac_address", _journal.mac_address, _row.mac_address);
        _c.same("obj_uid", _journal.obj_uid, _row.obj_uid);
        _c.same("param_name", _journal.param_name, _row.param_name);
        _c.may_change("param_value", _journal.param_value, _row.param_value);
        _c.may_change("ts", _journal.ts, _row.ts);
    }
};

} // namespace qvd::runtime
