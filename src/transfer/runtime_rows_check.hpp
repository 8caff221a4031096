#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/optional.hpp>

#include <core/exception.hpp>
#include <core/timestamp.hpp>

#include "records/row_name.hpp"
#include "runtime/database.hpp"
#include "runtime/kind.hpp"
#include "transfer/journal.hpp"

namespace qvd {
namespace journalled_processor {

// A journal is finished against the runtime rows of its ids: inserted, then those rows deleted.
// A journal that is not of these rows (a data directory reused for other databases, a journal
// copied from another host) would insert rows that were never read here and delete rows that
// never reached the column store. So before a recovery inserts or deletes anything, the rows its
// delete would remove are read: each must be gone (the delete ran before the interruption) or be
// the journal's record in every field that is the row's own. Names joined from other tables may
// have changed since and are not compared; fields a kind lets change in place keep their row.

namespace detail {

inline std::string value_text(const std::string& _value) {
    constexpr std::size_t shown = 60;
    if (_value.size() <= shown)
        return "'" + _value + "'";
    return "'" + _value.substr(0, shown) + "'... (" + std::to_string(_value.size()) + " bytes)";
}

inline std::string value_text(const libs::core::timestamp& _value) { return _value.to_iso_8601_string(true); }

template <class Number, class = std::enable_if_t<std::is_integral_v<Number>>>
std::string value_text(const Number _value) {
    return std::to_string(_value);
}

template <class T>
std::string value_text(const boost::optional<T>& _value) {
    return _value ? value_text(*_value) : std::string("NULL");
}

// Compares a journal record with the runtime row of its key, as runtime::kind<Record>::compare
// lists their fields: the first field of the row's own that differs, and whether a field that
// may change in place did.
class row_comparison {
public:
    template <class T>
    void same(const char* _field, const T& _journal, const T& _row) {
        if (m_difference.empty() && !(_journal == _row))
            m_difference = std::string(_field) + " is " + value_text(_journal) + " in the journal, " +
                           value_text(_row) + " in the runtime database";
    }

    template <class T>
    void may_change(const char*, const T& _journal, const T& _row) {
        m_changed = m_changed || !(_journal == _row);
    }

    const std::string& difference() const { return m_difference; }
    bool changed() const { return m_changed; }

private:
    std::string m_difference;
    bool m_changed = false;
};

// Most kinds are one row per record, read by its key; nothing more to look at.
template <typename Record>
std::string rows_beside(const runtime::database&, const std::vector<Record>&, const std::set<std::size_t>&,
                        std::size_t&) {
    return {};
}

// A zone event is two rows, read as a pair by its leave row. Every row of either id that is still
// there must belong to a pair that is the journal's record.
inline std::string rows_beside(const runtime::database& _runtime_db, const std::vector<zone_event>& _batch,
                               const std::set<std::size_t>& _matched, std::size_t& _record) {
    std::set<long long> own;
    for (const std::size_t i : _matched) {
        own.insert(_batch[i].id_enter);
        own.insert(_batch[i].id_leave);
    }
    std::set<long long> stranger;
    for (const long long id : _runtime_db.zone_event_history_ids(_batch))
        if (own.count(id) == 0)
            stranger.insert(id);
    for (std::size_t i = 0; i < _batch.size(); ++i) {
        for (const long long id :
             {static_cast<long long>(_batch[i].id_enter), static_cast<long long>(_batch[i].id_leave)})
            if (stranger.count(id) != 0) {
                _record = i;
                return "row id " + std::to_string(id) +
                       " of zone_event_history is there, but not as the closed zone event the journal holds";
            }
    }
    return {};
}

} // namespace detail

// Checks the journalled _batch of _file against the runtime rows its delete would remove (one
// read, two for zone events). Returns the indexes of the records whose rows changed in place
// since (see runtime::kind<Record>::compare): their new values are not moved yet, so the delete
// leaves them. When a row is not the journal's record, the journal is set aside as a spoiled one
// is, and the failure names the file and the first record that differs; nothing is inserted or
// deleted for it then.
template <typename Record>
std::vector<std::size_t> check_runtime_rows(const runtime::database& _runtime_db, const std::string& _file,
                                            const std::vector<Record>& _batch,
                                            const libs::core::source_location& _location) {
    using facts = runtime::kind<Record>;
    using key_type = decltype(facts::key(std::declval<const Record&>()));
    const std::vector<Record> rows = _runtime_db.rows_to_delete(_batch);
    std::map<key_type, const Record*> row_of;
    for (const Record& row : rows)
        row_of.emplace(facts::key(row), &row);

    std::vector<std::size_t> kept;
    std::set<std::size_t> matched;
    std::string difference;
    std::size_t record = 0;
    for (std::size_t i = 0; i < _batch.size() && difference.empty(); ++i) {
        const auto at = row_of.find(facts::key(_batch[i]));
        if (at == row_of.end())
            continue;
        detail::row_comparison comparison;
        facts::compare(comparison, _batch[i], *at->second);
        if (!comparison.difference().empty()) {
            difference = comparison.difference();
            record = i;
        } else {
            matched.insert(i);
            if (comparison.changed())
                kept.push_back(i);
        }
    }
    if (difference.empty())
        difference = detail::rows_beside(_runtime_db, _batch, matched, record);
    if (difference.empty())
        return kept;

    std::string message = "journal file " + _file + " does not hold the runtime rows of its ids: record " +
                          std::to_string(record + 1) + " of " + std::to_string(_batch.size()) + " (" +
                          row_name(_batch[record]) + " of " + facts::table + "): " + difference;
    try {
        message += "; set aside as " + journal::move_aside(_file) +
                   ", nothing of it inserted or deleted; the next batches of its kind are inserted only where they "
                   "did not arrive, until one shows a record missing";
    } catch (const std::exception& move_error) {
        message += "; nothing of it inserted or deleted; ";
        message += move_error.what();
    }
    throw libs::core::exception(message, _location);
}

} // namespace journalled_processor
} // namespace qvd
