#include "transfer/store_updater.hpp"

#include <core/exception.hpp>
#include <core/signal_pause.hpp>

#include <chrono>
#include <cstdint>
#include <utility>

namespace qvd {

store_updater::store_updater(libs::core::events_loop& _events_loop, runtime::database& _runtime_db,
                             store::column_store& _store, unsigned int _timer, const unsigned int _maximum_piece,
                             const unsigned int _activities_maximum_piece, const std::string& _persistent_data_dir,
                             libs::core::logger& _logger, libs::core::events_loop::signals_handle& _signals)
    : m_events_loop(_events_loop), m_runtime_db(_runtime_db), m_store(_store), m_timer(_timer),
      m_max_piece_size(_maximum_piece), m_activities_max_piece_size(_activities_maximum_piece), m_logger(_logger),
      m_signals(_signals), m_positions_processor(_runtime_db, _store, _maximum_piece, _persistent_data_dir),
      m_external_events_processor(_runtime_db, _store, _maximum_piece, _persistent_data_dir),
      m_zone_events_processor(_runtime_db, _store, _maximum_piece, _persistent_data_dir),
      m_activities_processor(_runtime_db, _store, _activities_maximum_piece, _persistent_data_dir),
      m_vehicle_driver_associations_processor(_runtime_db, _store, _maximum_piece, _persistent_data_dir),
      m_heartbeats_processor(_runtime_db, _store, _maximum_piece, _persistent_data_dir),
      m_node_parameters_processor(_runtime_db, _store, _maximum_piece, _persistent_data_dir) {
    // A zero period is no period: refuse it before any cycle runs.
    if (m_timer == 0)
        throw libs::core::exception("system.timer must be at least 1", QVD_SOURCE_LOCATION);
}

void store_updater::initialize() {
    processing();
    const std::chrono::nanoseconds period(static_cast<std::int64_t>(m_timer) * INT64_C(1000000000));
    m_position_processing_timer = m_events_loop.create_periodic_timer(
        period, "processing", [this](libs::core::timer::time_point) { processing(); }, libs::core::source_location());
}

void store_updater::processing() {
    for (;;) {
        bool succeeded = false;
        m_logger.execute([this, &succeeded] { succeeded = processing_attempt(); });
        if (succeeded)
            return;
        if (m_signals.signal_is_received())
            throw libs::core::exception("Interrupted", QVD_SOURCE_LOCATION);
        m_logger.warning("The transfer cycle failed; next attempt in 5 seconds");
        // A stop ends the pause at once, and no attempt starts after it.
        if (!libs::core::pause_unless_signalled(m_signals, std::chrono::seconds(5)))
            throw libs::core::exception("Interrupted", QVD_SOURCE_LOCATION);
    }
}

bool store_updater::processing_attempt() {
    // A wrong structure could misplace every kind's rows: nothing is moved until it is right.
    m_store.check_structure();
    bool succeeded = true;
    if (m_indexes_to_drop) {
        succeeded &= isolated("Dropping the runtime indexes", [this] {
            m_runtime_db.drop_positions_indexes();
            m_runtime_db.drop_zone_events_indexes();
            m_indexes_to_drop = false;
        });
    }
    // One row that cannot be read or stored holds up its own kind only.
    succeeded &= isolated("Moving external_events", [this] { processing_external_events(); });
    succeeded &= isolated("Moving zone_event_history", [this] { processing_zone_events(); });
    succeeded &= isolated("Moving activities", [this] { processing_activities(); });
    succeeded &= isolated("Moving vehicle_driver_associations", [this] { processing_vehicle_driver_associations(); });
    succeeded &= isolated("Moving heartbeats", [this] { processing_heartbeats(); });
    succeeded &= isolated("Moving node_parameters_staging", [this] { processing_node_parameters(); });
    succeeded &= isolated("Moving position_histories", [this] { processing_position_histories(); });
    // Also after a signal cut the drain short: the tables are left tidy.
    if (m_tables_to_optimize) {
        succeeded &= isolated("Optimising the runtime tables", [this] {
            m_runtime_db.optimize_tables();
            m_tables_to_optimize = false;
        });
    }
    return succeeded;
}

template <typename Part>
bool store_updater::isolated(const char* _name, Part&& _part) {
    try {
        std::forward<Part>(_part)();
        return true;
    } catch (...) {
        m_logger.error("%1% failed: %2%") % _name % libs::core::exception_to_string();
        return false;
    }
}

template <typename Processor>
void store_updater::drain(Processor& _processor) {
    while (!m_signals.signal_is_received() && _processor.processing()) {
    }
}

void store_updater::processing_external_events() { drain(m_external_events_processor); }
void store_updater::processing_zone_events() { drain(m_zone_events_processor); }
void store_updater::processing_activities() { drain(m_activities_processor); }
void store_updater::processing_vehicle_driver_associations() { drain(m_vehicle_driver_associations_processor); }
void store_updater::processing_heartbeats() { drain(m_heartbeats_processor); }
void store_updater::processing_node_parameters() { drain(m_node_parameters_processor); }
void store_updater::processing_position_histories() { drain(m_positions_processor); }

} // namespace qvd
