#include <core/impl/http/client_impl.hpp>

#include <core/async_operation_handle_impl.hpp>
#include <core/constants.hpp>
#include <core/exception.hpp>
#include <core/impl/broken_pipes.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cstddef>
#include <exception>
#include <utility>

namespace qvd::libs::core::http {

namespace {

// Collects the response body; no exception may cross libcurl.
std::size_t append_body(char* _data, std::size_t _size, std::size_t _count, void* _body) noexcept {
    const std::size_t bytes = _size * _count;
    try {
        static_cast<std::string*>(_body)->append(_data, bytes);
        return bytes;
    } catch (...) {
        // A short count makes libcurl fail the transfer with a write error.
        return 0;
    }
}

struct curl_slist_deleter {
    void operator()(curl_slist* _list) const { curl_slist_free_all(_list); }
};

// Returns a taken easy handle to its pool when the request ends in any way.
class easy_handle_lease {
public:
    easy_handle_lease(easy_handle_pool& _pool, CURL* _handle) : m_pool(_pool), m_handle(_handle) {}
    ~easy_handle_lease() { m_pool.give_back(m_handle); }
    easy_handle_lease(const easy_handle_lease&) = delete;
    easy_handle_lease& operator=(const easy_handle_lease&) = delete;

private:
    easy_handle_pool& m_pool;
    CURL* m_handle;
};

// A count below 1 would leave every asynchronous request unsent, or ask for billions of threads.
std::size_t worker_thread_count(int _num_threads) {
    QVD_CHECK(_num_threads >= 1);
    return static_cast<std::size_t>(_num_threads);
}

// The message of the exception in flight, without its location.
std::string current_exception_message() {
    try {
        throw;
    } catch (const exception& e) {
        return e.get_string_error();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

} // namespace

client_impl::client_impl(events_loop& _main_events_loop, core& _core, const component_logger& _logger,
                         const std::string& _address, std::chrono::seconds _timeout,
                         const std::vector<method>& _disabled_methods, int _num_threads)
    : m_main_events_loop(_main_events_loop), m_logger(_logger), m_address(_address), m_timeout(_timeout),
      m_disabled_methods(_disabled_methods.begin(), _disabled_methods.end()), m_shared_curl_data(),
      m_alive(std::make_shared<const bool>(true)),
      m_worker_events_loop(_core.create_events_loop("http_client::worker")),
      m_worker_events_loop_work(m_worker_events_loop->create_work()),
      m_worker_thread_pool(worker_thread_count(_num_threads)) {
    ignore_broken_pipes();
    try {
        for (int i = 0; i < _num_threads; ++i)
            boost::asio::post(m_worker_thread_pool, [this] {
                // A thread-pool job must not throw: that would end the process.
                m_worker_events_loop->run_catch_exceptions(QVD_SOURCE_LOCATION);
            });
    } catch (...) {
        // No destructor runs for a client that failed here: stop the threads already running.
        stop_workers();
        throw;
    }
}

client_impl::~client_impl() { stop_workers(); }

void client_impl::stop_workers() noexcept {
    m_worker_events_loop_work.reset();
    m_worker_events_loop->stop();
    m_worker_thread_pool.join();
}

result client_impl::perform_request(method _method, boost::string_view _address) {
    return perform_request(_method, _address, boost::string_view());
}

result client_impl::perform_request(method _method, boost::string_view _address, boost::string_view _body) {
    return perform_request_impl(_method, _address, _body);
}

async_operation_handle<result>::ptr client_impl::perform_async_request(method _method, std::string _address,
                                                                       callback _callback) {
    return perform_async_request(_method, std::move(_address), std::string(), std::move(_callback));
}

async_operation_handle<result>::ptr client_impl::perform_async_request(method _method, std::string _address,
                                                                       std::string _body, callback _callback) {
    return perform_async_request_impl(_method, std::move(_address), std::move(_body), std::move(_callback));
}

async_operation_handle<result>::ptr client_impl::perform_async_request(method _method, std::string _address,
                                                                       std::string _body) {
    return perform_async_request_impl(_method, std::move(_address), std::move(_body), callback());
}

result client_impl::perform_request_impl(method _method, boost::string_view _address, boost::string_view _body) const {
    // A handle is used by one thread at a time and keeps its connections for the next request.
    CURL* curl_handle = m_easy_handles.take();
    const bool created = curl_handle == nullptr;
    if (created)
        curl_handle = curl_easy_init();
    QVD_CHECK(curl_handle != NULL);
    const easy_handle_lease lease(m_easy_handles, curl_handle);
    if (created)
        set_client_options(curl_handle);

    // Undoes the body of the handle's previous request.
    curl_easy_setopt(curl_handle, CURLOPT_HTTPGET, 1L);
    std::unique_ptr<curl_slist, curl_slist_deleter> headers;
    if (!_body.empty()) {
        headers.reset(curl_slist_append(nullptr, "content-type: application/json"));
        QVD_CHECK(headers != nullptr);
        curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(_body.size()));
        curl_easy_setopt(curl_handle, CURLOPT_POSTFIELDS, _body.data());
    }

    const char* const method_name = to_string(_method);
    std::string body;

    curl_easy_setopt(curl_handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl_handle, CURLOPT_CUSTOMREQUEST, method_name);
    curl_easy_setopt(curl_handle, CURLOPT_WRITEDATA, &body);

    std::string url;
    url.reserve(m_address.size() + _address.size());
    url.append(m_address).append(_address.data(), _address.size());
    curl_easy_setopt(curl_handle, CURLOPT_URL, url.c_str());

    if (m_disabled_methods.count(_method) != 0)
        return result(std::move(body), 200);

    const CURLcode code = curl_easy_perform(curl_handle);
    if (code != CURLE_OK)
        return result(std::string("curl_easy_perform failed:") + curl_easy_strerror(code));

    long status = 200;
    curl_easy_getinfo(curl_handle, CURLINFO_RESPONSE_CODE, &status);
    return result(std::move(body), static_cast<int>(status));
}

void client_impl::set_client_options(CURL* _curl_handle) const {
    curl_easy_setopt(_curl_handle, CURLOPT_USERAGENT, constants::project_name.c_str());
    curl_easy_setopt(_curl_handle, CURLOPT_WRITEFUNCTION, &append_body);
    curl_easy_setopt(_curl_handle, CURLOPT_TIMEOUT, static_cast<long>(m_timeout.count()));
    curl_easy_setopt(_curl_handle, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(_curl_handle, CURLOPT_FOLLOWLOCATION, 1L);
    // Redirects are followed only within HTTP, and not without end.
    curl_easy_setopt(_curl_handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(_curl_handle, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(_curl_handle, CURLOPT_SHARE, m_shared_curl_data.get_ptr());
    // The shared cookie store is used only with the cookie engine on. Set once per handle, which
    // is never reset: curl_easy_reset leaks this setting in libcurl 7.88.
    curl_easy_setopt(_curl_handle, CURLOPT_COOKIEFILE, "");
    // Time limits must not use signals on worker threads.
    curl_easy_setopt(_curl_handle, CURLOPT_NOSIGNAL, 1L);
}

result client_impl::perform_request_on_worker(method _method, boost::string_view _address,
                                              boost::string_view _body) const {
    try {
        return perform_request_impl(_method, _address, _body);
    } catch (...) {
        return result(current_exception_message());
    }
}

async_operation_handle<result>::ptr client_impl::perform_async_request_impl(method _method, std::string _address,
                                                                            std::string _body,
                                                                            callback _callback) const {
    auto request = std::allocate_shared<const async_request>(
        small_object_pool::allocator<async_request>(), async_request{_method, std::move(_address), std::move(_body)});
    auto start =
        small_object_pool::make_pooled([this, alive = std::weak_ptr<const bool>(m_alive), request = std::move(request)](
                                           handle_impl::ptr _self, std::weak_ptr<handle_impl> _weak) {
            if (alive.expired()) {
                // A handle restarted after its client ended: nothing can send the request.
                _self->return_result(result("The HTTP client no longer exists"));
                return;
            }
            // Queued on the worker loop's io_context as events_loop::post does, as a move-only job.
            boost::asio::post(m_worker_events_loop->get_io_context(), worker_job{this, std::move(_weak), request});
        });
    const auto handle = handle_impl::create(m_main_events_loop, std::move(start));
    // Stored before the start, so that no delivery can race with it whatever thread runs the loop.
    if (_callback)
        handle->set_callback(std::move(_callback));
    handle->start();
    return handle;
}

void client_impl::worker_job::operator()() const {
    // Abandoned before a worker took it: never sent.
    if (handle.expired())
        return;
    result outcome = owner->perform_request_on_worker(request->request_method, request->address, request->body);
    if (const auto receiver = handle.lock())
        receiver->return_result(std::move(outcome));
}

} // namespace qvd::libs::core::http
