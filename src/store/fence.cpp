// The recovery fence: the named lock that keeps a probe from racing an earlier session's INSERT.
#include "store/store_impl.hpp"

#include <core/exception.hpp>

#include <mariadb_client/connection.hpp>
#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/result_set.hpp>

#include <mysqld_error.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace qvd::store {

std::string column_store_impl::fence_lock_name(const std::string& _schema) {
    const std::string name = "lomvera." + _schema;
    constexpr std::size_t longest = 64;
    if (name.size() <= longest)
        return name;
    // A long name is cut and told apart by a hash that every build computes alike (64-bit FNV-1a).
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : _schema) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    static const char digits[] = "0123456789abcdef";
    std::string suffix = ".";
    for (int shift = 60; shift >= 0; shift -= 4)
        suffix += digits[(hash >> shift) & 0x0f];
    std::string cut = name.substr(0, longest - suffix.size());
    // Whole UTF-8 characters only.
    while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xc0) == 0x80)
        cut.pop_back();
    if (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0x80) != 0)
        cut.pop_back();
    return cut + suffix;
}

void column_store_impl::fence_earlier_sessions(libs::core::source_location _source_location) const {
    // A killed daemon's INSERT goes on on the server and commits seconds later; a probe made before
    // that would find nothing and insert the batch a second time. Every column-store session of
    // the daemon holds the lock from its connect on, so a holder other than this session is an
    // earlier one that may still insert, whoever the process list shows as its user.
    // Read as texts: the server's integer types of these functions differ.
    const std::string holder_query =
        "SELECT CAST(IS_USED_LOCK(" + m_fence_lock + ") AS CHAR) AS holder, CAST(CONNECTION_ID() AS CHAR) AS me";
    // At most a second per round, so that a refused KILL is tried again.
    const std::string take_query = "SELECT CAST(GET_LOCK(" + m_fence_lock + ", 1) AS CHAR) AS taken";
    const auto deadline = std::chrono::steady_clock::now() + fence_wait_limit;
    std::string ended;
    for (;;) {
        std::string holder;
        {
            const mariadb::result_set_ref result = query(holder_query, _source_location);
            if (!result->next())
                throw libs::core::exception("the column-store lock gave no answer", _source_location);
            if (!result->get_is_null("holder")) {
                holder = result->get_string("holder");
                if (holder == result->get_string("me"))
                    return;
            }
        }
        if (!holder.empty()) {
            if (holder != ended)
                get_logger().warning("ending column-store session %1%, an earlier holder of lock %2%, before the "
                                     "probe") %
                    holder % m_fence_lock;
            try {
                // Allowed on the account's own sessions; the server rolls its statement back.
                m_connection->execute("KILL " + holder);
            } catch (const mariadb::exception::connection& e) {
                // Gone already; or not the account's to end, just now (it runs a trigger of
                // another definer) or at all (another account's): waited for instead.
                if (e.error_id() != ER_NO_SUCH_THREAD && e.error_id() != ER_KILL_DENIED_ERROR)
                    throw libs::core::exception(failure_text(e), _source_location);
            }
            ended = holder;
        }
        const mariadb::result_set_ref taken = query(take_query, _source_location);
        if (taken->next() && !taken->get_is_null("taken") && taken->get_string("taken") == "1")
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            throw libs::core::exception("column-store session " + (holder.empty() ? std::string("--") : holder) +
                                            " still holds the lock " + m_fence_lock +
                                            ": cannot tell whether the journalled batch arrived",
                                        _source_location);
    }
}

void column_store_impl::hold_fence(libs::core::source_location _source_location) const {
    if (m_fenced_session != 0 && m_connection->thread_id() == m_fenced_session)
        return;
    fence_earlier_sessions(_source_location);
    m_fenced_session = m_connection->thread_id();
}

} // namespace qvd::store
