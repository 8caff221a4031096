#pragma once

#include <mariadb_client/types.hpp>

#include <exception>
#include <string>

namespace mariadb::exception {

// Root of every failure that the library throws; what() is the error text alone.
class base : public std::exception {
public:
    base();
    base(u32 _error_id, const std::string& _error);
    ~base() override = default;

    // The client library's or server's error number (0 for the library's own failures).
    u32 error_id() const noexcept { return m_error_id; }
    const char* what() const noexcept override;

protected:
    u32 m_error_id;
    std::string m_error;
};

// A failure of the client library or the server, or a result-set type error (id 12).
class connection : public base {
public:
    connection(u32 _error_id, const std::string& _error);
};

// An invalid date or date-time value.
class date_time : public base {
public:
    date_time(u16 _year, u8 _month, u8 _day, u8 _hour, u8 _minute, u8 _second, u16 _millisecond);
};

// An invalid time of day.
class time : public base {
public:
    time(u8 _hour, u8 _minute, u8 _second, u16 _millisecond);
};

} // namespace mariadb::exception
