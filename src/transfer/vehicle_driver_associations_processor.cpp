#include "transfer/vehicle_driver_associations_processor.hpp"

#include "store/kind.hpp"
#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

vehicle_driver_associations_processor::vehicle_driver_associations_processor(runtime::database& _runtime_db,
                                                                             store::column_store& _store,
                                                                             const unsigned int _maximum_piece,
                                                                             const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_vehicle_driver_associations_file_name(_persistent_data_dir +
                                              store::kind<vehicle_driver_association>::journal_file),
      m_arrival_doubt(m_vehicle_driver_associations_file_name) {}

bool vehicle_driver_associations_processor::processing() {
    if (steps().step(m_max_piece_size))
        return true;

    // Drained: the open table is replaced by every open row.
    const auto open_rows = m_runtime_db.get_vehicle_driver_associations_open();
    m_store.refill_vehicle_driver_associations_open(open_rows);
    return false;
}

void vehicle_driver_associations_processor::processing_after_fault() { steps().finish(); }

journalled_processor::kind_steps<vehicle_driver_association> vehicle_driver_associations_processor::steps() {
    return {m_runtime_db,
            m_store,
            m_vehicle_driver_associations_file_name,
            m_arrival_doubt,
            &vehicle_driver_associations_processor::vehicle_driver_associations_from_file,
            &vehicle_driver_associations_processor::vehicle_driver_associations_to_string};
}

std::string vehicle_driver_associations_processor::vehicle_driver_associations_to_string(
    const std::vector<vehicle_driver_association>& _vehicle_driver_associations) {
    return journal::to_string(_vehicle_driver_associations);
}

std::vector<vehicle_driver_association> vehicle_driver_associations_processor::vehicle_driver_associations_from_string(
    const std::string& _string) {
    return journal::from_string<vehicle_driver_association>(_string);
}

std::vector<vehicle_driver_association> vehicle_driver_associations_processor::vehicle_driver_associations_from_file(
    const std::string& _file) {
    return journal::from_file<vehicle_driver_association>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
