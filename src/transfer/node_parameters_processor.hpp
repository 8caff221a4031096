#pragma once

#include <string>

#include "records/node_parameter.hpp"
#include "runtime/database.hpp"
#include "store/store.hpp"
#include "transfer/journalled_processor.hpp"

namespace qvd {

// Moves node parameters to the column store, one journalled batch per step.
class node_parameters_processor {
public:
    // Keeps the accesses and the batch size; the journal is _persistent_data_dir + "node_parameters.bin".
    node_parameters_processor(runtime::database& _runtime_db, store::column_store& _store,
                              const unsigned int _maximum_piece, const std::string& _persistent_data_dir);

    // One step; true when the caller should call again at once.
    bool processing();

private:
    // Finishes the batch an interrupted step left in the journal.
    void processing_after_fault();
    // The steps every journalled kind shares, over this processor's members.
    journalled_processor::kind_steps<node_parameter> steps();

    // Journal text of a batch.
    static std::string node_parameters_to_string(const node_parameters_vector& _node_parameters);
    // Batch held in a journal text.
    static node_parameters_vector node_parameters_from_string(const std::string& _string);
    // Batch held in a journal file.
    static node_parameters_vector node_parameters_from_file(const std::string& _file);

    runtime::database& m_runtime_db;
    store::column_store& m_store;
    const unsigned int m_max_piece_size;
    const std::string m_node_parameters_file_name;
    // Whether the next new batch may already have arrived (a spoiled journal was set aside).
    journalled_processor::arrival_doubt m_arrival_doubt;
};

} // namespace qvd
