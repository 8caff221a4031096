#pragma once

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <boost/asio/io_context.hpp>

#include <memory>

namespace qvd::libs::core {

struct signal_watchers;

class events_loop_impl : public events_loop {
public:
    events_loop_impl(core& _core, const component_logger& _logger);
    // Ends the signal watchers of this loop, then drains pending handlers for at most 10 s.
    ~events_loop_impl() override;

    void run() override;
    void run_catch_exceptions(source_location _source_location) override;
    void stop() override;
    bool is_stopped() const override;
    signals_handle::ptr stop_on_signals() override;
    timers_manager& get_timers() override;
    timer::ptr create_timer(timer::time_point _time_point, const std::string& _name, timer::callback _callback,
                            source_location _source_location) override;
    periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                              timer::callback _callback, source_location _source_location) override;
    periodic_timer::ptr create_periodic_timer(std::chrono::nanoseconds _period, periodic_timer::execute_now,
                                              const std::string& _name, timer::callback _callback,
                                              source_location _source_location) override;
    message_stream::ptr create_zmq_message_stream(const std::string& _address) override;
    message_stream::ptr create_zmq_raw_message_stream(const std::string& _address) override;
    udp::socket::ptr create_udp_socket(ip_protocol _protocol, int _port) override;
    udp::socket::ptr create_udp_socket(const std::string& _address, int _port) override;
    tcp::manager& get_tcp() override;
    zmq::manager& get_zmq() override;
    http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout) override;
    http::client::ptr create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                         const std::vector<http::method>& _disabled_methods, int _num_threads) override;
    std::shared_ptr<async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>> create_redis_context(
        boost::string_view _ip, int _port, int _db) override;
    void post(std::function<void()> _handler, source_location _source_location) override;
    work::ptr create_work() override;
    boost::asio::io_context& get_io_context() override;
    const boost::asio::io_context& get_io_context() const override;

protected:
    core& m_core;
    boost::asio::io_context m_io_context;
    const component_logger& m_logger;
    std::unique_ptr<timers_manager> m_timers;
    std::unique_ptr<tcp::manager> m_tcp;
    std::unique_ptr<zmq::manager> m_zmq;

private:
    // Watchers made by stop_on_signals that still refer to this loop.
    std::shared_ptr<signal_watchers> m_watchers;
};

} // namespace qvd::libs::core
