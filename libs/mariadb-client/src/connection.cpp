#include <mariadb_client/account.hpp>
#include <mariadb_client/connection.hpp>
#include <mariadb_client/exceptions.hpp>
#include <mariadb_client/result_set.hpp>
#include <mariadb_client/statement.hpp>

#include <errmsg.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace mariadb {

// Reports the handle's current error under the operation's name and throws.
#define MARIADB_FAIL(function) fail_handle(function, __LINE__)
// The same, closing the handle first.
#define MARIADB_FAIL_CLOSED(function) fail_handle_closed(function, __LINE__)

connection::connection(const account_ref& _account)
    : m_account(_account), m_cancel_event(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_cancel_event < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

connection::~connection() {
    // The session ends with the connection, and the server rolls the transaction back.
    if (m_transaction) {
        m_transaction->m_lost = true;
        m_transaction->detach();
    }
    disconnect();
    close(m_cancel_event);
}

connection_ref connection::create(const account_ref& _account) { return connection_ref(new connection(_account)); }

void connection::fail_handle(const char* _function, unsigned _line) {
    close_cancel_socket(true);
    fail(mysql_errno(m_mysql), mysql_error(m_mysql), _function, __FILE__, _line);
}

void connection::fail_handle_closed(const char* _function, unsigned _line) {
    const u32 error_no = mysql_errno(m_mysql);
    const std::string error = mysql_error(m_mysql);
    disconnect();
    fail(error_no, error, _function, __FILE__, _line);
}

void connection::open_handle() {
    m_mysql = mysql_init(nullptr);
    if (!m_mysql) {
        report_error(0, "Cannot create MYSQL object.", "connect", __FILE__, __LINE__);
        throw exception::connection(0, "Cannot create MYSQL object.");
    }
}

void connection::release_stream() {
    if (const auto streaming = m_streaming.lock())
        streaming->release();
    m_streaming.reset();
}

void connection::drain_pending() {
    // Results left unread by an earlier text would put every later command out of sync.
    for (;;) {
        if (mysql_next_result(m_mysql) != 0)
            return;
        if (MYSQL_RES* const result = mysql_store_result(m_mysql))
            mysql_free_result(result);
    }
}

bool connection::connect() {
    bool cancelled = false;
    {
        const std::lock_guard<std::mutex> lock(m_cancel_mutex);
        cancelled = m_cancelled;
    }
    if (cancelled)
        fail(CR_SERVER_LOST, "The connection was cancelled", "connect", __FILE__, __LINE__);
    if (m_mysql) {
        release_stream();
        drain_pending();
        if (mysql_ping(m_mysql) == 0)
            return true;
        // A new session would run the rest of the transaction in auto-commit.
        if (m_transaction)
            fail_lost_transaction(__LINE__);
        // Connecting an old handle again leaks its previous login data, and one out of sync
        // refuses with "already connected": every new link gets a fresh handle.
        disconnect();
    }
    if (m_transaction)
        fail_lost_transaction(__LINE__);
    if (!m_mysql)
        open_handle();

    const auto& login = *m_account;
    if (!login.ssl_key().empty()) {
        if (mysql_ssl_set(m_mysql, login.ssl_key().c_str(), login.ssl_certificate().c_str(), login.ssl_ca().c_str(),
                          login.ssl_ca_path().c_str(), login.ssl_cipher().c_str()) != 0)
            MARIADB_FAIL("connect");
        const my_bool enforce = 1;
        if (mysql_optionsv(m_mysql, MYSQL_OPT_SSL_ENFORCE, &enforce) != 0)
            MARIADB_FAIL_CLOSED("connect");
        if ((!login.ssl_ca().empty() || !login.ssl_ca_path().empty()) &&
            mysql_optionsv(m_mysql, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &enforce) != 0)
            MARIADB_FAIL_CLOSED("connect");
    }
    // An unreachable host must fail the attempt rather than block; the account may override it.
    const unsigned connect_timeout = default_connect_timeout;
    if (mysql_optionsv(m_mysql, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout) != 0)
        MARIADB_FAIL_CLOSED("connect");
    for (const auto& [option, arg] : login.connect_options())
        if (mysql_options(m_mysql, option, arg->value()) != 0)
            MARIADB_FAIL_CLOSED("connect");

    const char* const socket = login.unix_socket().empty() ? nullptr : login.unix_socket().c_str();
    if (!real_connect(socket))
        MARIADB_FAIL("connect");
    if (!keep_cancel_socket()) {
        const int error = errno;
        disconnect();
        fail(CR_UNKNOWN_ERROR, std::string("Cannot keep the socket for cancelling: ") + std::strerror(error), "connect",
             __FILE__, __LINE__);
    }
    m_link = std::make_shared<const bool>(true);
    // The client alone falls back to clear text when the server offers no TLS.
    if (!login.ssl_key().empty() && !mysql_get_ssl_cipher(m_mysql)) {
        disconnect();
        fail(CR_SSL_CONNECTION_ERROR, "TLS/SSL error: TLS is required, but the server does not support it", "connect",
             __FILE__, __LINE__);
    }
    apply_session_state();
    return true;
}

bool connection::real_connect(const char* _socket) {
    // Driven here, through the library's non-blocking interface, so that cancel() can end a
    // server that accepts and never greets; every later call on the handle blocks as usual.
    if (mysql_options(m_mysql, MYSQL_OPT_NONBLOCK, nullptr) != 0)
        return false;
    const auto& login = *m_account;
    MYSQL* connected = nullptr;
    int status =
        mysql_real_connect_start(&connected, m_mysql, login.host_name().c_str(), login.user_name().c_str(),
                                 login.password().c_str(), nullptr, login.port(), _socket, CLIENT_MULTI_STATEMENTS);
    while (status != 0) {
        const my_socket handle = mysql_get_socket(m_mysql);
        pollfd waits[2] = {{handle, 0, 0}, {m_cancel_event, POLLIN, 0}};
        if (status & MYSQL_WAIT_READ)
            waits[0].events |= POLLIN;
        if (status & MYSQL_WAIT_WRITE)
            waits[0].events |= POLLOUT;
        if (status & MYSQL_WAIT_EXCEPT)
            waits[0].events |= POLLPRI;
        const int timeout = (status & MYSQL_WAIT_TIMEOUT) ? static_cast<int>(mysql_get_timeout_value_ms(m_mysql)) : -1;
        const int ready = poll(waits, 2, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        int events = 0;
        if (ready <= 0) {
            events = MYSQL_WAIT_TIMEOUT;
        } else if (waits[1].revents != 0) {
            // Cancelled: a shut socket makes the library fail the handshake at once.
            if (handle == MARIADB_INVALID_SOCKET)
                events = MYSQL_WAIT_TIMEOUT;
            else {
                shutdown(handle, SHUT_RDWR);
                events = status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE);
                if (events == 0)
                    events = MYSQL_WAIT_TIMEOUT;
            }
        } else {
            if (waits[0].revents & (POLLIN | POLLHUP | POLLERR))
                events |= status & MYSQL_WAIT_READ;
            if (waits[0].revents & (POLLOUT | POLLHUP | POLLERR))
                events |= status & MYSQL_WAIT_WRITE;
            if (waits[0].revents & POLLPRI)
                events |= MYSQL_WAIT_EXCEPT;
            if (events == 0)
                events = status & (MYSQL_WAIT_READ | MYSQL_WAIT_WRITE | MYSQL_WAIT_EXCEPT);
        }
        status = mysql_real_connect_cont(&connected, m_mysql, events);
    }
    return connected != nullptr;
}

void connection::apply_session_state() {
    const auto& login = *m_account;

    // A new session starts in the server's mode; bring back the one this connection wants.
    unsigned int server_status = 0;
    mariadb_get_infov(m_mysql, MARIADB_CONNECTION_SERVER_STATUS, &server_status);
    m_auto_commit = (server_status & SERVER_STATUS_AUTOCOMMIT) != 0;
    const bool wanted_auto_commit = m_chosen_auto_commit.value_or(login.auto_commit());
    if (wanted_auto_commit != m_auto_commit) {
        if (mysql_autocommit(m_mysql, wanted_auto_commit) != 0)
            MARIADB_FAIL("set_auto_commit");
        m_auto_commit = wanted_auto_commit;
    }

    const std::string schema = login.schema().empty() ? m_schema : login.schema();
    if (!schema.empty()) {
        if (mysql_select_db(m_mysql, schema.c_str()) != 0)
            MARIADB_FAIL("set_schema");
        m_schema = schema;
    }

    if (!m_charset.empty() && mysql_set_character_set(m_mysql, m_charset.c_str()) != 0)
        MARIADB_FAIL("set_charset");

    for (const auto& [name, value] : login.options()) {
        u64 affected = 0;
        if (!run_all("SET " + name + "=" + value, affected))
            MARIADB_FAIL_CLOSED("connect");
    }
}

bool connection::connected() { return m_mysql && mysql_ping(m_mysql) == 0; }

u64 connection::thread_id() const { return m_mysql ? mysql_thread_id(m_mysql) : 0; }

bool connection::keep_cancel_socket() {
    const my_socket socket = mysql_get_socket(m_mysql);
    const std::lock_guard<std::mutex> lock(m_cancel_mutex);
    if (m_cancel_socket >= 0)
        close(m_cancel_socket);
    m_cancel_socket = socket == MARIADB_INVALID_SOCKET ? -1 : fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (socket != MARIADB_INVALID_SOCKET && m_cancel_socket < 0)
        return false;
    // A cancel during the connect found no link to abort: abort it now.
    if (m_cancelled && m_cancel_socket >= 0)
        shutdown(m_cancel_socket, SHUT_RDWR);
    return true;
}

void connection::close_cancel_socket(bool _only_when_dropped) {
    // The duplicate alone would keep a link that the library dropped open towards the server.
    if (_only_when_dropped && m_mysql && mysql_get_socket(m_mysql) != MARIADB_INVALID_SOCKET)
        return;
    const std::lock_guard<std::mutex> lock(m_cancel_mutex);
    if (m_cancel_socket >= 0)
        close(m_cancel_socket);
    m_cancel_socket = -1;
}

void connection::disconnect() {
    release_stream();
    m_link.reset();
    close_cancel_socket(false);
    if (m_mysql) {
        mysql_close(m_mysql);
        mysql_thread_end();
        m_mysql = nullptr;
    }
}

void connection::cancel() {
    const std::lock_guard<std::mutex> lock(m_cancel_mutex);
    m_cancelled = true;
    // Ends a connect under way; the event stays set for good.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_cancel_event, &one, sizeof one);
    // Shuts the link down: the read or write waiting on it ends in an error.
    if (m_cancel_socket >= 0)
        shutdown(m_cancel_socket, SHUT_RDWR);
}

bool connection::set_schema(const std::string& _schema) {
    connect();
    if (mysql_select_db(m_mysql, _schema.c_str()) != 0)
        MARIADB_FAIL("set_schema");
    m_schema = _schema;
    return true;
}

bool connection::set_charset(const std::string& _value) {
    connect();
    if (mysql_set_character_set(m_mysql, _value.c_str()) != 0)
        MARIADB_FAIL("set_charset");
    m_charset = _value;
    return true;
}

bool connection::set_auto_commit(bool _auto_commit) {
    if (_auto_commit == m_auto_commit) {
        m_chosen_auto_commit = _auto_commit;
        return true;
    }
    connect();
    if (_auto_commit != m_auto_commit) {
        if (mysql_autocommit(m_mysql, _auto_commit) != 0)
            MARIADB_FAIL("set_auto_commit");
        m_auto_commit = _auto_commit;
    }
    m_chosen_auto_commit = _auto_commit;
    return true;
}

bool connection::read_following(u64& _affected) {
    for (;;) {
        const int status = mysql_next_result(m_mysql);
        if (status > 0)
            return false;
        if (status != 0)
            return true;
        if (MYSQL_RES* const result = mysql_store_result(m_mysql))
            mysql_free_result(result);
        else if (mysql_field_count(m_mysql) != 0)
            return false;
        else
            _affected += mysql_affected_rows(m_mysql);
    }
}

bool connection::run_all(const std::string& _query, u64& _affected) {
    _affected = 0;
    if (mysql_real_query(m_mysql, _query.data(), _query.size()) != 0)
        return false;
    if (MYSQL_RES* const result = mysql_store_result(m_mysql))
        mysql_free_result(result);
    else if (mysql_field_count(m_mysql) != 0)
        return false; // the result set was lost while it was read
    else
        _affected += mysql_affected_rows(m_mysql);
    return read_following(_affected);
}

u64 connection::execute(const std::string& _query) {
    connect();
    u64 affected = 0;
    if (!run_all(_query, affected))
        MARIADB_FAIL("execute");
    return affected;
}

u64 connection::insert(const std::string& _query) {
    connect();
    if (mysql_real_query(m_mysql, _query.data(), _query.size()) != 0)
        MARIADB_FAIL("insert");
    const u64 id = mysql_insert_id(m_mysql);
    // Whatever else the text returns is read here so that the next command finds the handle in sync.
    if (MYSQL_RES* const result = mysql_store_result(m_mysql))
        mysql_free_result(result);
    else if (mysql_field_count(m_mysql) != 0)
        MARIADB_FAIL("insert");
    u64 affected = 0;
    if (!read_following(affected))
        MARIADB_FAIL("insert");
    return id;
}

result_set_ref connection::query(const std::string& _query) {
    connect();
    if (mysql_real_query(m_mysql, _query.data(), _query.size()) != 0)
        MARIADB_FAIL("query");
    const bool streamed = !m_account->store_result();
    MYSQL_RES* const result = streamed ? mysql_use_result(m_mysql) : mysql_store_result(m_mysql);
    // A selection that failed while its rows arrived also gives no result: never read that as empty.
    if (!result && (mysql_field_count(m_mysql) != 0 || mysql_errno(m_mysql) != 0))
        MARIADB_FAIL("query");
    const result_set_ref rows(new result_set(streamed && result ? m_mysql : nullptr, result));
    if (streamed && result) {
        m_streaming = rows;
        return rows;
    }
    u64 affected = 0;
    if (!read_following(affected))
        MARIADB_FAIL("query");
    return rows;
}

void connection::fail_lost_transaction(unsigned _line) {
    const u32 error_no = m_mysql ? mysql_errno(m_mysql) : static_cast<u32>(CR_SERVER_LOST);
    const std::string error = m_mysql ? mysql_error(m_mysql) : "the connection was closed";
    disconnect();
    fail(error_no, "Transaction lost: " + error, "connect", __FILE__, _line);
}

void connection::hold_session(transaction* _transaction) {
    // A reconnect inside the client library, in a ping or in a statement, would run the rest of
    // the transaction in auto-commit on a new session. Without it a lost session fails the ping.
    mysql_get_optionv(m_mysql, MYSQL_OPT_RECONNECT, &m_reconnect);
    const my_bool off = 0;
    if (mysql_optionsv(m_mysql, MYSQL_OPT_RECONNECT, &off) != 0)
        MARIADB_FAIL("connect");
    m_transaction = _transaction;
}

void connection::release_session() {
    m_transaction = nullptr;
    // A handle made after the session was lost has the account's setting already.
    if (m_mysql)
        mysql_optionsv(m_mysql, MYSQL_OPT_RECONNECT, &m_reconnect);
}

statement_ref connection::create_statement(const std::string& _query) {
    connect();
    return statement_ref(new statement(this, _query));
}

transaction_ref connection::create_transaction(isolation::level _level, bool _consistent_snapshot) {
    // A second START TRANSACTION would silently commit the open one.
    if (m_transaction)
        throw std::logic_error("A transaction is already open on this connection");
    connect();
    return transaction_ref(new transaction(this, _level, _consistent_snapshot));
}

} // namespace mariadb
