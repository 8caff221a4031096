#pragma once

#include <string>

#include "records/zone_event.hpp"
#include "runtime/database.hpp"
#include "store/store.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

// Moves closed zone events, one journalled batch per step, and mirrors the open ones
// once the closed ones are drained.
class zone_events_processor {
public:
    // Keeps the accesses and the batch size; the journal is _persistent_data_dir + "zone_events.bin".
    zone_events_processor(runtime::database& _runtime_db, store::column_store& _store,
                          const unsigned int _maximum_piece, const std::string& _persistent_data_dir);

    // One step; true when the caller should call again at once.
    bool processing();

private:
    // Finishes the batch an interrupted step left in the journal.
    void processing_after_fault();
    // The steps every journalled kind shares, over this processor's members.
    journalled_processor::kind_steps<zone_event> steps();

    // Journal text of a batch.
    static std::string zone_events_to_string(const std::vector<zone_event>& _zone_events);
    // Batch held in a journal text.
    static std::vector<zone_event> zone_events_from_string(const std::string& _string);
    // Batch held in a journal file.
    static std::vector<zone_event> zone_events_from_file(const std::string& _file);

    runtime::database& m_runtime_db;
    store::column_store& m_store;
    const unsigned int m_max_piece_size;
    const std::string m_zone_events_file_name;
    // Whether the next new batch may already have arrived (a spoiled journal was set aside).
    journalled_processor::arrival_doubt m_arrival_doubt;
};

} // namespace qvd
