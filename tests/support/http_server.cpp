#include "support/http_server.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <list>

namespace qvd::test_support {

namespace asio = boost::asio;
namespace beast = boost::beast;

struct http_server::state {
    asio::io_context io_context;
    asio::ip::tcp::acceptor acceptor{io_context};
    // Owned here until the end, so that a stop never shuts down a descriptor reused meanwhile.
    std::list<asio::ip::tcp::socket> sockets;
};

http_server::http_server(handler _handler) : m_handler(std::move(_handler)), m_state(std::make_unique<state>()) {
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    m_state->acceptor.open(endpoint.protocol());
    m_state->acceptor.bind(endpoint);
    m_state->acceptor.listen();
    m_port = m_state->acceptor.local_endpoint().port();
    m_accept_thread = std::thread([this] { accept_loop(); });
}

http_server::~http_server() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    // Shutting a listening socket down wakes a blocked accept on Linux.
    ::shutdown(m_state->acceptor.native_handle(), SHUT_RDWR);
    m_accept_thread.join();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& socket : m_state->sockets)
            ::shutdown(socket.native_handle(), SHUT_RDWR);
    }
    for (auto& thread : m_connection_threads)
        thread.join();
}

std::string http_server::base_address() const { return "http://127.0.0.1:" + std::to_string(m_port); }

std::vector<http_request> http_server::requests() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::size_t http_server::request_count() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.size();
}

std::size_t http_server::accepts() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_state->sockets.size();
}

bool http_server::wait_for_requests(std::size_t _count, std::chrono::milliseconds _timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, _timeout, [&] { return m_requests.size() >= _count; });
}

void http_server::pause(std::chrono::milliseconds _delay) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, _delay, [&] { return m_stopping; });
}

void http_server::accept_loop() {
    for (;;) {
        asio::ip::tcp::socket socket(m_state->io_context);
        boost::system::error_code error;
        m_state->acceptor.accept(socket, error);
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        if (error)
            continue;
        socket.set_option(asio::ip::tcp::no_delay(true), error);
        m_state->sockets.push_back(std::move(socket));
        asio::ip::tcp::socket* const accepted = &m_state->sockets.back();
        const std::size_t connection = m_state->sockets.size();
        m_connection_threads.emplace_back([this, accepted, connection] { serve(*accepted, connection); });
    }
}

void http_server::serve(boost::asio::ip::tcp::socket& _socket, std::size_t _connection) {
    beast::flat_buffer buffer;
    for (;;) {
        beast::http::request<beast::http::string_body> request;
        boost::system::error_code error;
        beast::http::read(_socket, buffer, request, error);
        if (error)
            break;

        http_request seen;
        seen.method = std::string(request.method_string());
        seen.target = std::string(request.target());
        seen.body = request.body();
        seen.connection = _connection;
        for (const auto& field : request) {
            std::string name(field.name_string());
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char _c) { return static_cast<char>(std::tolower(_c)); });
            seen.headers[name] = std::string(field.value());
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(seen);
        }
        m_changed.notify_all();

        const http_response answer = m_handler(seen);
        beast::http::response<beast::http::string_body> response(static_cast<beast::http::status>(answer.status),
                                                                 request.version());
        for (const auto& header : answer.headers)
            response.set(header.first, header.second);
        response.body() = answer.body;
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        beast::http::write(_socket, response, error);
        if (error || !request.keep_alive())
            break;
    }
    boost::system::error_code ignored;
    _socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
}

} // namespace qvd::test_support
