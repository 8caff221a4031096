#pragma once

#include <string>

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"

namespace qvd {
namespace journalled_processor {

// The steps every processor shares. Each processor passes its own database operations, so the
// seven classes stay plain and differ only in what they call.

// Moves one new batch: read, journal, insert, delete, remove the journal. Returns whether the
// batch was full, so that more rows may wait. Nothing is inserted unless the journal is on disk.
template <typename Read, typename To_string, typename Insert, typename Delete>
bool move_batch(const std::string& _file, unsigned int _max_piece_size, Read&& _read, To_string&& _to_string,
                Insert&& _insert, Delete&& _delete)
{
    const auto batch = _read(_max_piece_size);
    if (batch.empty())
        return false;
    const std::string text = _to_string(batch);
    journal::write_file(_file, text);
    _insert(batch);
    _delete(batch);
    boost::filesystem::remove(_file);
    return batch.size() == _max_piece_size;
}

// Finishes a batch left in the journal: inserted unless its first and its last record both
// arrived (one INSERT writes all of them or none), then deleted from the runtime database; the
// journal is removed last.
template <typename From_file, typename Probe, typename Insert, typename Delete>
void finish_batch(const std::string& _file, From_file&& _from_file, Probe&& _probe, Insert&& _insert,
                  Delete&& _delete)
{
    const auto batch = _from_file(_file);
    if (!batch.empty())
    {
        if (!(_probe(batch.front()) && _probe(batch.back())))
            _insert(batch);
        _delete(batch);
    }
    boost::filesystem::remove(_file);
}

} // namespace journalled_processor
} // namespace qvd
