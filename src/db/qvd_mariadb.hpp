#pragma once

#include "db/cancellation.hpp"

#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/source_location.hpp>
#include <core/timestamp.hpp>

#include <mariadb_client/types.hpp>

#include <exception>
#include <string>
#include <utility>

namespace mariadb {
class date_time;
}

namespace qvd {

// Seconds a database may stay silent in a connect, read or write before the operation fails.
inline constexpr unsigned int default_database_timeout = 300;

// The whole sql_mode of every session, whatever the server's: strict, so that a value a column
// cannot hold fails its statement instead of being cut or clamped, and nothing that changes how a
// value is read, compared or stored (no PAD_CHAR_TO_FULL_LENGTH, EMPTY_STRING_IS_NULL,
// NO_BACKSLASH_ESCAPES, ANSI_QUOTES, NO_AUTO_VALUE_ON_ZERO, TIME_ROUND_FRACTIONAL, ...).
inline constexpr const char* session_sql_mode = "STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION";

// The account, connection and logger of one database; the private base of both database accesses.
class qvd_mariadb {
public:
    // Connects, retrying every 5 seconds; throws "Interrupted" once a termination signal has arrived
    // (a pause between attempts ends when it comes) or _cancellation is cancelled.
    // Every connect and reconnect sets session_sql_mode.
    // _database_name ("runtime database", "column store") names the database in failures; a
    // server silent for _timeout_seconds fails the connect, read or write that waits for it.
    // The connection, from the first attempt on, is cancelled with _cancellation, when given.
    qvd_mariadb(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
                const std::string& _schema, unsigned int _port, const libs::core::events_loop::signals_handle& _signals,
                const libs::core::logger& _logger, const std::string& _database_name, unsigned int _timeout_seconds,
                cancellation* _cancellation = nullptr);
    ~qvd_mariadb();
    qvd_mariadb(const qvd_mariadb&) = delete;
    qvd_mariadb& operator=(const qvd_mariadb&) = delete;

protected:
    // A MariaDB date-time read as UTC.
    static libs::core::timestamp to_timestamp(const mariadb::date_time& _date_time);

    const libs::core::logger& get_logger() const { return m_logger; }

    // Runs _statement, a callable given the connection. A std::exception from it is rethrown with
    // the caller's location, and its text is followed by what _context, given the caught exception,
    // adds (the row a refused statement names, for instance). Other exceptions pass unchanged.
    template <class Statement, class Context>
    decltype(auto) run(Statement&& _statement, libs::core::source_location _source_location, Context&& _context) const {
        try {
            return std::forward<Statement>(_statement)(*m_connection);
        } catch (const std::exception& e) {
            throw libs::core::exception(failure_text(e) + std::forward<Context>(_context)(e), _source_location);
        }
    }

    template <class Statement>
    decltype(auto) run(Statement&& _statement, libs::core::source_location _source_location) const {
        return run(std::forward<Statement>(_statement), _source_location,
                   [](const std::exception&) { return std::string(); });
    }

    // Runs a selection; a failure is rethrown with the caller's location.
    mariadb::result_set_ref query(const std::string& _query, libs::core::source_location _source_location) const;

    // Runs a statement and returns its affected rows; a failure is rethrown with the caller's location.
    mariadb::u64 execute(const std::string& _query, libs::core::source_location _source_location) const;

    // The text of a failure; one of the link to the server also says which database, host and port.
    std::string failure_text(const std::exception& _exception) const;

    mariadb::account_ref m_account;
    mariadb::connection_ref m_connection;

private:
    // Runs one connection attempt; a failure is logged naming the database and gives false.
    template <class Attempt>
    bool connect_attempt(Attempt&& _attempt) const;

    const libs::core::logger& m_logger;
    // "column store at 127.0.0.1:3306"
    std::string m_where;
    // Declared after m_connection: withdraws it before it goes, also when the constructor throws.
    cancellation::slot m_cancellation_slot;
};

} // namespace qvd
