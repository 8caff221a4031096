#include "transfer/node_parameters_processor.hpp"

#include "store/kind.hpp"
#include "transfer/journal.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

node_parameters_processor::node_parameters_processor(runtime::database& _runtime_db, store::column_store& _store,
                                                     const unsigned int _maximum_piece,
                                                     const std::string& _persistent_data_dir)
    : m_runtime_db(_runtime_db), m_store(_store), m_max_piece_size(_maximum_piece),
      m_node_parameters_file_name(_persistent_data_dir + store::kind<node_parameter>::journal_file),
      m_arrival_doubt(m_node_parameters_file_name) {}

bool node_parameters_processor::processing() { return steps().step(m_max_piece_size); }

void node_parameters_processor::processing_after_fault() { steps().finish(); }

journalled_processor::kind_steps<node_parameter> node_parameters_processor::steps() {
    return {m_runtime_db,
            m_store,
            m_node_parameters_file_name,
            m_arrival_doubt,
            &node_parameters_processor::node_parameters_from_file,
            &node_parameters_processor::node_parameters_to_string};
}

std::string node_parameters_processor::node_parameters_to_string(const node_parameters_vector& _node_parameters) {
    return journal::to_string(_node_parameters);
}

node_parameters_vector node_parameters_processor::node_parameters_from_string(const std::string& _string) {
    return journal::from_string<node_parameter>(_string);
}

node_parameters_vector node_parameters_processor::node_parameters_from_file(const std::string& _file) {
    return journal::from_file<node_parameter>(_file, QVD_SOURCE_LOCATION);
}

} // namespace qvd
