#pragma once

#include <chrono>

namespace qvd::test_support {

// A loopback listener that never accepts: a client's TCP handshake completes but no greeting ever
// comes, so a MariaDB connect to it waits until its timeout.
class silent_listener {
public:
    silent_listener();
    ~silent_listener();
    silent_listener(const silent_listener&) = delete;
    silent_listener& operator=(const silent_listener&) = delete;

    unsigned port() const { return m_port; }
    // Waits up to _timeout for a client's connection in the backlog: the client is in its connect.
    bool wait_for_client(std::chrono::milliseconds _timeout) const;

private:
    const int m_fd;
    unsigned m_port = 0;
};

} // namespace qvd::test_support
