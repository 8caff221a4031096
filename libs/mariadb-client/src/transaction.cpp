#include <mariadb_client/connection.hpp>
#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/last_error.hpp>
#include <mariadb_client/transaction.hpp>

#include <errmsg.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <stdexcept>

namespace mariadb {

namespace {

const char* const g_isolation_level[] = {
    "SET TRANSACTION ISOLATION LEVEL REPEATABLE READ;",
    "SET TRANSACTION ISOLATION LEVEL READ COMMITTED;",
    "SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED;",
    "SET TRANSACTION ISOLATION LEVEL SERIALIZABLE;",
};

const char* const g_consistent_snapshot[] = {"START TRANSACTION;", "START TRANSACTION WITH CONSISTENT SNAPSHOT;"};

// Numbers the save points of the whole process; atomic so that names stay unique across threads.
std::atomic<u64> g_save_point_id{0};

} // namespace

transaction::transaction(connection* _connection, isolation::level _level, bool _consistent_snapshot)
    : m_connection(_connection) {
    if (_level < isolation::repeatable_read || _level > isolation::serializable)
        throw std::invalid_argument("Unknown isolation level");
    // Held before the start, so that the transaction begins on the session it keeps to its end.
    m_connection->hold_session(this);
    try {
        // One text: a reconnect between the two would start the transaction without its level.
        m_connection->execute(std::string(g_isolation_level[_level]) +
                              g_consistent_snapshot[_consistent_snapshot ? 1 : 0]);
    } catch (...) {
        m_connection->release_session();
        throw;
    }
}

transaction::~transaction() {
    if (!m_connection)
        return;
    connection& owner = *m_connection;
    // Without a handle the session is gone, and the server has rolled its work back already.
    if (owner.m_mysql) {
        owner.release_stream();
        owner.drain_pending();
        if (mysql_rollback(owner.m_mysql) != 0) {
            owner.m_last_error_no = mysql_errno(owner.m_mysql);
            owner.m_last_error = mysql_error(owner.m_mysql);
            report_error(owner.m_last_error_no, owner.m_last_error, "rollback", __FILE__, __LINE__);
            // Ending the session makes the server roll back what the statement could not; the
            // transaction must never stay open for the statements that follow.
            owner.disconnect();
        }
    }
    if (owner.m_transaction == this)
        owner.release_session();
    detach();
}

void transaction::check_not_lost(const char* _function) const {
    if (!m_lost)
        return;
    const std::string error = "Transaction lost: its connection was destroyed";
    report_error(CR_SERVER_LOST, error, _function, __FILE__, __LINE__);
    throw exception::connection(CR_SERVER_LOST, error);
}

void transaction::commit() {
    check_not_lost("commit");
    if (!m_connection)
        return;
    // Refuses a lost link instead of committing on a new session; ends a result still streaming.
    m_connection->connect();
    if (mysql_commit(m_connection->m_mysql) != 0)
        m_connection->fail(mysql_errno(m_connection->m_mysql), mysql_error(m_connection->m_mysql), "commit", __FILE__,
                           __LINE__);
    m_connection->release_session();
    detach();
}

save_point_ref transaction::create_save_point() {
    check_not_lost("create_save_point");
    if (!m_connection)
        return nullptr;
    const save_point_ref point(new save_point(this));
    m_save_points.push_back(point.get());
    return point;
}

void transaction::remove_save_point(save_point* _save_point) {
    const auto found = std::find(m_save_points.begin(), m_save_points.end(), _save_point);
    if (found == m_save_points.end())
        return;
    for (auto later = found + 1; later != m_save_points.end(); ++later)
        (*later)->m_transaction = nullptr;
    m_save_points.erase(found, m_save_points.end());
}

void transaction::detach() {
    for (save_point* const point : m_save_points)
        point->m_transaction = nullptr;
    m_save_points.clear();
    m_connection = nullptr;
}

save_point::save_point(transaction* _transaction)
    : m_transaction(_transaction), m_name("SP" + std::to_string(++g_save_point_id)) {
    m_transaction->m_connection->execute("SAVEPOINT " + m_name);
}

save_point::~save_point() {
    if (!m_transaction)
        return;
    connection* const owner = m_transaction->m_connection;
    m_transaction->remove_save_point(this);
    m_transaction = nullptr;
    try {
        owner->execute("ROLLBACK TO SAVEPOINT " + m_name);
    } catch (const std::exception&) {
        // Reported on standard error by the connection already; a destructor must not throw.
    }
}

void save_point::commit() {
    if (!m_transaction)
        return;
    connection* const owner = m_transaction->m_connection;
    m_transaction->remove_save_point(this);
    // Detached before the statement runs, so that a failure never leaves it pointing at a
    // transaction that no longer lists it.
    m_transaction = nullptr;
    owner->execute("RELEASE SAVEPOINT " + m_name);
}

} // namespace mariadb
