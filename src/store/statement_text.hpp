// The statement texts of the column store, built without a server: literals, rows, probes, INSERTs.
#pragma once

#include "records/row_name.hpp"
#include "store/kind.hpp"
#include "store/prepared_insert.hpp"
#include "store/store.hpp"

#include <core/timestamp.hpp>

#include <boost/optional.hpp>

#include <charconv>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace qvd::store {

// Appends the literal of string_literal without a temporary.
void append_string_literal(std::string& _text, const std::string& _str);

template <class Number>
void append_number(std::string& _text, Number _number) {
    static_assert(std::is_integral_v<Number>, "numbers of the column store are integers");
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, _number);
    _text.append(buffer, result.ptr);
}

void append_time_literal(std::string& _text, const timestamp& _timestamp);

// Appends the literal of _str as _column keeps it: a text longer than a CHAR(N) or VARCHAR(N)
// column is cut to its first N characters, as the server stores it when the rest is blanks (with
// only a note, in the sessions' strict mode too), and a CHAR column gives its value back without
// trailing blanks. The cut and the trim are the server's own functions, so they count characters
// as it does. Every other value the sessions' strict mode lets in is kept as written.
void append_kept_text(std::string& _text, const column& _column, const std::string& _str);

// The values of one row, separated by a comma alone.
class row_values {
public:
    explicit row_values(std::string& _text) : m_text(_text) {}

    row_values& keyword_default() {
        separate();
        m_text += "DEFAULT";
        return *this;
    }

    template <class Number, class = std::enable_if_t<std::is_integral_v<Number>>>
    row_values& value(Number _number) {
        separate();
        append_number(m_text, _number);
        return *this;
    }

    row_values& value(const std::string& _str) {
        separate();
        append_string_literal(m_text, _str);
        return *this;
    }

    row_values& value(const timestamp& _timestamp) {
        separate();
        append_time_literal(m_text, _timestamp);
        return *this;
    }

    // An absent value is NULL.
    template <class T>
    row_values& value(const boost::optional<T>& _optional) {
        if (_optional)
            return value(*_optional);
        separate();
        m_text += "NULL";
        return *this;
    }

    // An absent value is a single blank, for NOT NULL text columns.
    row_values& value_or_blank(const boost::optional<std::string>& _optional) {
        if (_optional)
            return value(*_optional);
        separate();
        m_text += "' '";
        return *this;
    }

private:
    void separate() {
        if (m_first)
            m_first = false;
        else
            m_text += ',';
    }

    std::string& m_text;
    bool m_first = true;
};

// The conditions of a probe: every column that the insert writes holds exactly the record's value
// as the column keeps it, NULL-safe, texts compared byte for byte whatever the column's collation.
// Fed by the same row description as row_values, so the columns compared are the columns written.
class row_conditions {
public:
    row_conditions(std::string& _text, const table& _table) : m_text(_text), m_columns(_table.columns) {}

    // A column left to its default is not compared.
    row_conditions& keyword_default() {
        next_column();
        return *this;
    }

    template <class Number, class = std::enable_if_t<std::is_integral_v<Number>>>
    row_conditions& value(Number _number) {
        begin_condition(next_column());
        append_number(m_text, _number);
        return *this;
    }

    row_conditions& value(const std::string& _str) {
        append_kept_text(m_text, begin_condition(next_column()), _str);
        m_text += " COLLATE utf8mb4_nopad_bin";
        return *this;
    }
    row_conditions& value(const timestamp& _timestamp) {
        begin_condition(next_column());
        append_time_literal(m_text, _timestamp);
        return *this;
    }

    template <class T>
    row_conditions& value(const boost::optional<T>& _optional) {
        if (_optional)
            return value(*_optional);
        const column& c = next_column();
        separate();
        m_text += c.field;
        m_text += " IS NULL";
        return *this;
    }

    row_conditions& value_or_blank(const boost::optional<std::string>& _optional) {
        return value(_optional ? *_optional : std::string(" "));
    }

private:
    const column& next_column() {
        if (m_index >= m_columns.size())
            throw std::logic_error("a row description has more values than its table has columns");
        return m_columns[m_index++];
    }

    const column& begin_condition(const column& _column) {
        separate();
        m_text += _column.field;
        m_text += " <=> ";
        return _column;
    }

    void separate() {
        if (m_first)
            m_first = false;
        else
            m_text += " AND ";
    }

    std::string& m_text;
    const std::vector<column>& m_columns;
    std::size_t m_index = 0;
    bool m_first = true;
};

// SELECT 1 FROM name WHERE (every written column equal) LIMIT 1.
template <class Record>
std::string make_presence_text(const std::string& _table_name, const Record& _record) {
    std::string text = "SELECT 1 FROM " + _table_name + " WHERE ";
    row_conditions conditions(text, kind<Record>::table);
    kind<Record>::describe_row(conditions, _record);
    text += " LIMIT 1";
    return text;
}

void append_insert_header(std::string& _text, const table& _table);

// Appends one record's row, in parentheses.
template <class Record>
void append_row(std::string& _text, const Record& _record) {
    _text += '(';
    row_values values(_text);
    kind<Record>::describe_row(values, _record);
    _text += ')';
}

// Builds into _insert the INSERT name(columns) VALUES (row), (row), ... of the leading records of
// [_first, _last) that fit in _budget bytes: rows are appended until one passes the budget, and the
// text is cut after the last row that fits. Returns how many rows it carries, 0 when the first one
// alone does not fit; _first_size receives the length of the first row's statement.
template <class Iterator>
std::size_t build_insert_text(prepared_insert& _insert, const table& _table, Iterator _first, Iterator _last,
                              std::size_t _budget, std::size_t& _first_size) {
    std::string& text = _insert.text;
    text.clear();
    std::size_t header_size = _table.name.size() + 16;
    for (const column& c : _table.columns)
        header_size += c.field.size() + 2;
    text.reserve(header_size + 512);
    append_insert_header(text, _table);
    _insert.header_end = text.size();

    const auto size = static_cast<std::size_t>(_last - _first);
    std::size_t count = 0;
    std::size_t row_start = text.size();
    for (Iterator record = _first; record != _last; ++record) {
        const std::size_t end_of_previous = text.size();
        if (record != _first)
            text += ", ";
        row_start = text.size();
        append_row(text, *record);
        if (record == _first)
            _first_size = text.size();
        if (text.size() > _budget) {
            text.resize(end_of_previous);
            break;
        }
        if (record == _first) {
            _insert.first_row_end = text.size();
            if (size > 1) {
                // Rows of a batch are alike: the first one sizes the rest, with room for longer texts.
                const std::size_t row_size = text.size() - row_start + 2;
                text.reserve(text.size() + (size - 1) * (row_size + row_size / 4 + 16));
            }
        }
        _insert.last_row_start = row_start;
        ++count;
    }
    _insert.count = count;
    return count;
}

// The whole INSERT of the records [_first, _last).
template <class Iterator>
std::string make_insert_text(const table& _table, Iterator _first, Iterator _last) {
    prepared_insert insert;
    std::size_t first_size = 0;
    build_insert_text(insert, _table, _first, _last, std::string::npos, first_size);
    return std::move(insert.text);
}

template <class Record>
std::string make_insert_text(const table& _table, const std::vector<Record>& _piece) {
    return make_insert_text(_table, _piece.begin(), _piece.end());
}

// Whether the row of _record is the text's [_start, _end), rebuilt into _scratch.
template <class Record>
bool row_text_is(const std::string& _text, std::size_t _start, std::size_t _end, const Record& _record,
                 std::string& _scratch) {
    _scratch.clear();
    append_row(_scratch, _record);
    return _text.compare(_start, _end - _start, _scratch) == 0;
}

// The 1-based position within its INSERT of the row the server refused, as its message ends
// ("Data too long for column 'mac_address' at row 3"); 0 when the message names no row.
std::size_t refused_row(const std::string& _message);

// " (table T, row id N)" for the record of [_first, _last) that the server's message names; empty
// when it names none of them.
template <class Iterator>
std::string refused_record_text(const std::string& _message, const table& _table, Iterator _first, Iterator _last) {
    const std::size_t row = refused_row(_message);
    if (row == 0 || row > static_cast<std::size_t>(_last - _first))
        return {};
    return " (table " + _table.name + ", " + row_name(*(_first + static_cast<std::ptrdiff_t>(row - 1))) + ")";
}

} // namespace qvd::store
