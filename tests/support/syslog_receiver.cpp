#include "support/syslog_receiver.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qvd::test_support {

namespace {

sockaddr_un address_of(const std::string& _path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (_path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + _path);
    std::memcpy(address.sun_path, _path.c_str(), _path.size() + 1);
    return address;
}

// Whether something already receives datagrams at the path.
bool live_receiver_at(const sockaddr_un& _address) {
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&_address), sizeof _address) == 0;
    ::close(probe);
    return live;
}

} // namespace

syslog_receiver::syslog_receiver(std::string _path) : m_path(std::move(_path)) {
    const sockaddr_un address = address_of(m_path);
    if (live_receiver_at(address))
        throw std::runtime_error("a syslog daemon already receives at " + m_path);
    ::unlink(m_path.c_str());
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string error = std::strerror(errno);
        ::close(m_fd);
        throw std::runtime_error("bind " + m_path + ": " + error);
    }
    // A large queue, so that a burst of lines never blocks the sender.
    const int size = 4 * 1024 * 1024;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    m_thread = std::thread([this] { drain(); });
}

syslog_receiver::~syslog_receiver() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_thread.join();
    ::close(m_fd);
    ::unlink(m_path.c_str());
}

std::unique_ptr<syslog_receiver> syslog_receiver::create(std::string& _reason, bool& _daemon, std::string _path) {
    _daemon = live_receiver_at(address_of(_path));
    try {
        return std::make_unique<syslog_receiver>(std::move(_path));
    } catch (const std::exception& e) {
        _reason = e.what();
        return nullptr;
    }
}

void syslog_receiver::drain() {
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
        }
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        const ssize_t size = ::recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (size < 0)
            continue;
        syslog_line line = parse(std::string(buffer.data(), static_cast<std::size_t>(size)));
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(std::move(line));
        }
        m_arrived.notify_all();
    }
}

syslog_line syslog_receiver::parse(const std::string& _datagram) {
    syslog_line line;
    line.raw = _datagram;
    if (_datagram.empty() || _datagram[0] != '<')
        return line;
    const auto close = _datagram.find('>');
    if (close == std::string::npos)
        return line;
    line.priority = std::stoi(_datagram.substr(1, close - 1));
    // "Mmm dd HH:MM:SS " follows the priority.
    const std::size_t tag_start = close + 1 + 16;
    if (tag_start > _datagram.size())
        return line;
    const auto colon = _datagram.find(": ", tag_start);
    if (colon == std::string::npos) {
        line.body = _datagram.substr(tag_start);
        return line;
    }
    line.tag = _datagram.substr(tag_start, colon - tag_start);
    line.body = _datagram.substr(colon + 2);
    return line;
}

std::vector<syslog_line> syslog_receiver::lines() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

void syslog_receiver::clear() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

std::optional<syslog_line> syslog_receiver::wait_for(const std::function<bool(const syslog_line&)>& _match,
                                                     std::chrono::milliseconds _timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    std::unique_lock<std::mutex> lock(m_mutex);
    std::size_t checked = 0;
    for (;;) {
        if (checked > m_lines.size())
            checked = 0; // cleared meanwhile
        for (; checked < m_lines.size(); ++checked)
            if (_match(m_lines[checked]))
                return m_lines[checked];
        if (m_arrived.wait_until(lock, deadline) == std::cv_status::timeout && checked == m_lines.size())
            return std::nullopt;
    }
}

std::optional<syslog_line> syslog_receiver::wait_for_body(const std::string& _body,
                                                          std::chrono::milliseconds _timeout) const {
    return wait_for([&_body](const syslog_line& _line) { return _line.body == _body; }, _timeout);
}

} // namespace qvd::test_support
