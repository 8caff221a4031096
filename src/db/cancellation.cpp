#include "db/cancellation.hpp"

#include <mariadb_client/connection.hpp>

#include <algorithm>

namespace qvd {

void cancellation::cancel() {
    // Under the lock, so that no connection is withdrawn and destroyed while it is cancelled.
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_cancelled = true;
    for (mariadb::connection* const connection : m_connections)
        connection->cancel();
}

bool cancellation::cancelled() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancelled;
}

void cancellation::enlist(mariadb::connection& _connection) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.push_back(&_connection);
    if (m_cancelled)
        _connection.cancel();
}

void cancellation::withdraw(const mariadb::connection& _connection) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), &_connection), m_connections.end());
}

void cancellation::slot::hold(mariadb::connection* _connection) {
    if (m_group == nullptr)
        return;
    if (m_held != nullptr)
        m_group->withdraw(*m_held);
    m_held = _connection;
    if (m_held != nullptr)
        m_group->enlist(*m_held);
}

} // namespace qvd
