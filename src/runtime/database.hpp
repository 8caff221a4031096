#pragma once

#include "records/activity.hpp"
#include "records/external_event.hpp"
#include "records/heartbeat.hpp"
#include "records/node_parameter.hpp"
#include "records/position.hpp"
#include "records/vehicle_driver_association.hpp"
#include "records/zone_event.hpp"

#include <memory>
#include <vector>

namespace qvd::runtime {

// The runtime database: bounded reads and deletions by id of the moved kinds, full reads of the
// open kinds, and maintenance.
class database {
public:
    using ptr = std::unique_ptr<database>;

    virtual ~database() = default;

    // Drops the four secondary indexes of position_histories that slow down its deletions.
    virtual unsigned long long drop_positions_indexes() const = 0;
    // At most _limit positions.
    virtual std::vector<position> get_positions(unsigned int _limit) const = 0;
    // Deletes the given positions by id; returns the rows deleted.
    virtual unsigned long long delete_positions(const std::vector<position>& _positions) const = 0;
    // At most _limit external events.
    virtual std::vector<external_event> get_external_events(unsigned int _limit) const = 0;
    // Deletes the given external events by id.
    virtual unsigned long long delete_external_events(const std::vector<external_event>& _external_events) const = 0;
    // At most _limit activities.
    virtual std::vector<activity> get_activities(unsigned int _limit) const = 0;
    // Deletes the given activities by id.
    virtual unsigned long long delete_activities(const std::vector<activity>& _activities) const = 0;
    // Drops the creation-time index of zone_event_history.
    virtual unsigned long long drop_zone_events_indexes() const = 0;
    // At most _limit closed zone events (a leave row joined with its enter row).
    virtual std::vector<zone_event> get_zone_events(unsigned int _limit) const = 0;
    // Every open zone event (an enter row nothing refers to yet).
    virtual std::vector<zone_event_open> get_zone_events_open() const = 0;
    // Deletes the enter and leave rows of the given zone events.
    virtual unsigned long long delete_zone_events(const std::vector<zone_event>& _zone_events) const = 0;
    // At most _limit closed vehicle-driver associations, oldest first.
    virtual std::vector<vehicle_driver_association> get_vehicle_driver_associations(unsigned int _limit) const = 0;
    // Every open vehicle-driver association, oldest first.
    virtual std::vector<vehicle_driver_association_open> get_vehicle_driver_associations_open() const = 0;
    // Deletes the given vehicle-driver associations by id.
    virtual unsigned long long delete_vehicle_driver_associations(
        const std::vector<vehicle_driver_association>& _vehicle_driver_associations) const = 0;
    // At most _limit heartbeats.
    virtual std::vector<heartbeat> get_heartbeats(unsigned int _limit) const = 0;
    // Deletes the given heartbeats by id.
    virtual unsigned long long delete_heartbeats(const std::vector<heartbeat>& _heartbeats) const = 0;
    // At most _limit node parameters.
    virtual node_parameters_vector get_node_parameters(unsigned int _limit) const = 0;
    // Deletes the given node parameters by id.
    virtual unsigned long long delete_node_parameters(const node_parameters_vector& _node_parameters) const = 0;
    // Optimises the runtime tables; the first failure ends it.
    virtual void optimize_tables() = 0;
    // Deletes hot positions older than _interval_min minutes by the server's clock.
    virtual unsigned long long delete_position_histories_hot(unsigned int _interval_min) const = 0;

    // The rows that deleting the batch would remove, read now as the kind's read reads them, in
    // no order: what a recovery checks its journal against before it inserts or deletes.
    virtual std::vector<position> rows_to_delete(const std::vector<position>& _positions) const = 0;
    virtual std::vector<external_event> rows_to_delete(const std::vector<external_event>& _external_events) const = 0;
    // The closed zone events whose leave row has an id of the batch's leave rows.
    virtual std::vector<zone_event> rows_to_delete(const std::vector<zone_event>& _zone_events) const = 0;
    virtual std::vector<activity> rows_to_delete(const std::vector<activity>& _activities) const = 0;
    // Whether or not their removal time has passed.
    virtual std::vector<vehicle_driver_association> rows_to_delete(
        const std::vector<vehicle_driver_association>& _vehicle_driver_associations) const = 0;
    virtual std::vector<heartbeat> rows_to_delete(const std::vector<heartbeat>& _heartbeats) const = 0;
    virtual node_parameters_vector rows_to_delete(const node_parameters_vector& _node_parameters) const = 0;
    // The ids of zone_event_history that deleting the zone events would remove, of the rows there.
    virtual std::vector<long long> zone_event_history_ids(const std::vector<zone_event>& _zone_events) const = 0;
};

} // namespace qvd::runtime
