#pragma once

#include <string>

#include "records/vehicle_driver_association.hpp"
#include "runtime/database.hpp"
#include "store/store.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

// Moves closed vehicle-driver associations, one journalled batch per step, and mirrors
// the open ones once the closed ones are drained.
class vehicle_driver_associations_processor {
public:
    // Keeps the accesses and the batch size; the journal is _persistent_data_dir +
    // "vehicle_driver_associations.bin".
    vehicle_driver_associations_processor(runtime::database& _runtime_db, store::column_store& _store,
                                          const unsigned int _maximum_piece, const std::string& _persistent_data_dir);

    // One step; true when the caller should call again at once.
    bool processing();

private:
    // Finishes the batch an interrupted step left in the journal.
    void processing_after_fault();
    // The steps every journalled kind shares, over this processor's members.
    journalled_processor::kind_steps<vehicle_driver_association> steps();

    // Journal text of a batch.
    static std::string vehicle_driver_associations_to_string(
        const std::vector<vehicle_driver_association>& _vehicle_driver_associations);
    // Batch held in a journal text.
    static std::vector<vehicle_driver_association> vehicle_driver_associations_from_string(const std::string& _string);
    // Batch held in a journal file.
    static std::vector<vehicle_driver_association> vehicle_driver_associations_from_file(const std::string& _file);

    runtime::database& m_runtime_db;
    store::column_store& m_store;
    const unsigned int m_max_piece_size;
    const std::string m_vehicle_driver_associations_file_name;
    // Whether the next new batch may already have arrived (a spoiled journal was set aside).
    journalled_processor::arrival_doubt m_arrival_doubt;
};

} // namespace qvd
