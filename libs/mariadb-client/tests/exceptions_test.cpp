#include <mariadb_client/exceptions.hpp>

#include <gtest/gtest.h>

namespace {

using namespace mariadb;

TEST(mariadb_exceptions, texts_and_ids) {
    const exception::base plain;
    EXPECT_STREQ(plain.what(), "Exception not defined");
    EXPECT_EQ(plain.error_id(), 0u);

    const exception::connection failure(1045, "Access denied");
    EXPECT_STREQ(failure.what(), "Access denied");
    EXPECT_EQ(failure.error_id(), 1045u);

    const exception::date_time bad_date(2024, 1, 5, 7, 3, 9, 45);
    EXPECT_STREQ(bad_date.what(), "Invalid date time: 2024-01-05T07:03:09.045");
    EXPECT_EQ(bad_date.error_id(), 0u);

    const exception::time bad_time(24, 0, 0, 0);
    EXPECT_STREQ(bad_time.what(), "Invalid time: 24:00:00.000");

    // Wider numbers are printed whole, not cut to the padding width.
    EXPECT_STREQ(exception::time(7, 5, 3, 1000).what(), "Invalid time: 07:05:03.1000");
}

TEST(mariadb_exceptions, caught_as_standard_exception) {
    try {
        throw exception::connection(2002, "Can't connect");
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "Can't connect");
    }
}

} // namespace
