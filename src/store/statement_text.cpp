// The statement texts that need no template, and the static text members of the column store.
#include "store/statement_text.hpp"
#include "store/store_impl.hpp"

#include <charconv>
#include <string>
#include <system_error>

namespace qvd::store {

void append_string_literal(std::string& _text, const std::string& _str) {
    // One plain pass over the bytes: far cheaper than find_first_of's search per byte.
    bool quote = false;
    bool backslash = false;
    for (const char c : _str) {
        if (c == '\\') {
            backslash = true;
            break;
        }
        quote = quote || c == '\'';
    }
    if (!quote && !backslash) {
        _text += '\'';
        _text += _str;
        _text += '\'';
        return;
    }
    if (!backslash) {
        // A doubled quote is read as one quote in every sql_mode.
        _text += '\'';
        for (const char c : _str) {
            if (c == '\'')
                _text += '\'';
            _text += c;
        }
        _text += '\'';
        return;
    }
    // A backslash reads differently with and without NO_BACKSLASH_ESCAPES; hex digits never do.
    // The introducer gives the literal the connection's character set, as a quoted one has.
    static const char digits[] = "0123456789ABCDEF";
    _text += "_utf8mb4 X'";
    for (const char c : _str) {
        const auto byte = static_cast<unsigned char>(c);
        _text += digits[byte >> 4];
        _text += digits[byte & 0x0f];
    }
    _text += '\'';
}

void append_time_literal(std::string& _text, const timestamp& _timestamp) {
    _text += '\'';
    _timestamp.append_iso_8601_string(_text, true);
    _text += '\'';
}

namespace {

// The N of a type "char(N)" or "varchar(N)" (fixed is set for CHAR), 0 for any other type.
std::size_t text_width(const std::string& _type, bool& _fixed) {
    _fixed = _type.compare(0, 5, "char(") == 0;
    const std::size_t open = _fixed ? 4 : _type.compare(0, 8, "varchar(") == 0 ? 7 : 0;
    if (open == 0)
        return 0;
    std::size_t width = 0;
    const auto result = std::from_chars(_type.data() + open + 1, _type.data() + _type.size(), width);
    return result.ec == std::errc() && result.ptr < _type.data() + _type.size() && *result.ptr == ')' ? width : 0;
}

// Characters of a UTF-8 text: the bytes that do not continue a character.
std::size_t characters(const std::string& _str) {
    std::size_t count = 0;
    for (const char c : _str)
        count += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return count;
}

} // namespace

void append_kept_text(std::string& _text, const column& _column, const std::string& _str) {
    bool fixed = false;
    const std::size_t width = text_width(_column.type, fixed);
    // Only a text that the column could cut pays for the count, and only a cut one for LEFT, so
    // that the probe of a text that fits reads as it always has.
    const bool cut = width > 0 && _str.size() > width && characters(_str) > width;
    if (fixed)
        _text += "RTRIM(";
    if (cut)
        _text += "LEFT(";
    append_string_literal(_text, _str);
    if (cut) {
        _text += ", ";
        append_number(_text, width);
        _text += ')';
    }
    if (fixed)
        _text += ')';
}

void append_insert_header(std::string& _text, const table& _table) {
    _text += "INSERT ";
    _text += _table.name;
    _text += '(';
    bool first = true;
    for (const column& c : _table.columns) {
        if (!first)
            _text += ", ";
        first = false;
        _text += c.field;
    }
    _text += ") VALUES ";
}

std::size_t refused_row(const std::string& _message) {
    static const std::string marker = " at row ";
    const std::size_t at = _message.rfind(marker);
    if (at == std::string::npos)
        return 0;
    const char* const first = _message.data() + at + marker.size();
    const char* const last = _message.data() + _message.size();
    std::size_t row = 0;
    const auto result = std::from_chars(first, last, row);
    return result.ec == std::errc() && result.ptr == last ? row : 0;
}

std::string column_store_impl::string_literal(const std::string& _str) {
    std::string text;
    text.reserve(_str.size() + 2);
    append_string_literal(text, _str);
    return text;
}

std::string column_store_impl::to_iso_8601_with_ms_string(const libs::core::timestamp& _timestamp) {
    return _timestamp.to_iso_8601_string(true);
}

template <class Record>
std::string column_store_impl::make_insert(const std::vector<Record>& _piece) {
    return make_insert_text(kind<Record>::table, _piece);
}

template <class Record>
std::string column_store_impl::make_presence_query(const std::string& _table, const Record& _record) {
    return make_presence_text(_table, _record);
}

// The statement texts of every kind, for the callers that look at them.
template std::string column_store_impl::make_insert(const std::vector<position>&);
template std::string column_store_impl::make_insert(const std::vector<external_event>&);
template std::string column_store_impl::make_insert(const std::vector<zone_event>&);
template std::string column_store_impl::make_insert(const std::vector<zone_event_open>&);
template std::string column_store_impl::make_insert(const std::vector<activity>&);
template std::string column_store_impl::make_insert(const std::vector<vehicle_driver_association>&);
template std::string column_store_impl::make_insert(const std::vector<vehicle_driver_association_open>&);
template std::string column_store_impl::make_insert(const std::vector<heartbeat>&);
template std::string column_store_impl::make_insert(const std::vector<node_parameter>&);
template std::string column_store_impl::make_presence_query(const std::string&, const position&);
template std::string column_store_impl::make_presence_query(const std::string&, const external_event&);
template std::string column_store_impl::make_presence_query(const std::string&, const zone_event&);
template std::string column_store_impl::make_presence_query(const std::string&, const activity&);
template std::string column_store_impl::make_presence_query(const std::string&, const vehicle_driver_association&);
template std::string column_store_impl::make_presence_query(const std::string&, const heartbeat&);
template std::string column_store_impl::make_presence_query(const std::string&, const node_parameter&);

} // namespace qvd::store
