// Journal files on disk: atomic durable writes, reads that never lose an unreadable journal.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include <core/exception.hpp>

#include "records/activity.hpp"
#include "transfer/journal.hpp"
#include "transfer/parts_mark.hpp"
#include "records/node_parameter.hpp"

namespace {

namespace fs = boost::filesystem;

const std::string example =
    "22 serialization::archive 19 0 0 1 0 0 0 7 0 1 1 5 0a:1b 0 1 4 rate 1 0  0 1 1 0 0 1234567";

std::string slurp(const fs::path& _path) {
    std::ifstream in(_path.string(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void put(const fs::path& _path, const std::string& _text) { std::ofstream(_path.string(), std::ios::binary) << _text; }

std::string failure_of(const std::function<void()>& _action) {
    try {
        _action();
    } catch (const qvd::libs::core::exception& error) {
        return error.get_string_error();
    }
    return "no failure";
}

// Runs _action in a child that has dropped root, since root passes every permission check.
int as_nobody(const std::function<int()>& _action) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
            ::_exit(100);
        ::_exit(_action());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

class journal_file : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / fs::unique_path("lomvera-journal-%%%%-%%%%");
        fs::create_directories(m_dir);
        fs::permissions(m_dir, fs::perms(0777));
        m_file = (m_dir / "node_parameters.bin").string();
    }
    void TearDown() override {
        boost::system::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(m_dir))
            result.push_back(entry.path().filename().string());
        std::sort(result.begin(), result.end());
        return result;
    }

    fs::path m_dir;
    std::string m_file;
};

TEST_F(journal_file, write_puts_exactly_the_text_and_leaves_no_temporary) {
    put(m_file + ".tmp", "stale half-written journal of a crashed run");
    qvd::journal::write_file(m_file, example);
    EXPECT_EQ(slurp(m_file), example);
    EXPECT_EQ(names(), std::vector<std::string>{"node_parameters.bin"});

    qvd::journal::write_file(m_file, "22 serialization::archive 19 0 0 0 0");
    EXPECT_EQ(slurp(m_file), "22 serialization::archive 19 0 0 0 0");
}

TEST_F(journal_file, write_failures_name_the_path_and_leave_no_journal) {
    const std::string missing = (m_dir / "no-such-dir" / "heartbeats.bin").string();
    const std::string message = failure_of([&] { qvd::journal::write_file(missing, example); });
    EXPECT_NE(message.find(missing), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(missing));

    // A component that is a file, not a directory.
    put(m_dir / "plain", "x");
    EXPECT_NE(failure_of([&] { qvd::journal::write_file((m_dir / "plain" / "a.bin").string(), example); }),
              "no failure");
}

TEST_F(journal_file, write_into_a_directory_without_write_permission_fails) {
    fs::permissions(m_dir, fs::perms(0555));
    const int result = as_nobody([&] {
        const std::string message = failure_of([&] { qvd::journal::write_file(m_file, example); });
        return message.find(m_file) != std::string::npos && !fs::exists(m_file) ? 0 : 1;
    });
    if (result == -1)
        GTEST_SKIP() << "no user nobody";
    EXPECT_EQ(result, 0);
}

TEST_F(journal_file, a_full_disk_fails_the_write_and_keeps_the_previous_content) {
    qvd::journal::write_file(m_file, example);
    const std::string big(1 << 20, '7');

    // The file-size limit fails the write the way a full disk does.
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string message = failure_of([&] { qvd::journal::write_file(m_file, big); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous_handler);

    EXPECT_NE(message.find("cannot write journal file " + m_file), std::string::npos) << message;
    EXPECT_EQ(slurp(m_file), example);
    EXPECT_EQ(names(), std::vector<std::string>{"node_parameters.bin"});
}

TEST_F(journal_file, reading_an_intact_journal) {
    put(m_file, example);
    const auto batch = qvd::journal::from_file<qvd::node_parameter>(m_file, QVD_SOURCE_LOCATION);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].param_name, std::string("rate"));
    EXPECT_TRUE(fs::exists(m_file));
}

TEST_F(journal_file, an_unparsable_journal_is_moved_aside_with_the_readers_message) {
    qvd::activity activity;
    activity.project_user_params = std::string("user params");
    const std::string whole = qvd::journal::to_string(std::vector<qvd::activity>{activity});
    struct case_t {
        std::string text;
        std::string message;
    };
    const std::vector<case_t> cases = {
        {"", "input stream error"},
        // Cut inside the last string: the archive alone would take "user" as the value.
        {whole.substr(0, whole.size() - 7), "input stream error"},
        {"13 not a journal 19 0 0 0 0", "invalid signature"},
        {whole + " " + whole, "text after the batch"},
        {"22 serialization::archive 19 0 0 9000000 0 0 0 0 0", "input stream error"},
    };
    const std::string file = (m_dir / "activities.bin").string();
    // Another kind's set-aside journal is not this one's.
    put((m_dir / "heartbeats.bin.bad").string(), "");
    EXPECT_FALSE(qvd::journal::set_aside_exists(file));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        put(file, cases[i].text);
        // Earlier bad journals are kept, not overwritten.
        const std::string aside = i == 0 ? "activities.bin.bad" : "activities.bin.bad." + std::to_string(i);
        const std::string message =
            failure_of([&] { qvd::journal::from_file<qvd::activity>(file, QVD_SOURCE_LOCATION); });
        EXPECT_EQ(message.rfind("journal file " + file + " cannot be parsed (" + cases[i].message + "): set aside as " +
                                    (m_dir / aside).string() + "; ",
                                0),
                  0u)
            << message;
        EXPECT_FALSE(fs::exists(file));
        EXPECT_TRUE(qvd::journal::set_aside_exists(file));
        EXPECT_EQ(slurp(m_dir / aside), cases[i].text);
    }
    EXPECT_EQ(names().size(), cases.size() + 1);
}

TEST_F(journal_file, a_journal_that_cannot_be_read_fails_and_stays) {
    // A directory in the journal's place opens but cannot be read.
    fs::create_directory(m_file);
    const std::string message =
        failure_of([&] { qvd::journal::from_file<qvd::node_parameter>(m_file, QVD_SOURCE_LOCATION); });
    EXPECT_NE(message.find(m_file), std::string::npos) << message;
    EXPECT_TRUE(fs::is_directory(m_file));
    fs::remove(m_file);

    put(m_file, example);
    fs::permissions(m_file, fs::perms(0));
    const int result = as_nobody([&] {
        const std::string text =
            failure_of([&] { qvd::journal::from_file<qvd::node_parameter>(m_file, QVD_SOURCE_LOCATION); });
        return text.find("cannot open journal file " + m_file) != std::string::npos ? 0 : 1;
    });
    if (result == -1)
        GTEST_SKIP() << "no user nobody";
    EXPECT_EQ(result, 0);
    fs::permissions(m_file, fs::perms(0644));
    EXPECT_EQ(slurp(m_file), example);
}

// What stands in a journal's place is read only when it is a regular file no larger than the bound,
// and never waited on: a FIFO without a writer, a link to an endless device, a directory. Each fails
// naming the path and stays as it was; a parts mark in such a form reads as one that cannot be read.
TEST_F(journal_file, only_a_regular_file_within_its_bound_is_read) {
    ASSERT_EQ(::mkfifo(m_file.c_str(), 0600), 0);
    EXPECT_EQ(failure_of([&] { qvd::journal::from_file<qvd::node_parameter>(m_file, QVD_SOURCE_LOCATION); }),
              "journal file " + m_file + " is not a regular file (a FIFO): not read");
    // Beside the FIFO, a mark that is one too.
    ASSERT_EQ(::mkfifo(qvd::journal::parts_mark_file(m_file).c_str(), 0600), 0);
    const auto mark = qvd::journal::read_parts_mark(m_file);
    ASSERT_TRUE(mark.has_value());
    EXPECT_TRUE(mark->cuts.empty());
    fs::remove(qvd::journal::parts_mark_file(m_file));
    fs::remove(m_file);

    fs::create_symlink("/dev/zero", m_file);
    EXPECT_EQ(failure_of([&] { qvd::journal::from_file<qvd::node_parameter>(m_file, QVD_SOURCE_LOCATION); }),
              "journal file " + m_file + " is not a regular file (a character device): not read");
    EXPECT_TRUE(fs::is_symlink(m_file));
    fs::remove(m_file);

    fs::create_directory(m_file);
    EXPECT_EQ(failure_of([&] { qvd::journal::from_file<qvd::node_parameter>(m_file, QVD_SOURCE_LOCATION); }),
              "journal file " + m_file + " is not a regular file (a directory): not read");
    fs::remove(m_file);

    // A regular file through a link is read; beyond the bound it is not.
    put(m_dir / "target", example);
    fs::create_symlink(m_dir / "target", m_file);
    EXPECT_EQ(qvd::journal::read_file(m_file, example.size()), example);
    EXPECT_EQ(failure_of([&] { qvd::journal::read_file(m_file, example.size() - 1); }),
              "journal file " + m_file + " holds " + std::to_string(example.size()) + " bytes, more than the " +
                  std::to_string(example.size() - 1) + " that a journal of its kind can take: not read");
    EXPECT_EQ(qvd::journal::from_file<qvd::node_parameter>(m_file, QVD_SOURCE_LOCATION).size(), 1u);
}

} // namespace
