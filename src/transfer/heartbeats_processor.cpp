#include "transfer/heartbeats_processor.hpp"

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

heartbeats_processor::heartbeats_processor(runtime::database& _runtime_db, store::column_store& _store,
                                           const unsigned int _maximum_piece,
                                           const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_heartbeats_file_name(_persistent_data_dir + "heartbeats.bin"),
      m_arrival_doubt(m_heartbeats_file_name)
{}

bool heartbeats_processor::processing()
{
    if (boost::filesystem::exists(m_heartbeats_file_name))
    {
        processing_after_fault();
        return true;
    }
    return journalled_processor::move_batch(
        m_heartbeats_file_name, m_max_piece_size, m_arrival_doubt,
        [this](const unsigned int _limit) { return m_runtime_db.get_heartbeats(_limit); },
        [this](const std::vector<heartbeat>& _batch) { return m_store.fitting_rows(_batch); },
        &heartbeats_processor::heartbeats_to_string,
        [this](const std::vector<heartbeat>& _batch) { m_store.insert_heartbeats(_batch); },
        [this](const std::vector<heartbeat>& _batch) { m_runtime_db.delete_heartbeats(_batch); },
        [this] { processing_after_fault(); });
}

void heartbeats_processor::processing_after_fault()
{
    journalled_processor::finish_batch(
        m_heartbeats_file_name, m_arrival_doubt, &heartbeats_processor::heartbeats_from_file,
        [this](const std::vector<heartbeat>& _batch) { return m_store.fitting_rows(_batch); },
        [this](const heartbeat& _record) {
            return m_store.check_presence(store::column_store::heartbeats.name, _record);
        },
        [this](const std::vector<heartbeat>& _batch) { m_store.insert_heartbeats(_batch); },
        [this](const std::vector<heartbeat>& _batch) { m_runtime_db.delete_heartbeats(_batch); });
}

std::string heartbeats_processor::heartbeats_to_string(const std::vector<heartbeat>& _heartbeats)
{
    return journal::to_string(_heartbeats);
}

std::vector<heartbeat> heartbeats_processor::heartbeats_from_string(const std::string& _string)
{
    return journal::from_string<heartbeat>(_string);
}

std::vector<heartbeat> heartbeats_processor::heartbeats_from_file(const std::string& _file)
{
    return journal::from_file<heartbeat>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
