#pragma once

#include <mariadb_client/result_set.hpp>
#include <mariadb_client/types.hpp>

#include <mysql.h>

namespace mariadb {

// The storage of one statement parameter or one result column, described to the client library
// by a MYSQL_BIND that it fills.
class bind {
public:
    // A parameter: SQL NULL until set.
    explicit bind(MYSQL_BIND* _bind);
    // A result column, with room for the longest value the field reports.
    bind(MYSQL_BIND* _bind, const MYSQL_FIELD& _field);
    bind(const bind&) = delete;
    bind& operator=(const bind&) = delete;

    // Sets the client type and its storage (fixed-size, date-time, or _length bytes for every
    // other type), copying the value from _source when given.
    void set(enum_field_types _type, const void* _source, unsigned long _length, bool _unsigned);
    // Replaces variable-length storage with room for _length bytes (the value is not kept).
    void reserve(unsigned long _length);

    // The value's bytes.
    const char* buffer() const;
    char* buffer();
    // Length of the value: the one set, or the one the last fetch reported.
    unsigned long length() const { return m_length; }
    bool is_null() const { return m_is_null != 0; }
    // True when the last fetch had more bytes than the storage held.
    bool truncated() const { return m_error != 0; }
    // True when the storage grows with the value (texts, blobs, decimals).
    bool variable() const { return m_data != nullptr; }

    // Integer value of a fixed-size integer type, read with the bind's own width.
    u64 unsigned_value() const;
    s64 signed_value() const;
    f32 float_value() const { return m_float32; }
    f64 double_value() const { return m_double64; }
    const MYSQL_TIME& time_value() const { return m_time; }

private:
    MYSQL_BIND* m_bind;
    MYSQL_TIME m_time{};
    my_bool m_is_null = 0;
    my_bool m_error = 0;
    // Apart from the client's buffer size: a fetch writes the value's real length here.
    unsigned long m_length = 0;
    data_ref m_data;
    union {
        u8 m_uchar8[8];
        s32 m_signed32;
        f32 m_float32;
        u64 m_unsigned64;
        s64 m_signed64;
        f64 m_double64;
    };
};

} // namespace mariadb
