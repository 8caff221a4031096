#pragma once

#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include "support/mariadb_server.hpp"
#include "support/redis_server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/optional.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace qvd::test_support {

// A loop on this thread and the way to connect to a Redis server through it.
struct redis_fixture : ::testing::Test {
    using context_result = boost::optional<std::unique_ptr<libs::core::redis::context>>;
    using context_handle = libs::core::async_operation_handle<context_result>::ptr;
    using reply_handle = libs::core::async_operation_handle<libs::core::redis::reply>::ptr;

    libs::core::logger log{libs::core::constants::project_name, "main"};
    libs::core::core::ptr root = libs::core::core::create(log);
    libs::core::events_loop::ptr loop = root->create_events_loop("main");

    // Runs the loop on this thread until _done holds; throws after 30 s. Exceptions of handlers
    // pass through.
    void run_until(const std::function<bool()>& _done) {
        boost::asio::io_context& io = loop->get_io_context();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!_done()) {
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("the loop did not get there within 30 s");
            if (io.stopped())
                io.restart();
            if (io.run_one_for(std::chrono::milliseconds(20)) == 0 && io.stopped())
                ::usleep(1000);
        }
    }

    // Runs the loop until nothing is left to do; false when work is still pending after 10 s.
    bool run_to_the_end() {
        boost::asio::io_context& io = loop->get_io_context();
        io.restart();
        io.run_for(std::chrono::seconds(10));
        return io.stopped();
    }

    // Connects to the server's database and returns the context; throws when none is delivered.
    libs::core::redis::context::ptr connect(const redis_endpoint& _endpoint, int _db = 0) {
        context_result result;
        bool delivered = false;
        const context_handle handle = loop->create_redis_context(_endpoint.host, _endpoint.port, _db);
        handle->set_callback([&](context_result _result) {
            result = std::move(_result);
            delivered = true;
        });
        run_until([&] { return delivered; });
        if (!result)
            throw std::runtime_error("no Redis context for port " + std::to_string(_endpoint.port));
        return std::move(*result);
    }

    // Waits on the loop for the next reply of the handle.
    libs::core::redis::reply wait(const reply_handle& _handle) {
        boost::optional<libs::core::redis::reply> result;
        _handle->set_callback([&](libs::core::redis::reply _reply) { result.emplace(std::move(_reply)); });
        run_until([&] { return result.has_value(); });
        return std::move(*result);
    }

    // A key of this test alone, so that tests can share the server.
    static std::string key(const std::string& _name) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string("lomvera:") + test->test_suite_name() + "." + test->name() + ":" +
               std::to_string(::getpid()) + ":" + _name;
    }
};

// The message of the qvd exception that _function throws; a failure when it throws none.
template <typename Function>
std::string error_text(Function _function) {
    try {
        _function();
    } catch (const libs::core::exception& caught) {
        return caught.get_string_error();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

} // namespace qvd::test_support
