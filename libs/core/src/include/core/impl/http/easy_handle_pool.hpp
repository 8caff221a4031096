#pragma once

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <vector>

namespace qvd::libs::core::http {

// Idle libcurl easy handles of one client. A handle keeps its options and its open connections
// between requests and is used by one thread at a time, so connections are reused without
// sharing libcurl's connection cache between threads.
class easy_handle_pool {
public:
    easy_handle_pool() = default;
    easy_handle_pool(const easy_handle_pool&) = delete;
    easy_handle_pool& operator=(const easy_handle_pool&) = delete;

    // The most recently returned idle handle; null when none is idle.
    CURL* take();
    // Hands a handle back for the next request; it is cleaned up with the pool.
    void give_back(CURL* _handle) noexcept;

private:
    struct curl_easy_deleter {
        void operator()(CURL* _handle) const { curl_easy_cleanup(_handle); }
    };
    using easy_handle = std::unique_ptr<CURL, curl_easy_deleter>;

    std::mutex m_mutex;
    std::vector<easy_handle> m_idle;
};

} // namespace qvd::libs::core::http
