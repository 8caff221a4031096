#pragma once

#include <cstdint>
#include <string>

// Dates and times of day as text, shared by the timestamp and the MariaDB client library. No
// dependency of its own, so that the client library needs nothing else of the core library.
namespace qvd::libs::core::calendar {

// The parts of a date and time of day. Written as they are: nothing here checks their ranges.
struct fields {
    std::int64_t year = 1970;
    unsigned month = 1;
    unsigned day = 1;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    unsigned millisecond = 0;
};

// The UTC parts of a count of milliseconds since 1970-01-01 00:00:00, in the proleptic Gregorian
// calendar; a count before the epoch gives the calendar time it denotes (year 0 is 1 BC).
fields utc_fields(std::int64_t _milliseconds_since_epoch);

// Each number is padded with zeros on the left to its width (year 4, millisecond 3, the others 2)
// and keeps every digit beyond it; a negative year is its sign and its digits, unpadded.

// Appends "YYYY-MM-DD".
void append_date(std::string& _text, const fields& _fields);
// Appends "HH:MM:SS", followed by ".mmm" when _with_millisecond is true.
void append_clock(std::string& _text, const fields& _fields, bool _with_millisecond);
// Appends the date, _delimiter and the clock.
void append_date_time(std::string& _text, const fields& _fields, char _delimiter, bool _with_millisecond);

} // namespace qvd::libs::core::calendar
