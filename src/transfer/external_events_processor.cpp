#include "transfer/external_events_processor.hpp"

#include "store/kind.hpp"
#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

external_events_processor::external_events_processor(runtime::database& _runtime_db, store::column_store& _store,
                                                     const unsigned int _maximum_piece,
                                                     const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_external_events_file_name(_persistent_data_dir + store::kind<external_event>::journal_file),
      m_arrival_doubt(m_external_events_file_name) {}

bool external_events_processor::processing() { return steps().step(m_max_piece_size); }

void external_events_processor::processing_after_fault() { steps().finish(); }

journalled_processor::kind_steps<external_event> external_events_processor::steps() {
    return {m_runtime_db,
            m_store,
            m_external_events_file_name,
            m_arrival_doubt,
            &external_events_processor::external_events_from_file,
            &external_events_processor::external_events_to_string};
}

std::string external_events_processor::external_events_to_string(const std::vector<external_event>& _external_events) {
    return journal::to_string(_external_events);
}

std::vector<external_event> external_events_processor::external_events_from_string(const std::string& _string) {
    return journal::from_string<external_event>(_string);
}

std::vector<external_event> external_events_processor::external_events_from_file(const std::string& _file) {
    return journal::from_file<external_event>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
