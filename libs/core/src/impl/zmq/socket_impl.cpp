#include <core/impl/zmq/socket_impl.hpp>

#include <core/exception.hpp>
#include <core/scope_guard.hpp>

#include <boost/system/system_error.hpp>

namespace qvd::libs::core::zmq {

namespace {

// A value outside the enumeration makes the socket's creation fail.
int to_zmq_type(socket::type _type) {
    switch (_type) {
    case socket::type::push:
        return ZMQ_PUSH;
    case socket::type::pull:
        return ZMQ_PULL;
    case socket::type::pub:
        return ZMQ_PUB;
    case socket::type::req:
        return ZMQ_REQ;
    case socket::type::rep:
        return ZMQ_REP;
    }
    return -1;
}

} // namespace

socket::ptr socket_impl::connect(socket::type _type, boost::asio::io_context& _io_context,
                                 const component_logger& _logger, std::string _address) {
    asio_socket opened(_io_context, to_zmq_type(_type));
    try {
        opened.connect(_address);
    } catch (const boost::system::system_error& _error) {
        throw exception("zmq::socket_impl::connect to " + _address + ": " + _error.code().message(),
                        QVD_SOURCE_LOCATION);
    }
    return std::make_unique<socket_impl>(_io_context, _logger, std::move(opened));
}

socket::ptr socket_impl::bind(socket::type _type, boost::asio::io_context& _io_context, const component_logger& _logger,
                              std::string _address) {
    asio_socket opened(_io_context, to_zmq_type(_type));
    try {
        opened.bind(_address);
    } catch (const boost::system::system_error& _error) {
        throw exception("zmq::socket_impl::bind to " + _address + ": " + _error.code().message(), QVD_SOURCE_LOCATION);
    }
    return std::make_unique<socket_impl>(_io_context, _logger, std::move(opened));
}

socket_impl::socket_impl(boost::asio::io_context& /*_io_context*/, const component_logger& _logger, asio_socket _socket)
    : m_socket(std::move(_socket)), m_logger(_logger), m_data(std::make_shared<shared_data>()) {}

socket_impl::~socket_impl() {
    // First, so that a callback destroying its own socket does not re-arm the receive.
    m_data->m_socket_alive = false;
    const boost::system::error_code error = m_socket.cancel();
    if (error)
        m_logger.log_error(error, QVD_SOURCE_LOCATION);
    m_data.reset();
    m_socket.close();
}

void socket_impl::set_receive_callback(callback _callback) {
    if (!m_data->m_receive_callback)
        setup_receive();
    m_data->m_receive_callback = std::make_shared<callback>(std::move(_callback));
}

void socket_impl::send(message _message) { send(std::move(_message), flags::none); }

void socket_impl::send(message _message, flags _flags) { m_socket.send(_message, static_cast<int>(_flags)); }

bool socket_impl::try_send(message _message) { return try_send(std::move(_message), flags::none); }

bool socket_impl::try_send(message _message, flags _flags) {
    return m_socket.try_send(_message, static_cast<int>(_flags));
}

message socket_impl::receive_more() { return m_socket.receive(); }

void socket_impl::setup_receive() {
    socket_impl* const self = this;
    m_socket.async_receive([data = m_data, self](const boost::system::error_code& _error, message& _frame) {
        if (!data->m_socket_alive)
            return;
        if (_error) {
            // Receiving ends here for good: a dead receiver must be visible.
            self->m_logger.log_error(_error, QVD_SOURCE_LOCATION);
            return;
        }
        // Re-armed also when the callback throws; not when it destroyed the socket.
        const scope_guard rearm = execute_on_scope_exit([&data, self] {
            if (data->m_socket_alive)
                self->m_logger.execute([self] { self->setup_receive(); });
        });
        const std::shared_ptr<callback> receive_callback = data->m_receive_callback;
        if (receive_callback && *receive_callback)
            (*receive_callback)(_frame);
    });
}

} // namespace qvd::libs::core::zmq
