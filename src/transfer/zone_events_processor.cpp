#include "transfer/zone_events_processor.hpp"

#include "store/kind.hpp"
#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

zone_events_processor::zone_events_processor(runtime::database& _runtime_db, store::column_store& _store,
                                             const unsigned int _maximum_piece, const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_zone_events_file_name(_persistent_data_dir + store::kind<zone_event>::journal_file),
      m_arrival_doubt(m_zone_events_file_name) {}

bool zone_events_processor::processing() {
    if (steps().step(m_max_piece_size))
        return true;

    // Drained: the open table is replaced by every open row.
    const auto open_rows = m_runtime_db.get_zone_events_open();
    m_store.refill_zone_events_open(open_rows);
    return false;
}

void zone_events_processor::processing_after_fault() { steps().finish(); }

journalled_processor::kind_steps<zone_event> zone_events_processor::steps() {
    return {m_runtime_db,
            m_store,
            m_zone_events_file_name,
            m_arrival_doubt,
            &zone_events_processor::zone_events_from_file,
            &zone_events_processor::zone_events_to_string};
}

std::string zone_events_processor::zone_events_to_string(const std::vector<zone_event>& _zone_events) {
    return journal::to_string(_zone_events);
}

std::vector<zone_event> zone_events_processor::zone_events_from_string(const std::string& _string) {
    return journal::from_string<zone_event>(_string);
}

std::vector<zone_event> zone_events_processor::zone_events_from_file(const std::string& _file) {
    return journal::from_file<zone_event>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
