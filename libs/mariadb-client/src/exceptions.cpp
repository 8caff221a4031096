#include <mariadb_client/exceptions.hpp>

#include <iomanip>
#include <sstream>

namespace mariadb::exception {

namespace {

void put(std::ostringstream& _out, unsigned _value, int _width) {
    _out << std::setw(_width) << std::setfill('0') << _value;
}

// "HH:MM:SS.mmm", the time part of both texts.
void put_time(std::ostringstream& _out, u8 _hour, u8 _minute, u8 _second, u16 _millisecond) {
    put(_out, _hour, 2);
    _out << ':';
    put(_out, _minute, 2);
    _out << ':';
    put(_out, _second, 2);
    _out << '.';
    put(_out, _millisecond, 3);
}

std::string date_time_text(u16 _year, u8 _month, u8 _day, u8 _hour, u8 _minute, u8 _second, u16 _millisecond) {
    std::ostringstream out;
    out << "Invalid date time: ";
    put(out, _year, 4);
    out << '-';
    put(out, _month, 2);
    out << '-';
    put(out, _day, 2);
    out << 'T';
    put_time(out, _hour, _minute, _second, _millisecond);
    return out.str();
}

std::string time_text(u8 _hour, u8 _minute, u8 _second, u16 _millisecond) {
    std::ostringstream out;
    out << "Invalid time: ";
    put_time(out, _hour, _minute, _second, _millisecond);
    return out.str();
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
