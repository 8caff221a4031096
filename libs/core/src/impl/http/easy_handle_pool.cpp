#include <core/impl/http/easy_handle_pool.hpp>

namespace qvd::libs::core::http {

CURL* easy_handle_pool::take() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_idle.empty())
        return nullptr;
    CURL* const handle = m_idle.back().release();
    m_idle.pop_back();
    return handle;
}

void easy_handle_pool::give_back(CURL* _handle) noexcept {
    easy_handle handle(_handle);
    try {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(std::move(handle));
    } catch (...) {
        // Without room to keep it, the handle and its connections are closed.
    }
}

} // namespace qvd::libs::core::http
