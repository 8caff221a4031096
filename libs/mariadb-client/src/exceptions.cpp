#include <mariadb_client/exceptions.hpp>

#include <core/calendar_text.hpp>

namespace mariadb::exception {

namespace {

// The offered values as they are, out of range ones included.
std::string date_time_text(u16 _year, u8 _month, u8 _day, u8 _hour, u8 _minute, u8 _second, u16 _millisecond) {
    std::string text = "Invalid date time: ";
    qvd::libs::core::calendar::append_date_time(text, {_year, _month, _day, _hour, _minute, _second, _millisecond}, 'T',
                                                true);
    return text;
}

std::string time_text(u8 _hour, u8 _minute, u8 _second, u16 _millisecond) {
    std::string text = "Invalid time: ";
    qvd::libs::core::calendar::append_clock(text, {0, 0, 0, _hour, _minute, _second, _millisecond}, true);
    return text;
}

} // namespace

base::base() : m_error_id(0), m_error("Exception not defined") {}

base::base(u32 _error_id, const std::string& _error) : m_error_id(_error_id), m_error(_error) {}

const char* base::what() const noexcept { return m_error.c_str(); }

connection::connection(u32 _error_id, const std::string& _error) : base(_error_id, _error) {}

date_time::date_time(u16 _year, u8 _month, u8 _day, u8 _hour, u8 _minute, u8 _second, u16 _millisecond)
    : base(0, date_time_text(_year, _month, _day, _hour, _minute, _second, _millisecond)) {}

time::time(u8 _hour, u8 _minute, u8 _second, u16 _millisecond)
    : base(0, time_text(_hour, _minute, _second, _millisecond)) {}

} // namespace mariadb::exception
