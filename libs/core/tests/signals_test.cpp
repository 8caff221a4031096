#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

extern char** environ;

using namespace qvd::libs::core;
using namespace std::chrono_literals;

namespace {

// The signal child program with its standard output on a pipe.
class child_process {
public:
    explicit child_process(const std::string& _mode) {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::string program = CORE_SIGNAL_CHILD;
        char* args[] = {program.data(), const_cast<char*>(_mode.c_str()), nullptr};
        const int spawned = ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        m_out = fds[0];
        if (spawned != 0)
            throw std::runtime_error("posix_spawn failed");
    }
    ~child_process() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
    }

    // Reads standard output until it holds _text or _timeout passed.
    bool wait_for_output(const std::string& _text, std::chrono::milliseconds _timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + _timeout;
        while (m_output.find(_text) == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count())))
                return m_output.find(_text) != std::string::npos;
        }
        return true;
    }

    // The wait status once the child ended within _timeout, or -1.
    int wait_exit(std::chrono::milliseconds _timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + _timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                while (read_some(100)) {
                }
                return status;
            }
            read_some(20);
        }
        return -1;
    }

    void send(int _signal) const { ::kill(m_pid, _signal); }
    const std::string& output() const { return m_output; }

private:
    bool read_some(int _timeout_ms) {
        pollfd entry{m_out, POLLIN, 0};
        if (::poll(&entry, 1, _timeout_ms) <= 0)
            return false;
        char buffer[512];
        const ssize_t size = ::read(m_out, buffer, sizeof buffer);
        if (size <= 0)
            return false;
        m_output.append(buffer, static_cast<size_t>(size));
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_output;
};

} // namespace

TEST(core_signals, sigterm_or_sigint_stops_the_main_loop_and_sets_the_flag) {
    for (const int signal : {SIGTERM, SIGINT}) {
        child_process child("run");
        ASSERT_TRUE(child.wait_for_output("ready\n")) << child.output();
        child.send(signal);
        const int status = child.wait_exit();
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << signal << ": " << child.output();
        EXPECT_EQ(WEXITSTATUS(status), 0);
        // The flag is set before the loop stops, and the watcher's thread has ended.
        EXPECT_EQ(child.output(), "ready\nreceived=1\nwatcher_ended=1\nexit\n") << "signal " << signal;
    }
}

TEST(core_signals, a_signal_right_after_the_watcher_is_made_is_caught) {
    child_process child("early");
    const int status = child.wait_exit();
    ASSERT_TRUE(WIFEXITED(status)) << child.output();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(child.output(), "ready\nreceived=1\nwatcher_ended=1\nexit\n");
}

TEST(core_signals, a_signal_never_reaches_a_destroyed_loop) {
    // The loop ended the watcher when it was destroyed: the signal takes its default action
    // instead of stopping a loop that no longer exists.
    child_process child("loop_gone");
    ASSERT_TRUE(child.wait_for_output("ready\n")) << child.output();
    child.send(SIGTERM);
    const int status = child.wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status)) << child.output();
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(core_signals, destroying_the_handle_without_a_signal_is_prompt) {
    logger log(constants::project_name, "main");
    const auto root = core::create(log);
    const auto loop = root->create_events_loop("main");
    auto signals = loop->stop_on_signals();
    EXPECT_FALSE(signals->signal_is_received());
    const auto start = std::chrono::steady_clock::now();
    signals.reset();
    // A watcher that is not woken would wait for ever; the bound only allows for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // The main loop was not touched.
    EXPECT_FALSE(loop->is_stopped());
}
