#pragma once

#include <mariadb_client/bind.hpp>
#include <mariadb_client/date_time.hpp>
#include <mariadb_client/last_error.hpp>
#include <mariadb_client/result_set.hpp>
#include <mariadb_client/types.hpp>

#include <mysql.h>

#include <memory>
#include <string>
#include <vector>

namespace mariadb {

// The client statement and its parameters, shared by a statement and the result sets it made.
struct statement_data {
    explicit statement_data(MYSQL_STMT* _statement) : m_statement(_statement) {}
    ~statement_data();
    statement_data(const statement_data&) = delete;
    statement_data& operator=(const statement_data&) = delete;

    unsigned long m_bind_count = 0;
    MYSQL_STMT* m_statement;
    std::unique_ptr<MYSQL_BIND[]> m_raw_binds;
    std::vector<std::unique_ptr<bind>> m_binds;
};

// A server-side prepared statement with positional parameters. It belongs to the link it was
// prepared on: after the connection closed or re-established its link, running it throws.
class statement : public last_error {
public:
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;

    // Keeps the connection alive as long as the statement.
    void set_connection(const connection_ref& _connection) { m_connection = _connection; }
    // Number of parameters of the prepared text.
    unsigned long bind_count() const { return m_data->m_bind_count; }

    // Runs with the current values and returns the affected rows.
    u64 execute();
    // Runs with the current values and returns the generated id (0 when none).
    u64 insert();
    // Runs with the current values and returns the rows; running again ends them.
    result_set_ref query();

    // Parameter setters; an index not below bind_count() throws std::out_of_range.
    // A null stream or buffer sets SQL NULL; a stream that cannot be read throws std::runtime_error.
    void set_blob(u32 _index, const stream_ref& _value);
    void set_data(u32 _index, const data_ref& _value);
    void set_date_time(u32 _index, const date_time& _value);
    // The value's date alone.
    void set_date(u32 _index, const date_time& _value);
    void set_time(u32 _index, const time& _value);
    void set_decimal(u32 _index, const decimal& _value);
    void set_string(u32 _index, const std::string& _value);
    void set_boolean(u32 _index, bool _value);
    void set_signed8(u32 _index, s8 _value);
    void set_unsigned8(u32 _index, u8 _value);
    void set_signed16(u32 _index, s16 _value);
    void set_unsigned16(u32 _index, u16 _value);
    void set_signed32(u32 _index, s32 _value);
    void set_unsigned32(u32 _index, u32 _value);
    void set_signed64(u32 _index, s64 _value);
    void set_unsigned64(u32 _index, u64 _value);
    void set_float(u32 _index, f32 _value);
    void set_double(u32 _index, f64 _value);
    void set_null(u32 _index);

private:
    friend class connection;

    // Prepares the text on the connection's current link.
    statement(connection* _parent, const std::string& _query);

    // The parameter's bind; throws std::out_of_range for a bad index.
    bind& parameter(u32 _index);
    // Binds the parameters and runs the statement; failures are reported under _function.
    void run(const char* _function);
    [[noreturn]] void fail_statement(const char* _function, unsigned _line);
    // Reads off rows that a run through execute or insert left on the wire; true when there were.
    bool discard_rows();

    connection_ref m_connection;
    connection* m_parent;
    statement_data_ref m_data;
    // The link the statement was prepared on; expired once the connection closed or replaced it.
    std::weak_ptr<const void> m_link;
    // The rows of the last query, ended when the statement runs again.
    std::weak_ptr<result_set> m_result;
};

} // namespace mariadb
