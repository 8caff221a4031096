#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct redisContext;

namespace qvd::test_support {

// Where a redis-server listens.
struct redis_endpoint {
    std::string host = "127.0.0.1";
    int port = 0;
};

// The shared private redis-server that the test command starts before the Redis tests.
const redis_endpoint& shared_redis();

// True when the shared server answers.
bool shared_redis_available();

// A plain blocking client beside the code under test, to look at the server from outside.
class redis_client {
public:
    explicit redis_client(const redis_endpoint& _endpoint);
    ~redis_client();
    redis_client(const redis_client&) = delete;
    redis_client& operator=(const redis_client&) = delete;

    // Sends one command and returns its reply as text: strings, statuses and errors as they are,
    // integers in decimal, nil as "(nil)", arrays as their elements joined by newlines.
    std::string run(const std::vector<std::string>& _args);
    // The next reply of a command that answers more than once (MONITOR).
    std::string next();

private:
    struct context_deleter {
        void operator()(redisContext* _context) const;
    };
    std::unique_ptr<redisContext, context_deleter> m_context;
};

// A server of a test's own, for tests that stop it or watch every command. Stopped and removed on
// destruction.
class private_redis_server {
public:
    // _port 0 picks a free loopback port.
    explicit private_redis_server(std::vector<std::string> _extra_options = {}, int _port = 0);
    ~private_redis_server();
    private_redis_server(const private_redis_server&) = delete;
    private_redis_server& operator=(const private_redis_server&) = delete;

    // Starts the server and waits until it answers.
    void start();
    // Ends the server at once with SIGKILL, as a crash would, and waits until it has gone.
    void kill();
    const redis_endpoint& endpoint() const { return m_endpoint; }

private:
    std::string m_dir;
    std::vector<std::string> m_extra_options;
    redis_endpoint m_endpoint;
    int m_pid = -1;
};

} // namespace qvd::test_support

// Skips the current test when the shared server is down and the run does not demand it;
// fails it when the run demands it.
#define LOMVERA_REQUIRE_REDIS()                                                                                        \
    do {                                                                                                               \
        if (!::qvd::test_support::shared_redis_available()) {                                                          \
            if (::qvd::test_support::servers_required())                                                               \
                FAIL() << "the private redis test server is not running";                                              \
            GTEST_SKIP() << "the private redis test server is not running (start it with "                             \
                            "scripts/test-redis or run the suite through ctest)";                                      \
        }                                                                                                              \
    } while (0)
