#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "runtime/database.hpp"
#include "store/kind.hpp"
#include "store/store.hpp"
#include "transfer/journal.hpp"

namespace qvd {
namespace journalled_processor {

// The steps every processor shares. kind_steps runs them for one record kind, reading the kind's
// table and journal name from store::kind and its runtime read and delete from runtime_rows, so
// the seven processor classes stay plain shells.

// Whether a kind's next new batch may already have arrived in the column store: a spoiled journal
// of the kind was set aside, and the rows it held may have been inserted and not deleted. Kept in
// memory once known; unknown at start and after a failed recovery, when it is taken from the
// set-aside files beside the journal, so that a crash between setting a journal aside and the
// next batch still finds it.
class arrival_doubt
{
public:
    explicit arrival_doubt(const std::string& _journal) : m_journal(_journal) {}

    bool holds()
    {
        if (!m_known)
        {
            m_holds = journal::set_aside_exists(m_journal);
            m_known = true;
        }
        return m_holds;
    }
    // A new batch was checked: what was set aside before is settled.
    void settle()
    {
        m_known = true;
        m_holds = false;
    }
    // A recovery failed, perhaps by setting its journal aside: ask the files again.
    void forget() { m_known = false; }

private:
    const std::string m_journal;
    bool m_known = false;
    bool m_holds = false;
};

// How many leading records of a batch already have their row in the column store. What arrived is
// always a prefix of the batch: one INSERT writes all of its rows or none, and the parts of a batch
// go in order. One probe of the first record tells "none", one of the last "all"; between those a
// binary search finds the end in about log2 of the batch size probes.
template <typename Batch, typename Probe>
std::size_t arrived_prefix(const Batch& _batch, Probe&& _probe)
{
    if (_batch.empty() || !_probe(_batch.front()))
        return 0;
    if (_batch.size() == 1 || _probe(_batch.back()))
        return _batch.size();
    // _batch[arrived] has its row, _batch[missing] has not.
    std::size_t arrived = 0;
    std::size_t missing = _batch.size() - 1;
    while (missing - arrived > 1)
    {
        const std::size_t middle = arrived + (missing - arrived) / 2;
        if (_probe(_batch[middle]))
            arrived = middle;
        else
            missing = middle;
    }
    return missing;
}

// Inserts the records of a batch from _from on, in as many parts as the packet limit needs.
template <typename Batch, typename Fitting, typename Insert>
void insert_rest(const Batch& _batch, std::size_t _from, Fitting&& _fitting, Insert&& _insert)
{
    while (_from < _batch.size())
    {
        // The whole batch is measured and sent without a copy, the common case.
        const auto first = _batch.begin() + static_cast<std::ptrdiff_t>(_from);
        const Batch rest = _from == 0 ? Batch() : Batch(first, _batch.end());
        const Batch& part = _from == 0 ? _batch : rest;
        const std::size_t fitting = _fitting(part);
        if (fitting == part.size())
        {
            _insert(part);
            return;
        }
        _insert(Batch(first, first + static_cast<std::ptrdiff_t>(fitting)));
        _from += fitting;
    }
}

// Moves one new batch: read, journal, insert, delete, remove the journal. A batch whose INSERT
// would exceed the column store's packet limit is cut to the prefix that fits before it is
// journalled; the rest stays in the runtime table for the next batch. While _doubt holds, the
// batch is finished by _recover from its journal instead, which inserts only what did not arrive.
// Returns whether more rows may wait. Nothing is inserted unless the journal is on disk.
template <typename Read, typename Fitting, typename To_string, typename Insert, typename Delete, typename Recover>
bool move_batch(const std::string& _file, unsigned int _max_piece_size, arrival_doubt& _doubt, Read&& _read,
                Fitting&& _fitting, To_string&& _to_string, Insert&& _insert, Delete&& _delete, Recover&& _recover)
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
    if (_doubt.holds())
    {
        // From here on the journal carries the doubt: a crash leaves it to the recovery.
        _recover();
        _doubt.settle();
        return full || cut;
    }
    _insert(batch);
    _delete(batch);
    boost::filesystem::remove(_file);
    return full || cut;
}

// Finishes a batch left in the journal: inserts the records that did not arrive, in as many parts
// as the packet limit needs, then deletes the batch from the runtime database; the journal is
// removed last. A failure, a spoiled journal set aside among them, leaves _doubt to be asked again.
template <typename From_file, typename Fitting, typename Probe, typename Insert, typename Delete>
void finish_batch(const std::string& _file, arrival_doubt& _doubt, From_file&& _from_file, Fitting&& _fitting,
                  Probe&& _probe, Insert&& _insert, Delete&& _delete)
{
    try
    {
        const auto batch = _from_file(_file);
        if (!batch.empty())
        {
            const std::size_t arrived = arrived_prefix(batch, _probe);
            if (arrived < batch.size())
                insert_rest(batch, arrived, _fitting, _insert);
            _delete(batch);
        }
        boost::filesystem::remove(_file);
    }
    catch (...)
    {
        _doubt.forget();
        throw;
    }
}

// Where a journalled kind's rows wait in the runtime database: its limited read and its delete.
// The kind's table, row description and journal file name are in store::kind.
template <typename Record>
struct runtime_rows;

template <>
struct runtime_rows<position>
{
    static constexpr auto read = &runtime::database::get_positions;
    static constexpr auto remove = &runtime::database::delete_positions;
};

template <>
struct runtime_rows<external_event>
{
    static constexpr auto read = &runtime::database::get_external_events;
    static constexpr auto remove = &runtime::database::delete_external_events;
};

template <>
struct runtime_rows<zone_event>
{
    static constexpr auto read = &runtime::database::get_zone_events;
    static constexpr auto remove = &runtime::database::delete_zone_events;
};

template <>
struct runtime_rows<activity>
{
    static constexpr auto read = &runtime::database::get_activities;
    static constexpr auto remove = &runtime::database::delete_activities;
};

template <>
struct runtime_rows<vehicle_driver_association>
{
    static constexpr auto read = &runtime::database::get_vehicle_driver_associations;
    static constexpr auto remove = &runtime::database::delete_vehicle_driver_associations;
};

template <>
struct runtime_rows<heartbeat>
{
    static constexpr auto read = &runtime::database::get_heartbeats;
    static constexpr auto remove = &runtime::database::delete_heartbeats;
};

template <>
struct runtime_rows<node_parameter>
{
    static constexpr auto read = &runtime::database::get_node_parameters;
    static constexpr auto remove = &runtime::database::delete_node_parameters;
};

// The steps of one journalled kind, over the members of its processor: the seven processors
// differ only in the record kind, in what runs before a new batch (the hot purge of positions)
// and in what follows the drain (the refill of an open table).
template <typename Record>
class kind_steps
{
public:
    using batch = std::vector<Record>;
    using from_file_function = batch (*)(const std::string&);
    using to_string_function = std::string (*)(const batch&);

    kind_steps(runtime::database& _runtime_db, store::column_store& _store, const std::string& _file,
               arrival_doubt& _doubt, from_file_function _from_file, to_string_function _to_string)
        : m_runtime_db(_runtime_db), m_store(_store), m_file(_file), m_doubt(_doubt), m_from_file(_from_file),
          m_to_string(_to_string)
    {}

    // One step: a journal left by an interrupted step is finished, and the step returns true;
    // else _before_read runs and a new batch is moved. Returns whether more rows may wait.
    template <typename Before_read>
    bool step(const unsigned int _max_piece_size, Before_read&& _before_read) const
    {
        if (boost::filesystem::exists(m_file))
        {
            finish();
            return true;
        }
        _before_read();
        return move_batch(
            m_file, _max_piece_size, m_doubt,
            [this](const unsigned int _limit) { return (m_runtime_db.*runtime_rows<Record>::read)(_limit); },
            [this](const batch& _batch) { return m_store.fitting_rows(_batch); }, m_to_string,
            [this](const batch& _batch) { insert(_batch); }, [this](const batch& _batch) { remove(_batch); },
            [this] { finish(); });
    }

    bool step(const unsigned int _max_piece_size) const
    {
        return step(_max_piece_size, [] {});
    }

    // Finishes the batch an interrupted step left in the journal.
    void finish() const
    {
        finish_batch(
            m_file, m_doubt, m_from_file, [this](const batch& _batch) { return m_store.fitting_rows(_batch); },
            [this](const Record& _record) { return m_store.check_presence(store::kind<Record>::table.name, _record); },
            [this](const batch& _batch) { insert(_batch); }, [this](const batch& _batch) { remove(_batch); });
    }

private:
    void insert(const batch& _batch) const { (m_store.*store::kind<Record>::insert)(_batch); }
    void remove(const batch& _batch) const { (m_runtime_db.*runtime_rows<Record>::remove)(_batch); }

    runtime::database& m_runtime_db;
    store::column_store& m_store;
    const std::string& m_file;
    arrival_doubt& m_doubt;
    const from_file_function m_from_file;
    const to_string_function m_to_string;
};

} // namespace journalled_processor
} // namespace qvd
