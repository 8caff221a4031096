#include <core/async_operation_handle.hpp>
#include <core/async_operation_handle_impl.hpp>
#include <core/badge.hpp>
#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

using namespace qvd::libs::core;
using namespace std::chrono_literals;

namespace {

using int_handle = async_operation_handle_impl<int>;

// Only the handle's own create can build one, so every handle is owned by a shared pointer.
static_assert(!std::is_default_constructible_v<badge<int_handle>>);
static_assert(!std::is_constructible_v<int_handle, events_loop&, int_handle::start_function>);

// The interface also stands for operations without a result.
struct no_result_handle : async_operation_handle<> {
    bool is_complete() const override { return false; }
    void restart() override {}
};

struct core_async_operation_handle : ::testing::Test {
    logger log{constants::project_name, "main"};
    core::ptr root = core::create(log);
    events_loop::ptr loop = root->create_events_loop("main");

    // Runs the loop on this thread until _done holds or 10 s have passed; false on the time limit.
    bool run_until(const std::function<bool()>& _done) {
        // Releasing the work of an earlier call stopped the loop.
        loop->get_io_context().restart();
        const auto work = loop->create_work();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!_done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            loop->get_io_context().run_one_for(10ms);
        }
        return true;
    }

    // Runs what is queued now, and nothing that arrives later.
    void run_ready() {
        loop->get_io_context().restart();
        loop->get_io_context().poll();
    }
};

// Records the starts and keeps the weak pointer of the last one, as a real operation would.
struct recorded_start {
    int starts = 0;
    std::weak_ptr<int_handle> last;

    int_handle::start_function function() {
        return [this](int_handle::ptr _shared, std::weak_ptr<int_handle> _weak) {
            ++starts;
            EXPECT_EQ(_shared, _weak.lock());
            last = std::move(_weak);
        };
    }
};

} // namespace

TEST_F(core_async_operation_handle, results_from_a_worker_thread_are_delivered_on_the_loop_thread) {
    recorded_start op;
    const auto handle = int_handle::create(*loop, op.function());
    EXPECT_EQ(op.starts, 0);
    EXPECT_FALSE(handle->is_complete());
    handle->start();
    EXPECT_EQ(op.starts, 1);
    EXPECT_FALSE(handle->is_complete());

    std::vector<int> delivered;
    std::thread::id delivered_on;
    handle->set_callback([&](int _value) {
        delivered.push_back(_value);
        delivered_on = std::this_thread::get_id();
    });
    std::thread worker([weak = op.last] {
        if (const auto self = weak.lock())
            self->return_result(42);
    });
    worker.join();
    // Complete as soon as return_result has returned, before the callback ran.
    EXPECT_TRUE(handle->is_complete());
    EXPECT_TRUE(delivered.empty());
    ASSERT_TRUE(run_until([&] { return !delivered.empty(); }));
    EXPECT_EQ(delivered, std::vector<int>{42});
    EXPECT_EQ(delivered_on, std::this_thread::get_id());
}

TEST_F(core_async_operation_handle, restart_delivers_again_to_the_same_callback) {
    recorded_start op;
    const auto handle = int_handle::create(*loop, op.function());
    std::vector<int> delivered;
    handle->set_callback([&](int _value) { delivered.push_back(_value); });
    handle->start();
    op.last.lock()->return_result(1);
    run_ready();
    EXPECT_TRUE(handle->is_complete());

    handle->restart();
    EXPECT_EQ(op.starts, 2);
    EXPECT_FALSE(handle->is_complete());
    run_ready();
    EXPECT_EQ(delivered, std::vector<int>{1});
    op.last.lock()->return_result(2);
    EXPECT_TRUE(handle->is_complete());
    run_ready();
    EXPECT_EQ(delivered, (std::vector<int>{1, 2}));
}

TEST_F(core_async_operation_handle, missing_receivers_drop_the_result) {
    recorded_start op;
    auto released = int_handle::create(*loop, op.function());
    int calls = 0;
    released->set_callback([&](int) { ++calls; });
    released->start();
    // Released with a delivery queued: the delivery finds nothing.
    released->return_result(1);
    released.reset();
    run_ready();
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(op.last.expired());

    // No callback: the delivery runs and does nothing, yet the handle is complete.
    const auto silent = int_handle::create(*loop, op.function());
    silent->start();
    silent->return_result(2);
    EXPECT_TRUE(silent->is_complete());
    run_ready();
    // A callback stored after the delivery ran is not called for that result.
    silent->set_callback([&](int) { ++calls; });
    run_ready();
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(silent->get_callback());
}

TEST_F(core_async_operation_handle, a_failing_start_reaches_the_caller_and_leaves_the_handle_incomplete) {
    bool fail = false;
    const auto handle = int_handle::create(*loop, [&](int_handle::ptr _self, std::weak_ptr<int_handle>) {
        if (fail)
            throw std::runtime_error("cannot start");
        _self->return_result(7);
    });
    handle->start();
    EXPECT_TRUE(handle->is_complete());
    fail = true;
    EXPECT_THROW(handle->restart(), std::runtime_error);
    EXPECT_FALSE(handle->is_complete());

    const auto empty = int_handle::create(*loop, nullptr);
    EXPECT_THROW(empty->start(), std::bad_function_call);
}

TEST_F(core_async_operation_handle, move_only_results_are_delivered_through_the_interface) {
    using owned = std::unique_ptr<std::string>;
    using owned_handle = async_operation_handle_impl<owned>;
    const auto impl = owned_handle::create(*loop, [](owned_handle::ptr _self, std::weak_ptr<owned_handle>) {
        _self->return_result(std::make_unique<std::string>("moved"));
    });
    const async_operation_handle<owned>::ptr handle = impl;
    std::string received;
    handle->set_callback([&](owned _value) { received = *_value; });
    impl->start();
    run_ready();
    EXPECT_EQ(received, "moved");
}

TEST_F(core_async_operation_handle, a_void_callback_hears_of_every_delivery) {
    recorded_start op;
    const auto handle = int_handle::create(*loop, op.function());
    int notified = 0;
    handle->set_callback(async_operation_handle<int>::void_callback([&] { ++notified; }));
    handle->start();
    op.last.lock()->return_result(1);
    handle->restart();
    op.last.lock()->return_result(2);
    run_ready();
    EXPECT_EQ(notified, 2);

    no_result_handle bare;
    bare.set_callback([&] { ++notified; });
    bare.get_callback()();
    EXPECT_EQ(notified, 3);
}

TEST_F(core_async_operation_handle, a_callback_may_replace_itself_and_release_the_handle) {
    recorded_start op;
    auto handle = int_handle::create(*loop, op.function());
    std::vector<std::string> seen;
    const std::string first_name = "first callback, long enough to live on the heap";
    handle->set_callback([&, first_name](int) {
        handle->set_callback([&](int) { seen.push_back("second"); });
        handle.reset();
        // Its own captures are still alive here.
        seen.push_back(first_name);
    });
    handle->start();
    op.last.lock()->return_result(1);
    run_ready();
    EXPECT_EQ(seen, std::vector<std::string>{first_name});
    EXPECT_FALSE(handle);
    EXPECT_TRUE(op.last.expired());
}

TEST_F(core_async_operation_handle, a_callback_that_restarts_sees_the_new_run_incomplete) {
    // The loop delivers while the worker that returned the result may still be inside
    // return_result; that older completion must never mark the restarted run complete.
    for (int round = 0; round < 200; ++round) {
        std::weak_ptr<int_handle> pending;
        int starts = 0;
        const auto handle = int_handle::create(*loop, [&](int_handle::ptr, std::weak_ptr<int_handle> _weak) {
            ++starts;
            pending = std::move(_weak);
        });
        bool delivered = false;
        handle->set_callback([&](int) {
            delivered = true;
            handle->restart();
        });
        handle->start();
        std::atomic<bool> go{false};
        std::thread worker([&go, weak = pending] {
            while (!go)
                std::this_thread::yield();
            weak.lock()->return_result(1);
        });
        go = true;
        const bool done = run_until([&] { return delivered; });
        worker.join();
        ASSERT_TRUE(done);
        ASSERT_EQ(starts, 2);
        ASSERT_FALSE(handle->is_complete()) << "round " << round;
    }
}
