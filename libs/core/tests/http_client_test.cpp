#include <core/async_operation_handle.hpp>
#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/exception.hpp>
#include <core/http/client.hpp>
#include <core/http/method.hpp>
#include <core/http/result.hpp>
#include <core/logger.hpp>

#include "support/http_server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/optional/optional_io.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace qvd::libs::core;
using namespace std::chrono_literals;
using qvd::test_support::http_request;
using qvd::test_support::http_response;
using qvd::test_support::http_server;

namespace {

const std::string failed_prefix = "curl_easy_perform failed:";

// The data of a result as a value.
boost::optional<std::string> data_of(const http::result& _result) {
    if (const auto data = _result.data())
        return std::string(*data);
    return boost::none;
}

// The data, or else the error text.
std::string text_of(const http::result& _result) { return data_of(_result).value_or(_result.error().value_or("")); }

// Holds requests back until opened; never longer than 10 s, so a failing test cannot hang.
class gate {
public:
    void open() {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_opened.notify_all();
    }
    void close() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_open = false;
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_opened.wait_for(lock, 10s, [&] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_opened;
    bool m_open = false;
};

// Answers with the request's method, target and body; some targets behave as their name says.
http_response routes(const http_request& _request, http_server& _server, gate& _gate) {
    const std::string& target = _request.target;
    if (target == "/missing")
        return {404, "missing", {}};
    if (target == "/empty")
        return {204, "", {}};
    if (target == "/broken")
        return {500, "broken", {}};
    if (target == "/redirect")
        return {302, "", {{"Location", "/arrived"}}};
    if (target == "/redirect-missing")
        return {302, "", {{"Location", "/missing"}}};
    if (target == "/loop")
        return {302, "", {{"Location", "/loop"}}};
    if (target == "/redirect-ftp")
        return {302, "", {{"Location", "ftp://127.0.0.1:1/file"}}};
    if (target == "/set-cookie")
        return {200, "set", {{"Set-Cookie", "session=s3cr3t; Path=/"}}};
    if (target == "/slow")
        _server.pause(10s);
    if (target == "/linger")
        _server.pause(200ms);
    if (target.rfind("/hold", 0) == 0)
        _gate.wait();
    const auto cookie = _request.headers.find("cookie");
    return {200,
            _request.method + " " + target + (cookie != _request.headers.end() ? " " + cookie->second : "") +
                (_request.body.empty() ? "" : " " + _request.body),
            {}};
}

struct core_http_client : ::testing::Test {
    logger log{constants::project_name, "main"};
    core::ptr root = core::create(log);
    events_loop::ptr loop = root->create_events_loop("main");
    gate held;
    http_server server{[this](const http_request& _request) { return routes(_request, server, held); }};

    ~core_http_client() override { held.open(); }

    http::client::ptr make_client(int _threads = 4, std::vector<http::method> _disabled = {},
                                  std::chrono::seconds _timeout = 10s) {
        return loop->create_http_client(server.base_address(), _timeout, _disabled, _threads);
    }

    // Runs the main loop on this thread until _done holds; false after 20 s.
    bool run_until(const std::function<bool()>& _done) {
        loop->get_io_context().restart();
        const auto work = loop->create_work();
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!_done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            loop->get_io_context().run_one_for(10ms);
        }
        return true;
    }

    // Sends one asynchronous request and waits for its result on the main loop.
    http::result deliver(http::client& _client, http::method _method, const std::string& _address) {
        boost::optional<http::result> received;
        const auto handle = _client.perform_async_request(_method, _address,
                                                          [&](http::result _result) { received = std::move(_result); });
        EXPECT_TRUE(run_until([&] { return received.has_value(); }));
        return received.value_or(http::result("no delivery"));
    }
};

} // namespace

TEST_F(core_http_client, requests_carry_the_method_the_joined_address_and_the_body) {
    const std::string json = "{\"values\":[" + std::string(200000, '7') + "]}";
    struct request_case {
        std::string base_suffix;
        http::method method;
        std::string address;
        std::string body;
        std::string target;
        std::string verb;
    };
    // Cases with the same base share a client, whose easy handle then carries one request's
    // settings into the next.
    const std::vector<request_case> cases{
        {"", http::method::post, "/json", json, "/json", "POST"},
        {"", http::method::get, "/plain", "", "/plain", "GET"},
        // Plain concatenation: no slash is added between the two.
        {"/api", http::method::get, "v1", "", "/apiv1", "GET"},
        {"/api/", http::method::post, "items", json, "/api/items", "POST"},
        {"", http::method::put, "/put", "{}", "/put", "PUT"},
        {"", http::method::del, "/gone", "", "/gone", "DELETE"},
    };
    std::map<std::string, http::client::ptr> clients;
    std::size_t seen = 0;
    for (const request_case& c : cases) {
        SCOPED_TRACE(c.target);
        auto& client = clients[c.base_suffix];
        if (!client)
            client = loop->create_http_client(server.base_address() + c.base_suffix, 10s, {}, 1);
        const http::result result = client->perform_request(c.method, c.address, c.body);
        ASSERT_TRUE(server.wait_for_requests(++seen));
        const http_request request = server.requests().back();
        EXPECT_EQ(request.method, c.verb);
        EXPECT_EQ(request.target, c.target);
        EXPECT_EQ(request.headers.at("user-agent"), "lomvera");
        EXPECT_EQ(request.body, c.body);
        if (c.body.empty()) {
            EXPECT_FALSE(request.has_header("content-type"));
            EXPECT_FALSE(request.has_header("transfer-encoding"));
            EXPECT_EQ(request.headers.count("content-length") ? request.headers.at("content-length") : "0", "0");
        } else {
            EXPECT_EQ(request.headers.at("content-type"), "application/json");
        }
        EXPECT_TRUE(result.ok());
        EXPECT_EQ(result.status_code(), 200);
        EXPECT_EQ(text_of(result), c.verb + " " + c.target + (c.body.empty() ? "" : " " + c.body));
        EXPECT_FALSE(result.error());
    }
}

TEST_F(core_http_client, the_final_status_decides_between_data_and_error) {
    struct status_case {
        std::string address;
        boost::optional<int> code;
        boost::optional<std::string> data;
        boost::optional<std::string> error;
    };
    const std::vector<status_case> cases{
        {"/missing", 404, boost::none, std::string("missing")},
        {"/empty", 204, std::string(), boost::none},
        {"/broken", 500, boost::none, std::string("broken")},
        {"/redirect", 200, std::string("GET /arrived"), boost::none},
        {"/redirect-missing", 404, boost::none, std::string("missing")},
        {"/loop", boost::none, boost::none, failed_prefix + "Number of redirects hit maximum amount"},
        // Redirects stay within HTTP.
        {"/redirect-ftp", boost::none, boost::none, failed_prefix + "Unsupported protocol"},
    };
    const auto client = make_client();
    for (const status_case& c : cases) {
        SCOPED_TRACE(c.address);
        const http::result result = client->perform_request(http::method::get, c.address);
        EXPECT_EQ(result.status_code(), c.code);
        EXPECT_EQ(data_of(result), c.data);
        EXPECT_EQ(result.error(), c.error);
        EXPECT_EQ(result.ok(), c.data.has_value());
    }
    // The first request of the loop and at most ten redirects.
    std::size_t loops = 0;
    for (const http_request& request : server.requests())
        loops += request.target == "/loop";
    EXPECT_EQ(loops, 11u);
}

TEST_F(core_http_client, transport_failures_give_only_an_error_text) {
    unsigned short closed_port = 0;
    {
        boost::asio::io_context io_context;
        boost::asio::ip::tcp::acceptor acceptor(
            io_context, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        closed_port = acceptor.local_endpoint().port();
    }
    const auto refused = loop->create_http_client("http://127.0.0.1:" + std::to_string(closed_port), 10s, {}, 1);
    const http::result refusal = refused->perform_request(http::method::get, "/");
    EXPECT_FALSE(refusal.status_code());
    EXPECT_FALSE(refusal.data());
    EXPECT_EQ(refusal.error(), failed_prefix + "Couldn't connect to server");

    const auto hasty = make_client(1, {}, 1s);
    const http::result late = hasty->perform_request(http::method::get, "/slow");
    EXPECT_FALSE(late.status_code());
    EXPECT_FALSE(late.data());
    EXPECT_EQ(late.error(), failed_prefix + "Timeout was reached");
    const http::result async_late = deliver(*hasty, http::method::get, "/slow");
    EXPECT_EQ(async_late.error(), failed_prefix + "Timeout was reached");
}

// libcurl raises no SIGPIPE guard of its own under CURLOPT_NOSIGNAL, and a TLS write to a peer
// that went away would otherwise end the process.
TEST_F(core_http_client, a_client_leaves_writes_to_a_closed_peer_to_fail_as_errors) {
    const auto client = make_client(1);
    struct sigaction disposition {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &disposition), 0);
    EXPECT_EQ(disposition.sa_handler, SIG_IGN);
}

TEST_F(core_http_client, disabled_methods_are_answered_locally_and_never_sent) {
    const auto client = make_client(2, {http::method::post, http::method::del, http::method::post});
    const http::result blocking = client->perform_request(http::method::post, "/posted", "{\"a\":1}");
    EXPECT_EQ(blocking.status_code(), 200);
    EXPECT_EQ(data_of(blocking), std::string());
    const http::result async = deliver(*client, http::method::del, "/deleted");
    EXPECT_EQ(async.status_code(), 200);
    EXPECT_EQ(data_of(async), std::string());
    EXPECT_TRUE(client->perform_request(http::method::get, "/sent").ok());
    ASSERT_EQ(server.request_count(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/sent");
}

TEST_F(core_http_client, asynchronous_results_arrive_on_the_main_loop) {
    const auto client = make_client(10);
    std::map<int, std::string> received;
    std::set<std::thread::id> delivery_threads;
    std::vector<async_operation_handle<http::result>::ptr> handles;
    for (int i = 0; i < 200; ++i) {
        handles.push_back(client->perform_async_request(http::method::put, "/n/" + std::to_string(i),
                                                        "{\"n\":" + std::to_string(i) + "}",
                                                        [&, i](http::result _result) {
                                                            received[i] = std::move(_result).data().value_or("no data");
                                                            delivery_threads.insert(std::this_thread::get_id());
                                                        }));
    }
    ASSERT_TRUE(run_until([&] { return received.size() == 200; }));
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(received[i], "PUT /n/" + std::to_string(i) + " {\"n\":" + std::to_string(i) + "}");
    EXPECT_EQ(delivery_threads, std::set<std::thread::id>{std::this_thread::get_id()});
    for (const auto& handle : handles)
        EXPECT_TRUE(handle->is_complete());
    // At most one connection per worker thread.
    EXPECT_LE(server.accepts(), 10u);
}

TEST_F(core_http_client, sequential_requests_reuse_one_connection_per_thread) {
    const auto client = make_client(4);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(client->perform_request(http::method::get, "/seq").ok());
    EXPECT_EQ(server.accepts(), 1u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(deliver(*client, http::method::get, "/async-seq").ok());
    EXPECT_LE(server.accepts(), 4u);
    EXPECT_EQ(server.request_count(), 2000u);
}

TEST_F(core_http_client, released_handles_are_skipped_or_dropped) {
    const auto client = make_client(1);
    int calls = 0;
    auto running = client->perform_async_request(http::method::get, "/hold", [&](http::result) { ++calls; });
    ASSERT_TRUE(server.wait_for_requests(1));
    // The only worker is busy: this one waits in the queue and is released there.
    auto queued = client->perform_async_request(http::method::get, "/abandoned", [&](http::result) { ++calls; });
    queued.reset();
    // Released while it runs: sent, and its result dropped.
    running.reset();
    held.open();
    const http::result after = deliver(*client, http::method::get, "/after");
    EXPECT_EQ(text_of(after), "GET /after");
    run_until([] { return true; });
    EXPECT_EQ(calls, 0);
    std::vector<std::string> targets;
    for (const http_request& request : server.requests())
        targets.push_back(request.target);
    EXPECT_EQ(targets, (std::vector<std::string>{"/hold", "/after"}));
}

TEST_F(core_http_client, a_failing_request_is_reported_and_its_worker_goes_on) {
    const auto client = make_client(1);
    const auto bad_method = static_cast<http::method>(9);
    const http::result failed = deliver(*client, bad_method, "/never");
    EXPECT_FALSE(failed.status_code());
    EXPECT_EQ(failed.error(), std::string("Unknown enumeration value"));
    // The single worker is still there.
    EXPECT_TRUE(deliver(*client, http::method::get, "/still").ok());
    EXPECT_EQ(server.request_count(), 1u);

    try {
        client->perform_request(bad_method, "/never");
        ADD_FAILURE() << "no exception";
    } catch (const exception& e) {
        EXPECT_EQ(e.get_string_error(), "Unknown enumeration value");
        EXPECT_NE(std::string(e.what()).find("include/core/http/method"), std::string::npos) << e.what();
    }
    EXPECT_THROW(http::to_string(http::method::_count), exception);
    EXPECT_STREQ(http::to_string(http::method::del), "DELETE");
}

TEST_F(core_http_client, cookies_set_by_one_request_are_sent_by_the_next) {
    const auto client = make_client(2);
    // A request in progress on another thread holds one easy handle, so the cookie is set through
    // a second one and read back through the first.
    std::thread holder([&] { client->perform_request(http::method::get, "/hold"); });
    ASSERT_TRUE(server.wait_for_requests(1));
    EXPECT_EQ(text_of(client->perform_request(http::method::get, "/set-cookie")), "set");
    held.open();
    holder.join();
    EXPECT_EQ(text_of(client->perform_request(http::method::get, "/check")), "GET /check session=s3cr3t");
    EXPECT_EQ(text_of(deliver(*client, http::method::get, "/async-check")), "GET /async-check session=s3cr3t");
    // Another client has a store of its own.
    EXPECT_EQ(text_of(make_client(1)->perform_request(http::method::get, "/other")), "GET /other");
}

TEST_F(core_http_client, the_short_factory_gives_ten_workers_and_no_disabled_method) {
    const auto client = loop->create_http_client(server.base_address(), 10s);
    int delivered = 0;
    std::vector<async_operation_handle<http::result>::ptr> handles;
    for (int i = 0; i < 11; ++i)
        handles.push_back(client->perform_async_request(http::method::post, "/hold/" + std::to_string(i), "{}",
                                                        [&](http::result _result) { delivered += _result.ok(); }));
    ASSERT_TRUE(server.wait_for_requests(10));
    // Every worker is held: the eleventh request waits in the queue.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.request_count(), 10u);
    held.open();
    ASSERT_TRUE(run_until([&] { return delivered == 11; }));
    EXPECT_EQ(server.request_count(), 11u);
}

TEST_F(core_http_client, restart_sends_the_same_request_again_while_the_client_lives) {
    auto client = make_client(2);
    std::vector<std::string> results;
    held.open();
    const auto handle =
        client->perform_async_request(http::method::post, "/hold-again", "{\"k\":\"v\"}",
                                      [&](http::result _result) { results.push_back(text_of(_result)); });
    ASSERT_TRUE(run_until([&] { return results.size() == 1; }));
    // Held by the server, so that the second run cannot have completed yet when it is asked.
    held.close();
    handle->restart();
    EXPECT_FALSE(handle->is_complete());
    ASSERT_TRUE(server.wait_for_requests(2));
    held.open();
    ASSERT_TRUE(run_until([&] { return results.size() == 2; }));
    EXPECT_EQ(results[1], results[0]);
    EXPECT_EQ(results[0], "POST /hold-again {\"k\":\"v\"}");
    EXPECT_EQ(server.request_count(), 2u);

    client.reset();
    handle->restart();
    ASSERT_TRUE(run_until([&] { return results.size() == 3; }));
    EXPECT_EQ(results[2], "The HTTP client no longer exists");
    EXPECT_EQ(server.request_count(), 2u);
}

TEST_F(core_http_client, destruction_finishes_running_and_queued_requests) {
    auto client = make_client(1);
    std::vector<std::string> results;
    const auto save = [&](http::result _result) { results.push_back(text_of(_result)); };
    const auto running = client->perform_async_request(http::method::get, "/linger", save);
    ASSERT_TRUE(server.wait_for_requests(1));
    const auto queued = client->perform_async_request(http::method::get, "/queued", save);
    client.reset();
    EXPECT_EQ(server.request_count(), 2u);
    ASSERT_TRUE(run_until([&] { return results.size() == 2; }));
    EXPECT_EQ(results, (std::vector<std::string>{"GET /linger", "GET /queued"}));
}
