#pragma once

#include <core/async_operation_handle.hpp>
#include <core/events_loop.hpp>
#include <core/impl/redis/connection_support.hpp>
#include <core/logger.hpp>
#include <core/redis/reply.hpp>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct redisAsyncContext;
struct redisReader;

namespace qvd::libs::core::redis {

// One hiredis asynchronous connection, driven by readiness waits on the events loop.
class async_context : public std::enable_shared_from_this<async_context> {
public:
    using ptr = std::shared_ptr<async_context>;
    using callback = std::function<void(reply)>;

    // A handle whose result is a connected connection, or a null pointer when connecting failed;
    // each start opens a new connection. hiredis's immediate refusal throws.
    static async_operation_handle<ptr>::ptr create(events_loop& _events_loop, const component_logger& _logger,
                                                   std::string _ip, int _port, int _db);

    // Starts connecting; hiredis's immediate refusal throws.
    async_context(events_loop& _events_loop, const component_logger& _logger, std::string _ip, int _port, int _db);
    // Releases the hiredis context: commands still pending get a nil reply. (A connection that ends
    // any other way gives them an error reply, see pending_failure.)
    ~async_context();
    async_context(const async_context&) = delete;
    async_context& operator=(const async_context&) = delete;

    // Replaces the function called once with hiredis's connection status.
    void set_connect_callback(std::function<void(int)> _callback);
    // The connection was established (0) or failed: selects the database, then tells the owner.
    void connect_callback(int _status);
    // Starts the readiness waits that hiredis asked for and that are not pending yet.
    void operate();
    void handle_read(boost::system::error_code _ec);
    void handle_write(boost::system::error_code _ec);
    // Queues one command; its reply goes to _callback on the loop's thread. When the connection
    // is lost first the reply is an error saying so, when its owner releases it a nil reply. A
    // connection that is gone throws.
    void run_command(argument_pointers& _argv, argument_lengths& _argv_len, callback _callback);

    // hiredis's event hooks.
    void add_read();
    void del_read();
    void add_write();
    void del_write();
    void cleanup();
    // hiredis released its context (failed connection or closed connection): never touch it again.
    void clear_context();
    // Keeps an exception thrown by a callback that hiredis ran, to throw once hiredis has returned.
    void keep_exception(std::exception_ptr _exception);
    // Why a command that hiredis releases without a reply got none; empty when the owner released
    // the connection.
    std::string pending_failure(const redisAsyncContext& _context) const;

private:
    // Runs one hiredis event call and throws what its callbacks threw.
    template <typename F>
    void handle_event(boost::system::error_code _ec, bool& _in_progress, F _hiredis_call);
    // Throws what a function called by hiredis kept, once hiredis has returned.
    void throw_kept_exception();
    // Reads what the server sent and hands hiredis the replies that commands wait for.
    void read();
    // How many of the bytes just read hiredis may see: all, unless they hold a reply that no
    // command waits for; then those before it, and m_unexpected_reply is set.
    std::size_t expected_part(const char* _data, std::size_t _size);
    // Ends the connection: commands still pending fail with _reason.
    void end(std::string _reason);

    struct reader_deleter {
        void operator()(redisReader* _reader) const;
    };

    events_loop& m_events_loop;
    const component_logger& m_logger;
    redisAsyncContext* m_context;
    boost::asio::ip::tcp::socket m_socket;
    int m_db;
    bool m_read_requested;
    bool m_write_requested;
    bool m_read_in_progress;
    bool m_write_in_progress;
    std::function<void(int)> m_connect_callback;
    std::shared_ptr<bool> m_context_is_alive;
    // An exception from a callback that ran inside hiredis; C frames must not be unwound.
    std::exception_ptr m_callback_exception;
    // Counts the replies in what the server sends, before hiredis sees it: a reply that no command
    // waits for would make hiredis abort the process.
    std::unique_ptr<redisReader, reader_deleter> m_reply_counter;
    std::uint64_t m_queued = 0;
    std::uint64_t m_answered = 0;
    bool m_unexpected_reply = false;
    // Set when this side ended the connection, for the commands that it fails.
    std::string m_end_reason;
    bool m_released_by_owner = false;
};

} // namespace qvd::libs::core::redis
