#pragma once

#include "support/mariadb_server.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qvd::test_support {

// One datagram received at /dev/log, sent by glibc as "<PRI>Mmm dd HH:MM:SS tag: body".
struct syslog_line {
    int priority = -1; // PRI: facility * 8 + level (LOG_USER: 15 debug, 14 info, 12 warning, 11 error)
    std::string tag;   // the identity given to openlog
    std::string body;  // the text after "tag: "
    std::string raw;   // the whole datagram
};

// A syslog daemon stand-in: binds an AF_UNIX datagram socket at /dev/log (root only) and collects
// every line on a thread of its own. Tests using it need the CTest resource lock "dev_log".
// Datagrams arrive in the order they were sent, so the absence of a line is shown by logging a
// later marker line and waiting for that.
class syslog_receiver {
public:
    // Binds the path, removing a stale socket file first; throws std::runtime_error when the path
    // cannot be bound or a live syslog daemon answers there.
    explicit syslog_receiver(std::string _path = "/dev/log");
    // Stops the thread and removes the socket file.
    ~syslog_receiver();
    syslog_receiver(const syslog_receiver&) = delete;
    syslog_receiver& operator=(const syslog_receiver&) = delete;

    // The receiver, or nullptr with the reason why not; _daemon tells whether a live syslog
    // daemon owns the path (the one case where a demanding run may skip).
    static std::unique_ptr<syslog_receiver> create(std::string& _reason, bool& _daemon, std::string _path = "/dev/log");

    // Every line received so far, oldest first.
    std::vector<syslog_line> lines() const;
    // Forgets the lines received so far.
    void clear();
    // The first line (received so far or within _timeout) that matches.
    std::optional<syslog_line> wait_for(const std::function<bool(const syslog_line&)>& _match,
                                        std::chrono::milliseconds _timeout = std::chrono::seconds(30)) const;
    // The first line whose body equals _body.
    std::optional<syslog_line> wait_for_body(const std::string& _body,
                                             std::chrono::milliseconds _timeout = std::chrono::seconds(30)) const;

    // Splits one datagram; priority -1 when it has no "<PRI>" head.
    static syslog_line parse(const std::string& _datagram);

private:
    void drain();

    std::string m_path;
    int m_fd = -1;
    bool m_stop = false;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::vector<syslog_line> m_lines;
    std::thread m_thread;
};

} // namespace qvd::test_support

// Declares `var` as a std::unique_ptr<syslog_receiver> bound at /dev/log, or skips the test (fails
// it instead in a run that demands every server, unless a real syslog daemon owns /dev/log).
#define LOMVERA_SYSLOG_RECEIVER(var)                                                                                   \
    std::string var##_reason;                                                                                          \
    bool var##_daemon = false;                                                                                         \
    auto var = ::qvd::test_support::syslog_receiver::create(var##_reason, var##_daemon);                               \
    if (!var && !var##_daemon && ::qvd::test_support::servers_required())                                              \
        FAIL() << "no syslog receiver at /dev/log: " << var##_reason;                                                  \
    if (!var)                                                                                                          \
    GTEST_SKIP() << "no syslog receiver at /dev/log: " << var##_reason
