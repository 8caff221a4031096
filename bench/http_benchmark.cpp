// Asynchronous requests per second of the HTTP client against a local keep-alive server, beside
// the same requests made by a plain libcurl loop with one reused easy handle per thread, and the
// client's blocking requests from as many threads.
//
//   lomvera_bench_http [--requests N] [--threads T] [--rounds R]

#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/http/client.hpp>
#include <core/logger.hpp>

#include "support/http_server.hpp"

#include <boost/asio/io_context.hpp>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace core = qvd::libs::core;
namespace http = qvd::libs::core::http;
using clock_type = std::chrono::steady_clock;

namespace {

struct options {
    int requests = 20000;
    int threads = 10;
    int rounds = 5;
};

options parse(int _argc, char** _argv) {
    options result;
    if (_argc % 2 == 0)
        throw std::invalid_argument("every option takes a value");
    for (int i = 1; i + 1 < _argc; i += 2) {
        const int value = std::atoi(_argv[i + 1]);
        if (value < 1)
            throw std::invalid_argument(std::string("bad value for ") + _argv[i]);
        if (std::strcmp(_argv[i], "--requests") == 0)
            result.requests = value;
        else if (std::strcmp(_argv[i], "--threads") == 0)
            result.threads = value;
        else if (std::strcmp(_argv[i], "--rounds") == 0)
            result.rounds = value;
        else
            throw std::invalid_argument(std::string("unknown option ") + _argv[i]);
    }
    return result;
}

double seconds_since(clock_type::time_point _start) {
    return std::chrono::duration<double>(clock_type::now() - _start).count();
}

// All requests queued at once on the client; the results come back on the main loop.
double client_round(core::events_loop& _loop, http::client& _client, int _requests) {
    int ok = 0;
    int delivered = 0;
    std::vector<core::async_operation_handle<http::result>::ptr> handles;
    handles.reserve(static_cast<std::size_t>(_requests));
    const auto start = clock_type::now();
    for (int i = 0; i < _requests; ++i)
        handles.push_back(_client.perform_async_request(http::method::get, "/bench", [&](http::result _result) {
            ok += _result.ok();
            ++delivered;
        }));
    _loop.get_io_context().restart();
    const auto work = _loop.create_work();
    while (delivered < _requests)
        _loop.get_io_context().run_one();
    const double elapsed = seconds_since(start);
    if (ok != _requests)
        throw std::runtime_error("client: " + std::to_string(_requests - ok) + " requests failed");
    return _requests / elapsed;
}

// T threads making blocking requests on the client.
double blocking_round(http::client& _client, int _requests, int _threads) {
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    const auto start = clock_type::now();
    for (int t = 0; t < _threads; ++t)
        threads.emplace_back([&, t] {
            const int share = _requests / _threads + (t < _requests % _threads ? 1 : 0);
            for (int i = 0; i < share; ++i)
                if (!_client.perform_request(http::method::get, "/bench").ok())
                    ++failed;
        });
    for (auto& thread : threads)
        thread.join();
    const double elapsed = seconds_since(start);
    if (failed != 0)
        throw std::runtime_error("blocking: " + std::to_string(failed.load()) + " requests failed");
    return _requests / elapsed;
}

std::size_t discard(char*, std::size_t _size, std::size_t _count, void*) { return _size * _count; }

// One easy handle per thread, kept for the whole run like the client's connections.
class plain_curl {
public:
    plain_curl(const std::string& _url, int _threads) {
        for (int t = 0; t < _threads; ++t) {
            CURL* const handle = curl_easy_init();
            if (handle == nullptr)
                throw std::runtime_error("curl_easy_init failed");
            m_handles.push_back(handle);
            curl_easy_setopt(handle, CURLOPT_URL, _url.c_str());
            curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &discard);
            // The same bytes on the wire as the client's requests.
            curl_easy_setopt(handle, CURLOPT_USERAGENT, core::constants::project_name.c_str());
        }
    }
    ~plain_curl() {
        for (CURL* handle : m_handles)
            curl_easy_cleanup(handle);
    }
    plain_curl(const plain_curl&) = delete;
    plain_curl& operator=(const plain_curl&) = delete;

    // Every thread makes its share of the requests with its own handle.
    double round(int _requests) {
        const int threads = static_cast<int>(m_handles.size());
        std::atomic<int> failed{0};
        std::vector<std::thread> workers;
        const auto start = clock_type::now();
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                CURL* const handle = m_handles[static_cast<std::size_t>(t)];
                const int share = _requests / threads + (t < _requests % threads ? 1 : 0);
                for (int i = 0; i < share; ++i) {
                    long status = 0;
                    if (curl_easy_perform(handle) != CURLE_OK ||
                        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200)
                        ++failed;
                }
            });
        for (auto& worker : workers)
            worker.join();
        const double elapsed = seconds_since(start);
        if (failed != 0)
            throw std::runtime_error("libcurl: " + std::to_string(failed.load()) + " requests failed");
        return _requests / elapsed;
    }

private:
    std::vector<CURL*> m_handles;
};

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    return _values[_values.size() / 2];
}

} // namespace

int main(int _argc, char** _argv) {
    try {
        const options opts = parse(_argc, _argv);
        curl_global_init(CURL_GLOBAL_DEFAULT);
        qvd::test_support::http_server server([](const qvd::test_support::http_request&) {
            return qvd::test_support::http_response{200, "ok", {}};
        });

        core::logger log(core::constants::project_name, "bench");
        const auto root = core::core::create(log);
        const auto loop = root->create_events_loop("main");
        const auto client = loop->create_http_client(server.base_address(), std::chrono::seconds(10), {}, opts.threads);

        plain_curl plain(server.base_address() + "/bench", opts.threads);

        std::printf("HTTP benchmark: %d GET requests per round, %d threads, %d rounds, server on port %u\n",
                    opts.requests, opts.threads, opts.rounds, server.port());
        // One warm-up of each, so that all start with their connections open.
        client_round(*loop, *client, opts.threads * 10);
        plain.round(opts.threads * 10);

        std::vector<double> client_rates;
        std::vector<double> curl_rates;
        std::vector<double> blocking_rates;
        for (int r = 0; r < opts.rounds; ++r) {
            client_rates.push_back(client_round(*loop, *client, opts.requests));
            curl_rates.push_back(plain.round(opts.requests));
            blocking_rates.push_back(blocking_round(*client, opts.requests, opts.threads));
            std::printf("round %d: client async %.0f req/s, plain libcurl %.0f req/s, client blocking %.0f req/s\n",
                        r + 1, client_rates.back(), curl_rates.back(), blocking_rates.back());
        }
        const double client_rate = median(client_rates);
        const double curl_rate = median(curl_rates);
        std::printf("median: client async %.0f req/s, plain libcurl %.0f req/s, client blocking %.0f req/s\n",
                    client_rate, curl_rate, median(blocking_rates));
        std::printf("ratio client async / plain libcurl: %.2f\n", client_rate / curl_rate);
        std::printf("server connections accepted: %zu\n", server.accepts());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lomvera_bench_http: %s\n", e.what());
        return 1;
    }
}
