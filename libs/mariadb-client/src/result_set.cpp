#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/result_set.hpp>

#include <errmsg.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <streambuf>

namespace mariadb {

namespace {

// Reads a row's bytes in place.
class memory_buffer : public std::streambuf {
public:
    memory_buffer(const char* _begin, std::size_t _size) {
        char* const begin = const_cast<char*>(_begin);
        setg(begin, begin, begin + _size);
    }
};

struct memory_buffer_holder {
    memory_buffer m_buffer;
};

class memory_stream : private memory_buffer_holder, public std::istream {
public:
    memory_stream(const char* _begin, std::size_t _size)
        : memory_buffer_holder{memory_buffer(_begin, _size)}, std::istream(&m_buffer) {}
};

bool accepts(value::type _requested, value::type _actual) {
    switch (_requested) {
    case value::blob:
    case value::data:
    case value::string:
        return _actual == value::null || _actual == value::blob || _actual == value::data || _actual == value::string;
    case value::boolean:
        return _actual == value::boolean || _actual == value::signed8;
    case value::unsigned8:
    case value::signed8:
        return _actual == value::unsigned8 || _actual == value::signed8;
    case value::unsigned16:
    case value::signed16:
        return _actual == value::unsigned16 || _actual == value::signed16;
    case value::unsigned32:
    case value::signed32:
        return _actual == value::unsigned32 || _actual == value::signed32;
    case value::unsigned64:
    case value::signed64:
        return _actual == value::unsigned64 || _actual == value::signed64;
    default:
        return _actual == _requested;
    }
}

// The number of a conversion when it spans the whole text and lies in [_low, _high], else 0.
template <typename Result, typename Number>
Result within(Number _number, std::size_t _used, const std::string& _text, Number _low, Number _high) {
    if (_used != _text.size() || _number < _low || _number > _high)
        return 0;
    return static_cast<Result>(_number);
}

// A minus sign before an unsigned number would wrap it around instead of failing.
bool negative_text(const std::string& _text) {
    for (const char c : _text) {
        if (c == '-')
            return true;
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v')
            return false;
    }
    return false;
}

template <typename Result>
Result small_integer(const std::string& _text) {
    std::size_t used = 0;
    const int number = std::stoi(_text, &used);
    return within<Result, int>(number, used, _text, std::numeric_limits<Result>::min(),
                               std::numeric_limits<Result>::max());
}

} // namespace

f32 decimal::float32() const { return std::strtof(mStr.c_str(), nullptr); }

f64 decimal::double64() const { return std::strtod(mStr.c_str(), nullptr); }

result_set::result_set(MYSQL* _mysql, MYSQL_RES* _result) : m_result_set(_result), m_mysql(_mysql) {
    if (!m_result_set)
        return;
    m_field_count = mysql_num_fields(m_result_set);
    m_fields = mysql_fetch_fields(m_result_set);
    for (u32 index = 0; index < m_field_count; ++index)
        m_indexes[std::string(m_fields[index].name, m_fields[index].name_length)] = index;
}

result_set::~result_set() {
    if (m_result_set)
        mysql_free_result(m_result_set);
}

void result_set::release() {
    if (!m_result_set)
        return;
    mysql_free_result(m_result_set);
    m_abandoned = true;
    m_result_set = nullptr;
    m_fields = nullptr;
    m_row = nullptr;
    m_lengths = nullptr;
    m_field_count = 0;
    m_indexes.clear();
    m_was_fetched = false;
    m_mysql = nullptr;
}

std::string result_set::column_name(u32 _index) const {
    check_index(_index);
    return std::string(m_fields[_index].name, m_fields[_index].name_length);
}

u32 result_set::column_index(const std::string& _name) const {
    const auto found = m_indexes.find(_name);
    return found == m_indexes.end() ? std::numeric_limits<u32>::max() : found->second;
}

value::type result_set::column_type(u32 _index) const {
    check_index(_index);
    const MYSQL_FIELD& field = m_fields[_index];
    const bool is_unsigned = (field.flags & UNSIGNED_FLAG) != 0;
    switch (field.type) {
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
        return value::decimal;
    case MYSQL_TYPE_TINY:
        return is_unsigned ? value::unsigned8 : value::signed8;
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
        return is_unsigned ? value::unsigned16 : value::signed16;
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
        return is_unsigned ? value::unsigned32 : value::signed32;
    case MYSQL_TYPE_LONGLONG:
        return is_unsigned ? value::unsigned64 : value::signed64;
    case MYSQL_TYPE_FLOAT:
        return value::float32;
    case MYSQL_TYPE_DOUBLE:
        return value::double64;
    case MYSQL_TYPE_NULL:
        return value::null;
    case MYSQL_TYPE_TIMESTAMP:
    case MYSQL_TYPE_DATETIME:
        return value::date_time;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
        return value::date;
    case MYSQL_TYPE_TIME:
        return value::time;
    case MYSQL_TYPE_BIT:
        return value::boolean;
    case MYSQL_TYPE_ENUM:
        return value::enumeration;
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
        return value::blob;
    default:
        return value::string;
    }
}

unsigned long result_set::column_size(u32 _index) const {
    check_index(_index);
    return m_lengths ? m_lengths[_index] : 0;
}

bool result_set::next() {
    if (m_abandoned)
        fail(CR_COMMANDS_OUT_OF_SYNC, "Commands out of sync; the streamed result was ended by a later command",
             "result_set", __FILE__, __LINE__);
    if (!m_result_set) {
        m_was_fetched = false;
        return false;
    }
    m_row = mysql_fetch_row(m_result_set);
    m_lengths = m_row ? mysql_fetch_lengths(m_result_set) : nullptr;
    m_was_fetched = m_row != nullptr;
    if (m_was_fetched)
        ++m_row_index;
    // A streamed fetch that failed must not look like the end of the rows.
    if (!m_was_fetched && m_mysql && mysql_errno(m_mysql) != 0)
        fail(mysql_errno(m_mysql), mysql_error(m_mysql), "result_set", __FILE__, __LINE__);
    return m_was_fetched;
}

bool result_set::set_row_index(u64 _index) {
    // Only a result held whole can be moved in.
    if (!m_result_set || m_mysql) {
        m_was_fetched = false;
        return false;
    }
    mysql_data_seek(m_result_set, _index);
    m_row_index = _index;
    return next();
}

u64 result_set::row_index() const { return m_row_index; }

u64 result_set::row_count() const { return m_result_set ? mysql_num_rows(m_result_set) : 0; }

void result_set::check_row_fetched() const {
    if (!m_was_fetched)
        throw std::out_of_range("No row was fetched");
}

void result_set::check_index(u32 _index) const {
    if (_index >= m_field_count)
        throw std::out_of_range("Column index out of range");
}

void result_set::check_type(u32 _index, value::type _requested) const {
    const value::type actual = column_type(_index);
    if (!accepts(_requested, actual)) {
        std::printf("requested type %d does not match actual type %d", static_cast<int>(_requested),
                    static_cast<int>(actual));
        throw exception::connection(12, "type error");
    }
}

std::string result_set::text(u32 _index) const {
    if (!m_row[_index])
        return std::string();
    return std::string(m_row[_index], m_lengths[_index]);
}

bool result_set::get_is_null(u32 _index) const {
    check_row_fetched();
    check_index(_index);
    return m_row[_index] == nullptr;
}

std::string result_set::get_string(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::string);
    return text(_index);
}

stream_ref result_set::get_blob(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::blob);
    if (!m_row[_index] || m_lengths[_index] == 0)
        return nullptr;
    return std::make_shared<memory_stream>(m_row[_index], m_lengths[_index]);
}

data_ref result_set::get_data(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::data);
    if (!m_row[_index] || m_lengths[_index] == 0)
        return nullptr;
    return std::make_shared<data<char>>(m_row[_index], static_cast<u32>(m_lengths[_index]));
}

date_time result_set::get_date(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::date);
    return date_time(text(_index)).date();
}

date_time result_set::get_date_time(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::date_time);
    return date_time(text(_index));
}

time result_set::get_time(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::time);
    return time(text(_index));
}

decimal result_set::get_decimal(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::decimal);
    return decimal(text(_index));
}

bool result_set::get_boolean(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::boolean);
    if (column_type(_index) == value::boolean) {
        // A BIT value arrives as raw bytes, not as digits; NULL fails as for every numeric getter.
        if (!m_row[_index])
            throw std::invalid_argument("stoi");
        for (unsigned long i = 0; i < m_lengths[_index]; ++i)
            if (m_row[_index][i] != 0)
                return true;
        return false;
    }
    const std::string value = text(_index);
    std::size_t used = 0;
    const int number = std::stoi(value, &used);
    return used == value.size() && number == 1;
}

u8 result_set::get_unsigned8(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::unsigned8);
    return small_integer<u8>(text(_index));
}

s8 result_set::get_signed8(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::signed8);
    return small_integer<s8>(text(_index));
}

u16 result_set::get_unsigned16(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::unsigned16);
    return small_integer<u16>(text(_index));
}

s16 result_set::get_signed16(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::signed16);
    return small_integer<s16>(text(_index));
}

u32 result_set::get_unsigned32(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::unsigned32);
    const std::string value = text(_index);
    std::size_t used = 0;
    const unsigned long number = std::stoul(value, &used);
    if (negative_text(value))
        return 0;
    return within<u32, unsigned long>(number, used, value, 0, std::numeric_limits<u32>::max());
}

s32 result_set::get_signed32(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::signed32);
    const std::string value = text(_index);
    std::size_t used = 0;
    const int number = std::stoi(value, &used);
    return used == value.size() ? number : 0;
}

u64 result_set::get_unsigned64(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::unsigned64);
    const std::string value = text(_index);
    std::size_t used = 0;
    const unsigned long long number = std::stoull(value, &used);
    return used == value.size() && !negative_text(value) ? number : 0;
}

s64 result_set::get_signed64(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::signed64);
    const std::string value = text(_index);
    std::size_t used = 0;
    const long long number = std::stoll(value, &used);
    return used == value.size() ? number : 0;
}

f32 result_set::get_float(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::float32);
    const std::string value = text(_index);
    try {
        std::size_t used = 0;
        const float number = std::stof(value, &used);
        return used == value.size() ? number : 0;
    } catch (const std::out_of_range&) {
        return std::numeric_limits<f32>::quiet_NaN();
    }
}

f64 result_set::get_double(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::double64);
    const std::string value = text(_index);
    try {
        std::size_t used = 0;
        const double number = std::stod(value, &used);
        return used == value.size() ? number : 0;
    } catch (const std::out_of_range&) {
        return std::numeric_limits<f64>::quiet_NaN();
    }
}

} // namespace mariadb
