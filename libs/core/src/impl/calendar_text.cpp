#include <core/calendar_text.hpp>

namespace qvd::libs::core::calendar {

namespace {

constexpr std::int64_t g_day_milliseconds = 86400000;
// Enough for a date and a clock of any parts: 20 characters of a 64-bit year, 10 of each unsigned
// part, the separators.
constexpr std::size_t g_buffer_size = 96;

std::int64_t floor_div(std::int64_t _value, std::int64_t _divisor) {
    const std::int64_t quotient = _value / _divisor;
    return _value % _divisor < 0 ? quotient - 1 : quotient;
}

// The digits of _value, at least _width of them; returns the end.
char* write_number(char* _out, std::uint64_t _value, unsigned _width) {
    char digits[20];
    unsigned count = 0;
    do {
        digits[count++] = static_cast<char>('0' + _value % 10);
        _value /= 10;
    } while (_value != 0);
    for (; _width > count; --_width)
        *_out++ = '0';
    while (count > 0)
        *_out++ = digits[--count];
    return _out;
}

// write_number of a fixed width, quick for the values that fit it: those of every valid date.
template <unsigned Width>
char* write_padded(char* _out, std::uint64_t _value) {
    static_assert(Width >= 2 && Width <= 4, "the widths of the calendar parts");
    constexpr unsigned limit = Width == 2 ? 100 : Width == 3 ? 1000 : 10000;
    if (_value >= limit)
        return write_number(_out, _value, Width);
    const auto value = static_cast<unsigned>(_value);
    if constexpr (Width == 4)
        *_out++ = static_cast<char>('0' + value / 1000);
    if constexpr (Width >= 3)
        *_out++ = static_cast<char>('0' + value / 100 % 10);
    *_out++ = static_cast<char>('0' + value / 10 % 10);
    *_out++ = static_cast<char>('0' + value % 10);
    return _out;
}

char* write_date(char* _out, const fields& _fields) {
    if (_fields.year < 0) {
        *_out++ = '-';
        _out = write_number(_out, 0 - static_cast<std::uint64_t>(_fields.year), 1);
    } else {
        _out = write_padded<4>(_out, static_cast<std::uint64_t>(_fields.year));
    }
    *_out++ = '-';
    _out = write_padded<2>(_out, _fields.month);
    *_out++ = '-';
    return write_padded<2>(_out, _fields.day);
}

char* write_clock(char* _out, const fields& _fields, bool _with_millisecond) {
    _out = write_padded<2>(_out, _fields.hour);
    *_out++ = ':';
    _out = write_padded<2>(_out, _fields.minute);
    *_out++ = ':';
    _out = write_padded<2>(_out, _fields.second);
    if (!_with_millisecond)
        return _out;
    *_out++ = '.';
    return write_padded<3>(_out, _fields.millisecond);
}

} // namespace

fields utc_fields(std::int64_t _milliseconds_since_epoch) {
    // Floor division by the remainder, which cannot overflow at the ends of the range.
    std::int64_t days = _milliseconds_since_epoch / g_day_milliseconds;
    std::int64_t rest = _milliseconds_since_epoch % g_day_milliseconds;
    if (rest < 0) {
        rest += g_day_milliseconds;
        --days;
    }
    const auto in_day = static_cast<unsigned>(rest);
    // Days to a civil date, counted in eras of 400 years from 0000-03-01.
    const std::int64_t shifted = days + 719468;
    const std::int64_t era = floor_div(shifted, 146097);
    const auto day_of_era = static_cast<unsigned>(shifted - era * 146097);
    const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    fields result;
    result.day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    result.month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    result.year = static_cast<std::int64_t>(year_of_era) + era * 400 + (result.month <= 2 ? 1 : 0);
    const unsigned seconds = in_day / 1000;
    result.hour = seconds / 3600;
    result.minute = seconds / 60 % 60;
    result.second = seconds % 60;
    result.millisecond = in_day % 1000;
    return result;
}

void append_date(std::string& _text, const fields& _fields) {
    char buffer[g_buffer_size];
    _text.append(buffer, write_date(buffer, _fields));
}

void append_clock(std::string& _text, const fields& _fields, bool _with_millisecond) {
    char buffer[g_buffer_size];
    _text.append(buffer, write_clock(buffer, _fields, _with_millisecond));
}

void append_date_time(std::string& _text, const fields& _fields, char _delimiter, bool _with_millisecond) {
    char buffer[g_buffer_size];
    char* end = write_date(buffer, _fields);
    *end++ = _delimiter;
    _text.append(buffer, write_clock(end, _fields, _with_millisecond));
}

} // namespace qvd::libs::core::calendar
