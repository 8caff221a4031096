#pragma once

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>

namespace qvd::libs::core::http {

// The libcurl share object of one client: cookies, DNS entries and TLS sessions. Connections
// are not shared: libcurl does not support sharing them between threads.
class shared_curl_data {
public:
    // Initialises libcurl on first use; throws when libcurl cannot make the share object.
    shared_curl_data();
    shared_curl_data(const shared_curl_data&) = delete;
    shared_curl_data& operator=(const shared_curl_data&) = delete;

    CURLSH* get_ptr() const { return m_data.get(); }

private:
    struct curl_share_deleter {
        void operator()(CURLSH* _share) const { curl_share_cleanup(_share); }
    };

    static void lock(CURL* _handle, curl_lock_data _data, curl_lock_access _access, void* _user) noexcept;
    static void unlock(CURL* _handle, curl_lock_data _data, void* _user) noexcept;

    std::unique_ptr<CURLSH, curl_share_deleter> m_data;
    // One per lock-data kind, indexed by its value; every lock is exclusive.
    std::array<std::mutex, 8> m_mutexes;
};

} // namespace qvd::libs::core::http
