#include "transfer/node_parameters_processor.hpp"

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

node_parameters_processor::node_parameters_processor(runtime::database& _runtime_db, store::column_store& _store,
                                                     const unsigned int _maximum_piece,
                                                     const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_node_parameters_file_name(_persistent_data_dir + "node_parameters.bin"),
      m_arrival_doubt(m_node_parameters_file_name)
{}

bool node_parameters_processor::processing()
{
    if (boost::filesystem::exists(m_node_parameters_file_name))
    {
        processing_after_fault();
        return true;
    }
    return journalled_processor::move_batch(
        m_node_parameters_file_name, m_max_piece_size, m_arrival_doubt,
        [this](const unsigned int _limit) { return m_runtime_db.get_node_parameters(_limit); },
        [this](const node_parameters_vector& _batch) { return m_store.fitting_rows(_batch); },
        &node_parameters_processor::node_parameters_to_string,
        [this](const node_parameters_vector& _batch) { m_store.insert_node_parameters(_batch); },
        [this](const node_parameters_vector& _batch) { m_runtime_db.delete_node_parameters(_batch); },
        [this] { processing_after_fault(); });
}

void node_parameters_processor::processing_after_fault()
{
    journalled_processor::finish_batch(
        m_node_parameters_file_name, m_arrival_doubt, &node_parameters_processor::node_parameters_from_file,
        [this](const node_parameters_vector& _batch) { return m_store.fitting_rows(_batch); },
        [this](const node_parameter& _record) {
            return m_store.check_presence(store::column_store::node_parameters.name, _record);
        },
        [this](const node_parameters_vector& _batch) { m_store.insert_node_parameters(_batch); },
        [this](const node_parameters_vector& _batch) { m_runtime_db.delete_node_parameters(_batch); });
}

std::string node_parameters_processor::node_parameters_to_string(const node_parameters_vector& _node_parameters)
{
    return journal::to_string(_node_parameters);
}

node_parameters_vector node_parameters_processor::node_parameters_from_string(const std::string& _string)
{
    return journal::from_string<node_parameter>(_string);
}

node_parameters_vector node_parameters_processor::node_parameters_from_file(const std::string& _file)
{
    return journal::from_file<node_parameter>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
