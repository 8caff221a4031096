#include <core/constants.hpp>
#include <core/exception.hpp>
#include <core/scope_guard.hpp>
#include <core/source_location.hpp>

#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace qvd::libs::core;

namespace {

std::string text_of(boost::string_view _view) { return std::string(_view.data(), _view.size()); }

} // namespace

TEST(core_source_location, current_location_names_this_file_line_and_function) {
    const long line = __LINE__ + 1;
    const source_location here = QVD_SOURCE_LOCATION;
    EXPECT_EQ(here.line(), line);
    EXPECT_EQ(text_of(here.file()), __FILE__);
    EXPECT_EQ(text_of(here.function()), __PRETTY_FUNCTION__);
    // Shown relative to the source tree.
    EXPECT_EQ(text_of(here.short_file()), "/libs/core/tests/exception_test.cpp");
}

TEST(core_source_location, default_location_and_short_paths) {
    const source_location none;
    EXPECT_EQ(none.line(), 0);
    EXPECT_EQ(text_of(none.file()), "unknown file");
    EXPECT_EQ(text_of(none.function()), "unknown function");

    const std::size_t length = constants::source_directory.size();
    ASSERT_GT(length, 3u);
    // Only the length of the source directory counts, never its characters.
    EXPECT_EQ(text_of(source_location::remove_directory_prefix("abc")), "");
    EXPECT_EQ(text_of(source_location::remove_directory_prefix(std::string(length, 'x') + "/a.cpp")), "/a.cpp");
    EXPECT_EQ(text_of(source_location::remove_directory_prefix(std::string(length, 'x'))), "");
}

TEST(core_source_location, short_function_cases) {
    struct row {
        const char* function;
        const char* expected;
    };
    const std::vector<row> rows = {
        {"virtual long long unsigned int qvd::runtime::database_impl::drop_positions_indexes() const",
         "qvd::runtime::database_impl::drop_positions_indexes"},
        {"qvd::libs::core::timer_impl::reset_impl(qvd::libs::core::timer::time_point)::<lambda(const "
         "boost::system::error_code&)>",
         "qvd::libs::core::timer_impl::reset_impl"},
        {"virtual void qvd::runtime::database_impl::optimize_tables()", "qvd::runtime::database_impl::optimize_tables"},
        {"qvd::f()", "qvd::f"},
        {"int main(int, char**)", "int main(int, char**)"},
        // The only "qvd::" is inside the parameter list.
        {"void helper(qvd::libs::core::timestamp)", "void helper(qvd::libs::core::timestamp)"},
        {"qvd::no_parenthesis", "qvd::no_parenthesis"},
        {"f()", "f()"},
        {"", ""},
    };
    for (const row& r : rows)
        EXPECT_EQ(text_of(source_location(1, "f", r.function).short_function()), r.expected) << r.function;
}

TEST(core_exceptions, texts_begin_with_short_file_and_line) {
    const std::string file = text_of(QVD_SOURCE_LOCATION.short_file());
    long line = 0;
    try {
        line = __LINE__ + 1;
        QVD_THROW("something failed");
    } catch (const exception& e) {
        const std::string expected = file + ":" + std::to_string(line) + " something failed";
        EXPECT_EQ(std::string(e.what()), expected);
        EXPECT_EQ(exception_to_string(e), expected);
        EXPECT_EQ(e.get_string_error(), "something failed");
        EXPECT_EQ(e.get_source_location().line(), line);
    }

    void* curl_handle = nullptr;
    try {
        line = __LINE__ + 1;
        QVD_CHECK(curl_handle != NULL);
        FAIL() << "no throw";
    } catch (const check_failed_exception& e) {
        EXPECT_EQ(std::string(e.what()), file + ":" + std::to_string(line) + " check failed: curl_handle != NULL");
        EXPECT_EQ(e.get_string_error(), "check failed: curl_handle != NULL");
    }
    EXPECT_NO_THROW(QVD_CHECK(curl_handle == nullptr));

    EXPECT_EQ(std::string(located_exception(source_location(-5, "x", "f")).what()), ":-5");
    const located_exception unknown{source_location()};
    EXPECT_EQ(std::string(unknown.what()), text_of(source_location().short_file()) + ":0");
}

TEST(core_exceptions, what_is_built_once_and_stays_valid) {
    const exception e("stable", source_location(7, "x", "f"));
    const char* first = e.what();
    const char* second = e.what();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, ":7 stable");

    // Readers on several threads see one unchanging text.
    std::vector<std::thread> readers;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i)
                if (e.what() != first)
                    ++mismatches[t];
        });
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));

    const exception copy = e;
    EXPECT_STREQ(copy.what(), ":7 stable");
}

TEST(core_exceptions, exception_to_string_of_the_exception_in_flight) {
    auto in_flight = [](auto _thrower) {
        try {
            _thrower();
        } catch (...) {
            return exception_to_string();
        }
        return std::string("nothing thrown");
    };
    const source_location where(12, "x", "f");
    EXPECT_EQ(in_flight([&] { throw check_failed_exception("a == b", where); }), ":12 check failed: a == b");
    EXPECT_EQ(in_flight([&] { throw located_exception(where); }), ":12");
    EXPECT_EQ(in_flight([] { throw std::runtime_error("disk full"); }), "std::exception::what(): disk full");
    EXPECT_EQ(in_flight([] { throw 42; }), "Unknown exception");

    // The exception in flight is not altered by being described.
    try {
        throw std::logic_error("kept");
    } catch (const std::logic_error& e) {
        (void)exception_to_string();
        EXPECT_STREQ(e.what(), "kept");
    }
}

TEST(core_scope_guard, runs_once_when_released_also_during_unwinding) {
    int runs = 0;
    {
        scope_guard guard = execute_on_scope_exit([&runs]() noexcept { ++runs; });
        EXPECT_EQ(runs, 0);
        scope_guard moved = std::move(guard);
        EXPECT_EQ(runs, 0);
    }
    EXPECT_EQ(runs, 1);

    try {
        scope_guard guard = execute_on_scope_exit([&runs]() noexcept { ++runs; });
        throw std::runtime_error("unwind");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(runs, 2);

    scope_guard early = execute_on_scope_exit([&runs]() noexcept { ++runs; });
    early.reset();
    EXPECT_EQ(runs, 3);
}

TEST(core_constants, build_values) {
    EXPECT_EQ(constants::git_version, "0.1.0");
    EXPECT_EQ(constants::git_subversion, "131");
    EXPECT_EQ(constants::library_name, "core");
    EXPECT_EQ(constants::project_name, "lomvera");
    EXPECT_EQ(std::string(__FILE__).rfind(constants::source_directory, 0), 0u);
}
