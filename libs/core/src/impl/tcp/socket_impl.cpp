#include <core/impl/tcp/socket_impl.hpp>

#include <core/impl/network_arguments.hpp>
#include <core/scope_guard.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>

#include <sys/socket.h>

#include <string>

namespace qvd::libs::core::tcp {

namespace {

constexpr std::size_t receive_buffer_size = 65536;

} // namespace

socket_impl::socket_impl(boost::asio::io_context& /*_io_context*/, const component_logger& _logger,
                         boost::asio::ip::tcp::socket&& _socket)
    : m_socket(std::move(_socket)), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
    m_data->m_buffer.resize(receive_buffer_size);
    m_socket.non_blocking(true);
}

socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    m_data.reset();
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

socket::ptr socket_impl::connect(boost::asio::io_context& _io_context, const component_logger& _logger,
                                 boost::string_view _address, unsigned short _port) {
    const boost::asio::ip::tcp::endpoint endpoint(parse_address(std::string(_address)), _port);
    boost::asio::ip::tcp::socket socket(_io_context);
    socket.connect(endpoint);
    return std::make_unique<socket_impl>(_io_context, _logger, std::move(socket));
}

void socket_impl::set_close_callback(close_callback _callback) {
    m_data->m_close_callback = _callback ? std::make_shared<close_callback>(std::move(_callback)) : nullptr;
}

void socket_impl::set_receive_callback(receive_callback _callback) {
    check_callback(_callback, "tcp socket receive");
    if (!m_data->m_receive_callback)
        setup_receive();
    m_data->m_receive_callback = std::make_shared<receive_callback>(std::move(_callback));
}

socket::endpoint socket_impl::get_remote_endpoint() const { return m_socket.remote_endpoint(); }

void socket_impl::set_can_send_callback(can_send_callback _callback) {
    m_data->m_can_send_callback = _callback ? std::make_shared<can_send_callback>(std::move(_callback)) : nullptr;
}

void socket_impl::notify_that_send_is_possible() {
    if (m_data->m_waiting_in_progress)
        return;
    m_socket.async_wait(boost::asio::ip::tcp::socket::wait_write,
                        [data = m_data, self = this](const boost::system::error_code& _error) {
                            if (!data->m_socket_alive)
                                return;
                            data->m_waiting_in_progress = false;
                            if (_error) {
                                // A broken connection shows on the read side or in the next
                                // send_some; nothing leaves the loop's run from here.
                                if (_error != boost::asio::error::operation_aborted)
                                    self->m_logger.log_error(_error, QVD_SOURCE_LOCATION);
                                return;
                            }
                            if (const std::shared_ptr<can_send_callback> current = data->m_can_send_callback)
                                (*current)();
                        });
    m_data->m_waiting_in_progress = true;
}

std::size_t socket_impl::send_some(message _message) {
    if (_message.empty())
        return 0;
    boost::system::error_code error;
    const std::size_t sent = m_socket.send(boost::asio::buffer(_message.data(), _message.size()), MSG_NOSIGNAL, error);
    if (error == boost::asio::error::would_block || error == boost::asio::error::try_again)
        return 0;
    if (error)
        throw boost::system::system_error(error, "send_some");
    return sent;
}

void socket_impl::setup_receive() {
    m_socket.async_read_some(boost::asio::buffer(m_data->m_buffer),
                             [data = m_data, self = this](const boost::system::error_code& _error, std::size_t _size) {
                                 if (!data->m_socket_alive)
                                     return;
                                 if (_error) {
                                     if (_error == boost::asio::error::operation_aborted)
                                         return;
                                     // A reset or a failed read ends the stream as surely as the peer's close: the owner
                                     // waiting for the close callback must learn of it too.
                                     if (_error != boost::asio::error::eof)
                                         self->m_logger.log_error(_error, QVD_SOURCE_LOCATION);
                                     if (const std::shared_ptr<close_callback> current = data->m_close_callback)
                                         (*current)();
                                     return;
                                 }
                                 // The next read starts after the callback, also when it threw; not when it destroyed the socket.
                                 const scope_guard next = execute_on_scope_exit([&data, self] {
                                     if (data->m_socket_alive)
                                         self->setup_receive();
                                 });
                                 const std::shared_ptr<receive_callback> current = data->m_receive_callback;
                                 (*current)(boost::string_view(data->m_buffer.data(), _size));
                             });
}

} // namespace qvd::libs::core::tcp
