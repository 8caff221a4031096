#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qvd::test_support {

// One request as the server received it.
struct http_request {
    std::string method;
    std::string target;
    std::string body;
    // Header names in lower case.
    std::map<std::string, std::string> headers;
    // Accept order of the connection it came on, from 1.
    std::size_t connection = 0;

    bool has_header(const std::string& _lower_name) const { return headers.count(_lower_name) != 0; }
};

struct http_response {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// An HTTP/1.1 server with keep-alive on a kernel-chosen loopback port, one thread per
// connection. Every request is recorded before the handler answers it, so a test can see a
// request that its handler holds back.
class http_server {
public:
    using handler = std::function<http_response(const http_request&)>;

    explicit http_server(handler _handler);
    // Ends every connection; a handler must not be held back by the test at this point.
    ~http_server();
    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;

    unsigned short port() const { return m_port; }
    // "http://127.0.0.1:<port>"
    std::string base_address() const;
    std::vector<http_request> requests() const;
    std::size_t request_count() const;
    // Connections accepted so far.
    std::size_t accepts() const;
    // Whether at least _count requests arrived within _timeout.
    bool wait_for_requests(std::size_t _count, std::chrono::milliseconds _timeout = std::chrono::seconds(10)) const;
    // Waits _delay, or less when the server stops; for handlers that answer late.
    void pause(std::chrono::milliseconds _delay) const;

private:
    struct state;

    void accept_loop();
    void serve(boost::asio::ip::tcp::socket& _socket, std::size_t _connection);

    handler m_handler;
    std::unique_ptr<state> m_state;
    unsigned short m_port = 0;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stopping = false;
    std::vector<http_request> m_requests;
    std::vector<std::thread> m_connection_threads;
    std::thread m_accept_thread;
};

} // namespace qvd::test_support
