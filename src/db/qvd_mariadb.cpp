#include "db/qvd_mariadb.hpp"

#include <core/exception.hpp>

#include <mariadb_client/account.hpp>
#include <mariadb_client/connection.hpp>
#include <mariadb_client/date_time.hpp>
#include <mariadb_client/result_set.hpp>

#include <cerrno>
#include <ctime>
#include <exception>

namespace qvd {

namespace {

// Sleeps the full time even when signals interrupt the sleep.
void sleep_seconds(time_t _seconds)
{
    timespec remaining{_seconds, 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

} // namespace

qvd_mariadb::qvd_mariadb(const std::string& _host_name, const std::string& _user_name, const std::string& _password,
                         const std::string& _schema, unsigned int _port,
                         const libs::core::events_loop::signals_handle& _signals, const libs::core::logger& _logger)
    : m_logger(_logger)
{
    for (;;) {
        const bool connected = m_logger.execute([&] {
            m_account = mariadb::account::create(_host_name, _user_name, _password, _schema, _port, std::string());
            m_connection = mariadb::connection::create(m_account);
            // The first call that reaches the server.
            m_connection->set_charset("utf8mb4");
        });
        if (connected)
            return;
        if (_signals.signal_is_received())
            QVD_THROW("Interrupted");
        sleep_seconds(5);
    }
}

qvd_mariadb::~qvd_mariadb()
{
    m_connection.reset();
    m_account.reset();
}

libs::core::timestamp qvd_mariadb::to_timestamp(const mariadb::date_time& _date_time)
{
    std::tm fields{};
    fields.tm_year = _date_time.year() - 1900;
    fields.tm_mon = _date_time.month() - 1;
    fields.tm_mday = _date_time.day();
    fields.tm_hour = _date_time.hour();
    fields.tm_min = _date_time.minute();
    fields.tm_sec = _date_time.second();
    return libs::core::timestamp(timegm(&fields), _date_time.millisecond());
}

mariadb::result_set_ref qvd_mariadb::query(const std::string& _query, libs::core::source_location _source_location) const
{
    try {
        return m_connection->query(_query);
    } catch (const std::exception& e) {
        throw libs::core::exception(e.what(), _source_location);
    }
}

mariadb::u64 qvd_mariadb::execute(const std::string& _query, libs::core::source_location _source_location) const
{
    try {
        return m_connection->execute(_query);
    } catch (const std::exception& e) {
        throw libs::core::exception(e.what(), _source_location);
    }
}

} // namespace qvd
