#pragma once

#include <mariadb_client/date_time.hpp>
#include <mariadb_client/last_error.hpp>
#include <mariadb_client/types.hpp>

#include <mysql.h>

#include <istream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mariadb {

namespace value {

// The library's column value types.
enum type {
    null = 0,
    blob = 1,
    data = 2,
    date = 3,
    date_time = 4,
    time = 5,
    string = 6,
    boolean = 7,
    decimal = 8,
    unsigned8 = 9,
    signed8 = 10,
    unsigned16 = 11,
    signed16 = 12,
    unsigned32 = 13,
    signed32 = 14,
    unsigned64 = 15,
    signed64 = 16,
    float32 = 17,
    double64 = 18,
    enumeration = 19
};

} // namespace value

// A counted byte buffer holding a copy of a column value.
template <typename T>
class data {
public:
    data(const T* _bytes, u32 _count)
        : m_count(_count), m_size(_count), m_position(0), m_data(new T[_count > 0 ? _count : 1]) {
        for (u32 i = 0; i < _count; ++i)
            m_data[i] = _bytes[i];
    }
    // _count zero bytes.
    explicit data(u32 _count)
        : m_count(_count), m_size(_count), m_position(0), m_data(new T[_count > 0 ? _count : 1]()) {}
    virtual ~data() = default;
    data(const data&) = delete;
    data& operator=(const data&) = delete;

    u32 count() const { return m_count; }
    u32 size() const { return m_size; }
    u32 position() const { return m_position; }
    const T* get() const { return m_data.get(); }
    T* get() { return m_data.get(); }

private:
    u32 m_count;
    u32 m_size;
    u32 m_position;
    std::unique_ptr<T[]> m_data;
};

using data_ref = std::shared_ptr<data<char>>;
using stream_ref = std::shared_ptr<std::istream>;

// A decimal number kept as its text.
class decimal {
public:
    decimal() = default;
    explicit decimal(std::string _text) : mStr(std::move(_text)) {}

    const std::string& str() const { return mStr; }
    f32 float32() const;
    f64 double64() const;

private:
    std::string mStr;
};

using map_indexes_t = std::map<std::string, u32>;

// The rows of one query with typed access to the current row's columns by name or index.
class result_set : public last_error {
public:
    virtual ~result_set();
    result_set(const result_set&) = delete;
    result_set& operator=(const result_set&) = delete;

    u32 column_count() const { return m_field_count; }
    // Throws std::out_of_range "Column index out of range" for a bad index.
    std::string column_name(u32 _index) const;
    // Index of the named column (case-sensitive), or the largest u32 when none.
    u32 column_index(const std::string& _name) const;
    value::type column_type(u32 _index) const;
    // Byte length of the current row's value.
    unsigned long column_size(u32 _index) const;

    // Fetches the next row; false after the last. A failed fetch throws exception::connection.
    bool next();
    // Moves to the row with that index and fetches it.
    bool set_row_index(u64 _index);
    u64 row_index() const;
    // Rows held (for a streamed result: fetched so far).
    u64 row_count() const;

    // True when the current row's value is SQL NULL.
    bool get_is_null(u32 _index) const;
    bool get_is_null(const std::string& _name) const { return get_is_null(column_index(_name)); }

    std::string get_string(u32 _index) const;
    std::string get_string(const std::string& _name) const { return get_string(column_index(_name)); }
    // Stream over the row's bytes, valid until the next fetch; null for an empty value.
    stream_ref get_blob(u32 _index) const;
    stream_ref get_blob(const std::string& _name) const { return get_blob(column_index(_name)); }
    // Copy of the value's bytes; null for an empty value.
    data_ref get_data(u32 _index) const;
    data_ref get_data(const std::string& _name) const { return get_data(column_index(_name)); }
    date_time get_date(u32 _index) const;
    date_time get_date(const std::string& _name) const { return get_date(column_index(_name)); }
    date_time get_date_time(u32 _index) const;
    date_time get_date_time(const std::string& _name) const { return get_date_time(column_index(_name)); }
    mariadb::time get_time(u32 _index) const;
    mariadb::time get_time(const std::string& _name) const { return get_time(column_index(_name)); }
    mariadb::decimal get_decimal(u32 _index) const;
    mariadb::decimal get_decimal(const std::string& _name) const { return get_decimal(column_index(_name)); }
    bool get_boolean(u32 _index) const;
    bool get_boolean(const std::string& _name) const { return get_boolean(column_index(_name)); }
    u8 get_unsigned8(u32 _index) const;
    u8 get_unsigned8(const std::string& _name) const { return get_unsigned8(column_index(_name)); }
    s8 get_signed8(u32 _index) const;
    s8 get_signed8(const std::string& _name) const { return get_signed8(column_index(_name)); }
    u16 get_unsigned16(u32 _index) const;
    u16 get_unsigned16(const std::string& _name) const { return get_unsigned16(column_index(_name)); }
    s16 get_signed16(u32 _index) const;
    s16 get_signed16(const std::string& _name) const { return get_signed16(column_index(_name)); }
    u32 get_unsigned32(u32 _index) const;
    u32 get_unsigned32(const std::string& _name) const { return get_unsigned32(column_index(_name)); }
    s32 get_signed32(u32 _index) const;
    s32 get_signed32(const std::string& _name) const { return get_signed32(column_index(_name)); }
    u64 get_unsigned64(u32 _index) const;
    u64 get_unsigned64(const std::string& _name) const { return get_unsigned64(column_index(_name)); }
    s64 get_signed64(u32 _index) const;
    s64 get_signed64(const std::string& _name) const { return get_signed64(column_index(_name)); }
    f32 get_float(u32 _index) const;
    f32 get_float(const std::string& _name) const { return get_float(column_index(_name)); }
    f64 get_double(u32 _index) const;
    f64 get_double(const std::string& _name) const { return get_double(column_index(_name)); }

private:
    friend class connection;
    friend class statement;

    // Takes ownership of a client result (null: the statement produced no result set).
    result_set(MYSQL* _mysql, MYSQL_RES* _result);
    // Reads the rows of a statement that has just run through client binds; _mysql is the
    // handle the rows stream from when they are not stored.
    result_set(MYSQL* _mysql, const statement_data_ref& _statement, bool _store);
    // Ends a streamed result that a later command of the connection interrupts; fetching
    // afterwards throws rather than reading as the end of the rows.
    void release();

    void check_row_fetched() const;
    void check_index(u32 _index) const;
    void check_type(u32 _index, value::type _requested) const;
    // The value's bytes and length, null for SQL NULL.
    const char* bytes(u32 _index, unsigned long& _length) const;
    std::string text(u32 _index) const;
    date_time get_date_time_of(u32 _index, value::type _requested) const;
    // Fetches the next row of a statement, fetching again in full every value longer than its bind.
    bool fetch_bound();
    [[noreturn]] void fail_statement(unsigned _line);
    const bind& bound(u32 _index) const { return *m_binds[_index]; }
    // A bound integer as the text conversion _Conversion would give it (see the .cpp).
    template <typename Result, typename Conversion>
    Result bound_integer(u32 _index, const char* _conversion) const;

    MYSQL_RES* m_result_set = nullptr;
    MYSQL_FIELD* m_fields = nullptr;
    MYSQL_ROW m_row = nullptr;
    map_indexes_t m_indexes;
    unsigned long* m_lengths = nullptr;
    u32 m_field_count = 0;
    bool m_was_fetched = false;
    // Index of the row that the next fetch reads.
    u64 m_row_index = 0;
    // The handle a streamed result reads from; null for a result held whole.
    MYSQL* m_mysql = nullptr;
    bool m_abandoned = false;
    // A statement's result only: one client bind and one bind per column, and the statement.
    std::unique_ptr<MYSQL_BIND[]> m_raw_binds;
    std::vector<std::unique_ptr<bind>> m_binds;
    statement_data_ref m_stmt_data;
};

} // namespace mariadb
