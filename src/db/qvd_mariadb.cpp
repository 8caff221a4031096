#include "db/qvd_mariadb.hpp"

#include <core/exception.hpp>
#include <core/signal_pause.hpp>

#include <mariadb_client/account.hpp>
#include <mariadb_client/connection.hpp>
#include <mariadb_client/date_time.hpp>
#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/result_set.hpp>

#include <errmsg.h>

#include <chrono>
#include <ctime>
#include <exception>
#include <string>

namespace qvd {

namespace {

// "host:port", the host in brackets when it is an IPv6 address.
std::string endpoint_text(const std::string& _host_name, unsigned int _port) {
    const bool ipv6 = _host_name.find(':') != std::string::npos;
    return (ipv6 ? "[" + _host_name + "]" : _host_name) + ":" + std::to_string(_port);
}

// A stopped server, or one cut off without a reset, then ends the call with an error and a
// retry instead of holding the transfer (and its termination) for good.
void set_timeouts(mariadb::account& _account, unsigned int _seconds) {
    const int seconds = static_cast<int>(_seconds);
    _account.set_connect_option(MYSQL_OPT_CONNECT_TIMEOUT, seconds);
    _account.set_connect_option(MYSQL_OPT_READ_TIMEOUT, seconds);
    _account.set_connect_option(MYSQL_OPT_WRITE_TIMEOUT, seconds);
}

// Errors of the client library (the link, the connection, the protocol), as opposed to the
// server's errors about a statement.
bool link_failure(const std::exception& _exception) {
    const auto* failure = dynamic_cast<const mariadb::exception::connection*>(&_exception);
    if (failure == nullptr)
        return false;
    const mariadb::u32 id = failure->error_id();
    return (id >= CR_MIN_ERROR && id <= CR_MAX_ERROR) || (id >= CER_MIN_ERROR && id <= CER_MAX_ERROR);
}

} // namespace

qvd_mariadb::qvd_mariadb(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
                         const std::string& _schema, unsigned int _port,
                         const libs::core::events_loop::signals_handle& _signals, const libs::core::logger& _logger,
                         const std::string& _database_name, unsigned int _timeout_seconds, cancellation* _cancellation)
    : m_logger(_logger), m_where(_database_name + " at " + endpoint_text(_host_name, _port)),
      m_cancellation_slot(_cancellation) {
    for (;;) {
        const bool connected = connect_attempt([&] {
            m_account = mariadb::account::create(_host_name, _user_name, _password, _schema, _port, std::string());
            set_timeouts(*m_account, _timeout_seconds);
            // Set by the account after each connect, the reconnects of the library included.
            m_account->set_option("sql_mode", std::string("'") + session_sql_mode + "'");
            const mariadb::connection_ref fresh = mariadb::connection::create(m_account);
            // Before the connect: a stop may end it, and the one of the previous attempt goes.
            m_cancellation_slot.hold(fresh.get());
            m_connection = fresh;
            // The first call that reaches the server.
            m_connection->set_charset("utf8mb4");
        });
        if (connected)
            return;
        if (_signals.signal_is_received() || (_cancellation != nullptr && _cancellation->cancelled()) ||
            !libs::core::pause_unless_signalled(_signals, std::chrono::seconds(5)))
            QVD_THROW("Interrupted");
    }
}

qvd_mariadb::~qvd_mariadb() {
    m_cancellation_slot.hold(nullptr);
    m_connection.reset();
    m_account.reset();
}

libs::core::timestamp qvd_mariadb::to_timestamp(const mariadb::date_time& _date_time) {
    std::tm fields{};
    fields.tm_year = _date_time.year() - 1900;
    fields.tm_mon = _date_time.month() - 1;
    fields.tm_mday = _date_time.day();
    fields.tm_hour = _date_time.hour();
    fields.tm_min = _date_time.minute();
    fields.tm_sec = _date_time.second();
    return libs::core::timestamp(timegm(&fields), _date_time.millisecond());
}

template <class Attempt>
bool qvd_mariadb::connect_attempt(Attempt&& _attempt) const {
    try {
        _attempt();
        return true;
    } catch (const std::exception& e) {
        m_logger.error("Cannot connect to the %1%: %2%") % m_where % e.what();
    } catch (...) {
        m_logger.error("Cannot connect to the %1%: %2%") % m_where % libs::core::exception_to_string();
    }
    return false;
}

std::string qvd_mariadb::failure_text(const std::exception& _exception) const {
    if (!link_failure(_exception))
        return _exception.what();
    return std::string(_exception.what()) + " (" + m_where + ")";
}

mariadb::result_set_ref qvd_mariadb::query(const std::string& _query,
                                           libs::core::source_location _source_location) const {
    return run([&](mariadb::connection& _connection) { return _connection.query(_query); }, _source_location);
}

mariadb::u64 qvd_mariadb::execute(const std::string& _query, libs::core::source_location _source_location) const {
    return run([&](mariadb::connection& _connection) { return _connection.execute(_query); }, _source_location);
}

} // namespace qvd
