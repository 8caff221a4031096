#include "thrown_text.hpp"

#include <mariadb_client/date_time.hpp>
#include <mariadb_client/exceptions.hpp>

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

namespace {

using mariadb::date_time;
using mariadb::time;
using mariadb::time_span;
namespace exception = mariadb::exception;

TEST(mariadb_date_time, parses_column_texts) {
    struct parse_case {
        const char* text;
        const char* expected;
    };
    const parse_case cases[] = {
        {"2024-02-29 23:59:59", "2024-02-29 23:59:59.000"},
        {"2024-01-15", "2024-01-15 00:00:00.000"},
        {"2024/01/15T10:20:30", "2024-01-15 10:20:30.000"},
        // Fractions are decimal: one digit is tenths, six digits come from DATETIME(6).
        {"2024-01-15 10:20:30.5", "2024-01-15 10:20:30.500"},
        {"2024-01-15 10:20:30.123", "2024-01-15 10:20:30.123"},
        {"2024-01-15 10:20:30.045", "2024-01-15 10:20:30.045"},
        {"2024-01-15 10:20:30.123456", "2024-01-15 10:20:30.123"},
        {"2024-01-15 10:20:30.999999", "2024-01-15 10:20:30.999"},
        {"  2024-01-15 10:20", "2024-01-15 10:20:00.000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(date_time(std::string(c.text)).str(true), c.expected) << c.text;
}

TEST(mariadb_date_time, refuses_invalid_texts) {
    EXPECT_EQ(thrown_text<exception::date_time>([] { date_time(std::string("2023-02-29 00:00:00")); }),
              "Invalid date time: 2023-02-29T00:00:00.000");
    EXPECT_EQ(thrown_text<exception::date_time>([] { date_time(std::string("0000-00-00 00:00:00")); }),
              "Invalid date time: 0000-00-00T00:00:00.000");
    EXPECT_THROW(date_time(std::string("2024")), exception::date_time);
    EXPECT_THROW(date_time(std::string("2024-05")), exception::date_time);
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { date_time(std::string("2024-13-01")); }), "invalid date format");
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { date_time(std::string("2024-01-32")); }), "invalid date format");
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { date_time(std::string("")); }), "invalid date format");
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { date_time(std::string("2024-01-15 25:00:00")); }),
              "invalid time format");
    EXPECT_THROW(date_time(std::string("2024-01-15 10:20:30.")), std::invalid_argument);
}

TEST(mariadb_date_time, failed_text_keeps_previous_value) {
    date_time value(2020, 6, 7, 8, 9, 10, 11);
    EXPECT_THROW(value.set(std::string("2023-02-29 01:02:03")), exception::date_time);
    EXPECT_EQ(value.str(true), "2020-06-07 08:09:10.011");
    EXPECT_THROW(value.set(std::string("2021-13-01")), std::invalid_argument);
    EXPECT_EQ(value.str(true), "2020-06-07 08:09:10.011");
}

// Column layouts and their near misses must read the same whichever way they are parsed.
TEST(mariadb_date_time, layout_edge_cases) {
    struct parse_case {
        const char* text;
        const char* expected;
    };
    const parse_case cases[] = {
        {"2024-01-15T10:20:30", "2024-01-15 10:20:30.000"},
        {"2024-01-15 10:20:30.000123", "2024-01-15 10:20:30.000"},
        {"2024-01-15 10:20:30.1234567", "2024-01-15 10:20:30.123"},
        {"2024-01-15 10:20:30.12", "2024-01-15 10:20:30.120"},
        {"2024-01-15 23:59:61", "2024-01-15 23:59:61.000"},
        {"2024-01-15 10:20:30.5x", "2024-01-15 10:20:30.500"},
        {"2024-01-15 10:20:30 ", "2024-01-15 10:20:30.000"},
        {"2024-01-15 10:20:30 .5", "2024-01-15 10:20:30.500"},
        {"2024-1-5 1:2:3", "2024-01-05 01:02:03.000"},
        {"02024-01-15 10:20:30", "2024-01-15 10:20:30.000"},
        {"+2024-01-15 10:20:30", "2024-01-15 10:20:30.000"},
        {"2024-01-15", "2024-01-15 00:00:00.000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(date_time(std::string(c.text)).str(true), c.expected) << c.text;
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { date_time(std::string("2024-01-15 10:20:62")); }),
              "invalid time format");
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { date_time(std::string("2024-01-15 10:60:00")); }),
              "invalid time format");
    EXPECT_EQ(thrown_text<exception::date_time>([] { date_time(std::string("2024-02-30 10:20:30")); }),
              "Invalid date time: 2024-02-30T00:00:00.000");
    EXPECT_THROW(date_time(std::string("2024-01-15 10:20:30.x")), std::invalid_argument);
    EXPECT_EQ(date_time(std::string("2024-01-15 ")).str(true), "2024-01-15 00:00:00.000");
    // The date is taken before the time is read, so a bad time leaves the new date behind.
    date_time value(2020, 6, 7, 8, 9, 10, 11);
    EXPECT_THROW(value.set(std::string("2021-03-04 24:00:00")), std::invalid_argument);
    EXPECT_EQ(value.str(true), "2021-03-04 08:09:10.011");

    EXPECT_EQ(time(std::string("10:20:30")).str_time(true), "10:20:30.000");
    EXPECT_EQ(time(std::string("10:20:30.000999")).str_time(true), "10:20:30.000");
    EXPECT_EQ(time(std::string("23:59:61.9")).str_time(true), "23:59:61.900");
    EXPECT_EQ(time(std::string(" 1:2:3 ")).str_time(true), "01:02:03.000");
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { time(std::string("24:00:00")); }), "invalid time format");
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { time(std::string("10:20:30.")); }), "invalid time format");
}

TEST(mariadb_time, parses_and_validates) {
    EXPECT_EQ(time(std::string("10:20:30.123")).millisecond(), 123);
    EXPECT_EQ(time(std::string("10:20:30.5")).millisecond(), 500);
    EXPECT_EQ(time(std::string("10")).str_time(true), "10:00:00.000");
    EXPECT_EQ(time(std::string("10:20")).str_time(true), "10:20:00.000");
    // A leap second is a valid time of day, but not a valid date-time.
    EXPECT_EQ(time(std::string("23:59:60")).second(), 60);
    EXPECT_THROW(date_time(2024, 1, 1, 23, 59, 60, 0), exception::date_time);
    EXPECT_THROW(time(std::string("24:00")), std::invalid_argument);
    EXPECT_THROW(time(std::string("10:60")), std::invalid_argument);
    EXPECT_THROW(time(std::string("10:20:62")), std::invalid_argument);
    EXPECT_THROW(time(std::string("x")), std::invalid_argument);
    EXPECT_EQ(thrown_text<exception::time>([] { time(24, 0, 0, 0); }), "Invalid time: 24:00:00.000");

    time value(1, 2, 3, 4);
    EXPECT_EQ(thrown_text<exception::time>([&] { value.minute(60); }), "Invalid time: 01:60:03.004");
    EXPECT_EQ(value.str_time(true), "01:02:03.004");
    EXPECT_EQ(value.str_time(false), "01:02:03");
}

TEST(mariadb_date_time, printing) {
    const date_time value(2024, 1, 5, 7, 3, 9, 45);
    EXPECT_EQ(value.str(true), "2024-01-05 07:03:09.045");
    EXPECT_EQ(value.str(false), "2024-01-05 07:03:09");
    EXPECT_EQ(value.str_date(), "2024-01-05");
    std::ostringstream out;
    out << value << '|' << time(1, 2, 3, 4);
    EXPECT_EQ(out.str(), "2024-01-05 07:03:09.045|01:02:03.004");
}

TEST(mariadb_date_time, part_setters) {
    date_time leap(2024, 2, 29);
    leap.year(2023);
    EXPECT_EQ(leap.str_date(), "2023-01-01");
    EXPECT_THROW(leap.year(0), exception::date_time);

    date_time end_of_month(2024, 1, 31);
    end_of_month.month(2);
    EXPECT_EQ(end_of_month.str_date(), "2024-02-01");
    EXPECT_EQ(thrown_text<exception::date_time>([&] { end_of_month.month(13); }),
              "Invalid date time: 2024-13-01T00:00:00.000");
    EXPECT_THROW(end_of_month.day(30), exception::date_time);
    EXPECT_EQ(end_of_month.str_date(), "2024-02-01");
}

TEST(mariadb_date_time, calendar) {
    EXPECT_TRUE(date_time::is_leap_year(2000));
    EXPECT_TRUE(date_time::is_leap_year(2024));
    EXPECT_FALSE(date_time::is_leap_year(1900));
    EXPECT_FALSE(date_time::is_leap_year(2023));
    EXPECT_EQ(date_time::days_in_month(2024, 2), 29);
    EXPECT_EQ(date_time::days_in_month(2023, 2), 28);
    EXPECT_FALSE(date_time::valid_date(0, 1, 1));
    EXPECT_FALSE(date_time::valid_date(2024, 4, 31));
    EXPECT_EQ(date_time::day_of_year(2024, 12, 31), 366);
    EXPECT_EQ(date_time::reverse_day_of_year(2024, 60).str_date(), "2024-02-29");
    EXPECT_THROW(date_time::reverse_day_of_year(2023, 366), exception::date_time);
    EXPECT_THROW(date_time::reverse_day_of_year(2023, 0), exception::date_time);

    date_time value(2024, 5, 6, 7, 8, 9, 10);
    value.day_of_year(1);
    EXPECT_EQ(value.str(true), "2024-01-01 07:08:09.010");
}

TEST(mariadb_date_time, arithmetic) {
    EXPECT_EQ(date_time(2024, 12, 15).add_months(1).str_date(), "2025-01-15");
    EXPECT_EQ(date_time(2024, 11, 15).add_months(1).str_date(), "2024-12-15");
    EXPECT_EQ(date_time(2024, 1, 15).add_months(-1).str_date(), "2023-12-15");
    EXPECT_EQ(date_time(2024, 3, 15).add_months(-27).str_date(), "2021-12-15");
    EXPECT_EQ(date_time(2024, 1, 1).add_days(-1).str_date(), "2023-12-31");
    EXPECT_EQ(date_time(2023, 12, 31).add_days(366 + 1).str_date(), "2025-01-01");
    EXPECT_EQ(date_time(2024, 2, 28).add_days(1).str_date(), "2024-02-29");
    EXPECT_EQ(date_time(2024, 2, 29).add_years(1).str_date(), "2025-01-01");
    EXPECT_THROW(date_time(1, 1, 1).add_days(-1), exception::date_time);
    EXPECT_THROW(date_time(1, 1, 1).add_years(-1), exception::date_time);

    EXPECT_EQ(time(10, 2, 0).add_minutes(-5).str_time(false), "09:57:00");
    EXPECT_EQ(date_time(2024, 1, 1, 10, 2, 0).add_minutes(-5).str(false), "2024-01-01 09:57:00");
    EXPECT_EQ(time(23, 59, 59, 999).add_milliseconds(1).str_time(true), "00:00:00.000");
    EXPECT_EQ(time(0, 0, 0, 0).add_seconds(-1).str_time(false), "23:59:59");
    EXPECT_EQ(date_time(2024, 1, 1, 0, 0, 0, 0).add_milliseconds(-1).str(true), "2023-12-31 23:59:59.999");
    EXPECT_EQ(date_time(2024, 12, 31, 23, 0, 0).add_hours(25).str(false), "2025-01-02 00:00:00");

    EXPECT_EQ(date_time(2024, 1, 1, 1, 0, 0).add(time(1, 30, 0)).str(false), "2024-01-01 02:30:00");
    EXPECT_EQ(date_time(2024, 1, 1, 1, 0, 0).substract(time(1, 30, 0)).str(false), "2023-12-31 23:30:00");

    const time_span span(1, 2, 3, 4, 5, false);
    EXPECT_EQ(date_time(2024, 1, 1).add(span).str(true), "2024-01-02 02:03:04.005");
    EXPECT_EQ(date_time(2024, 1, 1).subtract(span).str(true), "2023-12-30 21:56:55.995");
    EXPECT_EQ(time(1, 0, 0).subtract(span).str_time(true), "22:56:55.995");
}

TEST(mariadb_date_time, time_between) {
    const date_time later(2024, 3, 1, 1, 0, 0, 0);
    const date_time earlier(2024, 2, 28, 2, 30, 0, 500);
    const time_span forward = later.time_between(earlier);
    EXPECT_FALSE(forward.negative());
    EXPECT_EQ(forward.days(), 1u);
    EXPECT_EQ(forward.hours(), 22);
    EXPECT_EQ(forward.minutes(), 29);
    EXPECT_EQ(forward.seconds(), 59);
    EXPECT_EQ(forward.milliseconds(), 500);
    const time_span backward = earlier.time_between(later);
    EXPECT_TRUE(backward.negative());
    EXPECT_EQ(backward.total_milliseconds(), forward.total_milliseconds());
    EXPECT_EQ(earlier.add(forward), later);
    EXPECT_TRUE(later.time_between(later).zero());

    const time_span of_day = time(1, 0, 0).time_between(time(2, 30, 0));
    EXPECT_TRUE(of_day.negative());
    EXPECT_EQ(of_day.total_minutes(), 90u);
}

TEST(mariadb_date_time, ordering_and_conversions) {
    EXPECT_LT(date_time(2023, 12, 31, 23, 59, 59, 999), date_time(2024, 1, 1));
    EXPECT_GT(date_time(2024, 1, 1, 0, 0, 0, 1), date_time(2024, 1, 1));
    EXPECT_EQ(date_time(2024, 1, 1, 5, 0, 0).date(), date_time(2024, 1, 1));
    EXPECT_LT(time(1, 2, 3, 4), time(1, 2, 3, 5));

    const MYSQL_TIME full = date_time(2024, 1, 5, 7, 3, 9, 45).mysql_time();
    EXPECT_EQ(full.second_part, 45000u);
    EXPECT_EQ(full.time_type, MYSQL_TIMESTAMP_DATETIME);
    EXPECT_EQ(date_time(2024, 1, 5).mysql_time().time_type, MYSQL_TIMESTAMP_DATE);
    EXPECT_EQ(date_time(full), date_time(2024, 1, 5, 7, 3, 9, 45));
    EXPECT_EQ(time(time(1, 2, 3, 4).mysql_time()), time(1, 2, 3, 4));

    EXPECT_EQ(date_time(2024, 1, 1, 0, 0, 10).diff_time(date_time(2024, 1, 1)), 10.0);
    EXPECT_EQ(time(0, 1, 0).diff_time(time(0, 0, 0)), 60.0);
    const date_time now = date_time::now_utc();
    EXPECT_GE(now.year(), 2024);
}

TEST(mariadb_time_span, ranges_and_printing) {
    EXPECT_EQ(thrown_text<std::invalid_argument>([] { time_span(0, 24, 0, 0, 0, false); }), "Hours must be < 24");
    EXPECT_THROW(time_span(0, 0, 60, 0, 0, false), std::invalid_argument);
    EXPECT_THROW(time_span(0, 0, 0, 61, 0, false), std::invalid_argument);
    EXPECT_THROW(time_span(0, 0, 0, 0, 1000, false), std::invalid_argument);

    std::ostringstream out;
    out << time_span(1, 2, 0, 0, 3, true);
    EXPECT_EQ(out.str(), "negative 1 days, 2 hours, 0 minutes, 0 seconds, 3 milliseconds");
    EXPECT_EQ(time_span(1, 2, 3, 4, 5, true).total_milliseconds(), 93784005u);
    EXPECT_TRUE(time_span(0, 0, 0, 0, 0, true).zero());
}

TEST(mariadb_time_span, signed_order) {
    const time_span minus_two_days(2, 0, 0, 0, 0, true);
    const time_span minus_one_hour(0, 1, 0, 0, 0, true);
    const time_span zero;
    const time_span negative_zero(0, 0, 0, 0, 0, true);
    const time_span one_hour(0, 1, 0, 0, 0, false);
    const time_span one_day(1, 0, 0, 0, 0, false);
    const time_span ordered[] = {minus_two_days, minus_one_hour, zero, one_hour, one_day};
    for (std::size_t i = 0; i + 1 < std::size(ordered); ++i) {
        EXPECT_LT(ordered[i], ordered[i + 1]) << i;
        EXPECT_GT(ordered[i + 1], ordered[i]) << i;
    }
    EXPECT_EQ(zero, negative_zero);
    EXPECT_EQ(minus_one_hour, time_span(0, 1, 0, 0, 0, true));
}

} // namespace
