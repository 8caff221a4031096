#include <core/calendar_text.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace calendar = qvd::libs::core::calendar;

namespace {

std::string date_time_text(const calendar::fields& _fields, char _delimiter, bool _with_millisecond) {
    std::string text;
    calendar::append_date_time(text, _fields, _delimiter, _with_millisecond);
    return text;
}

} // namespace

TEST(core_calendar_text, fields_to_text) {
    struct row {
        calendar::fields fields;
        const char* date;    // append_date
        const char* clock;   // append_clock without milliseconds
        const char* with_ms; // append_date_time, blank, with milliseconds
    };
    const std::vector<row> rows = {
        {{1, 1, 1, 0, 0, 0, 0}, "0001-01-01", "00:00:00", "0001-01-01 00:00:00.000"},
        {{9999, 12, 31, 23, 59, 59, 999}, "9999-12-31", "23:59:59", "9999-12-31 23:59:59.999"},
        {{99, 6, 15, 12, 30, 45, 7}, "0099-06-15", "12:30:45", "0099-06-15 12:30:45.007"},
        {{2024, 1, 5, 7, 3, 9, 45}, "2024-01-05", "07:03:09", "2024-01-05 07:03:09.045"},
        // The smallest and the largest fraction; a zero fraction keeps its three digits.
        {{2020, 1, 2, 3, 4, 5, 1}, "2020-01-02", "03:04:05", "2020-01-02 03:04:05.001"},
        {{2020, 1, 2, 3, 4, 5, 60}, "2020-01-02", "03:04:05", "2020-01-02 03:04:05.060"},
        {{2020, 1, 2, 3, 4, 5, 600}, "2020-01-02", "03:04:05", "2020-01-02 03:04:05.600"},
        {{2020, 1, 2, 3, 4, 5, 0}, "2020-01-02", "03:04:05", "2020-01-02 03:04:05.000"},
        // A leap second.
        {{2016, 12, 31, 23, 59, 60, 500}, "2016-12-31", "23:59:60", "2016-12-31 23:59:60.500"},
        // Beyond four digits of year, and the zero year.
        {{10000, 1, 1, 0, 0, 0, 0}, "10000-01-01", "00:00:00", "10000-01-01 00:00:00.000"},
        {{65535, 12, 31, 0, 0, 0, 0}, "65535-12-31", "00:00:00", "65535-12-31 00:00:00.000"},
        {{0, 0, 0, 0, 0, 0, 0}, "0000-00-00", "00:00:00", "0000-00-00 00:00:00.000"},
        {{-5, 3, 1, 0, 0, 0, 0}, "-5-03-01", "00:00:00", "-5-03-01 00:00:00.000"},
        // Out-of-range parts, as the client library's exceptions show them: every digit.
        {{2023, 13, 32, 24, 255, 61, 65535}, "2023-13-32", "24:255:61", "2023-13-32 24:255:61.65535"},
    };
    for (const row& r : rows) {
        std::string date;
        calendar::append_date(date, r.fields);
        EXPECT_EQ(date, r.date) << r.with_ms;
        std::string clock = "kept ";
        calendar::append_clock(clock, r.fields, false);
        EXPECT_EQ(clock, std::string("kept ") + r.clock) << r.with_ms;
        EXPECT_EQ(date_time_text(r.fields, ' ', true), r.with_ms);
        EXPECT_EQ(date_time_text(r.fields, 'T', false), std::string(r.date) + "T" + r.clock);
    }
}

TEST(core_calendar_text, utc_fields_of_counts) {
    struct row {
        std::int64_t count;
        const char* text;
    };
    const std::vector<row> rows = {
        {0, "1970-01-01 00:00:00.000"},
        {999, "1970-01-01 00:00:00.999"},
        {951782400005, "2000-02-29 00:00:00.005"},
        {253402300799999, "9999-12-31 23:59:59.999"},
        {253402300800000, "10000-01-01 00:00:00.000"},
        {-1, "1969-12-31 23:59:59.999"},
        {-86400000, "1969-12-31 00:00:00.000"},
        {-62135596800000, "0001-01-01 00:00:00.000"},
        {-62135596800001, "0000-12-31 23:59:59.999"},
        {-62167219200000, "0000-01-01 00:00:00.000"},
        {-62167219200001, "-1-12-31 23:59:59.999"},
    };
    for (const row& r : rows)
        EXPECT_EQ(date_time_text(calendar::utc_fields(r.count), ' ', true), r.text) << r.count;
}

TEST(core_calendar_text, utc_fields_agree_with_gmtime) {
    // Counts across the whole 64-bit range, each day boundary's neighbours included.
    std::vector<std::int64_t> counts = {std::numeric_limits<std::int64_t>::min(),
                                        std::numeric_limits<std::int64_t>::max()};
    for (std::int64_t count = -(std::int64_t{1} << 62); count < (std::int64_t{1} << 62);
         count += (std::int64_t{1} << 62) / 5000 + 86399999)
        for (const std::int64_t near : {count - 1, count, count + 1})
            counts.push_back(near);
    for (std::int64_t day = -800000; day < 3000000; day += 997)
        for (const std::int64_t offset : {std::int64_t{-1}, std::int64_t{0}, std::int64_t{86399999}})
            counts.push_back(day * 86400000 + offset);
    for (const std::int64_t count : counts) {
        std::int64_t seconds = count / 1000;
        std::int64_t millisecond = count % 1000;
        if (millisecond < 0) {
            millisecond += 1000;
            --seconds;
        }
        const auto as_time_t = static_cast<std::time_t>(seconds);
        std::tm expected{};
        ASSERT_NE(gmtime_r(&as_time_t, &expected), nullptr) << count;
        const calendar::fields fields = calendar::utc_fields(count);
        ASSERT_EQ(fields.year, static_cast<std::int64_t>(expected.tm_year) + 1900) << count;
        ASSERT_EQ(fields.month, static_cast<unsigned>(expected.tm_mon + 1)) << count;
        ASSERT_EQ(fields.day, static_cast<unsigned>(expected.tm_mday)) << count;
        ASSERT_EQ(fields.hour, static_cast<unsigned>(expected.tm_hour)) << count;
        ASSERT_EQ(fields.minute, static_cast<unsigned>(expected.tm_min)) << count;
        ASSERT_EQ(fields.second, static_cast<unsigned>(expected.tm_sec)) << count;
        ASSERT_EQ(fields.millisecond, static_cast<unsigned>(millisecond)) << count;
    }
}
