#include "transfer/positions_processor.hpp"

#include "store/kind.hpp"
#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

positions_processor::positions_processor(runtime::database& _runtime_db, store::column_store& _store,
                                         const unsigned int _maximum_piece, const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_positions_raw_file_name(_persistent_data_dir + store::kind<position>::journal_file),
      m_arrival_doubt(m_positions_raw_file_name) {}

bool positions_processor::processing() {
    // Hot positions older than half an hour are purged before every new batch.
    return steps().step(m_max_piece_size, [this] { m_runtime_db.delete_position_histories_hot(30); });
}

void positions_processor::processing_after_fault() { steps().finish(); }

journalled_processor::kind_steps<position> positions_processor::steps() {
    return {m_runtime_db,
            m_store,
            m_positions_raw_file_name,
            m_arrival_doubt,
            &positions_processor::positions_from_file,
            &positions_processor::positions_to_string};
}

std::string positions_processor::positions_to_string(const std::vector<position>& _positions) {
    return journal::to_string(_positions);
}

std::vector<position> positions_processor::positions_from_string(const std::string& _string) {
    return journal::from_string<position>(_string);
}

std::vector<position> positions_processor::positions_from_file(const std::string& _file) {
    return journal::from_file<position>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
