#pragma once

// What the tests on a server of their own share: the server with the runtime database "rt" and
// the column store "cs", and plain sessions to watch and hold the column-store lock.

#include "support/mariadb_server.hpp"

#include <mariadb_client/connection.hpp>

#include <string>
#include <vector>

namespace qvd::db_test {

// Both databases, with their tables, on a server of the test's own started with the given options.
class own_mariadb {
public:
    explicit own_mariadb(std::vector<std::string> _options);

    const test_support::mariadb_endpoint& endpoint() const { return m_server.endpoint(); }
    std::string count(const std::string& _table, const std::string& _database) const;

private:
    test_support::private_mariadb_server m_server;
};

// A plain session, connected, in _database.
mariadb::connection_ref open_session(const test_support::mariadb_endpoint& _endpoint, const std::string& _database);

// Positions 1 to _count of one object, a second apart, in the runtime database.
void insert_positions(const test_support::mariadb_endpoint& _endpoint, int _count);

// Whether the session took the named lock (a literal) without waiting.
bool takes_lock(mariadb::connection& _session, const std::string& _lock);

bool session_alive(const test_support::mariadb_endpoint& _endpoint, const std::string& _id);

} // namespace qvd::db_test
