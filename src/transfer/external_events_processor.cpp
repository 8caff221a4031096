#include "transfer/external_events_processor.hpp"

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

external_events_processor::external_events_processor(runtime::database& _runtime_db, store::column_store& _store,
                                                     const unsigned int _maximum_piece,
                                                     const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_external_events_file_name(_persistent_data_dir + "external_events.bin"),
      m_arrival_doubt(m_external_events_file_name)
{}

bool external_events_processor::processing()
{
    if (boost::filesystem::exists(m_external_events_file_name))
    {
        processing_after_fault();
        return true;
    }
    return journalled_processor::move_batch(
        m_external_events_file_name, m_max_piece_size, m_arrival_doubt,
        [this](const unsigned int _limit) { return m_runtime_db.get_external_events(_limit); },
        [this](const std::vector<external_event>& _batch) { return m_store.fitting_rows(_batch); },
        &external_events_processor::external_events_to_string,
        [this](const std::vector<external_event>& _batch) { m_store.insert_external_events(_batch); },
        [this](const std::vector<external_event>& _batch) { m_runtime_db.delete_external_events(_batch); },
        [this] { processing_after_fault(); });
}

void external_events_processor::processing_after_fault()
{
    journalled_processor::finish_batch(
        m_external_events_file_name, m_arrival_doubt, &external_events_processor::external_events_from_file,
        [this](const std::vector<external_event>& _batch) { return m_store.fitting_rows(_batch); },
        [this](const external_event& _record) {
            return m_store.check_presence(store::column_store::external_events.name, _record);
        },
        [this](const std::vector<external_event>& _batch) { m_store.insert_external_events(_batch); },
        [this](const std::vector<external_event>& _batch) { m_runtime_db.delete_external_events(_batch); });
}

std::string
external_events_processor::external_events_to_string(const std::vector<external_event>& _external_events)
{
    return journal::to_string(_external_events);
}

std::vector<external_event> external_events_processor::external_events_from_string(const std::string& _string)
{
    return journal::from_string<external_event>(_string);
}

std::vector<external_event> external_events_processor::external_events_from_file(const std::string& _file)
{
    return journal::from_file<external_event>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
