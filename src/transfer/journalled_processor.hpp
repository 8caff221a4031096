#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include <boost/filesystem/operations.hpp>

#include "transfer/journal.hpp"

namespace qvd {
namespace journalled_processor {

// The steps every processor shares. Each processor passes its own database operations, so the
// seven classes stay plain and differ only in what they call.

// Moves one new batch: read, journal, insert, delete, remove the journal. A batch whose INSERT
// would exceed the column store's packet limit is cut to the prefix that fits before it is
// journalled; the rest stays in the runtime table for the next batch. Returns whether more rows
// may wait. Nothing is inserted unless the journal is on disk.
template <typename Read, typename Fitting, typename To_string, typename Insert, typename Delete>
bool move_batch(const std::string& _file, unsigned int _max_piece_size, Read&& _read, Fitting&& _fitting,
                To_string&& _to_string, Insert&& _insert, Delete&& _delete)
{
    auto batch = _read(_max_piece_size);
    if (batch.empty())
        return false;
    const bool full = batch.size() == _max_piece_size;
    const std::size_t fitting = _fitting(batch);
    const bool cut = fitting < batch.size();
    if (cut)
        batch.erase(batch.begin() + static_cast<std::ptrdiff_t>(fitting), batch.end());
    const std::string text = _to_string(batch);
    journal::write_file(_file, text);
    _insert(batch);
    _delete(batch);
    boost::filesystem::remove(_file);
    return full || cut;
}

// Finishes a batch left in the journal, in as many parts as the packet limit needs (one when the
// batch fits as it did when it was journalled): a part is inserted unless its first and its last
// record both arrived (one INSERT writes all of its rows or none). Then the batch is deleted from
// the runtime database; the journal is removed last.
template <typename From_file, typename Fitting, typename Probe, typename Insert, typename Delete>
void finish_batch(const std::string& _file, From_file&& _from_file, Fitting&& _fitting, Probe&& _probe,
                  Insert&& _insert, Delete&& _delete)
{
    const auto batch = _from_file(_file);
    if (!batch.empty())
    {
        using batch_type = std::decay_t<decltype(batch)>;
        const auto insert_unless_present = [&](const batch_type& _part) {
            if (!(_probe(_part.front()) && _probe(_part.back())))
                _insert(_part);
        };
        if (_fitting(batch) == batch.size())
        {
            insert_unless_present(batch);
        }
        else
        {
            for (auto first = batch.begin(); first != batch.end();)
            {
                const batch_type rest(first, batch.end());
                const auto last = first + static_cast<std::ptrdiff_t>(_fitting(rest));
                insert_unless_present(batch_type(first, last));
                first = last;
            }
        }
        _delete(batch);
    }
    boost::filesystem::remove(_file);
}

} // namespace journalled_processor
} // namespace qvd
