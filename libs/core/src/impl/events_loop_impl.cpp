#include <core/impl/events_loop_impl.hpp>

#include <core/impl/http/client_impl.hpp>
#include <core/impl/redis/context_impl.hpp>
#include <core/impl/signals_handle_impl.hpp>
#include <core/impl/tcp/manager_impl.hpp>
#include <core/impl/timers_manager_impl.hpp>
#include <core/impl/udp/socket_impl.hpp>
#include <core/impl/zmq/manager_impl.hpp>
#include <core/impl/zmq/message_stream_zmq.hpp>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <chrono>

namespace qvd::libs::core {

events_loop_impl::events_loop_impl(core& _core, const component_logger& _logger)
    : m_core(_core), m_io_context(), m_logger(_logger), m_timers(std::make_unique<timers_manager_impl>(*this, _logger)),
      m_tcp(std::make_unique<tcp::manager_impl>(m_io_context, _logger)),
      m_zmq(std::make_unique<zmq::manager_impl>(m_io_context, _logger)),
      m_watchers(std::make_shared<signal_watchers>()) {}

events_loop_impl::~events_loop_impl() {
    {
        // A watcher outliving this loop must never stop it once it is gone.
        const std::lock_guard<std::mutex> lock(m_watchers->mutex);
        for (signals_handle_impl* handle : m_watchers->handles)
            handle->shutdown();
        m_watchers->handles.clear();
    }

    // Let the completions that the destruction of this loop's objects queued still run.
    m_io_context.restart();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        try {
            m_io_context.run_until(deadline);
            break;
        } catch (...) {
            // An exception must not leave a destructor: log it and go on draining.
            m_logger.log_exception(QVD_SOURCE_LOCATION);
        }
    }
}

void events_loop_impl::run() { m_io_context.run(); }

void events_loop_impl::run_catch_exceptions(source_location _source_location) {
    for (;;) {
        try {
            run();
            return;
        } catch (...) {
            m_logger.log_exception(_source_location);
        }
    }
}

void events_loop_impl::stop() { m_io_context.stop(); }

bool events_loop_impl::is_stopped() const { return m_io_context.stopped(); }

events_loop::signals_handle::ptr events_loop_impl::stop_on_signals() {
    return std::make_unique<signals_handle_impl>(m_core, *this, m_watchers);
}

timers_manager& events_loop_impl::get_timers() { return *m_timers; }

timer::ptr events_loop_impl::create_timer(timer::time_point _time_point, const std::string& _name,
                                          timer::callback _callback, source_location _source_location) {
    return m_timers->create_timer(_time_point, _name, std::move(_callback), _source_location);
}

periodic_timer::ptr events_loop_impl::create_periodic_timer(std::chrono::nanoseconds _period, const std::string& _name,
                                                            timer::callback _callback,
                                                            source_location _source_location) {
    return m_timers->create_periodic_timer(_period, _name, std::move(_callback), _source_location);
}

periodic_timer::ptr events_loop_impl::create_periodic_timer(std::chrono::nanoseconds _period,
                                                            periodic_timer::execute_now _now, const std::string& _name,
                                                            timer::callback _callback,
                                                            source_location _source_location) {
    return m_timers->create_periodic_timer(_period, _now, _name, std::move(_callback), _source_location);
}

message_stream::ptr events_loop_impl::create_zmq_message_stream(const std::string& _address) {
    return std::make_unique<message_stream_zmq>(get_io_context(), m_logger, _address);
}

message_stream::ptr events_loop_impl::create_zmq_raw_message_stream(const std::string& _address) {
    return std::make_unique<message_stream_zmq_raw>(get_io_context(), m_logger, _address);
}

udp::socket::ptr events_loop_impl::create_udp_socket(ip_protocol _protocol, int _port) {
    return std::make_unique<udp::socket_impl>(get_io_context(), m_logger, _protocol, _port);
}

udp::socket::ptr events_loop_impl::create_udp_socket(const std::string& _address, int _port) {
    return std::make_unique<udp::socket_impl>(get_io_context(), m_logger, _address, _port);
}

tcp::manager& events_loop_impl::get_tcp() { return *m_tcp; }

zmq::manager& events_loop_impl::get_zmq() { return *m_zmq; }

http::client::ptr events_loop_impl::create_http_client(const std::string& _address, std::chrono::seconds _timeout) {
    return create_http_client(_address, _timeout, {}, 10);
}

http::client::ptr events_loop_impl::create_http_client(const std::string& _address, std::chrono::seconds _timeout,
                                                       const std::vector<http::method>& _disabled_methods,
                                                       int _num_threads) {
    return std::make_unique<http::client_impl>(*this, m_core, m_logger, _address, _timeout, _disabled_methods,
                                               _num_threads);
}

std::shared_ptr<async_operation_handle<boost::optional<std::unique_ptr<redis::context>>>> events_loop_impl::
    create_redis_context(boost::string_view _ip, int _port, int _db) {
    return redis::context_impl::create(*this, m_logger, _ip, _port, _db);
}

void events_loop_impl::post(std::function<void()> _handler, source_location /*_source_location*/) {
    boost::asio::post(m_io_context, std::move(_handler));
}

events_loop::work::ptr events_loop_impl::create_work() {
    class work_impl : public work {
    public:
        explicit work_impl(boost::asio::io_context& _io_context) : m_guard(_io_context.get_executor()) {}

    private:
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_guard;
    };
    return std::make_unique<work_impl>(m_io_context);
}

boost::asio::io_context& events_loop_impl::get_io_context() { return m_io_context; }

const boost::asio::io_context& events_loop_impl::get_io_context() const { return m_io_context; }

} // namespace qvd::libs::core
