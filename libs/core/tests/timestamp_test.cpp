#include <core/timestamp.hpp>

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/format.hpp>

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

using qvd::libs::core::timestamp;
using std::chrono::milliseconds;

namespace {

std::string log_form(const timestamp& _value) {
    std::ostringstream text;
    text << _value;
    return text.str();
}

} // namespace

TEST(core_timestamp, text_forms) {
    struct row {
        std::int64_t count;
        const char* log;     // operator<<
        const char* sql;     // to_iso_8601_string(true)
        const char* seconds; // to_iso_8601(false, 'T', false)
    };
    const std::vector<row> rows = {
        {0, "1970-01-01T00:00:00.000Z", "1970-01-01 00:00:00.000", "1970-01-01T00:00:00"},
        {999, "1970-01-01T00:00:00.999Z", "1970-01-01 00:00:00.999", "1970-01-01T00:00:00"},
        {1000, "1970-01-01T00:00:01.000Z", "1970-01-01 00:00:01.000", "1970-01-01T00:00:01"},
        {1577934245006, "2020-01-02T03:04:05.006Z", "2020-01-02 03:04:05.006", "2020-01-02T03:04:05"},
        {1577934245060, "2020-01-02T03:04:05.060Z", "2020-01-02 03:04:05.060", "2020-01-02T03:04:05"},
        {2147483648000, "2038-01-19T03:14:08.000Z", "2038-01-19 03:14:08.000", "2038-01-19T03:14:08"},
        // Before the epoch: the calendar time the count denotes.
        {-1, "1969-12-31T23:59:59.999Z", "1969-12-31 23:59:59.999", "1969-12-31T23:59:59"},
        {-86400000, "1969-12-31T00:00:00.000Z", "1969-12-31 00:00:00.000", "1969-12-31T00:00:00"},
        {-1001, "1969-12-31T23:59:58.999Z", "1969-12-31 23:59:58.999", "1969-12-31T23:59:58"},
        // Years before 1000 keep four digits, or a server reads "99-06-15" as 1999.
        {-59028694154993, "0099-06-15T12:30:45.007Z", "0099-06-15 12:30:45.007", "0099-06-15T12:30:45"},
        {-30610224000001, "0999-12-31T23:59:59.999Z", "0999-12-31 23:59:59.999", "0999-12-31T23:59:59"},
        {-62135596800000, "0001-01-01T00:00:00.000Z", "0001-01-01 00:00:00.000", "0001-01-01T00:00:00"},
        // Far future, also past four-digit years.
        {253402300799999, "9999-12-31T23:59:59.999Z", "9999-12-31 23:59:59.999", "9999-12-31T23:59:59"},
        {253402300800000, "10000-01-01T00:00:00.000Z", "10000-01-01 00:00:00.000", "10000-01-01T00:00:00"},
    };
    for (const row& r : rows) {
        const timestamp value{milliseconds(r.count)};
        EXPECT_EQ(log_form(value), r.log) << r.count;
        EXPECT_EQ(value.to_iso_8601_string(true), r.sql) << r.count;
        EXPECT_EQ(value.to_iso_8601(false, 'T', false), r.seconds) << r.count;
        EXPECT_EQ(value.to_iso_8601_string(false), std::string(r.sql).substr(0, std::string(r.sql).size() - 4));
    }
}

TEST(core_timestamp, construction_and_parts) {
    EXPECT_EQ(timestamp().get_time_since_epoch(), milliseconds(0));
    EXPECT_EQ(timestamp(1, 6), timestamp(milliseconds(1006)));
    EXPECT_EQ(log_form(timestamp(1, 6)), "1970-01-01T00:00:01.006Z");
    // Milliseconds above 999 simply add on.
    EXPECT_EQ(timestamp(1, 1500).get_time_since_epoch(), milliseconds(2500));
    EXPECT_EQ(timestamp(1577934245, 6).get_ts(), 1577934245);
    EXPECT_EQ(timestamp(1577934245, 6).get_ms(), 6u);

    const timestamp before = timestamp::current_time();
    const timestamp now = timestamp::current_time();
    EXPECT_LE(before, now);
    EXPECT_GT(now.get_ts(), 1577934245); // later than 2020
    EXPECT_EQ(now - before, now.get_time_since_epoch() - before.get_time_since_epoch());
    EXPECT_EQ(timestamp(milliseconds(10)) + milliseconds(5), timestamp(milliseconds(15)));
    EXPECT_EQ(timestamp(milliseconds(10)) - milliseconds(15), timestamp(milliseconds(-5)));
}

TEST(core_timestamp, archive_form_is_the_plain_count) {
    for (const std::int64_t count : {std::int64_t{0}, std::int64_t{1577934245006}, std::int64_t{-1234567}}) {
        std::ostringstream stream;
        {
            boost::archive::text_oarchive archive(stream);
            const timestamp value{milliseconds(count)};
            archive << value;
            // Taken before the archive's closing newline.
            EXPECT_EQ(stream.str(), "22 serialization::archive 19 0 0 " + std::to_string(count));
        }
        std::istringstream input(stream.str());
        boost::archive::text_iarchive archive(input);
        timestamp loaded{milliseconds(42)};
        archive >> loaded;
        EXPECT_EQ(loaded.get_time_since_epoch().count(), count);
    }
}

TEST(core_timestamp, optional_values_in_log_messages) {
    const timestamp value(1, 6);
    const boost::optional<timestamp> none;
    const boost::optional<timestamp> some = value;
    EXPECT_EQ((boost::format("first ts = %1%") % none).str(), "first ts = --");
    EXPECT_EQ((boost::format("first ts = %1%") % some).str(), "first ts =  1970-01-01T00:00:01.006Z");
    const boost::optional<boost::optional<timestamp>> outer_empty;
    const boost::optional<boost::optional<timestamp>> inner_empty = none;
    const boost::optional<boost::optional<timestamp>> both = some;
    EXPECT_EQ((boost::format("%1%") % outer_empty).str(), "--");
    EXPECT_EQ((boost::format("%1%") % inner_empty).str(), " --");
    EXPECT_EQ((boost::format("%1%") % both).str(), "  1970-01-01T00:00:01.006Z");
}

TEST(core_timestamp, formatting_from_many_threads_gives_each_its_own_time) {
    // Each thread formats its own day; a shared calendar buffer would mix them up.
    std::vector<std::thread> threads;
    std::vector<int> wrong(8, 0);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &wrong] {
            const timestamp value{milliseconds(std::int64_t{86400000} * (t + 1) + t)};
            const std::string expected = value.to_iso_8601(true, 'T', true);
            for (int i = 0; i < 20000; ++i)
                if (value.to_iso_8601(true, 'T', true) != expected)
                    ++wrong[t];
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
    EXPECT_EQ(timestamp(milliseconds(86400000 * 2 + 1)).to_iso_8601(true, 'T', true), "1970-01-03T00:00:00.001Z");
}
