#include <mariadb_client/account.hpp>
#include <mariadb_client/connection.hpp>
#include <mariadb_client/statement.hpp>

#include <errmsg.h>

#include <istream>
#include <stdexcept>

namespace mariadb {

statement_data::~statement_data() {
    m_raw_binds.reset();
    // A statement whose connection has gone was detached by it and is only freed here.
    if (m_statement)
        mysql_stmt_close(m_statement);
    m_binds.clear();
}

statement::statement(connection* _parent, const std::string& _query)
    : m_parent(_parent), m_data(std::make_shared<statement_data>(mysql_stmt_init(_parent->m_mysql))),
      m_link(_parent->m_link) {
    if (!m_data->m_statement)
        fail(mysql_errno(m_parent->m_mysql), mysql_error(m_parent->m_mysql), "statement", __FILE__, __LINE__);
    MYSQL_STMT* const client = m_data->m_statement;
    if (mysql_stmt_prepare(client, _query.data(), _query.size()) != 0)
        fail_statement("statement", __LINE__);
    m_data->m_bind_count = mysql_stmt_param_count(client);
    if (m_data->m_bind_count == 0)
        return;
    m_data->m_raw_binds = std::make_unique<MYSQL_BIND[]>(m_data->m_bind_count);
    m_data->m_binds.reserve(m_data->m_bind_count);
    for (unsigned long index = 0; index < m_data->m_bind_count; ++index)
        m_data->m_binds.push_back(std::make_unique<bind>(&m_data->m_raw_binds[index]));
}

void statement::fail_statement(const char* _function, unsigned _line) {
    fail(mysql_stmt_errno(m_data->m_statement), mysql_stmt_error(m_data->m_statement), _function, __FILE__, _line);
}

void statement::run(const char* _function) {
    // The client statement of a closed or replaced link is gone on the server: never run it.
    if (m_link.expired())
        fail(CR_STMT_CLOSED, "Prepared statement lost: its connection was closed or reconnected since it was prepared",
             _function, __FILE__, __LINE__);
    // Rows still streaming on the handle, this statement's included, would put the run out of sync.
    if (const auto previous = m_result.lock())
        previous->release();
    m_parent->release_stream();
    m_parent->drain_pending();
    MYSQL_STMT* const client = m_data->m_statement;
    if (m_data->m_bind_count != 0 && mysql_stmt_bind_param(client, m_data->m_raw_binds.get()) != 0)
        fail_statement(_function, __LINE__);
    if (mysql_stmt_execute(client) != 0)
        fail_statement(_function, __LINE__);
}

bool statement::discard_rows() {
    if (mysql_stmt_field_count(m_data->m_statement) == 0)
        return false;
    mysql_stmt_free_result(m_data->m_statement);
    return true;
}

u64 statement::execute() {
    run("execute");
    // Rows count as no change, as in connection::execute (the client reports all bits set).
    const u64 affected = mysql_stmt_affected_rows(m_data->m_statement);
    return discard_rows() ? 0 : affected;
}

u64 statement::insert() {
    run("insert");
    const u64 id = mysql_stmt_insert_id(m_data->m_statement);
    discard_rows();
    return id;
}

result_set_ref statement::query() {
    run("query");
    const bool store = m_parent->account()->store_result();
    const result_set_ref rows(new result_set(m_parent->m_mysql, m_data, store));
    m_result = rows;
    if (!store && rows->column_count() != 0)
        m_parent->m_streaming = rows;
    return rows;
}

bind& statement::parameter(u32 _index) {
    if (_index >= m_data->m_bind_count)
        throw std::out_of_range("Field index out of range");
    return *m_data->m_binds.at(_index);
}

void statement::set_blob(u32 _index, const stream_ref& _value) {
    bind& target = parameter(_index);
    if (!_value) {
        target.set(MYSQL_TYPE_NULL, nullptr, 0, false);
        return;
    }
    std::istream& stream = *_value;
    stream.seekg(0, std::ios::end);
    const std::streamoff length = stream.tellg();
    stream.seekg(0, std::ios::beg);
    if (!stream || length < 0)
        throw std::runtime_error("Cannot read the blob stream");
    target.set(MYSQL_TYPE_BLOB, nullptr, static_cast<unsigned long>(length), false);
    stream.read(target.buffer(), length);
    if (stream.gcount() != length) {
        target.set(MYSQL_TYPE_NULL, nullptr, 0, false);
        throw std::runtime_error("Cannot read the blob stream");
    }
}

void statement::set_data(u32 _index, const data_ref& _value) {
    bind& target = parameter(_index);
    if (!_value)
        target.set(MYSQL_TYPE_NULL, nullptr, 0, false);
    else
        target.set(MYSQL_TYPE_BLOB, _value->get(), _value->count(), false);
}

void statement::set_date_time(u32 _index, const date_time& _value) {
    const MYSQL_TIME value = _value.mysql_time();
    parameter(_index).set(MYSQL_TYPE_DATETIME, &value, sizeof value, false);
}

void statement::set_date(u32 _index, const date_time& _value) {
    const MYSQL_TIME value = _value.date().mysql_time();
    parameter(_index).set(MYSQL_TYPE_DATE, &value, sizeof value, false);
}

void statement::set_time(u32 _index, const time& _value) {
    const MYSQL_TIME value = _value.mysql_time();
    parameter(_index).set(MYSQL_TYPE_TIME, &value, sizeof value, false);
}

void statement::set_decimal(u32 _index, const decimal& _value) { set_string(_index, _value.str()); }

void statement::set_string(u32 _index, const std::string& _value) {
    parameter(_index).set(MYSQL_TYPE_STRING, _value.data(), _value.size(), false);
}

void statement::set_boolean(u32 _index, bool _value) {
    const s8 value = _value ? 1 : 0;
    parameter(_index).set(MYSQL_TYPE_TINY, &value, sizeof value, false);
}

void statement::set_signed8(u32 _index, s8 _value) {
    parameter(_index).set(MYSQL_TYPE_TINY, &_value, sizeof _value, false);
}

void statement::set_unsigned8(u32 _index, u8 _value) {
    parameter(_index).set(MYSQL_TYPE_TINY, &_value, sizeof _value, true);
}

void statement::set_signed16(u32 _index, s16 _value) {
    parameter(_index).set(MYSQL_TYPE_SHORT, &_value, sizeof _value, false);
}

void statement::set_unsigned16(u32 _index, u16 _value) {
    parameter(_index).set(MYSQL_TYPE_SHORT, &_value, sizeof _value, true);
}

void statement::set_signed32(u32 _index, s32 _value) {
    parameter(_index).set(MYSQL_TYPE_LONG, &_value, sizeof _value, false);
}

void statement::set_unsigned32(u32 _index, u32 _value) {
    parameter(_index).set(MYSQL_TYPE_LONG, &_value, sizeof _value, true);
}

void statement::set_signed64(u32 _index, s64 _value) {
    parameter(_index).set(MYSQL_TYPE_LONGLONG, &_value, sizeof _value, false);
}

void statement::set_unsigned64(u32 _index, u64 _value) {
    parameter(_index).set(MYSQL_TYPE_LONGLONG, &_value, sizeof _value, true);
}

void statement::set_float(u32 _index, f32 _value) {
    parameter(_index).set(MYSQL_TYPE_FLOAT, &_value, sizeof _value, false);
}

void statement::set_double(u32 _index, f64 _value) {
    parameter(_index).set(MYSQL_TYPE_DOUBLE, &_value, sizeof _value, false);
}

void statement::set_null(u32 _index) { parameter(_index).set(MYSQL_TYPE_NULL, nullptr, 0, false); }

} // namespace mariadb
