#pragma once

#include <core/async_operation_handle.hpp>
#include <core/async_operation_handle_impl.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/http/client.hpp>
#include <core/impl/http/easy_handle_pool.hpp>
#include <core/impl/http/shared_curl_data.hpp>
#include <core/logger.hpp>
#include <core/small_object_pool.hpp>

#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qvd::libs::core::http {

class client_impl : public client {
public:
    // _num_threads worker threads run the asynchronous requests; it must be at least 1.
    client_impl(events_loop& _main_events_loop, core& _core, const component_logger& _logger,
                const std::string& _address, std::chrono::seconds _timeout,
                const std::vector<method>& _disabled_methods, int _num_threads);
    // Waits for the requests in progress; those still queued are sent from here.
    ~client_impl() override;

    result perform_request(method _method, boost::string_view _address) override;
    result perform_request(method _method, boost::string_view _address, boost::string_view _body) override;
    async_operation_handle<result>::ptr perform_async_request(method _method, std::string _address,
                                                              callback _callback) override;
    async_operation_handle<result>::ptr perform_async_request(method _method, std::string _address, std::string _body,
                                                              callback _callback) override;
    async_operation_handle<result>::ptr perform_async_request(method _method, std::string _address,
                                                              std::string _body) override;

private:
    using handle_impl = async_operation_handle_impl<result>;

    // What an asynchronous request sends, kept for its restarts.
    struct async_request {
        method request_method;
        std::string address;
        std::string body;
    };

    // One asynchronous request queued on the worker loop; it keeps only a weak pointer to its handle.
    struct worker_job {
        // Asio takes the memory of the queued job from here.
        using allocator_type = small_object_pool::allocator<void>;

        const client_impl* owner;
        std::weak_ptr<handle_impl> handle;
        std::shared_ptr<const async_request> request;

        allocator_type get_allocator() const noexcept { return {}; }
        void operator()() const;
    };

    // Releases the worker loop's work, stops it and joins its threads.
    void stop_workers() noexcept;
    // The options that every request of this client shares, set once on a new easy handle.
    void set_client_options(CURL* _curl_handle) const;
    result perform_request_impl(method _method, boost::string_view _address, boost::string_view _body) const;
    // As perform_request_impl, with a failure turned into a result carrying its message.
    result perform_request_on_worker(method _method, boost::string_view _address, boost::string_view _body) const;
    // A started handle; _callback, when set, is in place before the start.
    async_operation_handle<result>::ptr perform_async_request_impl(method _method, std::string _address,
                                                                   std::string _body, callback _callback) const;

    events_loop& m_main_events_loop;
    const component_logger& m_logger;
    const std::string m_address;
    const std::chrono::seconds m_timeout;
    const std::set<method> m_disabled_methods;
    shared_curl_data m_shared_curl_data;
    // Before the worker loop, whose destruction may still run queued requests.
    mutable easy_handle_pool m_easy_handles;
    // Watched by the handles, which may outlive the client and be restarted.
    const std::shared_ptr<const bool> m_alive;
    events_loop::ptr m_worker_events_loop;
    events_loop::work::ptr m_worker_events_loop_work;
    boost::asio::thread_pool m_worker_thread_pool;
};

} // namespace qvd::libs::core::http
