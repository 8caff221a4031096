#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/logger.hpp>

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace qvd::libs::core;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

namespace {

// Loose bounds: the machine may be busy (a load of 30 and more), but a call is never early and
// never very late.
constexpr auto slack = 1s;

struct call {
    timer::time_point scheduled;
    timer::time_point actual;
};

struct core_timers : ::testing::Test {
    logger log{constants::project_name, "main"};
    core::ptr root = core::create(log);
    events_loop::ptr loop = root->create_events_loop("main");
    timers_manager& timers = loop->get_timers();

    timer::time_point now() const { return timers.current_time_point(); }
};

} // namespace

TEST_F(core_timers, one_shot_timer_calls_once_with_its_scheduled_point) {
    std::vector<call> calls;
    const auto start = now();
    const auto by_delay = timers.create_timer(
        30ms, "delay",
        [&](timer::time_point _t) {
            calls.push_back({_t, now()});
        },
        QVD_SOURCE_LOCATION);
    const auto at_point = loop->create_timer(
        start + 60ms, "point",
        [&](timer::time_point _t) {
            calls.push_back({_t, now()});
        },
        QVD_SOURCE_LOCATION);
    EXPECT_TRUE(by_delay->is_waiting());
    loop->run();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_GE(calls[0].scheduled - start, 30ms);
    EXPECT_EQ(calls[1].scheduled, start + 60ms);
    for (const call& c : calls) {
        EXPECT_GE(c.actual, c.scheduled);
        EXPECT_LT(c.actual - c.scheduled, slack);
    }
    EXPECT_FALSE(by_delay->is_waiting());
    EXPECT_FALSE(at_point->is_waiting());
    EXPECT_GT(timers.current_timestamp().get_ts(), 1577934245);
}

TEST_F(core_timers, reset_and_stop_after_the_wait_completed_drop_the_stale_call) {
    // Both timers are due before the loop runs, so their completions are queued together and the
    // first one changes the second after its wait has already completed.
    std::vector<timer::time_point> reset_calls;
    int stopped_calls = 0;
    const auto start = now();
    timer::time_point new_point{};
    timer::ptr resettable = loop->create_timer(
        start + 2ms, "resettable", [&](timer::time_point _t) { reset_calls.push_back(_t); }, QVD_SOURCE_LOCATION);
    timer::ptr stoppable = loop->create_timer(
        start + 2ms, "stoppable", [&](timer::time_point) { ++stopped_calls; }, QVD_SOURCE_LOCATION);
    const auto first = loop->create_timer(
        start + 1ms, "first",
        [&](timer::time_point) {
            new_point = now() + 30ms;
            resettable->reset(new_point);
            stoppable->stop();
            EXPECT_FALSE(stoppable->is_waiting());
            EXPECT_TRUE(resettable->is_waiting());
        },
        QVD_SOURCE_LOCATION);
    std::this_thread::sleep_for(20ms);
    loop->run();
    EXPECT_EQ(reset_calls, std::vector<timer::time_point>{new_point});
    EXPECT_EQ(stopped_calls, 0);
}

TEST_F(core_timers, reset_of_a_pending_timer_moves_the_only_call) {
    std::vector<timer::time_point> calls;
    const auto start = now();
    const auto one = loop->create_timer(
        start + 20ms, "one", [&](timer::time_point _t) { calls.push_back(_t); }, QVD_SOURCE_LOCATION);
    one->reset(start + 40ms);
    // The cancelled wait's completion does not make the new wait look finished.
    loop->post([&] { EXPECT_TRUE(one->is_waiting()); }, QVD_SOURCE_LOCATION);
    loop->run();
    EXPECT_EQ(calls, std::vector<timer::time_point>{start + 40ms});
}

TEST_F(core_timers, periodic_calls_lie_on_the_grid) {
    std::vector<call> calls;
    const auto created = now();
    const auto periodic = loop->create_periodic_timer(
        40ms, "grid",
        [&](timer::time_point _t) {
            calls.push_back({_t, now()});
            if (calls.size() == 4)
                loop->stop();
        },
        QVD_SOURCE_LOCATION);
    loop->run();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_GE(calls[0].scheduled - created, 40ms);
    EXPECT_LT(calls[0].scheduled - created, 40ms + slack);
    for (size_t i = 0; i < calls.size(); ++i) {
        // On the grid; the next point follows unless a busy machine called this one a period late
        // (missed points are not made up).
        EXPECT_EQ((calls[i].scheduled - calls[0].scheduled) % 40ms, 0ns);
        if (i > 0 && calls[i - 1].actual - calls[i - 1].scheduled < 40ms) {
            EXPECT_EQ(calls[i].scheduled, calls[i - 1].scheduled + 40ms);
        }
        EXPECT_GE(calls[i].actual, calls[i].scheduled);
        EXPECT_LT(calls[i].actual - calls[i].scheduled, slack);
    }
}

TEST_F(core_timers, a_long_call_is_followed_by_one_late_call_then_the_grid) {
    // Period P, the first call lasts 2.5 P: the point t1 + P is called at once when it returns,
    // t1 + 2P is skipped, and the grid goes on at t1 + 3P.
    constexpr auto period = 60ms;
    std::vector<call> calls;
    const auto periodic = loop->create_periodic_timer(
        period, "long",
        [&](timer::time_point _t) {
            calls.push_back({_t, now()});
            if (calls.size() == 1)
                std::this_thread::sleep_for(period * 5 / 2);
            if (calls.size() == 3)
                loop->stop();
        },
        QVD_SOURCE_LOCATION);
    loop->run();
    ASSERT_EQ(calls.size(), 3u);
    const auto t1 = calls[0].scheduled;
    // A busy machine may call the first point a period late itself: then t1 + P is passed too.
    if (calls[0].actual - t1 < period) {
        EXPECT_EQ(calls[1].scheduled, t1 + period);
    }
    EXPECT_EQ((calls[1].scheduled - t1) % period, 0ns);
    EXPECT_GE(calls[1].actual - calls[0].actual, period * 5 / 2);
    EXPECT_LT(calls[1].actual - calls[0].actual, period * 5 / 2 + slack);
    // The next point is the first grid point after the late call, never one already passed.
    EXPECT_EQ((calls[2].scheduled - t1) % period, 0ns);
    EXPECT_GE(calls[2].scheduled, t1 + 3 * period);
    EXPECT_LE(calls[2].scheduled - period, calls[1].actual);
    EXPECT_GE(calls[2].actual, calls[2].scheduled);
    // Unless the late call itself ran past t1 + 3P on a busy machine, that is the point.
    if (calls[1].actual < t1 + 3 * period) {
        EXPECT_EQ(calls[2].scheduled, t1 + 3 * period);
    }
}

TEST_F(core_timers, execute_now_calls_at_once_and_anchors_the_grid) {
    std::vector<call> calls;
    const auto created = now();
    const auto periodic = loop->create_periodic_timer(
        200ms, periodic_timer::execute_now{}, "now",
        [&](timer::time_point _t) {
            calls.push_back({_t, now()});
            if (calls.size() == 2)
                loop->stop();
        },
        QVD_SOURCE_LOCATION);
    loop->run();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_LT(calls[0].actual - created, slack);
    EXPECT_EQ((calls[1].scheduled - calls[0].scheduled) % 200ms, 0ns);
    // Unless a busy machine called the first a period late.
    if (calls[0].actual - calls[0].scheduled < 200ms) {
        EXPECT_EQ(calls[1].scheduled, calls[0].scheduled + 200ms);
    }
}

TEST_F(core_timers, stop_restart_reset_and_expire_now) {
    std::vector<call> calls;
    const auto periodic = loop->create_periodic_timer(
        10s, "control",
        [&](timer::time_point _t) {
            calls.push_back({_t, now()});
            loop->stop();
        },
        QVD_SOURCE_LOCATION);
    // expire_now: called as soon as the loop gets to it.
    const auto before = now();
    periodic->expire_now();
    loop->run();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_LT(calls[0].actual - before, slack);

    // After stop nothing comes, and expire_now has nothing to expire.
    periodic->stop();
    periodic->expire_now();
    loop->get_io_context().restart();
    const auto quiet = loop->create_timer(
        now() + 60ms, "quiet", [&](timer::time_point) { loop->stop(); }, QVD_SOURCE_LOCATION);
    loop->run();
    EXPECT_EQ(calls.size(), 1u);

    // reset: a new period, the grid one period from now.
    loop->get_io_context().restart();
    const auto reset_at = now();
    periodic->reset(30ms);
    loop->run();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_GE(calls[1].scheduled - reset_at, 30ms);
    EXPECT_LT(calls[1].scheduled - reset_at, 30ms + slack);

    // restart: the same period, again from now.
    loop->get_io_context().restart();
    const auto restart_at = now();
    periodic->restart();
    loop->run();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_GE(calls[2].scheduled - restart_at, 30ms);
    EXPECT_LT(calls[2].scheduled - restart_at, 30ms + slack);
}

TEST_F(core_timers, destroying_a_periodic_timer_with_a_queued_tick_drops_it) {
    int periodic_calls = 0;
    const auto start = now();
    periodic_timer::ptr periodic;
    const auto killer = loop->create_timer(
        start + 1ms, "killer", [&](timer::time_point) { periodic.reset(); }, QVD_SOURCE_LOCATION);
    periodic = loop->create_periodic_timer(
        2ms, "victim", [&](timer::time_point) { ++periodic_calls; }, QVD_SOURCE_LOCATION);
    std::this_thread::sleep_for(20ms);
    loop->run();
    EXPECT_EQ(periodic_calls, 0);
    EXPECT_FALSE(periodic);
}

TEST_F(core_timers, a_callback_may_destroy_its_own_periodic_timer) {
    int calls = 0;
    periodic_timer::ptr periodic;
    periodic = loop->create_periodic_timer(
        5ms, "self",
        [&](timer::time_point) {
            ++calls;
            periodic.reset();
        },
        QVD_SOURCE_LOCATION);
    loop->run();
    EXPECT_EQ(calls, 1);
}

TEST_F(core_timers, a_throwing_callback_leaves_run_and_the_grid_goes_on) {
    std::vector<timer::time_point> calls;
    timer::time_point first_called{};
    const auto periodic = loop->create_periodic_timer(
        30ms, "thrower",
        [&](timer::time_point _t) {
            if (calls.empty())
                first_called = now();
            calls.push_back(_t);
            if (calls.size() == 1)
                throw std::runtime_error("callback failed");
            loop->stop();
        },
        QVD_SOURCE_LOCATION);
    EXPECT_THROW(loop->run(), std::runtime_error);
    loop->run();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ((calls[1] - calls[0]) % 30ms, 0ns);
    // Unless a busy machine called the first a period late.
    if (first_called - calls[0] < 30ms) {
        EXPECT_EQ(calls[1], calls[0] + 30ms);
    }
}

TEST_F(core_timers, non_positive_periods_are_refused) {
    for (const auto period : {0ns, -1ns, std::chrono::nanoseconds(-5s)}) {
        EXPECT_THROW(loop->create_periodic_timer(
                         period, "bad", [](timer::time_point) {}, QVD_SOURCE_LOCATION),
                     qvd::libs::core::exception);
        EXPECT_THROW(loop->create_periodic_timer(
                         period, periodic_timer::execute_now{}, "bad", [](timer::time_point) {}, QVD_SOURCE_LOCATION),
                     qvd::libs::core::exception);
    }
    const auto good = loop->create_periodic_timer(
        1s, "good", [](timer::time_point) {}, QVD_SOURCE_LOCATION);
    try {
        good->reset(0ns);
        FAIL() << "no throw";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_NE(e.get_string_error().find("\"good\""), std::string::npos) << e.what();
    }
}
