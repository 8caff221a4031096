#pragma once

#include "transfer/activities_processor.hpp"
#include "transfer/external_events_processor.hpp"
#include "transfer/heartbeats_processor.hpp"
#include "transfer/node_parameters_processor.hpp"
#include "transfer/positions_processor.hpp"
#include "transfer/vehicle_driver_associations_processor.hpp"
#include "transfer/zone_events_processor.hpp"

#include "runtime/database.hpp"
#include "store/store.hpp"

#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/periodic_timer.hpp>

#include <string>

namespace qvd {

// Drives the transfer: one cycle at start-up, then one per timer period.
class store_updater {
public:
    store_updater(libs::core::events_loop& _events_loop, runtime::database& _runtime_db, store::column_store& _store,
                  unsigned int _timer, const unsigned int _maximum_piece, const unsigned int _activities_maximum_piece,
                  const std::string& _persistent_data_dir, libs::core::logger& _logger,
                  libs::core::events_loop::signals_handle& _signals);

    // Runs the first cycle, then starts the periodic timer "processing".
    void initialize();

private:
    // One transfer cycle, retried every 5 seconds until it succeeds or a signal arrived.
    void processing();

    // One attempt of a cycle: every kind and every pending maintenance step is tried, each on
    // its own. Returns whether all succeeded; throws when the column store's structure is wrong.
    bool processing_attempt();

    // Runs one part of an attempt; its failure is logged naming the part and stops no other.
    template <typename Part>
    bool isolated(const char* _name, Part&& _part);

    // The drain loop of one kind each.
    void processing_external_events();
    void processing_zone_events();
    void processing_activities();
    void processing_vehicle_driver_associations();
    void processing_heartbeats();
    void processing_node_parameters();
    void processing_position_histories();

    // Calls one processor while it wants more and no termination signal has arrived.
    template <typename Processor>
    void drain(Processor& _processor);

    libs::core::events_loop& m_events_loop;
    runtime::database& m_runtime_db;
    store::column_store& m_store;
    unsigned int m_timer;
    const unsigned int m_max_piece_size;
    const unsigned int m_activities_max_piece_size;
    libs::core::logger& m_logger;
    libs::core::events_loop::signals_handle& m_signals;
    bool m_indexes_to_drop = true;
    bool m_tables_to_optimize = true;
    libs::core::periodic_timer::ptr m_position_processing_timer;
    positions_processor m_positions_processor;
    external_events_processor m_external_events_processor;
    zone_events_processor m_zone_events_processor;
    activities_processor m_activities_processor;
    vehicle_driver_associations_processor m_vehicle_driver_associations_processor;
    heartbeats_processor m_heartbeats_processor;
    node_parameters_processor m_node_parameters_processor;
};

} // namespace qvd
