#include "transfer/activities_processor.hpp"

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

activities_processor::activities_processor(runtime::database& _runtime_db, store::column_store& _store,
                                           const unsigned int _maximum_piece,
                                           const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_activities_file_name(_persistent_data_dir + "activities.bin"),
      m_arrival_doubt(m_activities_file_name)
{}

bool activities_processor::processing()
{
    if (boost::filesystem::exists(m_activities_file_name))
    {
        processing_after_fault();
        return true;
    }
    return journalled_processor::move_batch(
        m_activities_file_name, m_max_piece_size, m_arrival_doubt,
        [this](const unsigned int _limit) { return m_runtime_db.get_activities(_limit); },
        [this](const std::vector<activity>& _batch) { return m_store.fitting_rows(_batch); },
        &activities_processor::activities_to_string,
        [this](const std::vector<activity>& _batch) { m_store.insert_sys_journal_staging(_batch); },
        [this](const std::vector<activity>& _batch) { m_runtime_db.delete_activities(_batch); },
        [this] { processing_after_fault(); });
}

void activities_processor::processing_after_fault()
{
    journalled_processor::finish_batch(
        m_activities_file_name, m_arrival_doubt, &activities_processor::activities_from_file,
        [this](const std::vector<activity>& _batch) { return m_store.fitting_rows(_batch); },
        [this](const activity& _record) {
            return m_store.check_presence(store::column_store::sys_journal_staging.name, _record);
        },
        [this](const std::vector<activity>& _batch) { m_store.insert_sys_journal_staging(_batch); },
        [this](const std::vector<activity>& _batch) { m_runtime_db.delete_activities(_batch); });
}

std::string activities_processor::activities_to_string(const std::vector<activity>& _activities)
{
    return journal::to_string(_activities);
}

std::vector<activity> activities_processor::activities_from_string(const std::string& _string)
{
    return journal::from_string<activity>(_string);
}

std::vector<activity> activities_processor::activities_from_file(const std::string& _file)
{
    return journal::from_file<activity>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
