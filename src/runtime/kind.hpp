#pragma once

#include "runtime/database.hpp"

namespace qvd::runtime {

// The runtime side of each record kind, in one place: the operations of runtime::database that
// read a batch of it and delete one (the transfer calls them through here), the table a failed
// read names, the time the debug lines show for the first and the last record, the debug texts
// and the statements, exactly as the runtime database has always been asked: every blank counts,
// those at the ends of lines included. A limited read appends before_limit and the limit to its
// statement; a deletion appends the ids delete_ids writes, separated by ", ", and ")". The open
// kinds are read whole and never deleted, so they have no limit, deletion or deleting text. The
// columns a read takes are in database_impl.cpp; the column-store side of a kind is store::kind.
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
};

} // namespace qvd::runtime
