#pragma once

#include <mariadb_client/last_error.hpp>
#include <mariadb_client/transaction.hpp>
#include <mariadb_client/types.hpp>

#include <mysql.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace mariadb {

// One client handle over an account: connects on demand, pings before every operation and
// connects again on a fresh handle when the link is gone, restoring the session state it had set;
// while a transaction is open a lost link fails instead.
class connection : public last_error {
public:
    // Seconds an attempt to reach the server may take unless the account sets its own.
    static constexpr unsigned default_connect_timeout = 10;

    virtual ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // A new, unconnected connection over the account.
    static connection_ref create(const account_ref& _account);

    // Ensures a working link; returns true or throws exception::connection.
    bool connect();
    // True when a handle exists and answers a ping; never connects.
    bool connected();
    // Closes the handle, if any.
    void disconnect();
    // The server's id of the session on the current link, 0 without one; never connects.
    u64 thread_id() const;
    // Safe from any thread: aborts the call blocked on the link now, if any, and makes every
    // later operation fail at once with exception::connection instead of connecting again.
    // Not for accounts that set MYSQL_OPT_RECONNECT, whose handle the library replaces within a call.
    void cancel();

    // The database last selected with success.
    const std::string& schema() const { return m_schema; }
    // The character set in force on the session.
    const std::string& charset() const { return m_charset; }
    // Connects, then selects the default database.
    bool set_schema(const std::string& _schema);
    // Connects, then sets the session's character set (kept across reconnects).
    bool set_charset(const std::string& _value);

    account_ref account() const { return m_account; }
    // The auto-commit mode last applied on the server.
    bool auto_commit() const { return m_auto_commit; }
    // Applies the auto-commit mode (kept across reconnects); no server call when unchanged.
    bool set_auto_commit(bool _auto_commit);

    // Runs one or more statements and returns the summed affected rows of those without a result set.
    u64 execute(const std::string& _query);
    // Runs the text and returns the id that its first statement generated (0 when none).
    u64 insert(const std::string& _query);
    // Runs a selection and returns its result set, which must not outlive the connection.
    result_set_ref query(const std::string& _query);
    // Connects, then prepares the text as a statement with positional parameters ("?").
    statement_ref create_statement(const std::string& _query);
    // Connects, then starts a transaction; one transaction at a time (std::logic_error otherwise).
    transaction_ref create_transaction(isolation::level _level, bool _consistent_snapshot);

protected:
    explicit connection(const account_ref& _account);

private:
    friend class statement;
    friend class transaction;

    [[noreturn]] void fail_handle(const char* _function, unsigned _line);
    [[noreturn]] void fail_handle_closed(const char* _function, unsigned _line);
    // A link lost while a transaction is open: closes the handle and throws, never reconnecting.
    [[noreturn]] void fail_lost_transaction(unsigned _line);
    // Ties the open transaction to the current session: the client library's own reconnect is
    // off until release_session, which gives the handle its setting back.
    void hold_session(transaction* _transaction);
    void release_session();
    void open_handle();
    void release_stream();
    void drain_pending();
    void apply_session_state();
    // mysql_real_connect on the open handle, ended early by cancel(); false on a failure left in the handle.
    bool real_connect(const char* _socket);
    // Runs a text and reads all its results; false on a failure left in the handle.
    bool run_all(const std::string& _query, u64& _affected);
    // Reads the results that follow the current one; false on a failure left in the handle.
    bool read_following(u64& _affected);
    // Keeps a duplicate of the new link's socket for cancel(); false with errno set when it cannot.
    bool keep_cancel_socket();
    // Closes the duplicate; with _only_when_dropped, only once the library has let its socket go.
    void close_cancel_socket(bool _only_when_dropped);

    MYSQL* m_mysql = nullptr;
    bool m_auto_commit = true;
    std::string m_schema;
    std::string m_charset;
    account_ref m_account;
    // Mode chosen through set_auto_commit, restored on reconnect; else the account's mode rules.
    std::optional<bool> m_chosen_auto_commit;
    // A streamed result still reading from the handle.
    std::weak_ptr<result_set> m_streaming;
    // Lives as long as the current link; statements hold it weakly to notice a closed or new link.
    std::shared_ptr<const void> m_link;
    // The open transaction, if any.
    transaction* m_transaction = nullptr;
    // The handle's own reconnect setting from before the open transaction.
    my_bool m_reconnect = 0;
    // What cancel() touches, under m_cancel_mutex, never the handle: the client library may close
    // and free the handle's network layer inside a failing call without any lock of ours. A
    // duplicate of the link's socket, made after each connect and closed only here under the lock,
    // keeps the socket open, so its shutdown reaches the link and never another descriptor's.
    std::mutex m_cancel_mutex;
    int m_cancel_socket = -1;
    bool m_cancelled = false;
    // Set by cancel(): wakes a connect that waits on the server.
    const int m_cancel_event;
};

} // namespace mariadb
