#pragma once

#include <mariadb_client/types.hpp>

#include <mysql.h>

#include <ctime>
#include <ostream>
#include <string>

namespace mariadb {

class time_span;

// A time of day with milliseconds (second 0 to 61 allows leap seconds).
class time {
public:
    time();
    time(u8 _hour, u8 _minute, u8 _second, u16 _millisecond = 0);
    time(const time& _other);
    explicit time(const std::tm& _tm);
    explicit time(std::time_t _time);
    explicit time(const MYSQL_TIME& _time);
    explicit time(const std::string& _text);
    virtual ~time() = default;

    time& operator=(const time& _other);

    // Validates and stores all parts; throws exception::time when one is out of range.
    bool set(u8 _hour, u8 _minute, u8 _second, u16 _millisecond);
    // Parses "hh[:mm[:ss[.fraction]]]"; the fraction is decimal ("5" is 500 ms).
    virtual bool set(const std::string& _text);

    u8 hour() const { return m_hour; }
    u8 minute() const { return m_minute; }
    u8 second() const { return m_second; }
    u16 millisecond() const { return m_millisecond; }
    void hour(u8 _hour);
    void minute(u8 _minute);
    void second(u8 _second);
    void millisecond(u16 _millisecond);

    // -1, 0 or 1 by hour, minute, second, millisecond.
    int compare(const time& _other) const;
    bool operator==(const time& _other) const { return compare(_other) == 0; }
    bool operator!=(const time& _other) const { return compare(_other) != 0; }
    bool operator<(const time& _other) const { return compare(_other) < 0; }
    bool operator<=(const time& _other) const { return compare(_other) <= 0; }
    bool operator>(const time& _other) const { return compare(_other) > 0; }
    bool operator>=(const time& _other) const { return compare(_other) >= 0; }

    // Copies moved by the amount, wrapping around midnight.
    time add_hours(s32 _hours) const;
    time add_minutes(s32 _minutes) const;
    time add_seconds(s32 _seconds) const;
    time add_milliseconds(s32 _milliseconds) const;
    // Copies moved by a span; its days are ignored.
    time add(const time_span& _span) const;
    time subtract(const time_span& _span) const;
    // Span from _other to this time (negative when _other is later).
    time_span time_between(const time& _other) const;

    // The time of day on 1970-01-02, local time.
    std::time_t mktime() const;
    // Difference to _other in whole seconds.
    double diff_time(const time& _other) const;
    MYSQL_TIME mysql_time() const;

    static time now();
    static time now_utc();

    // "hh:mm:ss", with ".mmm" when asked.
    std::string str_time(bool _with_millisecond = true) const;

protected:
    u8 m_hour = 0;
    u8 m_minute = 0;
    u8 m_second = 0;
    u16 m_millisecond = 0;
};

std::ostream& operator<<(std::ostream& _stream, const time& _time);

// A calendar date (year 1 to 65535) and a time of day.
class date_time : public time {
public:
    date_time();
    date_time(u16 _year, u8 _month, u8 _day, u8 _hour = 0, u8 _minute = 0, u8 _second = 0, u16 _millisecond = 0);
    date_time(const date_time& _other);
    explicit date_time(const time& _time);
    explicit date_time(const std::tm& _tm);
    explicit date_time(std::time_t _time);
    explicit date_time(const MYSQL_TIME& _time);
    explicit date_time(const std::string& _text);

    date_time& operator=(const date_time& _other);

    using time::set;
    // Validates and stores the date, keeping the time.
    bool set(u16 _year, u8 _month, u8 _day);
    // Validates and stores all seven parts (second 0 to 59).
    bool set(u16 _year, u8 _month, u8 _day, u8 _hour, u8 _minute, u8 _second, u16 _millisecond);
    // Parses "yyyy-mm-dd[ time]"; the separators are not compared.
    bool set(const std::string& _text) override;

    u16 year() const { return m_year; }
    u8 month() const { return m_month; }
    u8 day() const { return m_day; }
    // Stores the year; a 29 February that does not exist becomes 1 January.
    void year(u16 _year);
    // Stores the month; a day beyond its length becomes 1.
    void month(u8 _month);
    void day(u8 _day);
    // Day's number in its year, 1 for 1 January.
    u16 day_of_year() const;
    // Moves to that day of the current year, keeping the time.
    void day_of_year(u16 _day_of_year);

    int compare(const date_time& _other) const;
    bool operator==(const date_time& _other) const { return compare(_other) == 0; }
    bool operator!=(const date_time& _other) const { return compare(_other) != 0; }
    bool operator<(const date_time& _other) const { return compare(_other) < 0; }
    bool operator<=(const date_time& _other) const { return compare(_other) <= 0; }
    bool operator>(const date_time& _other) const { return compare(_other) > 0; }
    bool operator>=(const date_time& _other) const { return compare(_other) >= 0; }

    // Copies moved by the amount, carrying into the larger units.
    date_time add_years(s32 _years) const;
    date_time add_months(s32 _months) const;
    date_time add_days(s32 _days) const;
    date_time add_hours(s32 _hours) const;
    date_time add_minutes(s32 _minutes) const;
    date_time add_seconds(s32 _seconds) const;
    date_time add_milliseconds(s32 _milliseconds) const;
    // Copies moved forward or back by a time's parts.
    date_time add(const time& _time) const;
    date_time substract(const time& _time) const;
    // Copies moved by a span.
    date_time add(const time_span& _span) const;
    date_time subtract(const time_span& _span) const;
    // Span from _other to this value (negative when _other is later).
    time_span time_between(const date_time& _other) const;
    // The same date at 00:00:00.000.
    date_time date() const;

    // The value as local time.
    std::time_t mktime() const;
    double diff_time(const date_time& _other) const;
    MYSQL_TIME mysql_time() const;

    static date_time now();
    static date_time now_utc();

    // "yyyy-mm-dd".
    std::string str_date() const;
    // "yyyy-mm-dd hh:mm:ss", with ".mmm" when asked.
    std::string str(bool _with_millisecond = true) const;

    static bool is_leap_year(u16 _year);
    static bool valid_date(u16 _year, u8 _month, u8 _day);
    static u16 days_in_year(u16 _year);
    static u8 days_in_month(u16 _year, u8 _month);
    static u16 day_of_year(u16 _year, u8 _month, u8 _day);
    // Date of that day of the year at 00:00:00.000; throws for 0 or beyond the year.
    static date_time reverse_day_of_year(u16 _year, u16 _day_of_year);

private:
    u16 m_year = 1970;
    u8 m_month = 1;
    u8 m_day = 1;
};

std::ostream& operator<<(std::ostream& _stream, const date_time& _date_time);

// A signed duration in days, hours, minutes, seconds and milliseconds.
class time_span {
public:
    time_span() = default;
    time_span(u32 _days, u32 _hours, u32 _minutes, u32 _seconds, u32 _milliseconds, bool _negative = false);
    time_span(const time_span& _other) = default;
    time_span& operator=(const time_span& _other) = default;

    // Stores the parts in order; throws std::invalid_argument at the first one out of range.
    void set(u32 _days, u32 _hours, u32 _minutes, u32 _seconds, u32 _milliseconds, bool _negative);

    u32 days() const { return m_days; }
    u8 hours() const { return m_hours; }
    u8 minutes() const { return m_minutes; }
    u8 seconds() const { return m_seconds; }
    u16 milliseconds() const { return m_milliseconds; }
    bool negative() const { return m_negative; }
    void days(u32 _days) { m_days = _days; }
    void hours(u32 _hours);
    void minutes(u32 _minutes);
    void seconds(u32 _seconds);
    void milliseconds(u32 _milliseconds);
    void negative(bool _negative) { m_negative = _negative; }

    // True when every part is 0, whatever the sign.
    bool zero() const;
    // The magnitude in that unit; the sign is not applied.
    u64 total_hours() const;
    u64 total_minutes() const;
    u64 total_seconds() const;
    u64 total_milliseconds() const;

    // Signed order: negative spans lie below positive ones; zero spans are equal whatever the sign.
    int compare(const time_span& _other) const;
    bool operator==(const time_span& _other) const { return compare(_other) == 0; }
    bool operator!=(const time_span& _other) const { return compare(_other) != 0; }
    bool operator<(const time_span& _other) const { return compare(_other) < 0; }
    bool operator<=(const time_span& _other) const { return compare(_other) <= 0; }
    bool operator>(const time_span& _other) const { return compare(_other) > 0; }
    bool operator>=(const time_span& _other) const { return compare(_other) >= 0; }

private:
    bool m_negative = false;
    u32 m_days = 0;
    u8 m_hours = 0;
    u8 m_minutes = 0;
    u8 m_seconds = 0;
    u16 m_milliseconds = 0;
};

std::ostream& operator<<(std::ostream& _stream, const time_span& _span);

} // namespace mariadb
