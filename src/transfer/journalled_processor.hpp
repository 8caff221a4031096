#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/optional.hpp>

#include <core/timestamp.hpp>

#include "runtime/database.hpp"
#include "runtime/kind.hpp"
#include "store/kind.hpp"
#include "store/store.hpp"
#include "transfer/journal.hpp"
#include "transfer/parts_mark.hpp"
#include "transfer/runtime_rows_check.hpp"

namespace qvd {
namespace journalled_processor {

// The steps every processor shares. kind_steps runs them for one record kind, reading the kind's
// table and journal name from store::kind and its runtime read and delete from runtime::kind, so
// the seven processor classes stay plain shells.

// Whether a kind's next new batch may already have arrived in the column store: a spoiled journal
// of the kind was set aside, and the rows it held may have been inserted and not deleted. Those
// rows are a leading run of the rows the next batches read, so the doubt holds until a checked
// batch shows a record missing; it is then settled, and the set-aside files are renamed to say so,
// so that a restart does not raise it again. Kept in memory once known; unknown at start and after
// a failed recovery, when it is taken from the set-aside files beside the journal, so that a crash
// between setting a journal aside and the next batch still finds it.
class arrival_doubt {
public:
    explicit arrival_doubt(const std::string& _journal) : m_journal(_journal) {}

    bool holds() {
        if (!m_known) {
            m_holds = journal::set_aside_exists(m_journal);
            m_known = true;
        }
        return m_holds;
    }
    // A checked batch showed where the set-aside batch ended: settled, here and in the files. A
    // failed rename leaves the doubt settled in memory only, told to _warn: after a restart one
    // batch more is checked.
    template <typename Warn>
    void settle(Warn&& _warn) {
        m_known = true;
        m_holds = false;
        try {
            for (const auto& renamed : journal::settle_set_aside(m_journal))
                _warn("journal file " + renamed.first + ", set aside earlier, is settled: renamed to " +
                      renamed.second);
        } catch (const std::exception& error) {
            _warn("the journals set aside beside " + m_journal + " are settled but cannot be marked so (" +
                  error.what() + "): after a restart the next batch is checked again");
        }
    }
    // A recovery failed, perhaps by setting its journal aside: ask the files again.
    void forget() { m_known = false; }

private:
    const std::string m_journal;
    bool m_known = false;
    bool m_holds = false;
};

// How many leading records of a batch already have their row in the column store, when what
// arrived is a prefix of the batch and _probe is truthful. One probe of the first record tells
// "none", one of the last "all"; between those a binary search finds the end in about log2 of the
// batch size probes.
template <typename Batch, typename Probe>
std::size_t arrived_prefix(const Batch& _batch, Probe&& _probe) {
    if (_batch.empty() || !_probe(_batch.front()))
        return 0;
    if (_batch.size() == 1 || _probe(_batch.back()))
        return _batch.size();
    // _batch[arrived] has its row, _batch[missing] has not.
    std::size_t arrived = 0;
    std::size_t missing = _batch.size() - 1;
    while (missing - arrived > 1) {
        const std::size_t middle = arrived + (missing - arrived) / 2;
        if (_probe(_batch[middle]))
            arrived = middle;
        else
            missing = middle;
    }
    return missing;
}

// The records of [_first, _last) a check probes: all of them up to eight, else the first, the last
// and six evenly between.
inline std::vector<std::size_t> spread(const std::size_t _first, const std::size_t _last) {
    constexpr std::size_t most = 8;
    std::vector<std::size_t> result;
    if (_last <= _first)
        return result;
    const std::size_t count = _last - _first;
    if (count <= most) {
        for (std::size_t i = _first; i < _last; ++i)
            result.push_back(i);
        return result;
    }
    for (std::size_t i = 0; i < most; ++i)
        result.push_back(_first + i * (count - 1) / (most - 1));
    return result;
}

// The written values of a record as one text, fed by the row description that the insert and the
// probe use: two records with the same text cannot be told apart by a probe.
class row_key {
public:
    row_key& keyword_default() { return *this; }

    template <class Number, class = std::enable_if_t<std::is_integral_v<Number>>>
    row_key& value(const Number _number) {
        return append('n', std::to_string(_number));
    }
    row_key& value(const std::string& _str) { return append('s', _str); }
    row_key& value(const libs::core::timestamp& _timestamp) {
        return append('t', std::to_string(_timestamp.get_time_since_epoch().count()));
    }
    template <class T>
    row_key& value(const boost::optional<T>& _optional) {
        if (_optional)
            return value(*_optional);
        return append('-', std::string());
    }
    // The insert writes an absent value as a blank.
    row_key& value_or_blank(const boost::optional<std::string>& _optional) {
        return value(_optional ? *_optional : std::string(" "));
    }

    const std::string& text() const { return m_text; }

private:
    row_key& append(const char _tag, const std::string& _value) {
        m_text += _tag;
        m_text += std::to_string(_value.size());
        m_text += ':';
        m_text += _value;
        return *this;
    }

    std::string m_text;
};

template <typename Record>
std::string written_values(const Record& _record) {
    row_key key;
    store::kind<Record>::describe_row(key, _record);
    return key.text();
}

// How a journalled batch can have arrived. A new batch goes in with one INSERT, all of it or
// nothing (whole). A recovery that inserts in parts leaves a mark of their bounds first, and each
// part goes in whole, in order (parts). After a spoiled journal was set aside, beside a mark that
// cannot be trusted, or into a table whose engine has no transactions, any leading run of records
// may be in (records).
enum class arrival_rule { whole, parts, records };

// What the probes tell of a journalled batch: how many leading records are taken as arrived, what,
// if anything, they could not settle (empty when they agree), and whether a probe found a record
// missing.
struct arrival {
    std::size_t arrived = 0;
    std::string doubt;
    bool missing = false;
};

// Decides how much of a batch arrived. _cuts are the records where the parts of the batch begin,
// ascending, followed by the batch's size; records before the first cut (found arrived by the
// recovery that cut the parts) are probed as one more part. _probe tells whether the column store
// holds a row with the record's written values, which an older identical row (a twin) satisfies
// too; _key gives those values, so that records alike are probed once. A missing row is certain, a
// found one is not. The parts went in one after the other, so they are checked from the first, each
// with spread probes of its own, and none after the first part with a missing probe counts as
// arrived. Under the records rule the end of the leading run is searched for and checked with
// spread probes; one missing there moves the end back before it. Where the probes disagree with the
// order of the parts, more is inserted rather than less.
template <typename Batch, typename Probe, typename Key>
arrival arrived_part(const Batch& _batch, const std::vector<std::size_t>& _cuts, const arrival_rule _rule,
                     Probe&& _probe, Key&& _key) {
    arrival result;
    std::map<std::string, bool> known;
    const auto found = [&](const std::size_t _index) {
        std::string key = _key(_batch[_index]);
        const auto at = known.find(key);
        if (at != known.end())
            return at->second;
        const bool present = _probe(_batch[_index]);
        if (!present)
            result.missing = true;
        known.emplace(std::move(key), present);
        return present;
    };
    std::vector<std::size_t> cuts = _cuts;
    if (cuts.front() > 0)
        cuts.insert(cuts.begin(), 0);
    const auto part_arrived = [&](const std::size_t _part) {
        for (const std::size_t i : spread(cuts[_part], cuts[_part + 1]))
            if (!found(i))
                return false;
        return true;
    };
    const auto record_text = [](const std::size_t _index) { return "record " + std::to_string(_index + 1); };

    std::size_t parts = 0;
    if (_rule != arrival_rule::records) {
        while (parts + 1 < cuts.size() && part_arrived(parts))
            ++parts;
        if (parts == 0 && _cuts.front() > 0)
            result.doubt = "a record before the first part of the mark is missing, though it was found before";
    } else {
        // Parts from limit on did not arrive.
        std::size_t limit = cuts.size() - 1;
        for (;;) {
            std::vector<std::size_t> candidates(limit);
            std::iota(candidates.begin(), candidates.end(), std::size_t(0));
            parts = arrived_prefix(candidates, part_arrived);
            std::size_t missing = _batch.size();
            for (const std::size_t i : spread(0, cuts[parts]))
                if (!found(i)) {
                    missing = i;
                    break;
                }
            if (missing == _batch.size())
                break;
            // Nothing from the missing record's part on arrived: the rows found after it are twins.
            limit = static_cast<std::size_t>(std::upper_bound(cuts.begin(), cuts.end(), missing) - cuts.begin()) - 1;
            result.doubt = record_text(missing) + " is missing while rows equal to later records are there";
        }
    }
    result.arrived = cuts[parts];
    if (_rule == arrival_rule::whole)
        return result;

    // What did not arrive should not be found, but for rows equal to records that did.
    std::set<std::string> arrived_keys;
    for (std::size_t i = 0; i < result.arrived; ++i)
        arrived_keys.insert(_key(_batch[i]));
    if (result.doubt.empty())
        for (const std::size_t i : spread(result.arrived, _batch.size()))
            if (arrived_keys.count(_key(_batch[i])) == 0 && found(i)) {
                result.doubt = "a row equal to " + record_text(i) + " is there while " + record_text(result.arrived) +
                               " before it is missing";
                break;
            }

    // Records taken as arrived on one probe alone could be an older twin's: inserted again.
    if (_rule == arrival_rule::records && result.arrived > 0) {
        std::set<std::string> probed;
        for (const std::size_t i : spread(0, result.arrived))
            probed.insert(_key(_batch[i]));
        if (probed.size() < 2) {
            result.doubt = "only one record's values were found (" + record_text(0) +
                           "), which an older identical row would give as well";
            result.arrived = 0;
        }
    }
    return result;
}

// Inserts the records of a batch from _from on, in as many parts as the packet limit needs. The
// parts are planned first, and unless the batch goes in whole with one statement _mark is given
// their bounds before the first part is inserted.
template <typename Batch, typename Fitting, typename Insert, typename Mark>
void insert_rest(const Batch& _batch, const std::size_t _from, Fitting&& _fitting, Insert&& _insert, Mark&& _mark) {
    const auto at = [&](const std::size_t _index) { return _batch.begin() + static_cast<std::ptrdiff_t>(_index); };
    std::vector<std::size_t> cuts{_from};
    while (cuts.back() < _batch.size()) {
        const std::size_t first = cuts.back();
        // The whole batch is measured and sent without a copy, the common case.
        const std::size_t fitting = first == 0 ? _fitting(_batch) : _fitting(Batch(at(first), _batch.end()));
        if (fitting == 0)
            throw std::logic_error("no record of the batch fits into one statement");
        cuts.push_back(first + std::min(fitting, _batch.size() - first));
    }
    if (cuts.size() < 2)
        return;
    if (_from > 0 || cuts.size() > 2)
        _mark(cuts);
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        if (cuts[i] == 0 && cuts[i + 1] == _batch.size())
            _insert(_batch);
        else
            _insert(Batch(at(cuts[i]), at(cuts[i + 1])));
    }
}

// Moves one new batch: read, journal, insert, delete, remove the journal. A batch whose INSERT
// would exceed the column store's packet limit is cut to the prefix that fits before it is
// journalled; the rest stays in the runtime table for the next batch. While _doubt holds, the
// batch is finished by _recover from its journal instead, which inserts only what did not arrive.
// Returns whether more rows may wait. Nothing is inserted unless the journal is on disk.
template <typename Read, typename Fitting, typename To_string, typename Insert, typename Delete, typename Recover>
bool move_batch(const std::string& _file, unsigned int _max_piece_size, arrival_doubt& _doubt, Read&& _read,
                Fitting&& _fitting, To_string&& _to_string, Insert&& _insert, Delete&& _delete, Recover&& _recover) {
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
    if (_doubt.holds()) {
        // From here on the journal carries the doubt: a crash leaves it to the recovery, which
        // also settles it.
        _recover();
        return full || cut;
    }
    _insert(batch);
    _delete(batch);
    boost::filesystem::remove(_file);
    return full || cut;
}

// Finishes a batch left in the journal: inserts the records that did not arrive, in as many parts
// as the packet limit needs, then deletes the batch from the runtime database; the mark and the
// journal are removed last. _transactional tells whether the kind's table takes an INSERT whole or
// not at all; it is asked only where the rule would otherwise rest on that. _warn is given what the
// probes could not settle. A batch checked under _doubt that shows a record missing settles it once
// the batch is finished. A failure, a spoiled journal set aside among them, leaves _doubt to be
// asked again.
template <typename From_file, typename To_string, typename Fitting, typename Probe, typename Key,
          typename Transactional, typename Insert, typename Delete, typename Warn>
void finish_batch(const std::string& _file, arrival_doubt& _doubt, From_file&& _from_file, To_string&& _to_string,
                  Fitting&& _fitting, Probe&& _probe, Key&& _key, Transactional&& _transactional, Insert&& _insert,
                  Delete&& _delete, Warn&& _warn) {
    try {
        const auto batch = _from_file(_file);
        bool settles = false;
        if (!batch.empty()) {
            const bool doubted = _doubt.holds();
            const std::uint64_t print = journal::fingerprint(_to_string(batch));
            auto mark = journal::read_parts_mark(_file);
            // A mark left beside another batch's journal says nothing of this one.
            if (mark && !mark->cuts.empty() && (mark->fingerprint != print || mark->size != batch.size()))
                mark = boost::none;
            std::vector<std::size_t> cuts;
            arrival_rule rule = arrival_rule::whole;
            if (mark && !mark->cuts.empty()) {
                cuts = mark->cuts;
                rule = arrival_rule::parts;
            } else if (!mark && !doubted)
                cuts = {0, batch.size()};
            else
                rule = arrival_rule::records;
            // What an interrupted INSERT leaves in a table without transactions is its first rows.
            if (rule != arrival_rule::records && !_transactional())
                rule = arrival_rule::records;
            if (rule == arrival_rule::records) {
                cuts.resize(batch.size() + 1);
                std::iota(cuts.begin(), cuts.end(), std::size_t(0));
            }
            const arrival found = arrived_part(batch, cuts, rule, _probe, _key);
            settles = doubted && found.missing;
            if (!found.doubt.empty())
                _warn("journal file " + _file + ": cannot tell which of its " + std::to_string(batch.size()) +
                      " records arrived (" + found.doubt + "); the records from " + std::to_string(found.arrived + 1) +
                      " on are inserted, so that none is lost, though one that had arrived is then stored twice");
            if (found.arrived < batch.size())
                insert_rest(batch, found.arrived, _fitting, _insert, [&](const std::vector<std::size_t>& _cuts) {
                    journal::write_parts_mark(_file, journal::parts_mark{print, batch.size(), _cuts});
                });
            _delete(batch);
        }
        // Without the mark the journal reads as a whole batch, which by now it is.
        journal::remove_parts_mark(_file);
        boost::filesystem::remove(_file);
        if (settles)
            _doubt.settle(_warn);
    } catch (...) {
        // A journal set aside takes its mark along.
        boost::system::error_code error;
        if (boost::filesystem::symlink_status(_file, error).type() == boost::filesystem::file_not_found)
            boost::filesystem::remove(journal::parts_mark_file(_file), error);
        _doubt.forget();
        throw;
    }
}

// The steps of one journalled kind, over the members of its processor: the seven processors
// differ only in the record kind, in what runs before a new batch (the hot purge of positions)
// and in what follows the drain (the refill of an open table).
template <typename Record>
class kind_steps {
public:
    using batch = std::vector<Record>;
    using from_file_function = batch (*)(const std::string&);
    using to_string_function = std::string (*)(const batch&);

    kind_steps(runtime::database& _runtime_db, store::column_store& _store, const std::string& _file,
               arrival_doubt& _doubt, from_file_function _from_file, to_string_function _to_string)
        : m_runtime_db(_runtime_db), m_store(_store), m_file(_file), m_doubt(_doubt), m_from_file(_from_file),
          m_to_string(_to_string) {}

    // One step: a journal left by an interrupted step is finished, and the step returns true;
    // else _before_read runs and a new batch is moved. Returns whether more rows may wait.
    template <typename Before_read>
    bool step(const unsigned int _max_piece_size, Before_read&& _before_read) const {
        if (boost::filesystem::exists(m_file)) {
            finish();
            return true;
        }
        _before_read();
        return move_batch(
            m_file, _max_piece_size, m_doubt,
            [this](const unsigned int _limit) { return (m_runtime_db.*runtime::kind<Record>::read)(_limit); },
            [this](const batch& _batch) { return m_store.fitting_rows(_batch); }, m_to_string,
            [this](const batch& _batch) { insert(_batch); }, [this](const batch& _batch) { remove(_batch); },
            [this] { finish(false); });
    }

    bool step(const unsigned int _max_piece_size) const {
        return step(_max_piece_size, [] {});
    }

    // Finishes the batch an interrupted step left in the journal, first checked against the
    // runtime rows its delete would remove unless _check_rows is false.
    void finish(const bool _check_rows = true) const {
        // Records whose runtime rows changed in place since they were journalled: not deleted.
        std::vector<std::size_t> kept;
        const auto from_file = [&](const std::string& _file) {
            batch journalled = m_from_file(_file);
            if (_check_rows && !journalled.empty())
                kept = check_runtime_rows(m_runtime_db, _file, journalled, QVD_SOURCE_LOCATION);
            return journalled;
        };
        finish_batch(
            m_file, m_doubt, from_file, m_to_string,
            [this](const batch& _batch) { return m_store.fitting_rows(_batch); },
            [this](const Record& _record) { return m_store.check_presence(store::kind<Record>::table.name, _record); },
            &written_values<Record>, [this] { return m_store.has_transactions(store::kind<Record>::table.name); },
            [this](const batch& _batch) { insert(_batch); },
            [&](const batch& _batch) { kept.empty() ? remove(_batch) : remove(without(_batch, kept)); },
            [this](const std::string& _text) { m_store.log_warning(_text); });
    }

private:
    void insert(const batch& _batch) const { (m_store.*store::kind<Record>::insert)(_batch); }
    void remove(const batch& _batch) const {
        if (!_batch.empty())
            (m_runtime_db.*runtime::kind<Record>::remove)(_batch);
    }

    // _batch without the records at the ascending indexes _left_out.
    static batch without(const batch& _batch, const std::vector<std::size_t>& _left_out) {
        batch result;
        std::size_t next = 0;
        for (std::size_t i = 0; i < _batch.size(); ++i) {
            if (next < _left_out.size() && _left_out[next] == i)
                ++next;
            else
                result.push_back(_batch[i]);
        }
        return result;
    }

    runtime::database& m_runtime_db;
    store::column_store& m_store;
    const std::string& m_file;
    arrival_doubt& m_doubt;
    const from_file_function m_from_file;
    const to_string_function m_to_string;
};

} // namespace journalled_processor
} // namespace qvd
