#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include "support/zmq_reader.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace qvd::libs::core;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

namespace {

struct core_events_loop : ::testing::Test {
    qvd::test_support::zmq_reader reader;
    logger log{constants::project_name, "main"};
    core::ptr root = core::create(log);
    events_loop::ptr loop = root->create_events_loop("main");
};

} // namespace

TEST_F(core_events_loop, run_without_work_returns_at_once) {
    const auto start = clock_type::now();
    loop->run();
    // A run that waited would never return; the bound only allows for a busy machine.
    EXPECT_LT(clock_type::now() - start, 5s);
    EXPECT_TRUE(loop->is_stopped());
    EXPECT_EQ(&loop->get_io_context(), &static_cast<const events_loop&>(*loop).get_io_context());
}

TEST_F(core_events_loop, posts_from_other_threads_run_on_the_loop_thread) {
    const auto loop_thread = std::this_thread::get_id();
    std::atomic<int> ran{0};
    std::atomic<int> elsewhere{0};
    auto work = loop->create_work();
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                loop->post(
                    [&] {
                        ++ran;
                        if (std::this_thread::get_id() != loop_thread)
                            ++elsewhere;
                    },
                    QVD_SOURCE_LOCATION);
        });
    // Releasing the last work from another thread lets run return once the queue is empty.
    std::thread releaser([&] {
        for (auto& poster : posters)
            poster.join();
        work.reset();
    });
    loop->run();
    releaser.join();
    EXPECT_EQ(ran, 1000);
    EXPECT_EQ(elsewhere, 0);
}

TEST_F(core_events_loop, stop_from_another_thread_ends_a_waiting_run) {
    int calls = 0;
    const auto timer = loop->create_periodic_timer(
        60s, "idle", [&](timer::time_point) { ++calls; }, QVD_SOURCE_LOCATION);
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        loop->stop();
    });
    const auto start = clock_type::now();
    loop->run();
    stopper.join();
    EXPECT_LT(clock_type::now() - start, 30s);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(loop->is_stopped());
    // A stopped loop stays stopped.
    const auto again = clock_type::now();
    loop->run();
    EXPECT_LT(clock_type::now() - again, 5s);
}

TEST_F(core_events_loop, handler_exceptions_leave_run_and_the_loop_goes_on) {
    std::vector<int> order;
    loop->post([&] { order.push_back(1); }, QVD_SOURCE_LOCATION);
    loop->post([] { throw std::runtime_error("handler failed"); }, QVD_SOURCE_LOCATION);
    loop->post([&] { order.push_back(2); }, QVD_SOURCE_LOCATION);
    EXPECT_THROW(loop->run(), std::runtime_error);
    EXPECT_EQ(order, std::vector<int>{1});
    loop->run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(core_events_loop, run_catch_exceptions_logs_and_resumes) {
    log.connect(reader.endpoint());
    int after = 0;
    loop->post([] { throw std::runtime_error("first"); }, QVD_SOURCE_LOCATION);
    loop->post([] { throw 3; }, QVD_SOURCE_LOCATION);
    loop->post([&] { ++after; }, QVD_SOURCE_LOCATION);
    const source_location caller = QVD_SOURCE_LOCATION;
    loop->run_catch_exceptions(caller);
    EXPECT_EQ(after, 1);
    const std::string located = std::string(caller.short_file().data(), caller.short_file().size()) + ":" +
                                std::to_string(caller.line()) + " Caught exeption";
    EXPECT_TRUE(reader.wait_for_suffix(located));
    // The loop logs as the core's component.
    EXPECT_TRUE(reader.wait_for([](const std::string& _m) {
        return _m.rfind("&" + constants::project_name + ":core ", 0) == 0 &&
               _m.find("std::exception::what(): first") != std::string::npos;
    }));
    EXPECT_TRUE(reader.wait_for_suffix(" Unknown exception"));
}

TEST_F(core_events_loop, destruction_drains_what_is_still_queued) {
    bool ran = false;
    loop->stop();
    loop->post([&] { ran = true; }, QVD_SOURCE_LOCATION);
    loop->run();
    EXPECT_FALSE(ran);
    const auto start = clock_type::now();
    loop.reset();
    EXPECT_TRUE(ran);
    EXPECT_LT(clock_type::now() - start, 1s);
}

TEST_F(core_events_loop, destruction_after_its_objects_does_not_wait) {
    int calls = 0;
    auto one_shot = loop->create_timer(
        loop->get_timers().current_time_point() + 10s, "later", [&](timer::time_point) { ++calls; },
        QVD_SOURCE_LOCATION);
    auto periodic = loop->create_periodic_timer(
        10s, "later", [&](timer::time_point) { ++calls; }, QVD_SOURCE_LOCATION);
    one_shot.reset();
    periodic.reset();
    const auto start = clock_type::now();
    loop.reset();
    EXPECT_LT(clock_type::now() - start, 1s);
    EXPECT_EQ(calls, 0);
}

TEST_F(core_events_loop, a_loop_run_by_several_threads_runs_every_handler_once) {
    std::atomic<int> ran{0};
    auto work = loop->create_work();
    std::vector<std::thread> runners;
    for (int t = 0; t < 3; ++t)
        runners.emplace_back([&] { loop->run(); });
    for (int i = 0; i < 300; ++i)
        loop->post([&] { ++ran; }, QVD_SOURCE_LOCATION);
    work.reset();
    for (auto& runner : runners)
        runner.join();
    EXPECT_EQ(ran, 300);
}
