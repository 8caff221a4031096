#include <mariadb_client/bind.hpp>
#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/result_set.hpp>
#include <mariadb_client/statement.hpp>

#include <errmsg.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <streambuf>
#include <type_traits>

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

result_set::result_set(MYSQL* _mysql, const statement_data_ref& _statement, bool _store)
    : m_mysql(_store ? nullptr : _mysql), m_stmt_data(_statement) {
    MYSQL_STMT* const statement = m_stmt_data->m_statement;
    // Stored rows then report their real longest values, and every bind is sized to hold them.
    const my_bool update_max_length = 1;
    mysql_stmt_attr_set(statement, STMT_ATTR_UPDATE_MAX_LENGTH, &update_max_length);
    if (_store && mysql_stmt_store_result(statement) != 0)
        fail(mysql_stmt_errno(statement), mysql_stmt_error(statement), "result_set", __FILE__, __LINE__);
    const u32 field_count = mysql_stmt_field_count(statement);
    std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> metadata(mysql_stmt_result_metadata(statement),
                                                                      &mysql_free_result);
    if (!metadata) {
        if (field_count != 0)
            fail(mysql_stmt_errno(statement), mysql_stmt_error(statement), "result_set", __FILE__, __LINE__);
        return;
    }
    m_field_count = field_count;
    m_fields = mysql_fetch_fields(metadata.get());
    m_raw_binds = std::make_unique<MYSQL_BIND[]>(m_field_count);
    m_binds.reserve(m_field_count);
    for (u32 index = 0; index < m_field_count; ++index) {
        m_indexes[std::string(m_fields[index].name, m_fields[index].name_length)] = index;
        m_binds.push_back(std::make_unique<bind>(&m_raw_binds[index], m_fields[index]));
    }
    if (mysql_stmt_bind_result(statement, m_raw_binds.get()) != 0) {
        const u32 error_no = mysql_stmt_errno(statement);
        const std::string error = mysql_stmt_error(statement);
        mysql_stmt_free_result(statement);
        fail(error_no, error, "result_set", __FILE__, __LINE__);
    }
    m_result_set = metadata.release();
}

result_set::~result_set() {
    if (m_stmt_data && m_result_set)
        mysql_stmt_free_result(m_stmt_data->m_statement);
    if (m_result_set)
        mysql_free_result(m_result_set);
}

void result_set::release() {
    if (!m_result_set)
        return;
    // Rows still on the wire are read off, so that the handle is in sync for the next command.
    if (m_stmt_data)
        mysql_stmt_free_result(m_stmt_data->m_statement);
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
    if (m_stmt_data)
        return bound(_index).length();
    return m_lengths ? m_lengths[_index] : 0;
}

bool result_set::next() {
    if (m_abandoned)
        fail(CR_COMMANDS_OUT_OF_SYNC,
             m_stmt_data ? "Commands out of sync; the statement's result was ended by a later command"
                         : "Commands out of sync; the streamed result was ended by a later command",
             "result_set", __FILE__, __LINE__);
    if (!m_result_set) {
        m_was_fetched = false;
        return false;
    }
    if (m_stmt_data)
        return fetch_bound();
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

bool result_set::fetch_bound() {
    MYSQL_STMT* const statement = m_stmt_data->m_statement;
    const int status = mysql_stmt_fetch(statement);
    m_was_fetched = status == 0 || status == MYSQL_DATA_TRUNCATED;
    if (!m_was_fetched) {
        if (status != MYSQL_NO_DATA)
            fail_statement(__LINE__);
        return false;
    }
    ++m_row_index;
    // A value longer than its bind is no end of the rows: it is fetched again in full, and the
    // bind keeps the larger storage for the rows that follow. The flags are read even without
    // MYSQL_DATA_TRUNCATED, which an account may switch off.
    bool grown = false;
    for (u32 index = 0; index < m_field_count; ++index) {
        bind& value = *m_binds[index];
        if (!value.truncated() || !value.variable())
            continue;
        value.reserve(value.length());
        if (mysql_stmt_fetch_column(statement, &m_raw_binds[index], index, 0) != 0)
            fail_statement(__LINE__);
        grown = true;
    }
    if (grown && mysql_stmt_bind_result(statement, m_raw_binds.get()) != 0)
        fail_statement(__LINE__);
    return true;
}

void result_set::fail_statement(unsigned _line) {
    MYSQL_STMT* const statement = m_stmt_data->m_statement;
    // A streamed row that fails on the server leaves its error in the connection's handle.
    if (mysql_stmt_errno(statement) == 0 && m_mysql && mysql_errno(m_mysql) != 0)
        fail(mysql_errno(m_mysql), mysql_error(m_mysql), "result_set", __FILE__, _line);
    fail(mysql_stmt_errno(statement), mysql_stmt_error(statement), "result_set", __FILE__, _line);
}

bool result_set::set_row_index(u64 _index) {
    // Only a result held whole can be moved in.
    if (!m_result_set || m_mysql) {
        m_was_fetched = false;
        return false;
    }
    if (m_stmt_data)
        mysql_stmt_data_seek(m_stmt_data->m_statement, _index);
    else
        mysql_data_seek(m_result_set, _index);
    m_row_index = _index;
    return next();
}

u64 result_set::row_index() const { return m_row_index; }

u64 result_set::row_count() const {
    if (!m_result_set)
        return 0;
    return m_stmt_data ? mysql_stmt_num_rows(m_stmt_data->m_statement) : mysql_num_rows(m_result_set);
}

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

const char* result_set::bytes(u32 _index, unsigned long& _length) const {
    if (m_stmt_data) {
        const bind& value = bound(_index);
        _length = value.length();
        return value.is_null() ? nullptr : value.buffer();
    }
    _length = m_row[_index] ? m_lengths[_index] : 0;
    return m_row[_index];
}

std::string result_set::text(u32 _index) const {
    unsigned long length = 0;
    const char* const value = bytes(_index, length);
    return value ? std::string(value, length) : std::string();
}

// A statement's integer read as a text query's conversion _Conversion reads the same value:
// SQL NULL fails as the empty text does, a value beyond the conversion's own type throws
// std::out_of_range, and one outside the result's range (a negative one for an unsigned result)
// reads as 0.
template <typename Result, typename Conversion>
Result result_set::bound_integer(u32 _index, const char* _conversion) const {
    const bind& value = bound(_index);
    if (value.is_null())
        throw std::invalid_argument(_conversion);
    if ((m_fields[_index].flags & UNSIGNED_FLAG) != 0) {
        const u64 number = value.unsigned_value();
        if (number > static_cast<u64>(std::numeric_limits<Conversion>::max()))
            throw std::out_of_range(_conversion);
        return number <= static_cast<u64>(std::numeric_limits<Result>::max()) ? static_cast<Result>(number) : 0;
    }
    const s64 number = value.signed_value();
    if (number < 0)
        return std::is_signed<Result>::value && number >= static_cast<s64>(std::numeric_limits<Result>::min())
                   ? static_cast<Result>(number)
                   : 0;
    return static_cast<u64>(number) <= static_cast<u64>(std::numeric_limits<Result>::max())
               ? static_cast<Result>(number)
               : 0;
}

bool result_set::get_is_null(u32 _index) const {
    check_row_fetched();
    check_index(_index);
    if (m_stmt_data)
        return bound(_index).is_null();
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
    unsigned long length = 0;
    const char* const value = bytes(_index, length);
    if (!value || length == 0)
        return nullptr;
    return std::make_shared<memory_stream>(value, length);
}

data_ref result_set::get_data(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::data);
    unsigned long length = 0;
    const char* const value = bytes(_index, length);
    if (!value || length == 0)
        return nullptr;
    return std::make_shared<data<char>>(value, static_cast<u32>(length));
}

date_time result_set::get_date(u32 _index) const { return get_date_time_of(_index, value::date).date(); }

date_time result_set::get_date_time(u32 _index) const { return get_date_time_of(_index, value::date_time); }

date_time result_set::get_date_time_of(u32 _index, value::type _requested) const {
    check_row_fetched();
    check_type(_index, _requested);
    if (!m_stmt_data)
        return date_time(text(_index));
    // SQL NULL fails as its empty text does; the bind holds no date then.
    if (bound(_index).is_null())
        throw std::invalid_argument("invalid date format");
    return date_time(bound(_index).time_value());
}

time result_set::get_time(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::time);
    if (!m_stmt_data)
        return time(text(_index));
    // NULL, a negative time or one beyond a day fails as its text does, rather than reading
    // as a time of day that it is not.
    const bind& value = bound(_index);
    if (value.is_null() || value.time_value().neg || value.time_value().hour > 23)
        throw std::invalid_argument("invalid time format");
    return time(value.time_value());
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
        unsigned long length = 0;
        const char* const value = bytes(_index, length);
        if (!value)
            throw std::invalid_argument("stoi");
        for (unsigned long i = 0; i < length; ++i)
            if (value[i] != 0)
                return true;
        return false;
    }
    if (m_stmt_data)
        return bound_integer<s8, int>(_index, "stoi") == 1;
    const std::string value = text(_index);
    std::size_t used = 0;
    const int number = std::stoi(value, &used);
    return used == value.size() && number == 1;
}

u8 result_set::get_unsigned8(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::unsigned8);
    if (m_stmt_data)
        return bound_integer<u8, int>(_index, "stoi");
    return small_integer<u8>(text(_index));
}

s8 result_set::get_signed8(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::signed8);
    if (m_stmt_data)
        return bound_integer<s8, int>(_index, "stoi");
    return small_integer<s8>(text(_index));
}

u16 result_set::get_unsigned16(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::unsigned16);
    if (m_stmt_data)
        return bound_integer<u16, int>(_index, "stoi");
    return small_integer<u16>(text(_index));
}

s16 result_set::get_signed16(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::signed16);
    if (m_stmt_data)
        return bound_integer<s16, int>(_index, "stoi");
    return small_integer<s16>(text(_index));
}

u32 result_set::get_unsigned32(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::unsigned32);
    if (m_stmt_data)
        return bound_integer<u32, unsigned long>(_index, "stoul");
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
    if (m_stmt_data)
        return bound_integer<s32, int>(_index, "stoi");
    const std::string value = text(_index);
    std::size_t used = 0;
    const int number = std::stoi(value, &used);
    return used == value.size() ? number : 0;
}

u64 result_set::get_unsigned64(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::unsigned64);
    if (m_stmt_data)
        return bound_integer<u64, unsigned long long>(_index, "stoull");
    const std::string value = text(_index);
    std::size_t used = 0;
    const unsigned long long number = std::stoull(value, &used);
    return used == value.size() && !negative_text(value) ? number : 0;
}

s64 result_set::get_signed64(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::signed64);
    if (m_stmt_data)
        return bound_integer<s64, long long>(_index, "stoll");
    const std::string value = text(_index);
    std::size_t used = 0;
    const long long number = std::stoll(value, &used);
    return used == value.size() ? number : 0;
}

f32 result_set::get_float(u32 _index) const {
    check_row_fetched();
    check_type(_index, value::float32);
    if (m_stmt_data) {
        if (bound(_index).is_null())
            throw std::invalid_argument("stof");
        return bound(_index).float_value();
    }
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
    if (m_stmt_data) {
        if (bound(_index).is_null())
            throw std::invalid_argument("stod");
        const f64 number = bound(_index).double_value();
        return std::isinf(number) ? 0 : number;
    }
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
