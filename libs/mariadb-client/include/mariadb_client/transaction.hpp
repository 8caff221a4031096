#pragma once

#include <mariadb_client/types.hpp>

#include <string>
#include <vector>

namespace mariadb {

namespace isolation {

// Isolation levels of a transaction.
enum level { repeatable_read = 0, read_committed = 1, read_uncommitted = 2, serializable = 3 };

} // namespace isolation

// A transaction on one connection: started when made, rolled back when destroyed uncommitted.
// While it is open the connection never reconnects, not even by the client library's own
// reconnect option: a lost link fails every later operation, the commit included, until the
// transaction is destroyed.
class transaction {
public:
    virtual ~transaction();
    transaction(const transaction&) = delete;
    transaction& operator=(const transaction&) = delete;

    // Commits; does nothing once committed. Throws when the commit fails or the link was lost.
    void commit();
    // A new save point; null once committed.
    save_point_ref create_save_point();

private:
    friend class connection;
    friend class save_point;

    // Runs the isolation and the start statement on the connection.
    transaction(connection* _connection, isolation::level _level, bool _consistent_snapshot);

    // Takes the save point out of the list with every later one, which the server forgets with it.
    void remove_save_point(save_point* _save_point);
    // Detaches every save point and forgets the connection.
    void detach();
    // Throws when the connection went away under the transaction.
    void check_not_lost(const char* _function) const;

    connection* m_connection;
    std::vector<save_point*> m_save_points;
    // True once the connection was destroyed while the transaction was open.
    bool m_lost = false;
};

// A named save point inside a transaction ("SP1", "SP2", ...): released by commit, rolled back
// to when destroyed while its transaction is open.
class save_point {
public:
    virtual ~save_point();
    save_point(const save_point&) = delete;
    save_point& operator=(const save_point&) = delete;

    // Releases the save point, keeping its changes in the transaction; throws when that fails.
    void commit();
    const std::string& name() const { return m_name; }

private:
    friend class transaction;

    // Names the save point and sets it on the transaction's connection.
    explicit save_point(transaction* _transaction);

    transaction* m_transaction;
    std::string m_name;
};

} // namespace mariadb
