#include "support/silent_listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace qvd::test_support {

silent_listener::silent_listener() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_fd, 16) != 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_fd >= 0)
            ::close(m_fd);
        throw std::runtime_error("cannot listen on the loopback");
    }
    m_port = ntohs(address.sin_port);
}

silent_listener::~silent_listener() { ::close(m_fd); }

bool silent_listener::wait_for_client(std::chrono::milliseconds _timeout) const {
    pollfd waiting{m_fd, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&waiting, 1, static_cast<int>(_timeout.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready == 1;
    }
}

} // namespace qvd::test_support
