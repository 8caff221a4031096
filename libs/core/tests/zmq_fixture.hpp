#pragma once

#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/zmq/asio_socket.hpp>

#include "support/zmq_reader.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zmq_test {

using namespace std::chrono_literals;

// A loop of its own per test, its log stream read back, and peers in a ZeroMQ context apart.
struct loop_fixture : ::testing::Test {
    qvd::test_support::zmq_reader reader;
    qvd::libs::core::logger log{qvd::libs::core::constants::project_name, "main"};
    qvd::libs::core::core::ptr root = qvd::libs::core::core::create(log);
    qvd::libs::core::events_loop::ptr loop = root->create_events_loop("main");
    ::zmq::context_t peers;

    void SetUp() override { log.connect(reader.endpoint()); }

    // libzmq leaves the files of ipc endpoints behind.
    ~loop_fixture() override {
        for (const std::string& path : m_ipc_paths)
            ::unlink(path.c_str());
    }

    // An ipc endpoint unique to this process and call; its file is removed after the test.
    std::string ipc_endpoint() {
        static std::atomic<int> count{0};
        m_ipc_paths.push_back("/tmp/lomvera-zmq-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count));
        return "ipc://" + m_ipc_paths.back();
    }

    // Runs the loop until _done holds or 10 s have passed; the loop can be run again afterwards.
    bool run_until(const std::function<bool()>& _done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        const auto check = loop->create_periodic_timer(
            1ms, "check",
            [&](qvd::libs::core::timer::time_point) {
                if (_done() || std::chrono::steady_clock::now() > deadline)
                    loop->stop();
            },
            QVD_SOURCE_LOCATION);
        loop->run();
        loop->get_io_context().restart();
        return _done();
    }

    // Every log-stream line so far: a marker is logged and awaited, so none is still on its way.
    std::vector<std::string> logged() {
        static std::atomic<int> markers{0};
        const std::string marker = "marker " + std::to_string(++markers);
        log.info(marker);
        EXPECT_TRUE(reader.wait_for_suffix(marker));
        return reader.messages();
    }

    std::size_t logged_count(const std::string& _text) {
        const std::vector<std::string> lines = logged();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& _line) {
            return _line.find(_text) != std::string::npos;
        }));
    }

    // A peer socket that drops what it still holds when closed.
    ::zmq::socket_t peer(::zmq::socket_type _type) {
        ::zmq::socket_t socket(peers, _type);
        socket.set(::zmq::sockopt::linger, 0);
        return socket;
    }

private:
    std::vector<std::string> m_ipc_paths;
};

// A loopback TCP endpoint free at the time of the call (ZeroMQ listens with SO_REUSEADDR).
inline std::string free_tcp_endpoint() {
    ::zmq::context_t context;
    ::zmq::socket_t probe(context, ::zmq::socket_type::pull);
    probe.set(::zmq::sockopt::linger, 0);
    probe.bind("tcp://127.0.0.1:*");
    return probe.get(::zmq::sockopt::last_endpoint);
}

} // namespace zmq_test
