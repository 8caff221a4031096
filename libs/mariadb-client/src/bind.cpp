#include <mariadb_client/bind.hpp>

#include <cstring>

namespace mariadb {

namespace {

// Bytes of fixed-size storage that a client type takes; 0 for the variable-length types.
std::size_t fixed_size(enum_field_types _type) {
    switch (_type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_NULL:
        return 1;
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
        return 2;
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_INT24:
        return 4;
    case MYSQL_TYPE_DOUBLE:
    case MYSQL_TYPE_LONGLONG:
    // BIT(64) takes 8 bytes; one byte would cut every wider BIT value.
    case MYSQL_TYPE_BIT:
        return 8;
    default:
        return 0;
    }
}

bool temporal(enum_field_types _type) {
    return _type == MYSQL_TYPE_TIMESTAMP || _type == MYSQL_TYPE_DATE || _type == MYSQL_TYPE_TIME ||
           _type == MYSQL_TYPE_DATETIME || _type == MYSQL_TYPE_NEWDATE;
}

// Client type of a result column's storage: the column's own for fixed-size and temporal types,
// plain bytes for the rest (texts, blobs, decimals, enumerations, geometry, JSON).
enum_field_types result_type(enum_field_types _type) {
    return fixed_size(_type) > 0 || temporal(_type) ? _type : MYSQL_TYPE_STRING;
}

template <typename Number>
Number read_as(const u8* _bytes) {
    Number number;
    std::memcpy(&number, _bytes, sizeof number);
    return number;
}

} // namespace

bind::bind(MYSQL_BIND* _bind) : m_bind(_bind), m_unsigned64(0) {
    std::memset(m_bind, 0, sizeof *m_bind);
    m_bind->is_null = &m_is_null;
    m_bind->error = &m_error;
    m_bind->length = &m_length;
    set(MYSQL_TYPE_NULL, nullptr, 0, false);
}

bind::bind(MYSQL_BIND* _bind, const MYSQL_FIELD& _field) : bind(_bind) {
    set(result_type(_field.type), nullptr, _field.max_length, (_field.flags & UNSIGNED_FLAG) != 0);
}

void bind::set(enum_field_types _type, const void* _source, unsigned long _length, bool _unsigned) {
    m_bind->buffer_type = _type;
    m_bind->is_unsigned = _unsigned;
    m_is_null = _type == MYSQL_TYPE_NULL;
    m_error = 0;
    // The buffer is chosen anew on every set: a parameter may change between a text and a number.
    if (temporal(_type)) {
        m_data.reset();
        if (_source)
            std::memcpy(&m_time, _source, sizeof m_time);
        m_bind->buffer = &m_time;
        m_bind->buffer_length = sizeof m_time;
    } else if (const std::size_t size = fixed_size(_type)) {
        m_data.reset();
        m_unsigned64 = 0;
        if (_source)
            std::memcpy(m_uchar8, _source, size);
        m_bind->buffer = m_uchar8;
        m_bind->buffer_length = size;
    } else {
        m_data = _source ? std::make_shared<data<char>>(static_cast<const char*>(_source), static_cast<u32>(_length))
                         : std::make_shared<data<char>>(static_cast<u32>(_length));
        m_bind->buffer = m_data->get();
        m_bind->buffer_length = _length;
    }
    m_length = m_bind->buffer_length;
}

void bind::reserve(unsigned long _length) {
    if (!m_data)
        return;
    m_data = std::make_shared<data<char>>(static_cast<u32>(_length));
    m_bind->buffer = m_data->get();
    m_bind->buffer_length = _length;
}

const char* bind::buffer() const { return m_data ? m_data->get() : reinterpret_cast<const char*>(m_uchar8); }

char* bind::buffer() { return m_data ? m_data->get() : reinterpret_cast<char*>(m_uchar8); }

u64 bind::unsigned_value() const {
    switch (m_bind->buffer_type) {
    case MYSQL_TYPE_TINY:
        return m_uchar8[0];
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
        return read_as<u16>(m_uchar8);
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
        return read_as<u32>(m_uchar8);
    case MYSQL_TYPE_LONGLONG:
        return m_unsigned64;
    default:
        return 0;
    }
}

s64 bind::signed_value() const {
    switch (m_bind->buffer_type) {
    case MYSQL_TYPE_TINY:
        return read_as<s8>(m_uchar8);
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
        return read_as<s16>(m_uchar8);
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
        return read_as<s32>(m_uchar8);
    case MYSQL_TYPE_LONGLONG:
        return m_signed64;
    default:
        return 0;
    }
}

} // namespace mariadb
