#include <core/posix.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>

using qvd::libs::core::read_all;
using qvd::libs::core::read_up_to;
using qvd::libs::core::unique_descriptor;
using qvd::libs::core::write_all;

namespace {

bool is_open(const int _descriptor) { return ::fcntl(_descriptor, F_GETFD) != -1; }

// Both ends of a pipe, each owned.
struct pipe_ends {
    unique_descriptor read_end;
    unique_descriptor write_end;
};

pipe_ends make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        ADD_FAILURE() << "pipe2 failed";
    return {unique_descriptor(ends[0]), unique_descriptor(ends[1])};
}

} // namespace

TEST(core_posix, write_all_then_read_all_carries_every_byte) {
    // Sixteen times a pipe's capacity: the writer blocks and resumes until the reader drains it.
    std::string text;
    for (int i = 0; text.size() < 16 * 65536; ++i)
        text += std::to_string(i) + ',';
    pipe_ends ends = make_pipe();
    std::string got;
    bool read_ok = false;
    std::thread reader([&] { read_ok = read_all(ends.read_end.get(), got); });
    const bool write_ok = write_all(ends.write_end.get(), text);
    ASSERT_EQ(ends.write_end.close(), 0);
    reader.join();
    EXPECT_TRUE(write_ok);
    EXPECT_TRUE(read_ok);
    EXPECT_EQ(got, text);
}

// The limit holds across reads of a pipe's chunks; what is left stays to be read.
TEST(core_posix, read_up_to_stops_at_its_limit) {
    std::string text(3 * 65536 + 17, 'x');
    text.back() = 'y';
    pipe_ends ends = make_pipe();
    std::thread writer([&] {
        write_all(ends.write_end.get(), text);
        ends.write_end.close();
    });
    std::string got = "kept:";
    EXPECT_TRUE(read_up_to(ends.read_end.get(), 2 * 65536 + 5, got));
    EXPECT_EQ(got, "kept:" + text.substr(0, 2 * 65536 + 5));
    std::string rest;
    EXPECT_TRUE(read_up_to(ends.read_end.get(), text.size(), rest));
    writer.join();
    EXPECT_EQ(rest, text.substr(2 * 65536 + 5));
}

TEST(core_posix, write_all_of_nothing_writes_nothing) {
    pipe_ends ends = make_pipe();
    EXPECT_TRUE(write_all(ends.write_end.get(), ""));
    ASSERT_EQ(ends.write_end.close(), 0);
    std::string got;
    EXPECT_TRUE(read_all(ends.read_end.get(), got));
    EXPECT_EQ(got, "");
}

TEST(core_posix, write_all_reports_a_failed_write_with_errno) {
    pipe_ends ends = make_pipe();
    errno = 0;
    EXPECT_FALSE(write_all(ends.read_end.get(), "x"));
    EXPECT_EQ(errno, EBADF);
}

TEST(core_posix, a_descriptor_is_closed_at_scope_end) {
    int raw = -1;
    {
        pipe_ends ends = make_pipe();
        raw = ends.read_end.get();
        EXPECT_TRUE(is_open(raw));
    }
    EXPECT_FALSE(is_open(raw));
}

TEST(core_posix, a_moved_descriptor_has_one_owner) {
    pipe_ends ends = make_pipe();
    const int raw = ends.read_end.get();
    unique_descriptor taken(std::move(ends.read_end));
    EXPECT_FALSE(ends.read_end.valid());
    EXPECT_EQ(taken.get(), raw);

    // Assignment closes what the target held and takes the other one.
    const int replaced = ends.write_end.get();
    taken = std::move(ends.write_end);
    EXPECT_FALSE(is_open(raw));
    EXPECT_TRUE(is_open(replaced));
    EXPECT_EQ(taken.get(), replaced);
}

TEST(core_posix, close_is_final_and_a_failed_open_owns_nothing) {
    pipe_ends ends = make_pipe();
    const int raw = ends.read_end.get();
    EXPECT_EQ(ends.read_end.close(), 0);
    EXPECT_FALSE(ends.read_end.valid());
    EXPECT_FALSE(is_open(raw));
    EXPECT_EQ(ends.read_end.close(), 0);

    const unique_descriptor missing(::open("/nonexistent/lomvera-posix-test", O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(missing.valid());
    EXPECT_EQ(missing.get(), -1);
}
