#pragma once

#include "support/redis_server.hpp"

#include <hiredis/read.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qvd::test_support {

// A Redis server on loopback that answers as a test scripts it, for the faults a real server never
// shows. Each accepted connection runs its own script on its own thread and is closed when the
// script returns.
class fake_redis_server {
public:
    // One accepted connection, as its script sees it.
    class peer {
    public:
        explicit peer(int _fd, const std::atomic<bool>& _stopping) : m_fd(_fd), m_stopping(_stopping) {}

        // Waits until _count more commands have arrived; false when the client closed first or
        // the server stops.
        bool read_commands(std::size_t _count) {
            while (_count > 0) {
                void* command = nullptr;
                if (redisReaderGetReply(m_reader.get(), &command) != 0)
                    return false;
                if (command != nullptr) {
                    --_count;
                    continue;
                }
                char buffer[4096];
                if (!readable())
                    return false;
                const ssize_t received = ::read(m_fd, buffer, sizeof(buffer));
                if (received <= 0)
                    return false;
                redisReaderFeed(m_reader.get(), buffer, static_cast<std::size_t>(received));
            }
            return true;
        }

        // Sends the bytes as they are.
        void send(const std::string& _bytes) {
            for (std::size_t sent = 0; sent < _bytes.size();) {
                const ssize_t written = ::send(m_fd, _bytes.data() + sent, _bytes.size() - sent, MSG_NOSIGNAL);
                if (written <= 0)
                    return;
                sent += static_cast<std::size_t>(written);
            }
        }

        // Makes the close that follows the script a reset.
        void reset_on_close() {
            const linger abort_on_close{1, 0};
            ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
        }

        // Keeps the connection open without answering; true when the client closed it, false when
        // the server stops first.
        bool hold() { return !read_commands(std::numeric_limits<std::size_t>::max()) && !m_stopping; }

    private:
        // Waits for bytes or the end; false when the server stops.
        bool readable() const {
            pollfd waited{m_fd, POLLIN, 0};
            while (!m_stopping)
                if (::poll(&waited, 1, 20) > 0)
                    return true;
            return false;
        }

        struct reader_deleter {
            void operator()(redisReader* _reader) const { redisReaderFree(_reader); }
        };

        int m_fd;
        const std::atomic<bool>& m_stopping;
        // Commands come as arrays of bulk strings: only their count matters here.
        std::unique_ptr<redisReader, reader_deleter> m_reader{redisReaderCreateWithFunctions(nullptr)};
    };

    using script = std::function<void(peer&)>;

    // Connection n runs _scripts[n], in the order the connections arrive; later ones are closed at once.
    explicit fake_redis_server(std::vector<script> _scripts) : m_scripts(std::move(_scripts)) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_listener, 16) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("the fake Redis server cannot listen");
        m_endpoint.port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { accept_all(); });
    }

    ~fake_redis_server() {
        m_stopping = true;
        m_acceptor.join();
        for (std::thread& connection : m_connections)
            connection.join();
        ::close(m_listener);
    }

    fake_redis_server(const fake_redis_server&) = delete;
    fake_redis_server& operator=(const fake_redis_server&) = delete;

    const redis_endpoint& endpoint() const { return m_endpoint; }

    // The script of a blocking connection that works: its SELECT succeeds, then it waits.
    static script selects_and_holds() {
        return [](peer& _peer) {
            if (_peer.read_commands(1)) {
                _peer.send("+OK\r\n");
                _peer.hold();
            }
        };
    }

private:
    void accept_all() {
        pollfd waited{m_listener, POLLIN, 0};
        for (std::size_t index = 0; !m_stopping;) {
            if (::poll(&waited, 1, 20) <= 0)
                continue;
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            if (index >= m_scripts.size()) {
                ::close(fd);
                continue;
            }
            m_connections.emplace_back([this, fd, &run = m_scripts[index++]] {
                peer connection(fd, m_stopping);
                run(connection);
                ::close(fd);
            });
        }
    }

    std::vector<script> m_scripts;
    redis_endpoint m_endpoint;
    std::atomic<bool> m_stopping{false};
    int m_listener = -1;
    std::thread m_acceptor;
    // Written by the acceptor alone, joined after it.
    std::vector<std::thread> m_connections;
};

} // namespace qvd::test_support
