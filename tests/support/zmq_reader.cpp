#include "support/zmq_reader.hpp"

#include <zmq.hpp>

namespace qvd::test_support {

struct zmq_reader::sockets {
    ::zmq::context_t context;
    ::zmq::socket_t pull{context, ::zmq::socket_type::pull};
};

zmq_reader::zmq_reader() : m_sockets(std::make_unique<sockets>()) {
    m_sockets->pull.set(::zmq::sockopt::linger, 0);
    m_sockets->pull.bind("tcp://127.0.0.1:*");
    m_endpoint = m_sockets->pull.get(::zmq::sockopt::last_endpoint);
    // From here on only the thread uses the socket.
    m_thread = std::thread([this] { drain(); });
}

zmq_reader::~zmq_reader() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_thread.join();
}

void zmq_reader::drain() {
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
        }
        ::zmq::pollitem_t item{m_sockets->pull.handle(), 0, ZMQ_POLLIN, 0};
        if (::zmq::poll(&item, 1, std::chrono::milliseconds(50)) <= 0)
            continue;
        ::zmq::message_t message;
        while (m_sockets->pull.recv(message, ::zmq::recv_flags::dontwait)) {
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_messages.push_back(message.to_string());
            }
            m_arrived.notify_all();
        }
    }
}

std::vector<std::string> zmq_reader::messages() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

void zmq_reader::clear() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}

std::optional<std::string> zmq_reader::wait_for(const std::function<bool(const std::string&)>& _match,
                                                std::chrono::milliseconds _timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    std::unique_lock<std::mutex> lock(m_mutex);
    std::size_t checked = 0;
    for (;;) {
        if (checked > m_messages.size())
            checked = 0; // cleared meanwhile
        for (; checked < m_messages.size(); ++checked)
            if (_match(m_messages[checked]))
                return m_messages[checked];
        if (m_arrived.wait_until(lock, deadline) == std::cv_status::timeout && checked == m_messages.size())
            return std::nullopt;
    }
}

std::optional<std::string> zmq_reader::wait_for_suffix(const std::string& _suffix,
                                                       std::chrono::milliseconds _timeout) const {
    return wait_for(
        [&_suffix](const std::string& _message) {
            return _message.size() >= _suffix.size() &&
                   _message.compare(_message.size() - _suffix.size(), _suffix.size(), _suffix) == 0;
        },
        _timeout);
}

bool zmq_reader::wait_for_count(std::size_t _count, std::chrono::milliseconds _timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, _timeout, [&] { return m_messages.size() >= _count; });
}

} // namespace qvd::test_support
