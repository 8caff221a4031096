#include "transfer/zone_events_processor.hpp"

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

zone_events_processor::zone_events_processor(runtime::database& _runtime_db, store::column_store& _store,
                                             const unsigned int _maximum_piece,
                                             const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_zone_events_file_name(_persistent_data_dir + "zone_events.bin"),
      m_arrival_doubt(m_zone_events_file_name)
{}

bool zone_events_processor::processing()
{
    if (boost::filesystem::exists(m_zone_events_file_name))
    {
        processing_after_fault();
        return true;
    }
    if (journalled_processor::move_batch(
            m_zone_events_file_name, m_max_piece_size, m_arrival_doubt,
            [this](const unsigned int _limit) { return m_runtime_db.get_zone_events(_limit); },
            [this](const std::vector<zone_event>& _batch) { return m_store.fitting_rows(_batch); },
            &zone_events_processor::zone_events_to_string,
            [this](const std::vector<zone_event>& _batch) { m_store.insert_zone_events(_batch); },
            [this](const std::vector<zone_event>& _batch) { m_runtime_db.delete_zone_events(_batch); },
            [this] { processing_after_fault(); }))
        return true;

    // Drained: the open table is replaced by every open row.
    const auto open_rows = m_runtime_db.get_zone_events_open();
    m_store.refill_zone_events_open(open_rows);
    return false;
}

void zone_events_processor::processing_after_fault()
{
    journalled_processor::finish_batch(
        m_zone_events_file_name, m_arrival_doubt, &zone_events_processor::zone_events_from_file,
        [this](const std::vector<zone_event>& _batch) { return m_store.fitting_rows(_batch); },
        [this](const zone_event& _record) {
            return m_store.check_presence(store::column_store::zone_events.name, _record);
        },
        [this](const std::vector<zone_event>& _batch) { m_store.insert_zone_events(_batch); },
        [this](const std::vector<zone_event>& _batch) { m_runtime_db.delete_zone_events(_batch); });
}

std::string zone_events_processor::zone_events_to_string(const std::vector<zone_event>& _zone_events)
{
    return journal::to_string(_zone_events);
}

std::vector<zone_event> zone_events_processor::zone_events_from_string(const std::string& _string)
{
    return journal::from_string<zone_event>(_string);
}

std::vector<zone_event> zone_events_processor::zone_events_from_file(const std::string& _file)
{
    return journal::from_file<zone_event>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
