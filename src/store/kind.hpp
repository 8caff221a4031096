#pragma once

#include "store/store.hpp"

namespace qvd::store {

// The column-store side of one record kind, in one place: the table it goes to, the operation of
// column_store that inserts a batch of it, how one record becomes a row of that table (the same
// description writes the INSERT, the probe and the key by which a recovery tells records apart),
// the time a probe logs, the table its rows move on to, which a probe asks when the row is not in
// the first (nullptr: none), and the name of its journal file in the persistent-data directory.
// The open kinds are mirrored, never journalled nor probed, so they have no presence time, next
// table or journal. The runtime side of a kind is runtime::kind.
template <class Record>
struct kind;

template <>
struct kind<position> {
    static constexpr const store::table& table = column_store::positions_raw;
    static constexpr auto insert = &column_store::insert_positions_raw;
    static constexpr auto presence_time = &position::ts;
    static constexpr const char* next_table = nullptr;
    static constexpr const char* journal_file = "positions_raw.bin";

    template <class Values>
    static void describe_row(Values& _values, const position& _position) {
        _values.keyword_default()
            .value(_position.trackable_id)
            .value(_position.trackable_uid)
            .value(_position.mac_address)
            .value(_position.ts)
            .value(_position.fom)
            .value(_position.sfsn)
            .value(_position.slvr_mode)
            .value(_position.edge_corr)
            .value(_position.pe_dims)
            .value(_position.type)
            .value(_position.x)
            .value(_position.y)
            .value(_position.z)
            .value(_position.area_uid)
            .value(_position.project_uid)
            .value(_position.inactive)
            .value(_position.to_type_id);
    }
};

template <>
struct kind<external_event> {
    static constexpr const store::table& table = column_store::external_events;
    static constexpr auto insert = &column_store::insert_external_events;
    static constexpr auto presence_time = &external_event::ts;
    static constexpr const char* next_table = nullptr;
    static constexpr const char* journal_file = "external_events.bin";

    template <class Values>
    static void describe_row(Values& _values, const external_event& _event) {
        _values.value(_event.object_uid)
            .value(_event.object_name)
            .value(_event.mac_address)
            .value(_event.event_info)
            .value(_event.event_type)
            .value(_event.ts)
            .value(_event.area_uid)
            .value(_event.area_name)
            .value(_event.project_uid)
            .value(_event.project_name)
            .value(_event.x)
            .value(_event.y)
            .value(_event.z)
            .value(_event.created_at);
    }
};

template <>
struct kind<zone_event> {
    static constexpr const store::table& table = column_store::zone_events;
    static constexpr auto insert = &column_store::insert_zone_events;
    static constexpr auto presence_time = &zone_event::enter_time;
    static constexpr const char* next_table = nullptr;
    static constexpr const char* journal_file = "zone_events.bin";

    template <class Values>
    static void describe_row(Values& _values, const zone_event& _event) {
        _values.value(_event.trackable_uid)
            .value_or_blank(_event.trackable_name)
            .value(_event.area_uid)
            .value(_event.area_name)
            .value(_event.enter_time)
            .value(_event.leave_time)
            .value(_event.duration)
            .value(_event.zone_uid)
            .value(_event.zone_name)
            .value(_event.project_uid)
            .value(_event.project_name)
            .value(_event.x_leave)
            .value(_event.y_leave)
            .value(_event.z_leave)
            .value(_event.x_enter)
            .value(_event.y_enter)
            .value(_event.z_enter)
            .value(_event.zone_type_name);
    }
};

template <>
struct kind<zone_event_open> {
    static constexpr const store::table& table = column_store::zone_events_open;
    static constexpr auto insert = &column_store::insert_zone_events_open;

    template <class Values>
    static void describe_row(Values& _values, const zone_event_open& _event) {
        _values.value(_event.trackable_uid)
            .value_or_blank(_event.trackable_name)
            .value(_event.area_uid)
            .value(_event.area_name)
            .value(_event.enter_time)
            .value(_event.zone_uid)
            .value(_event.zone_name)
            .value(_event.project_uid)
            .value(_event.project_name)
            .value(_event.x_enter)
            .value(_event.y_enter)
            .value(_event.z_enter)
            .value(_event.zone_type_name);
    }
};

template <>
struct kind<activity> {
    static constexpr const store::table& table = column_store::sys_journal_staging;
    static constexpr auto insert = &column_store::insert_sys_journal_staging;
    static constexpr auto presence_time = &activity::created_at;
    // A staged activity may already have been moved on into the journal itself, which is asked
    // with the staging table's columns.
    static constexpr const char* next_table = "sys_journal";
    static constexpr const char* journal_file = "activities.bin";

    template <class Values>
    static void describe_row(Values& _values, const activity& _activity) {
        // The table has project_name before company_name.
        _values.value(_activity.id)
            .value(_activity.created_at)
            .value(_activity.created_by)
            .value(_activity.action)
            .value(_activity.object)
            .value(_activity.plist)
            .value(_activity.project_uid)
            .value(_activity.company_uid)
            .value(_activity.on_behalf)
            .value(_activity.ip)
            .value(_activity.project_name)
            .value(_activity.company_name)
            .value(_activity.project_user_params);
    }
};

template <>
struct kind<vehicle_driver_association> {
    static constexpr const store::table& table = column_store::vehicle_driver_associations;
    static constexpr auto insert = &column_store::insert_vehicle_driver_associations;
    static constexpr auto presence_time = &vehicle_driver_association::created_at;
    static constexpr const char* next_table = nullptr;
    static constexpr const char* journal_file = "vehicle_driver_associations.bin";

    template <class Values>
    static void describe_row(Values& _values, const vehicle_driver_association& _association) {
        _values.value(_association.id)
            .value(_association.event_id)
            .value(_association.vehicle_uid)
            .value(_association.vehicle_mac)
            .value(_association.vehicle_name)
            .value(_association.driver_uid)
            .value(_association.driver_mac)
            .value(_association.driver_name)
            .value(_association.created_at)
            .value(_association.created_area_uid)
            .value(_association.created_x)
            .value(_association.created_y)
            .value(_association.removed_at)
            .value(_association.removed_area_uid)
            .value(_association.removed_x)
            .value(_association.removed_y)
            .value(_association.project_uid);
    }
};

template <>
struct kind<vehicle_driver_association_open> {
    static constexpr const store::table& table = column_store::vehicle_driver_associations_open;
    static constexpr auto insert = &column_store::insert_vehicle_driver_associations_open;

    template <class Values>
    static void describe_row(Values& _values, const vehicle_driver_association_open& _association) {
        _values.value(_association.id)
            .value(_association.event_id)
            .value(_association.vehicle_uid)
            .value(_association.vehicle_mac)
            .value(_association.vehicle_name)
            .value(_association.driver_uid)
            .value(_association.driver_mac)
            .value(_association.driver_name)
            .value(_association.created_at)
            .value(_association.created_area_uid)
            .value(_association.created_x)
            .value(_association.created_y)
            .value(_association.project_uid);
    }
};

template <>
struct kind<heartbeat> {
    static constexpr const store::table& table = column_store::heartbeats;
    static constexpr auto insert = &column_store::insert_heartbeats;
    static constexpr auto presence_time = &heartbeat::ts;
    static constexpr const char* next_table = nullptr;
    static constexpr const char* journal_file = "heartbeats.bin";

    template <class Values>
    static void describe_row(Values& _values, const heartbeat& _heartbeat) {
        _values.value(_heartbeat.id)
            .value(_heartbeat.ts)
            .value(_heartbeat.message_type)
            .value(_heartbeat.mac_address)
            .value(_heartbeat.trackable_uid)
            .value(_heartbeat.area_uid)
            .value(_heartbeat.company_uid)
            .value(_heartbeat.project_uid)
            .value(_heartbeat.x)
            .value(_heartbeat.y)
            .value(_heartbeat.z)
            .value(_heartbeat.flags_raw)
            .value(_heartbeat.parent_mac_address)
            .value(_heartbeat.bridge_mac_address)
            .value(_heartbeat.reporting_frequency)
            .value(_heartbeat.ranging_frequency)
            .value(_heartbeat.category)
            .value(_heartbeat.sw_version);
    }
};

template <>
struct kind<node_parameter> {
    static constexpr const store::table& table = column_store::node_parameters;
    static constexpr auto insert = &column_store::insert_node_parameters;
    static constexpr auto presence_time = &node_parameter::ts;
    static constexpr const char* next_table = nullptr;
    static constexpr const char* journal_file = "node_parameters.bin";

    template <class Values>
    static void describe_row(Values& _values, const node_parameter& _node_parameter) {
        _values.value(_node_parameter.mac_address)
            .value(_node_parameter.obj_uid)
            .value(_node_parameter.param_name)
            .value(_node_parameter.param_value)
            .value(_node_parameter.ts);
    }
};

} // namespace qvd::store
