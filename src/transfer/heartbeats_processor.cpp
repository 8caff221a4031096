#include "transfer/heartbeats_processor.hpp"

#include "store/kind.hpp"
#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

heartbeats_processor::heartbeats_processor(runtime::database& _runtime_db, store::column_store& _store,
                                           const unsigned int _maximum_piece, const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_heartbeats_file_name(_persistent_data_dir + store::kind<heartbeat>::journal_file),
      m_arrival_doubt(m_heartbeats_file_name) {}

bool heartbeats_processor::processing() { return steps().step(m_max_piece_size); }

void heartbeats_processor::processing_after_fault() { steps().finish(); }

journalled_processor::kind_steps<heartbeat> heartbeats_processor::steps() {
    return {m_runtime_db,
            m_store,
            m_heartbeats_file_name,
            m_arrival_doubt,
            &heartbeats_processor::heartbeats_from_file,
            &heartbeats_processor::heartbeats_to_string};
}

std::string heartbeats_processor::heartbeats_to_string(const std::vector<heartbeat>& _heartbeats) {
    return journal::to_string(_heartbeats);
}

std::vector<heartbeat> heartbeats_processor::heartbeats_from_string(const std::string& _string) {
    return journal::from_string<heartbeat>(_string);
}

std::vector<heartbeat> heartbeats_processor::heartbeats_from_file(const std::string& _file) {
    return journal::from_file<heartbeat>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
