#include "support/mariadb_server.hpp"

#include "support/server_process.hpp"
#include "support/eventually.hpp"

#include <mysql.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qvd::test_support {

namespace {

struct mysql_closer {
    void operator()(MYSQL* _handle) const { mysql_close(_handle); }
};
using mysql_handle = std::unique_ptr<MYSQL, mysql_closer>;

struct result_closer {
    void operator()(MYSQL_RES* _result) const { mysql_free_result(_result); }
};
using result_handle = std::unique_ptr<MYSQL_RES, result_closer>;

mysql_handle open_session(const mariadb_endpoint& _endpoint, const std::string& _database) {
    mysql_handle handle(mysql_init(nullptr));
    if (!handle)
        throw std::runtime_error("mysql_init failed");
    const unsigned timeout = 5;
    mysql_options(handle.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(handle.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const char* socket = _endpoint.socket.empty() ? nullptr : _endpoint.socket.c_str();
    const char* host = socket != nullptr ? "localhost" : _endpoint.host.c_str();
    if (mysql_real_connect(handle.get(), host, _endpoint.user.c_str(), _endpoint.password.c_str(),
                           _database.empty() ? nullptr : _database.c_str(), _endpoint.port, socket,
                           CLIENT_MULTI_STATEMENTS) == nullptr)
        throw std::runtime_error(std::string("connect: ") + mysql_error(handle.get()));
    return handle;
}

std::vector<sql_row> rows_of(MYSQL* _handle, MYSQL_RES* _result) {
    std::vector<sql_row> rows;
    const unsigned fields = mysql_num_fields(_result);
    while (MYSQL_ROW row = mysql_fetch_row(_result)) {
        const unsigned long* lengths = mysql_fetch_lengths(_result);
        sql_row values;
        for (unsigned i = 0; i < fields; ++i) {
            if (row[i] == nullptr)
                values.emplace_back();
            else
                values.emplace_back(std::string(row[i], lengths[i]));
        }
        rows.push_back(std::move(values));
    }
    if (mysql_errno(_handle) != 0)
        throw std::runtime_error(std::string("fetch: ") + mysql_error(_handle));
    return rows;
}

// Runs a text of statements and returns the rows of the last one that had a result.
std::vector<sql_row> run(const mariadb_endpoint& _endpoint, const std::string& _sql, const std::string& _database) {
    const mysql_handle handle = open_session(_endpoint, _database);
    if (mysql_real_query(handle.get(), _sql.data(), _sql.size()) != 0)
        throw std::runtime_error(std::string("query: ") + mysql_error(handle.get()) + " in: " + _sql.substr(0, 300));
    std::vector<sql_row> last;
    for (;;) {
        const result_handle result(mysql_store_result(handle.get()));
        if (result)
            last = rows_of(handle.get(), result.get());
        else if (mysql_field_count(handle.get()) != 0)
            throw std::runtime_error(std::string("store: ") + mysql_error(handle.get()));
        const int next = mysql_next_result(handle.get());
        if (next > 0)
            throw std::runtime_error(std::string("query: ") + mysql_error(handle.get()) +
                                     " in: " + _sql.substr(0, 300));
        if (next < 0)
            break;
    }
    return last;
}

bool answers(const mariadb_endpoint& _endpoint) {
    try {
        run(_endpoint, "SELECT 1", {});
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

const mariadb_endpoint& shared_mariadb() {
    static const mariadb_endpoint endpoint = [] {
        mariadb_endpoint e;
        const std::string dir = env_or("LOMVERA_TEST_MARIADB_DIR", LOMVERA_TEST_MARIADB_DIR);
        e.host = env_or("LOMVERA_TEST_MARIADB_HOST", "127.0.0.1");
        e.port = static_cast<unsigned>(
            std::stoul(env_or("LOMVERA_TEST_MARIADB_PORT", std::to_string(LOMVERA_TEST_MARIADB_PORT))));
        e.socket = env_or("LOMVERA_TEST_MARIADB_SOCKET", dir + "/mysqld.sock");
        return e;
    }();
    return endpoint;
}

std::size_t kill_sessions(const mariadb_endpoint& _endpoint, const std::string& _condition) {
    std::string ids;
    std::size_t killed = 0;
    for (const auto& row :
         run(_endpoint,
             "SELECT ID FROM information_schema.PROCESSLIST WHERE ID <> CONNECTION_ID() AND (" + _condition + ")",
             {})) {
        try {
            run(_endpoint, "KILL " + *row.at(0), {});
            ++killed;
        } catch (const std::runtime_error& e) {
            // A session that was just closing may have ended on its own in the meantime.
            if (std::string(e.what()).find("Unknown thread id") == std::string::npos)
                throw;
        }
        ids += (ids.empty() ? "" : ", ") + *row.at(0);
    }
    if (ids.empty())
        return 0;
    const std::string listed = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID IN (" + ids + ")";
    if (!eventually([&] { return run(_endpoint, listed, {}).at(0).at(0) == std::string("0"); },
                    std::chrono::seconds(30)))
        throw std::runtime_error("killed sessions still listed after 30 s: " + ids);
    return killed;
}

bool shared_mariadb_available() {
    static const bool available = answers(shared_mariadb());
    return available;
}

bool servers_required() { return env_or("LOMVERA_REQUIRE_SERVERS", "0") == "1"; }

void run_sql(const mariadb_endpoint& _endpoint, const std::string& _sql, const std::string& _database) {
    run(_endpoint, _sql, _database);
}

std::vector<sql_row> query_sql(const mariadb_endpoint& _endpoint, const std::string& _sql,
                               const std::string& _database) {
    return run(_endpoint, _sql, _database);
}

std::optional<std::string> query_value(const mariadb_endpoint& _endpoint, const std::string& _sql,
                                       const std::string& _database) {
    const auto rows = run(_endpoint, _sql, _database);
    if (rows.empty() || rows.front().empty())
        throw std::runtime_error("no row for: " + _sql);
    return rows.front().front();
}

void run_sql_file(const mariadb_endpoint& _endpoint, const std::string& _path, const std::string& _database) {
    const std::string path = !_path.empty() && _path.front() == '/' ? _path : source_path(_path);
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::stringstream text;
    text << in.rdbuf();
    run(_endpoint, text.str(), _database);
}

std::string fresh_database(const std::string& _name) {
    run(shared_mariadb(),
        "DROP DATABASE IF EXISTS `" + _name + "`; CREATE DATABASE `" + _name +
            "` CHARACTER SET utf8mb4 COLLATE utf8mb4_bin",
        {});
    return _name;
}

std::string test_database_name(const std::string& _prefix) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    return _prefix + std::to_string(std::hash<std::string>{}(name) % 100000000);
}

void drop_database(const std::string& _name) {
    if (!_name.empty())
        run(shared_mariadb(), "DROP DATABASE IF EXISTS " + _name, {});
}

std::string source_path(const std::string& _relative) {
    return env_or("LOMVERA_SOURCE_DIR", LOMVERA_SOURCE_DIR) + "/" + _relative;
}

std::string binary_path(const std::string& _relative) {
    return env_or("LOMVERA_BINARY_DIR", LOMVERA_BINARY_DIR) + "/" + _relative;
}

unsigned free_tcp_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

private_mariadb_server::private_mariadb_server(unsigned _port, std::vector<std::string> _extra_options)
    : m_dir(make_scratch_directory("lomvera-mariadb")), m_extra_options(std::move(_extra_options)) {
    m_endpoint.port = _port != 0 ? _port : free_tcp_port();
    m_endpoint.socket = m_dir + "/mysqld.sock";
}

private_mariadb_server::~private_mariadb_server() {
    try {
        stop();
    } catch (...) {
    }
    remove_directory(m_dir);
}

void private_mariadb_server::start() {
    if (running())
        return;
    if (!m_initialised) {
        // The first start creates the accounts through the shared start script.
        m_pid = start_server_script("private MariaDB server", "scripts/test-mariadb", m_dir + "/server",
                                    m_endpoint.port, m_extra_options, "mariadbd.pid");
        m_endpoint.socket = m_dir + "/server/mysqld.sock";
        m_initialised = true;
        return;
    }
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const std::string dir = m_dir + "/server";
        std::vector<std::string> args = {"mariadbd",
                                         "--no-defaults",
                                         "--user=root",
                                         "--datadir=" + dir + "/data",
                                         "--tmpdir=" + dir + "/tmp",
                                         "--socket=" + dir + "/mysqld.sock",
                                         "--port=" + std::to_string(m_endpoint.port),
                                         "--bind-address=127.0.0.1",
                                         "--pid-file=" + dir + "/mariadbd.pid",
                                         "--default-time-zone=+00:00",
                                         "--log-error=" + dir + "/error.log",
                                         "--innodb-buffer-pool-size=64M"};
        args.insert(args.end(), m_extra_options.begin(), m_extra_options.end());
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::setsid();
        ::execvp("mariadbd", argv.data());
        ::_exit(127);
    }
    m_pid = pid;
    for (int i = 0; i < 600; ++i) {
        if (answers(m_endpoint))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("private MariaDB server did not answer after a restart");
}

bool private_mariadb_server::running() const { return m_pid > 0 && !process_gone(m_pid); }

void private_mariadb_server::stop() {
    if (!running())
        return;
    ::kill(m_pid, SIGTERM);
    // A frozen server acts on the signal only once it runs again.
    ::kill(m_pid, SIGCONT);
    wait_for_end(m_pid);
    m_pid = -1;
}

void private_mariadb_server::kill() {
    if (!running())
        return;
    ::kill(m_pid, SIGKILL);
    wait_for_end(m_pid);
    m_pid = -1;
}

namespace {
// True when every thread of the process has stopped. SIGSTOP stops the threads one by one: a
// thread that a query wakes before its turn still answers it.
bool all_threads_stopped(int _pid) {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(_pid) + "/task", error)) {
        std::ifstream stat(task.path() / "stat");
        const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // "tid (name) S ...": the name may hold blanks and parentheses.
        const std::size_t name_end = line.rfind(')');
        if (name_end == std::string::npos || name_end + 2 >= line.size())
            continue;
        const char state = line[name_end + 2];
        if (state != 'T' && state != 't')
            return false;
    }
    return !error;
}
} // namespace

void private_mariadb_server::pause() {
    if (!running())
        return;
    ::kill(m_pid, SIGSTOP);
    for (int i = 0; i < 1000 && !all_threads_stopped(m_pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void private_mariadb_server::resume() {
    if (running())
        ::kill(m_pid, SIGCONT);
}

} // namespace qvd::test_support
