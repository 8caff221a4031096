#include "transfer/positions_processor.hpp"

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

positions_processor::positions_processor(runtime::database& _runtime_db, store::column_store& _store,
                                         const unsigned int _maximum_piece,
                                         const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_positions_raw_file_name(_persistent_data_dir + "positions_raw.bin"),
      m_arrival_doubt(m_positions_raw_file_name)
{}

bool positions_processor::processing()
{
    if (boost::filesystem::exists(m_positions_raw_file_name))
    {
        processing_after_fault();
        return true;
    }
    m_runtime_db.delete_position_histories_hot(30);
    return journalled_processor::move_batch(
        m_positions_raw_file_name, m_max_piece_size, m_arrival_doubt,
        [this](const unsigned int _limit) { return m_runtime_db.get_positions(_limit); },
        [this](const std::vector<position>& _batch) { return m_store.fitting_rows(_batch); },
        &positions_processor::positions_to_string,
        [this](const std::vector<position>& _batch) { m_store.insert_positions_raw(_batch); },
        [this](const std::vector<position>& _batch) { m_runtime_db.delete_positions(_batch); },
        [this] { processing_after_fault(); });
}

void positions_processor::processing_after_fault()
{
    journalled_processor::finish_batch(
        m_positions_raw_file_name, m_arrival_doubt, &positions_processor::positions_from_file,
        [this](const std::vector<position>& _batch) { return m_store.fitting_rows(_batch); },
        [this](const position& _record) {
            return m_store.check_presence(store::column_store::positions_raw.name, _record);
        },
        [this](const std::vector<position>& _batch) { m_store.insert_positions_raw(_batch); },
        [this](const std::vector<position>& _batch) { m_runtime_db.delete_positions(_batch); });
}

std::string positions_processor::positions_to_string(const std::vector<position>& _positions)
{
    return journal::to_string(_positions);
}

std::vector<position> positions_processor::positions_from_string(const std::string& _string)
{
    return journal::from_string<position>(_string);
}

std::vector<position> positions_processor::positions_from_file(const std::string& _file)
{
    return journal::from_file<position>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
