#include "daemon_fixture.hpp"

#include <stdexcept>

namespace qvd::app_test {

session::session(const test_support::mariadb_endpoint& _endpoint, const std::string& _database)
    : m_handle(mysql_init(nullptr)) {
    if (mysql_real_connect(m_handle.get(), _endpoint.host.c_str(), _endpoint.user.c_str(), _endpoint.password.c_str(),
                           _database.c_str(), _endpoint.port, nullptr, 0) == nullptr)
        throw std::runtime_error(std::string("connect: ") + mysql_error(m_handle.get()));
}

void session::run(const std::string& _sql) {
    if (mysql_query(m_handle.get(), _sql.c_str()) != 0)
        throw std::runtime_error(_sql + ": " + mysql_error(m_handle.get()));
    if (MYSQL_RES* result = mysql_store_result(m_handle.get()))
        mysql_free_result(result);
}

void daemon_test::SetUp() {
    LOMVERA_REQUIRE_MARIADB();
    const std::string name = test_support::test_database_name(m_prefix);
    const test_support::mariadb_endpoint& server = test_support::shared_mariadb();
    m_runtime = test_support::fresh_database(name + "_rt");
    m_store = test_support::fresh_database(name + "_dw");
    test_support::run_sql_file(server, "tests/fixtures/runtime_schema.sql", m_runtime);
    test_support::run_sql_file(server, "tests/fixtures/column_store_schema.sql", m_store);

    m_settings.persistent_data_dir = m_directory.path() + "/";
    m_settings.pidfile = m_directory.file("lomvera.pid");
    m_settings.port = server.port;
    m_settings.host = server.host;
    m_settings.runtime_database = m_runtime;
    m_settings.store_database = m_store;
    m_settings.debug_port = m_log_stream.endpoint();
}

std::unique_ptr<daemon_process> daemon_test::start_daemon(std::vector<std::string> _arguments,
                                                          std::optional<rlim_t> _file_size_limit) {
    write_file(m_directory.file("config.json"), config_text(m_settings));
    _arguments.push_back("-c");
    _arguments.push_back(m_directory.file("config.json"));
    return std::make_unique<daemon_process>(_arguments, m_directory.path(), _file_size_limit);
}

} // namespace qvd::app_test
