#pragma once

#include <core/message_stream.hpp>
#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/timer.hpp>
#include <core/timers_manager.hpp>
#include <core/zmq/manager.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
} // namespace boost::asio

namespace qvd::libs::core {

// The event loop: one io_context that runs handlers, timers and the signal watcher.
class events_loop {
public:
    using ptr = std::unique_ptr<events_loop>;

    // Keeps run from returning for lack of work while it exists.
    class work {
    public:
        using ptr = std::unique_ptr<work>;
        virtual ~work() = default;
    };

    // Handle of the SIGINT/SIGTERM watcher; destroying it ends the watch.
    class signals_handle {
    public:
        using ptr = std::unique_ptr<signals_handle>;
        virtual ~signals_handle() = default;
        // Whether a termination signal has arrived; safe from any thread.
        virtual bool signal_is_received() const = 0;
    };

    virtual ~events_loop() = default;

    // Runs handlers on this thread until stopped or out of work.
    virtual void run() = 0;
    // Runs again after every exception that leaves run, logging it at the caller's location.
    virtual void run_catch_exceptions(source_location _source_location) = 0;
    // Makes run return in every thread; safe from any thread.
    virtual void stop() = 0;
    virtual bool is_stopped() const = 0;
    // Watches SIGINT and SIGTERM on a thread of its own; the first one stops this loop.
    virtual signals_handle::ptr stop_on_signals() = 0;
    virtual timers_manager& get_timers() = 0;
    // A one-shot timer calling at _time_point.
    virtual timer::ptr create_timer(timer::time_point _time_point, const std::string& _name,
                                    timer::callback _callback, source_location _source_location) = 0;
    // A periodic timer, first call one period from now; the period must be positive.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                      timer::callback _callback,
                                                      source_location _source_location) = 0;
    // A periodic timer, first call at once; the period must be positive.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now,
                                                      const std::string& _name, timer::callback _callback,
                                                      source_location _source_location) = 0;
    // A stream of the JSON documents published at the ZeroMQ endpoint; throws boost::system::system_error.
    virtual message_stream::ptr create_zmq_message_stream(const std::string& _address) = 0;
    // A stream of the whole frames published at the ZeroMQ endpoint; throws boost::system::system_error.
    virtual message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) = 0;
    // The maker of this loop's ZeroMQ sockets.
    virtual zmq::manager& get_zmq() = 0;
    // Queues _handler for a thread that runs the loop; safe from any thread.
    virtual void post(std::function<void()> _handler, source_location _source_location) = 0;
    // Safe from any thread; so is releasing the work.
    virtual work::ptr create_work() = 0;
    virtual boost::asio::io_context& get_io_context() = 0;
    virtual const boost::asio::io_context& get_io_context() const = 0;
};

} // namespace qvd::libs::core
