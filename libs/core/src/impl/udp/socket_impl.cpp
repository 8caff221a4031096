#include <core/impl/udp/socket_impl.hpp>

#include <core/impl/network_arguments.hpp>
#include <core/scope_guard.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace qvd::libs::core::udp {

namespace {

constexpr std::size_t receive_buffer_size = 65536;
// Datagrams delivered per readable wait at most, so that a flood cannot starve the loop's other
// handlers; the next wait finds the rest at once.
constexpr int datagrams_per_turn = 64;

// The sender as the system wrote it, IPv4 or IPv6.
endpoint sender_of(const sockaddr_storage& _name, socklen_t _size) {
    endpoint sender;
    if ((_name.ss_family == AF_INET || _name.ss_family == AF_INET6) && _size <= sender.capacity()) {
        std::memcpy(sender.data(), &_name, _size);
        sender.resize(_size);
    }
    return sender;
}

// The local IPv4 address from the packet information; 0.0.0.0 without it.
boost::asio::ip::address_v4 local_address_of(msghdr& _header) {
    for (cmsghdr* control = CMSG_FIRSTHDR(&_header); control != nullptr; control = CMSG_NXTHDR(&_header, control)) {
        if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(control), sizeof info);
            return boost::asio::ip::address_v4(ntohl(info.ipi_spec_dst.s_addr));
        }
    }
    return boost::asio::ip::address_v4::any();
}

} // namespace

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                         const endpoint& _endpoint)
    : m_socket(_io_context, _endpoint.protocol()), m_logger(_logger), m_data(std::make_shared<shared_data>()) {
    m_socket.bind(_endpoint);
    m_data->m_buffer.resize(receive_buffer_size);
    // Without it every datagram reports 0.0.0.0 as its local address, which is all that is lost.
    const int on = 1;
    ::setsockopt(m_socket.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
}

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger, ip_protocol _protocol,
                         int _port)
    : socket_impl(_io_context, _logger, endpoint(any_address(_protocol), checked_port(_port))) {}

socket_impl::socket_impl(boost::asio::io_context& _io_context, const component_logger& _logger,
                         const std::string& _address, int _port)
    : socket_impl(_io_context, _logger, endpoint(parse_address(_address), checked_port(_port))) {}

socket_impl::~socket_impl() {
    m_data->m_socket_alive = false;
    m_data.reset();
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void socket_impl::set_receive_callback(callback _callback) {
    check_callback(_callback, "udp socket receive");
    if (!m_data->m_callback)
        setup_receive();
    m_data->m_callback = std::make_shared<callback>(std::move(_callback));
}

void socket_impl::send_to(const endpoint& _endpoint, const message& _message) {
    // Waits with poll while the socket buffer is full; throws with the operation "send_to".
    m_socket.send_to(boost::asio::buffer(_message.data(), _message.size()), _endpoint, MSG_NOSIGNAL);
}

void socket_impl::send_to(const boost::string_view& _address, int _port, const message& _message) {
    send_to(make_endpoint(_address, _port), _message);
}

endpoint socket_impl::make_endpoint(const boost::string_view& _address, int _port) const {
    return endpoint(parse_address(std::string(_address)), checked_port(_port));
}

endpoint socket_impl::local_endpoint() const { return m_socket.local_endpoint(); }

void socket_impl::setup_receive() {
    m_socket.async_wait(boost::asio::ip::udp::socket::wait_read,
                        [data = m_data, self = this](const boost::system::error_code& _error) {
                            if (!data->m_socket_alive)
                                return;
                            if (_error) {
                                if (_error != boost::asio::error::operation_aborted)
                                    self->m_logger.log_error(_error, QVD_SOURCE_LOCATION);
                                return;
                            }
                            // The next wait starts after the callbacks, also when one threw; not
                            // when one destroyed the socket.
                            const scope_guard next = execute_on_scope_exit([&data, self] {
                                if (data->m_socket_alive)
                                    self->setup_receive();
                            });
                            receive_queued(data, self->m_socket.native_handle(), self->m_logger);
                        });
}

void socket_impl::receive_queued(const std::shared_ptr<shared_data>& _data, int _descriptor,
                                 const component_logger& _logger) {
    for (int turn = 0; turn < datagrams_per_turn && _data->m_socket_alive; ++turn) {
        sockaddr_storage name{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        iovec data_part{_data->m_buffer.data(), _data->m_buffer.size()};
        msghdr header{};
        header.msg_name = &name;
        header.msg_namelen = sizeof name;
        header.msg_iov = &data_part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        // Never blocks: a datagram dropped after the wait (a bad checksum) must not hold the loop.
        const ssize_t size = ::recvmsg(_descriptor, &header, MSG_DONTWAIT);
        if (size < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            // A failed read is no datagram: it never reaches the callback, and receiving goes on.
            if (error != EAGAIN && error != EWOULDBLOCK)
                _logger.log_error(boost::system::error_code(error, boost::system::system_category()),
                                  QVD_SOURCE_LOCATION);
            return;
        }
        const std::shared_ptr<callback> current = _data->m_callback;
        (*current)(sender_of(name, header.msg_namelen), local_address_of(header),
                   message(_data->m_buffer.data(), static_cast<std::size_t>(size)));
    }
}

} // namespace qvd::libs::core::udp
