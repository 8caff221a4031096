#include <core/impl/http/shared_curl_data.hpp>

#include <core/exception.hpp>

#include <string>

namespace qvd::libs::core::http {

namespace {

// libcurl's global state is set up once, before the first handle of the process.
void initialize_curl() {
    static std::once_flag once;
    std::call_once(once, [] {
        const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        // Thrown from call_once, so that the next client tries again.
        if (code != CURLE_OK)
            QVD_THROW(std::string("curl_global_init failed:") + curl_easy_strerror(code));
    });
}

void check_share(CURLSHcode _code) {
    if (_code != CURLSHE_OK)
        QVD_THROW(std::string("curl_share_setopt failed:") + curl_share_strerror(_code));
}

} // namespace

shared_curl_data::shared_curl_data() {
    initialize_curl();
    m_data.reset(curl_share_init());
    QVD_CHECK(m_data != nullptr);
    CURLSH* const share = m_data.get();
    for (const curl_lock_data kind : {CURL_LOCK_DATA_COOKIE, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION})
        check_share(curl_share_setopt(share, CURLSHOPT_SHARE, kind));
    check_share(curl_share_setopt(share, CURLSHOPT_USERDATA, this));
    check_share(curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &shared_curl_data::lock));
    check_share(curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &shared_curl_data::unlock));
}

void shared_curl_data::lock(CURL* /*_handle*/, curl_lock_data _data, curl_lock_access /*_access*/,
                            void* _user) noexcept {
    static_cast<shared_curl_data*>(_user)->m_mutexes.at(static_cast<std::size_t>(_data)).lock();
}

void shared_curl_data::unlock(CURL* /*_handle*/, curl_lock_data _data, void* _user) noexcept {
    static_cast<shared_curl_data*>(_user)->m_mutexes.at(static_cast<std::size_t>(_data)).unlock();
}

} // namespace qvd::libs::core::http
