#include <mariadb_client/date_time.hpp>
#include <mariadb_client/exceptions.hpp>

#include <core/calendar_text.hpp>

#include <chrono>
#include <cctype>
#include <cstring>
#include <istream>
#include <sstream>
#include <stdexcept>

namespace mariadb {

namespace {

constexpr u8 g_month_lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr s64 g_day_milliseconds = 86400000;

s64 floor_div(s64 _value, s64 _divisor) {
    s64 quotient = _value / _divisor;
    if ((_value % _divisor) != 0 && ((_value < 0) != (_divisor < 0)))
        --quotient;
    return quotient;
}

s64 floor_mod(s64 _value, s64 _divisor) { return _value - floor_div(_value, _divisor) * _divisor; }

// Days since 0001-01-01 in the proleptic Gregorian calendar.
s64 day_number(u16 _year, u8 _month, u8 _day) {
    const s64 year = static_cast<s64>(_year) - (_month <= 2 ? 1 : 0);
    const s64 era = floor_div(year, 400);
    const s64 year_of_era = year - era * 400;
    const s64 month = _month > 2 ? _month - 3 : _month + 9;
    const s64 day_of_year = (153 * month + 2) / 5 + _day - 1;
    const s64 day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 306;
}

void civil_from_day_number(s64 _number, s64& _year, unsigned& _month, unsigned& _day) {
    const s64 z = _number + 306;
    const s64 era = floor_div(z, 146097);
    const s64 day_of_era = z - era * 146097;
    const s64 year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const s64 day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const s64 month = (5 * day_of_year + 2) / 153;
    _day = static_cast<unsigned>(day_of_year - (153 * month + 2) / 5 + 1);
    _month = static_cast<unsigned>(month < 10 ? month + 3 : month - 9);
    _year = year_of_era + era * 400 + (_month <= 2 ? 1 : 0);
}

s64 milliseconds_of_day(const time& _time) {
    return ((static_cast<s64>(_time.hour()) * 60 + _time.minute()) * 60 + _time.second()) * 1000 + _time.millisecond();
}

time_span split(s64 _milliseconds, bool _negative) {
    const s64 days = _milliseconds / g_day_milliseconds;
    s64 rest = _milliseconds % g_day_milliseconds;
    const s64 hours = rest / 3600000;
    rest %= 3600000;
    const s64 minutes = rest / 60000;
    rest %= 60000;
    return time_span(static_cast<u32>(days), static_cast<u32>(hours), static_cast<u32>(minutes),
                     static_cast<u32>(rest / 1000), static_cast<u32>(rest % 1000), _negative);
}

// True when only white space is left.
bool at_end(std::istream& _in) {
    _in >> std::ws;
    return _in.eof() || _in.peek() == std::char_traits<char>::eof();
}

void local_time(std::time_t _time, std::tm& _tm) { localtime_r(&_time, &_tm); }

[[noreturn]] void invalid_time() { throw std::invalid_argument("invalid time format"); }

[[noreturn]] void invalid_date() { throw std::invalid_argument("invalid date format"); }

bool is_digit(char _c) { return _c >= '0' && _c <= '9'; }

// Value of the two digits at _text, or -1 when they are not both digits.
int two_digits(const char* _text) {
    if (!is_digit(_text[0]) || !is_digit(_text[1]))
        return -1;
    return (_text[0] - '0') * 10 + (_text[1] - '0');
}

// Reads the layout the server sends, "HH:MM:SS" with an optional ".digits"; false for any
// other text, which the general parser then reads.
bool read_clock(const char* _text, std::size_t _size, u16 (&_parts)[4]) {
    if (_size < 8 || _text[2] != ':' || _text[5] != ':')
        return false;
    const int hour = two_digits(_text);
    const int minute = two_digits(_text + 3);
    const int second = two_digits(_text + 6);
    if (hour < 0 || minute < 0 || second < 0)
        return false;
    int millisecond = 0;
    if (_size > 8) {
        if (_text[8] != '.' || _size == 9)
            return false;
        for (std::size_t i = 9; i < _size; ++i)
            if (!is_digit(_text[i]))
                return false;
        // Decimal fraction: the first three digits, padded with zeros.
        for (std::size_t i = 9; i < 12; ++i)
            millisecond = millisecond * 10 + (i < _size ? _text[i] - '0' : 0);
    }
    _parts[0] = static_cast<u16>(hour);
    _parts[1] = static_cast<u16>(minute);
    _parts[2] = static_cast<u16>(second);
    _parts[3] = static_cast<u16>(millisecond);
    return true;
}

// Reads "YYYY-MM-DD"; false for any other text.
bool read_date(const char* _text, std::size_t _size, u16 (&_parts)[3]) {
    if (_size < 10 || _text[4] != '-' || _text[7] != '-')
        return false;
    const int century = two_digits(_text);
    const int year = two_digits(_text + 2);
    const int month = two_digits(_text + 5);
    const int day = two_digits(_text + 8);
    if (century < 0 || year < 0 || month < 0 || day < 0)
        return false;
    _parts[0] = static_cast<u16>(century * 100 + year);
    _parts[1] = static_cast<u16>(month);
    _parts[2] = static_cast<u16>(day);
    return true;
}

u16 clock_parts(bool _utc, std::tm& _tm) {
    const auto now = std::chrono::system_clock::now();
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    if (_utc)
        gmtime_r(&seconds, &_tm);
    else
        localtime_r(&seconds, &_tm);
    return static_cast<u16>(floor_mod(milliseconds, 1000));
}

qvd::libs::core::calendar::fields calendar_fields(const time& _time) {
    qvd::libs::core::calendar::fields fields;
    fields.hour = _time.hour();
    fields.minute = _time.minute();
    fields.second = _time.second();
    fields.millisecond = _time.millisecond();
    return fields;
}

qvd::libs::core::calendar::fields calendar_fields(const date_time& _date_time) {
    qvd::libs::core::calendar::fields fields = calendar_fields(static_cast<const time&>(_date_time));
    fields.year = _date_time.year();
    fields.month = _date_time.month();
    fields.day = _date_time.day();
    return fields;
}

} // namespace

// time

time::time() = default;

time::time(u8 _hour, u8 _minute, u8 _second, u16 _millisecond) { set(_hour, _minute, _second, _millisecond); }

time::time(const time& _other) : time() { set(_other.m_hour, _other.m_minute, _other.m_second, _other.m_millisecond); }

time::time(const std::tm& _tm) {
    set(static_cast<u8>(_tm.tm_hour), static_cast<u8>(_tm.tm_min), static_cast<u8>(_tm.tm_sec), 0);
}

time::time(std::time_t _time) {
    std::tm parts{};
    local_time(_time, parts);
    set(static_cast<u8>(parts.tm_hour), static_cast<u8>(parts.tm_min), static_cast<u8>(parts.tm_sec), 0);
}

time::time(const MYSQL_TIME& _time) {
    // A TIME value beyond one day cannot be a time of day.
    if (_time.hour > 255 || _time.minute > 255 || _time.second > 255)
        throw exception::time(static_cast<u8>(_time.hour), static_cast<u8>(_time.minute), static_cast<u8>(_time.second),
                              static_cast<u16>(_time.second_part / 1000));
    set(static_cast<u8>(_time.hour), static_cast<u8>(_time.minute), static_cast<u8>(_time.second),
        static_cast<u16>(_time.second_part / 1000));
}

time::time(const std::string& _text) { time::set(_text); }

time& time::operator=(const time& _other) {
    set(_other.m_hour, _other.m_minute, _other.m_second, _other.m_millisecond);
    return *this;
}

bool time::set(u8 _hour, u8 _minute, u8 _second, u16 _millisecond) {
    if (_hour > 23 || _minute > 59 || _second > 61 || _millisecond > 999)
        throw exception::time(_hour, _minute, _second, _millisecond);
    m_hour = _hour;
    m_minute = _minute;
    m_second = _second;
    m_millisecond = _millisecond;
    return true;
}

bool time::set(const std::string& _text) {
    u16 parts[4];
    if (read_clock(_text.data(), _text.size(), parts)) {
        if (parts[0] > 23 || parts[1] > 59 || parts[2] > 61)
            invalid_time();
        return set(static_cast<u8>(parts[0]), static_cast<u8>(parts[1]), static_cast<u8>(parts[2]), parts[3]);
    }
    std::istringstream in(_text);
    char separator = 0;
    u16 hour = 0;
    if (!(in >> hour) || hour > 23)
        invalid_time();
    if (at_end(in))
        return set(static_cast<u8>(hour), 0, 0, 0);
    u16 minute = 0;
    if (!(in >> separator >> minute) || minute > 59)
        invalid_time();
    if (at_end(in))
        return set(static_cast<u8>(hour), static_cast<u8>(minute), 0, 0);
    u16 second = 0;
    if (!(in >> separator >> second) || second > 61)
        invalid_time();
    if (at_end(in))
        return set(static_cast<u8>(hour), static_cast<u8>(minute), static_cast<u8>(second), 0);
    // The fraction is decimal: ".5" is 500 ms and DATETIME(6) sends six digits.
    if (!(in >> separator))
        invalid_time();
    std::string digits;
    while (std::isdigit(in.peek()))
        digits += static_cast<char>(in.get());
    if (digits.empty())
        invalid_time();
    digits.resize(3, '0');
    const u16 millisecond = static_cast<u16>(std::stoi(digits));
    return set(static_cast<u8>(hour), static_cast<u8>(minute), static_cast<u8>(second), millisecond);
}

void time::hour(u8 _hour) {
    if (_hour > 23)
        throw exception::time(_hour, m_minute, m_second, m_millisecond);
    m_hour = _hour;
}

void time::minute(u8 _minute) {
    if (_minute > 59)
        throw exception::time(m_hour, _minute, m_second, m_millisecond);
    m_minute = _minute;
}

void time::second(u8 _second) {
    if (_second > 61)
        throw exception::time(m_hour, m_minute, _second, m_millisecond);
    m_second = _second;
}

void time::millisecond(u16 _millisecond) {
    if (_millisecond > 999)
        throw exception::time(m_hour, m_minute, m_second, _millisecond);
    m_millisecond = _millisecond;
}

int time::compare(const time& _other) const {
    const s64 mine = milliseconds_of_day(*this);
    const s64 theirs = milliseconds_of_day(_other);
    return mine < theirs ? -1 : (mine > theirs ? 1 : 0);
}

time time::add_hours(s32 _hours) const {
    time result(*this);
    result.m_hour = static_cast<u8>(floor_mod(static_cast<s64>(m_hour) + _hours, 24));
    return result;
}

time time::add_minutes(s32 _minutes) const {
    const s64 total = static_cast<s64>(m_minute) + _minutes;
    time result(*this);
    result.m_minute = static_cast<u8>(floor_mod(total, 60));
    return result.add_hours(static_cast<s32>(floor_div(total, 60)));
}

time time::add_seconds(s32 _seconds) const {
    const s64 total = static_cast<s64>(m_second) + _seconds;
    time result(*this);
    result.m_second = static_cast<u8>(floor_mod(total, 60));
    return result.add_minutes(static_cast<s32>(floor_div(total, 60)));
}

time time::add_milliseconds(s32 _milliseconds) const {
    const s64 total = static_cast<s64>(m_millisecond) + _milliseconds;
    time result(*this);
    result.m_millisecond = static_cast<u16>(floor_mod(total, 1000));
    return result.add_seconds(static_cast<s32>(floor_div(total, 1000)));
}

time time::add(const time_span& _span) const {
    const s32 factor = _span.negative() ? -1 : 1;
    return add_hours(factor * _span.hours())
        .add_minutes(factor * _span.minutes())
        .add_seconds(factor * _span.seconds())
        .add_milliseconds(factor * _span.milliseconds());
}

time time::subtract(const time_span& _span) const {
    time_span opposite(_span);
    opposite.negative(!_span.negative());
    return add(opposite);
}

time_span time::time_between(const time& _other) const {
    const s64 mine = milliseconds_of_day(*this);
    const s64 theirs = milliseconds_of_day(_other);
    if (mine == theirs)
        return time_span();
    if (theirs > mine)
        return split(theirs - mine, true);
    return split(mine - theirs, false);
}

std::time_t time::mktime() const {
    std::tm parts{};
    parts.tm_year = 70;
    parts.tm_mon = 0;
    parts.tm_mday = 2;
    parts.tm_hour = m_hour;
    parts.tm_min = m_minute;
    parts.tm_sec = m_second;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

double time::diff_time(const time& _other) const { return std::difftime(mktime(), _other.mktime()); }

MYSQL_TIME time::mysql_time() const {
    MYSQL_TIME result;
    std::memset(&result, 0, sizeof result);
    result.hour = m_hour;
    result.minute = m_minute;
    result.second = m_second;
    result.second_part = static_cast<unsigned long>(m_millisecond) * 1000;
    result.neg = 0;
    result.time_type = MYSQL_TIMESTAMP_TIME;
    return result;
}

time time::now() {
    std::tm parts{};
    const u16 millisecond = clock_parts(false, parts);
    return time(static_cast<u8>(parts.tm_hour), static_cast<u8>(parts.tm_min), static_cast<u8>(parts.tm_sec),
                millisecond);
}

time time::now_utc() {
    std::tm parts{};
    const u16 millisecond = clock_parts(true, parts);
    return time(static_cast<u8>(parts.tm_hour), static_cast<u8>(parts.tm_min), static_cast<u8>(parts.tm_sec),
                millisecond);
}

std::string time::str_time(bool _with_millisecond) const {
    std::string text;
    qvd::libs::core::calendar::append_clock(text, calendar_fields(*this), _with_millisecond);
    return text;
}

std::ostream& operator<<(std::ostream& _stream, const time& _time) { return _stream << _time.str_time(true); }

// date_time

date_time::date_time() = default;

date_time::date_time(u16 _year, u8 _month, u8 _day, u8 _hour, u8 _minute, u8 _second, u16 _millisecond) {
    set(_year, _month, _day, _hour, _minute, _second, _millisecond);
}

date_time::date_time(const date_time& _other) : time() {
    set(_other.m_year, _other.m_month, _other.m_day, _other.m_hour, _other.m_minute, _other.m_second,
        _other.m_millisecond);
}

date_time::date_time(const time& _time) {
    set(1900, 1, 1, _time.hour(), _time.minute(), _time.second(), _time.millisecond());
}

date_time::date_time(const std::tm& _tm) {
    set(static_cast<u16>(_tm.tm_year + 1900), static_cast<u8>(_tm.tm_mon + 1), static_cast<u8>(_tm.tm_mday),
        static_cast<u8>(_tm.tm_hour), static_cast<u8>(_tm.tm_min), static_cast<u8>(_tm.tm_sec), 0);
}

date_time::date_time(std::time_t _time) {
    std::tm parts{};
    local_time(_time, parts);
    *this = date_time(parts);
}

date_time::date_time(const MYSQL_TIME& _time) {
    if (_time.year > 65535 || _time.month > 255 || _time.day > 255 || _time.hour > 255 || _time.minute > 255 ||
        _time.second > 255)
        throw exception::date_time(static_cast<u16>(_time.year), static_cast<u8>(_time.month),
                                   static_cast<u8>(_time.day), static_cast<u8>(_time.hour),
                                   static_cast<u8>(_time.minute), static_cast<u8>(_time.second),
                                   static_cast<u16>(_time.second_part / 1000));
    set(static_cast<u16>(_time.year), static_cast<u8>(_time.month), static_cast<u8>(_time.day),
        static_cast<u8>(_time.hour), static_cast<u8>(_time.minute), static_cast<u8>(_time.second),
        static_cast<u16>(_time.second_part / 1000));
}

date_time::date_time(const std::string& _text) { date_time::set(_text); }

date_time& date_time::operator=(const date_time& _other) {
    set(_other.m_year, _other.m_month, _other.m_day, _other.m_hour, _other.m_minute, _other.m_second,
        _other.m_millisecond);
    return *this;
}

bool date_time::set(u16 _year, u8 _month, u8 _day) {
    if (!valid_date(_year, _month, _day))
        throw exception::date_time(_year, _month, _day, 0, 0, 0, 0);
    m_year = _year;
    m_month = _month;
    m_day = _day;
    return true;
}

bool date_time::set(u16 _year, u8 _month, u8 _day, u8 _hour, u8 _minute, u8 _second, u16 _millisecond) {
    if (!valid_date(_year, _month, _day) || _hour > 23 || _minute > 59 || _second > 59 || _millisecond > 999)
        throw exception::date_time(_year, _month, _day, _hour, _minute, _second, _millisecond);
    m_year = _year;
    m_month = _month;
    m_day = _day;
    m_hour = _hour;
    m_minute = _minute;
    m_second = _second;
    m_millisecond = _millisecond;
    return true;
}

bool date_time::set(const std::string& _text) {
    u16 date[3];
    const char* const text = _text.data();
    const std::size_t size = _text.size();
    u16 clock[4];
    if (read_date(text, size, date) &&
        (size == 10 || ((text[10] == ' ' || text[10] == 'T') && read_clock(text + 11, size - 11, clock)))) {
        if (date[1] > 12 || date[2] > 31)
            invalid_date();
        set(date[0], static_cast<u8>(date[1]), static_cast<u8>(date[2]));
        if (size == 10)
            return true;
        if (clock[0] > 23 || clock[1] > 59 || clock[2] > 61)
            invalid_time();
        return time::set(static_cast<u8>(clock[0]), static_cast<u8>(clock[1]), static_cast<u8>(clock[2]), clock[3]);
    }
    std::istringstream in(_text);
    char separator = 0;
    u16 year = 0;
    if (!(in >> year))
        invalid_date();
    if (at_end(in))
        return set(year, 0, 0);
    u16 month = 0;
    if (!(in >> separator >> month) || month > 12)
        invalid_date();
    if (at_end(in))
        return set(year, static_cast<u8>(month), 0);
    u16 day = 0;
    if (!(in >> separator >> day) || day > 31)
        invalid_date();
    if (at_end(in))
        return set(year, static_cast<u8>(month), static_cast<u8>(day));
    // The blank or "T" between date and time is a separator like the others.
    if (!std::isdigit(in.peek()))
        in.get();
    std::string rest;
    std::getline(in, rest);
    set(year, static_cast<u8>(month), static_cast<u8>(day));
    return time::set(rest);
}

void date_time::year(u16 _year) {
    if (_year == 0)
        throw exception::date_time(0, m_month, m_day, m_hour, m_minute, m_second, m_millisecond);
    m_year = _year;
    if (!valid_date(m_year, m_month, m_day)) {
        m_month = 1;
        m_day = 1;
    }
}

void date_time::month(u8 _month) {
    if (_month < 1 || _month > 12)
        throw exception::date_time(m_year, _month, m_day, m_hour, m_minute, m_second, m_millisecond);
    m_month = _month;
    if (m_day > days_in_month(m_year, m_month))
        m_day = 1;
}

void date_time::day(u8 _day) {
    if (_day < 1 || _day > days_in_month(m_year, m_month))
        throw exception::date_time(m_year, m_month, _day, m_hour, m_minute, m_second, m_millisecond);
    m_day = _day;
}

u16 date_time::day_of_year() const { return day_of_year(m_year, m_month, m_day); }

void date_time::day_of_year(u16 _day_of_year) {
    const date_time moved = reverse_day_of_year(m_year, _day_of_year);
    m_month = moved.m_month;
    m_day = moved.m_day;
}

int date_time::compare(const date_time& _other) const {
    const s64 mine = day_number(m_year, m_month, m_day);
    const s64 theirs = day_number(_other.m_year, _other.m_month, _other.m_day);
    if (mine != theirs)
        return mine < theirs ? -1 : 1;
    return time::compare(_other);
}

date_time date_time::add_years(s32 _years) const {
    date_time result(*this);
    if (_years == 0)
        return result;
    const s64 year = static_cast<s64>(m_year) + _years;
    if (year < 1 || year > 65535)
        throw exception::date_time(static_cast<u16>(year), m_month, m_day, m_hour, m_minute, m_second, m_millisecond);
    result.year(static_cast<u16>(year));
    return result;
}

date_time date_time::add_months(s32 _months) const {
    if (_months == 0)
        return *this;
    const s64 total = static_cast<s64>(m_month) - 1 + _months;
    date_time result = add_years(static_cast<s32>(floor_div(total, 12)));
    result.month(static_cast<u8>(floor_mod(total, 12) + 1));
    return result;
}

date_time date_time::add_days(s32 _days) const {
    date_time result(*this);
    if (_days == 0)
        return result;
    s64 year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_day_number(day_number(m_year, m_month, m_day) + _days, year, month, day);
    if (year < 1 || year > 65535)
        throw exception::date_time(static_cast<u16>(year), static_cast<u8>(month), static_cast<u8>(day), m_hour,
                                   m_minute, m_second, m_millisecond);
    result.m_year = static_cast<u16>(year);
    result.m_month = static_cast<u8>(month);
    result.m_day = static_cast<u8>(day);
    return result;
}

date_time date_time::add_hours(s32 _hours) const {
    const s64 total = static_cast<s64>(m_hour) + _hours;
    date_time result(*this);
    result.m_hour = static_cast<u8>(floor_mod(total, 24));
    return result.add_days(static_cast<s32>(floor_div(total, 24)));
}

date_time date_time::add_minutes(s32 _minutes) const {
    const s64 total = static_cast<s64>(m_minute) + _minutes;
    date_time result(*this);
    result.m_minute = static_cast<u8>(floor_mod(total, 60));
    return result.add_hours(static_cast<s32>(floor_div(total, 60)));
}

date_time date_time::add_seconds(s32 _seconds) const {
    const s64 total = static_cast<s64>(m_second) + _seconds;
    date_time result(*this);
    result.m_second = static_cast<u8>(floor_mod(total, 60));
    return result.add_minutes(static_cast<s32>(floor_div(total, 60)));
}

date_time date_time::add_milliseconds(s32 _milliseconds) const {
    const s64 total = static_cast<s64>(m_millisecond) + _milliseconds;
    date_time result(*this);
    result.m_millisecond = static_cast<u16>(floor_mod(total, 1000));
    return result.add_seconds(static_cast<s32>(floor_div(total, 1000)));
}

date_time date_time::add(const time& _time) const {
    return add_hours(_time.hour())
        .add_minutes(_time.minute())
        .add_seconds(_time.second())
        .add_milliseconds(_time.millisecond());
}

date_time date_time::substract(const time& _time) const {
    return add_hours(-_time.hour())
        .add_minutes(-_time.minute())
        .add_seconds(-_time.second())
        .add_milliseconds(-_time.millisecond());
}

date_time date_time::add(const time_span& _span) const {
    const s32 factor = _span.negative() ? -1 : 1;
    return add_days(factor * static_cast<s32>(_span.days()))
        .add_hours(factor * _span.hours())
        .add_minutes(factor * _span.minutes())
        .add_seconds(factor * _span.seconds())
        .add_milliseconds(factor * _span.milliseconds());
}

date_time date_time::subtract(const time_span& _span) const {
    time_span opposite(_span);
    opposite.negative(!_span.negative());
    return add(opposite);
}

time_span date_time::time_between(const date_time& _other) const {
    const s64 mine = day_number(m_year, m_month, m_day) * g_day_milliseconds + milliseconds_of_day(*this);
    const s64 theirs =
        day_number(_other.m_year, _other.m_month, _other.m_day) * g_day_milliseconds + milliseconds_of_day(_other);
    if (mine == theirs)
        return time_span();
    if (theirs > mine)
        return split(theirs - mine, true);
    return split(mine - theirs, false);
}

date_time date_time::date() const {
    date_time result(*this);
    result.m_hour = 0;
    result.m_minute = 0;
    result.m_second = 0;
    result.m_millisecond = 0;
    return result;
}

std::time_t date_time::mktime() const {
    std::tm parts{};
    parts.tm_year = m_year - 1900;
    parts.tm_mon = m_month - 1;
    parts.tm_mday = m_day;
    parts.tm_hour = m_hour;
    parts.tm_min = m_minute;
    parts.tm_sec = m_second;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

double date_time::diff_time(const date_time& _other) const { return std::difftime(mktime(), _other.mktime()); }

MYSQL_TIME date_time::mysql_time() const {
    MYSQL_TIME result;
    std::memset(&result, 0, sizeof result);
    result.year = m_year;
    result.month = m_month;
    result.day = m_day;
    result.hour = m_hour;
    result.minute = m_minute;
    result.second = m_second;
    result.second_part = static_cast<unsigned long>(m_millisecond) * 1000;
    result.neg = 0;
    result.time_type =
        (m_hour != 0 || m_minute != 0 || m_second != 0) ? MYSQL_TIMESTAMP_DATETIME : MYSQL_TIMESTAMP_DATE;
    return result;
}

date_time date_time::now() {
    std::tm parts{};
    const u16 millisecond = clock_parts(false, parts);
    date_time result(parts);
    result.m_millisecond = millisecond;
    return result;
}

date_time date_time::now_utc() {
    std::tm parts{};
    const u16 millisecond = clock_parts(true, parts);
    date_time result(parts);
    result.m_millisecond = millisecond;
    return result;
}

std::string date_time::str_date() const {
    std::string text;
    qvd::libs::core::calendar::append_date(text, calendar_fields(*this));
    return text;
}

std::string date_time::str(bool _with_millisecond) const {
    std::string text;
    qvd::libs::core::calendar::append_date_time(text, calendar_fields(*this), ' ', _with_millisecond);
    return text;
}

std::ostream& operator<<(std::ostream& _stream, const date_time& _date_time) { return _stream << _date_time.str(true); }

bool date_time::is_leap_year(u16 _year) { return _year % 400 == 0 || (_year % 4 == 0 && _year % 100 != 0); }

bool date_time::valid_date(u16 _year, u8 _month, u8 _day) {
    return _year != 0 && _month >= 1 && _month <= 12 && _day >= 1 && _day <= days_in_month(_year, _month);
}

u16 date_time::days_in_year(u16 _year) { return is_leap_year(_year) ? 366 : 365; }

u8 date_time::days_in_month(u16 _year, u8 _month) {
    if (_month == 2 && is_leap_year(_year))
        return 29;
    return g_month_lengths[_month - 1];
}

u16 date_time::day_of_year(u16 _year, u8 _month, u8 _day) {
    u16 result = _day;
    for (u8 month = 1; month < _month; ++month)
        result = static_cast<u16>(result + days_in_month(_year, month));
    return result;
}

date_time date_time::reverse_day_of_year(u16 _year, u16 _day_of_year) {
    if (_day_of_year == 0 || _day_of_year > days_in_year(_year))
        throw exception::date_time(_year, 0, 0, 0, 0, 0, 0);
    u16 rest = _day_of_year;
    u8 month = 1;
    while (rest > days_in_month(_year, month)) {
        rest = static_cast<u16>(rest - days_in_month(_year, month));
        ++month;
    }
    return date_time(_year, month, static_cast<u8>(rest));
}

// time_span

time_span::time_span(u32 _days, u32 _hours, u32 _minutes, u32 _seconds, u32 _milliseconds, bool _negative) {
    set(_days, _hours, _minutes, _seconds, _milliseconds, _negative);
}

void time_span::set(u32 _days, u32 _hours, u32 _minutes, u32 _seconds, u32 _milliseconds, bool _negative) {
    days(_days);
    hours(_hours);
    minutes(_minutes);
    seconds(_seconds);
    milliseconds(_milliseconds);
    negative(_negative);
}

void time_span::hours(u32 _hours) {
    if (_hours > 23)
        throw std::invalid_argument("Hours must be < 24");
    m_hours = static_cast<u8>(_hours);
}

void time_span::minutes(u32 _minutes) {
    if (_minutes > 59)
        throw std::invalid_argument("Minutes must be < 60");
    m_minutes = static_cast<u8>(_minutes);
}

void time_span::seconds(u32 _seconds) {
    if (_seconds > 60)
        throw std::invalid_argument("Seconds must be <= 60");
    m_seconds = static_cast<u8>(_seconds);
}

void time_span::milliseconds(u32 _milliseconds) {
    if (_milliseconds > 999)
        throw std::invalid_argument("Milliseconds must be < 1000");
    m_milliseconds = static_cast<u16>(_milliseconds);
}

bool time_span::zero() const {
    return m_days == 0 && m_hours == 0 && m_minutes == 0 && m_seconds == 0 && m_milliseconds == 0;
}

u64 time_span::total_hours() const { return static_cast<u64>(m_days) * 24 + m_hours; }

u64 time_span::total_minutes() const { return total_hours() * 60 + m_minutes; }

u64 time_span::total_seconds() const { return total_minutes() * 60 + m_seconds; }

u64 time_span::total_milliseconds() const { return total_seconds() * 1000 + m_milliseconds; }

int time_span::compare(const time_span& _other) const {
    const bool mine_negative = m_negative && !zero();
    const bool theirs_negative = _other.m_negative && !_other.zero();
    if (mine_negative != theirs_negative)
        return mine_negative ? -1 : 1;
    const auto order = [](u64 _a, u64 _b) { return _a < _b ? -1 : (_a > _b ? 1 : 0); };
    int magnitude = order(m_days, _other.m_days);
    if (magnitude == 0)
        magnitude = order(m_hours, _other.m_hours);
    if (magnitude == 0)
        magnitude = order(m_minutes, _other.m_minutes);
    if (magnitude == 0)
        magnitude = order(m_seconds, _other.m_seconds);
    if (magnitude == 0)
        magnitude = order(m_milliseconds, _other.m_milliseconds);
    // Among negative spans the larger amount is the smaller span.
    return mine_negative ? -magnitude : magnitude;
}

std::ostream& operator<<(std::ostream& _stream, const time_span& _span) {
    if (_span.negative())
        _stream << "negative ";
    return _stream << _span.days() << " days, " << static_cast<unsigned>(_span.hours()) << " hours, "
                   << static_cast<unsigned>(_span.minutes()) << " minutes, " << static_cast<unsigned>(_span.seconds())
                   << " seconds, " << _span.milliseconds() << " milliseconds";
}

} // namespace mariadb
