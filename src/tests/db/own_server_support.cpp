#include "own_server_support.hpp"

#include <mariadb_client/account.hpp>
#include <mariadb_client/result_set.hpp>

namespace qvd::db_test {

using namespace test_support;

own_mariadb::own_mariadb(std::vector<std::string> _options) : m_server(0, std::move(_options)) {
    m_server.start();
    run_sql(endpoint(), "CREATE DATABASE rt CHARACTER SET utf8mb4; CREATE DATABASE cs CHARACTER SET utf8mb4");
    run_sql_file(endpoint(), "tests/fixtures/runtime_schema.sql", "rt");
    run_sql_file(endpoint(), "tests/fixtures/column_store_schema.sql", "cs");
}

std::string own_mariadb::count(const std::string& _table, const std::string& _database) const {
    return *query_value(endpoint(), "SELECT COUNT(*) FROM " + _table, _database);
}

mariadb::connection_ref open_session(const mariadb_endpoint& _endpoint, const std::string& _database) {
    auto session = mariadb::connection::create(
        mariadb::account::create(_endpoint.host, _endpoint.user, _endpoint.password, _database, _endpoint.port));
    session->connect();
    return session;
}

void insert_positions(const mariadb_endpoint& _endpoint, const int _count) {
    run_sql(_endpoint,
            "INSERT INTO position_histories (id, trackable_id, obj_uid, ts, sublocation_uid, x) SELECT seq, 10, "
            "CONCAT('uid', seq), '2024-03-05 00:00:00' + INTERVAL seq SECOND, 'area', seq FROM seq_1_to_" +
                std::to_string(_count),
            "rt");
}

bool takes_lock(mariadb::connection& _session, const std::string& _lock) {
    const auto taken = _session.query("SELECT CAST(GET_LOCK(" + _lock + ", 0) AS CHAR) AS n");
    return taken->next() && taken->get_string("n") == "1";
}

bool session_alive(const mariadb_endpoint& _endpoint, const std::string& _id) {
    return *query_value(_endpoint, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + _id) != "0";
}

} // namespace qvd::db_test
