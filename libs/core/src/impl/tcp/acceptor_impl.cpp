#include <core/impl/tcp/acceptor_impl.hpp>

#include <core/impl/network_arguments.hpp>
#include <core/impl/tcp/socket_impl.hpp>
#include <core/scope_guard.hpp>

#include <boost/asio/error.hpp>

#include <cerrno>
#include <chrono>
#include <string>

namespace qvd::libs::core::tcp {

namespace {

// Long enough not to spin while descriptors are short, short enough not to keep clients waiting.
constexpr std::chrono::milliseconds accept_pause{100};

// Failures that pass: the system was short of descriptors or memory, or a client gave up before
// its connection was taken. They must not stop a server.
bool is_transient(const boost::system::error_code& _error) {
    if (_error.category() != boost::system::system_category())
        return false;
    switch (_error.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
        return true;
    default:
        return false;
    }
}

} // namespace

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                             const boost::asio::ip::tcp::endpoint& _endpoint)
    : m_io_context(_io_context), m_logger(_logger), m_acceptor(_io_context),
      m_acceptor_alive(std::make_shared<bool>(true)), m_pause_timer(_io_context) {
    m_acceptor.open(_endpoint.protocol());
    m_acceptor.set_option(boost::asio::socket_base::reuse_address(true));
    m_acceptor.bind(_endpoint);
    m_acceptor.listen(4096);
}

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                             boost::string_view _address, unsigned short _port)
    : acceptor_impl(_io_context, _logger, boost::asio::ip::tcp::endpoint(parse_address(std::string(_address)), _port)) {
}

acceptor_impl::acceptor_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                             ip_protocol _protocol, unsigned short _port)
    : acceptor_impl(_io_context, _logger, boost::asio::ip::tcp::endpoint(any_address(_protocol), _port)) {}

acceptor_impl::~acceptor_impl() {
    *m_acceptor_alive = false;
    m_acceptor_alive.reset();
    m_pause_timer.cancel();
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
}

void acceptor_impl::set_callback(callback _callback) {
    check_callback(_callback, "tcp acceptor");
    if (!m_callback)
        setup_accept();
    m_callback = std::move(_callback);
}

boost::asio::ip::tcp::endpoint acceptor_impl::local_endpoint() const { return m_acceptor.local_endpoint(); }

void acceptor_impl::setup_accept() {
    m_acceptor.async_accept([alive = m_acceptor_alive, self = this](const boost::system::error_code& _error,
                                                                    boost::asio::ip::tcp::socket _socket) {
        if (!*alive)
            return;
        self->on_accept(_error, std::move(_socket));
    });
}

void acceptor_impl::on_accept(const boost::system::error_code& _error, boost::asio::ip::tcp::socket _socket) {
    if (_error) {
        if (_error == boost::asio::error::operation_aborted)
            return;
        m_logger.log_error(_error, QVD_SOURCE_LOCATION);
        if (is_transient(_error))
            accept_after_pause();
        return;
    }
    // Accepting goes on after the callback, also when it threw; not when it destroyed this acceptor.
    const std::shared_ptr<bool> alive = m_acceptor_alive;
    const scope_guard next = execute_on_scope_exit([alive, this] {
        if (*alive)
            setup_accept();
    });
    // A callback that destroys this acceptor must not destroy itself while it runs.
    const callback current = m_callback;
    current(std::make_unique<socket_impl>(m_io_context, m_logger, std::move(_socket)));
}

void acceptor_impl::accept_after_pause() {
    m_pause_timer.expires_after(accept_pause);
    m_pause_timer.async_wait([alive = m_acceptor_alive, self = this](const boost::system::error_code& _error) {
        if (!*alive)
            return;
        if (_error) {
            if (_error != boost::asio::error::operation_aborted)
                self->m_logger.log_error(_error, QVD_SOURCE_LOCATION);
            return;
        }
        self->setup_accept();
    });
}

} // namespace qvd::libs::core::tcp
