#pragma once

#include <core/async_operation_handle.hpp>
#include <core/http/client.hpp>
#include <core/http/method.hpp>
#include <core/ip_protocol.hpp>
#include <core/message_stream.hpp>
#include <core/periodic_timer.hpp>
#include <core/source_location.hpp>
#include <core/tcp/manager.hpp>
#include <core/timer.hpp>
#include <core/timers_manager.hpp>
#include <core/udp/socket.hpp>
#include <core/zmq/manager.hpp>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace boost::asio {
class io_context;
} // namespace boost::asio

namespace qvd::libs::core {

namespace redis {
class context;
} // namespace redis

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
    virtual timer::ptr create_timer(timer::time_point _time_point, const std::string& _name, timer::callback _callback,
                                    source_location _source_location) = 0;
    // A periodic timer, first call one period from now; the period must be positive.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                      timer::callback _callback, source_location _source_location) = 0;
    // A periodic timer, first call at once; the period must be positive.
    virtual periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now,
                                                      const std::string& _name, timer::callback _callback,
                                                      source_location _source_location) = 0;
    // A stream of the JSON documents published at the ZeroMQ endpoint; throws boost::system::system_error.
    virtual message_stream::ptr create_zmq_message_stream(const std::string& _address) = 0;
    // A stream of the whole frames published at the ZeroMQ endpoint; throws boost::system::system_error.
    virtual message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) = 0;
    // A UDP socket bound to the protocol's any-address and _port.
    virtual udp::socket::ptr create_udp_socket(ip_protocol _protocol, int _port) = 0;
    // A UDP socket bound to _address (IPv4 or IPv6 notation) and _port.
    virtual udp::socket::ptr create_udp_socket(const std::string& _address, int _port) = 0;
    // The loop's TCP manager.
    virtual tcp::manager& get_tcp() = 0;
    // The maker of this loop's ZeroMQ sockets.
    virtual zmq::manager& get_zmq() = 0;
    // An HTTP client below _address with 10 worker threads and no disabled method.
    virtual http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout) = 0;
    // An HTTP client whose _disabled_methods are answered locally with 200 and never sent.
    virtual http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                                 const std::vector<http::method>& _disabled_methods,
                                                 int _num_threads) = 0;
    // Connects to a Redis server and database; the result is the context, or an empty optional
    // when the server refused the connection.
    virtual std::shared_ptr<async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>>
    create_redis_context(boost::string_view _ip, int _port, int _db) = 0;
    // Queues _handler for a thread that runs the loop; safe from any thread.
    virtual void post(std::function<void()> _handler, source_location _source_location) = 0;
    // Safe from any thread; so is releasing the work.
    virtual work::ptr create_work() = 0;
    virtual boost::asio::io_context& get_io_context() = 0;
    virtual const boost::asio::io_context& get_io_context() const = 0;
};

} // namespace qvd::libs::core
