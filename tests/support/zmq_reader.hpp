#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qvd::test_support {

// A ZeroMQ PULL socket bound on a loopback TCP port, collecting every message on a thread of its
// own. Destroy a PUSH peer that sent to it (such as the logger) before the reader, or the peer's
// linger makes its destruction wait.
class zmq_reader {
public:
    // Binds "tcp://127.0.0.1:*"; throws zmq::error_t when it cannot.
    zmq_reader();
    ~zmq_reader();
    zmq_reader(const zmq_reader&) = delete;
    zmq_reader& operator=(const zmq_reader&) = delete;

    // The bound endpoint to connect to, for example "tcp://127.0.0.1:40123".
    const std::string& endpoint() const { return m_endpoint; }
    // Every message received so far (one frame each), oldest first.
    std::vector<std::string> messages() const;
    // Forgets the messages received so far.
    void clear();
    // The first message (received so far or within _timeout) that matches.
    std::optional<std::string> wait_for(const std::function<bool(const std::string&)>& _match,
                                        std::chrono::milliseconds _timeout = std::chrono::seconds(30)) const;
    // The first message that ends with _suffix.
    std::optional<std::string> wait_for_suffix(const std::string& _suffix,
                                               std::chrono::milliseconds _timeout = std::chrono::seconds(30)) const;
    // Whether at least _count messages arrived within _timeout.
    bool wait_for_count(std::size_t _count, std::chrono::milliseconds _timeout = std::chrono::seconds(30)) const;

private:
    void drain();

    struct sockets;
    std::unique_ptr<sockets> m_sockets;
    std::string m_endpoint;
    bool m_stop = false;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::vector<std::string> m_messages;
    std::thread m_thread;
};

} // namespace qvd::test_support
