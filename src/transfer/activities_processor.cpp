#include "transfer/activities_processor.hpp"

#include "store/kind.hpp"
#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

activities_processor::activities_processor(runtime::database& _runtime_db, store::column_store& _store,
                                           const unsigned int _maximum_piece, const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_activities_file_name(_persistent_data_dir + store::kind<activity>::journal_file),
      m_arrival_doubt(m_activities_file_name) {}

bool activities_processor::processing() { return steps().step(m_max_piece_size); }

void activities_processor::processing_after_fault() { steps().finish(); }

journalled_processor::kind_steps<activity> activities_processor::steps() {
    return {m_runtime_db,
            m_store,
            m_activities_file_name,
            m_arrival_doubt,
            &activities_processor::activities_from_file,
            &activities_processor::activities_to_string};
}

std::string activities_processor::activities_to_string(const std::vector<activity>& _activities) {
    return journal::to_string(_activities);
}

std::vector<activity> activities_processor::activities_from_string(const std::string& _string) {
    return journal::from_string<activity>(_string);
}

std::vector<activity> activities_processor::activities_from_file(const std::string& _file) {
    return journal::from_file<activity>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
