#include <core/impl/redis/async_context.hpp>

#include <core/async_operation_handle_impl.hpp>
#include <core/impl/redis/connection_support.hpp>
#include <core/small_object_pool.hpp>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <hiredis/read.h>

#include <boost/asio/error.hpp>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>
#include <utility>

// hiredis exports it without declaring it: it hands what its reader holds to the waiting commands.
extern "C" void redisProcessCallbacks(redisAsyncContext* ac);

namespace qvd::libs::core::redis {

namespace {

extern "C" async_context* cast(void* _privdata) { return static_cast<async_context*>(_privdata); }

// What hiredis keeps for one pending command: the receiver of its reply. One per command, so its
// memory comes from the pool.
struct pending_reply {
    async_context::callback receiver;

    static void* operator new(std::size_t _size) { return small_object_pool::allocate(_size); }
    static void operator delete(void* _block, std::size_t _size) noexcept {
        small_object_pool::deallocate(_block, _size);
    }
};

// hiredis is C: nothing may unwind through it, so every function it calls keeps what escapes.
template <typename F>
void guarded(void* _privdata, F _function) {
    try {
        _function(*cast(_privdata));
    } catch (...) {
        cast(_privdata)->keep_exception(std::current_exception());
    }
}

extern "C" {

void add_read_wrapper(void* _privdata) {
    guarded(_privdata, [](async_context& _context) { _context.add_read(); });
}

void del_read_wrapper(void* _privdata) { cast(_privdata)->del_read(); }

void add_write_wrapper(void* _privdata) {
    guarded(_privdata, [](async_context& _context) { _context.add_write(); });
}

void del_write_wrapper(void* _privdata) { cast(_privdata)->del_write(); }

void cleanup_wrapper(void* _privdata) { cast(_privdata)->cleanup(); }

void connect_callback_wrapper(const redisAsyncContext* _context, int _status) {
    guarded(_context->ev.data, [_status](async_context& _connection) {
        // hiredis releases its context when this returns after a failed connection.
        if (_status != REDIS_OK)
            _connection.clear_context();
        _connection.connect_callback(_status);
    });
}

void disconnect_callback_wrapper(const redisAsyncContext* _context, int /*_status*/) {
    // hiredis releases its context when this returns: the server closed it, or it is being freed.
    cast(_context->ev.data)->clear_context();
}

void reply_wrapper(redisAsyncContext* _context, void* _reply, void* _privdata) {
    const std::unique_ptr<pending_reply> pending(static_cast<pending_reply*>(_privdata));
    guarded(_context->ev.data, [&](async_context& _connection) {
        // Zero-filled like calloc's, but from malloc, whose per-thread cache calloc never uses:
        // this block takes the place of the shell that hiredis freed after the previous reply.
        auto* own = static_cast<redisReply*>(std::malloc(sizeof(redisReply)));
        if (own == nullptr)
            throw std::bad_alloc();
        *own = redisReply{};
        if (_reply != nullptr) {
            // hiredis frees its reply after this returns: take the text and the elements, leave
            // it the empty shell.
            auto* theirs = static_cast<redisReply*>(_reply);
            own->type = theirs->type;
            own->integer = theirs->integer;
            own->len = std::exchange(theirs->len, 0);
            own->str = std::exchange(theirs->str, nullptr);
            own->elements = std::exchange(theirs->elements, 0);
            own->element = std::exchange(theirs->element, nullptr);
        } else {
            // Commands still pending when hiredis releases the connection: a lost connection must
            // not read as a missing key.
            const std::string failure = _connection.pending_failure(*_context);
            if (failure.empty()) {
                own->type = REDIS_REPLY_NIL;
            } else {
                const std::string text = "Connection lost: " + failure;
                own->str = static_cast<char*>(std::malloc(text.size() + 1));
                if (own->str == nullptr) {
                    std::free(own);
                    throw std::bad_alloc();
                }
                std::memcpy(own->str, text.c_str(), text.size() + 1);
                own->len = text.size();
                own->type = REDIS_REPLY_ERROR;
            }
        }
        reply result(own);
        pending->receiver(std::move(result));
    });
}

} // extern "C"

} // namespace

async_operation_handle<async_context::ptr>::ptr async_context::create(events_loop& _events_loop,
                                                                      const component_logger& _logger, std::string _ip,
                                                                      int _port, int _db) {
    using handle_type = async_operation_handle_impl<ptr>;
    const handle_type::ptr handle = handle_type::create(
        _events_loop, [&_events_loop, &_logger, _ip = std::move(_ip), _port,
                       _db](const std::shared_ptr<handle_type>& /*_shared*/, std::weak_ptr<handle_type> _weak) {
            const ptr connection = std::make_shared<async_context>(_events_loop, _logger, _ip, _port, _db);
            // Until it has run, this callback is the connection's only owner.
            connection->set_connect_callback([connection, _weak](int _status) {
                const std::shared_ptr<handle_type> handle = _weak.lock();
                if (!handle)
                    return;
                ptr result = _status == REDIS_OK ? connection : nullptr;
                handle->return_result(std::move(result));
            });
        });
    handle->start();
    return handle;
}

async_context::async_context(events_loop& _events_loop, const component_logger& _logger, std::string _ip, int _port,
                             int _db)
    : m_events_loop(_events_loop), m_logger(_logger), m_context(redisAsyncConnect(_ip.c_str(), _port)),
      m_socket(_events_loop.get_io_context()), m_db(_db), m_read_requested(false), m_write_requested(false),
      m_read_in_progress(false), m_write_in_progress(false), m_context_is_alive(std::make_shared<bool>(false)),
      m_reply_counter(redisReaderCreateWithFunctions(nullptr)) {
    if (m_context == nullptr)
        QVD_THROW("Cannot open connection to the redis server: ");
    try {
        if (!m_reply_counter)
            throw std::bad_alloc();
        if (m_context->err != 0)
            QVD_THROW(std::string("Cannot open connection to the redis server: ") + m_context->errstr);
        ignore_broken_pipes();
        const int descriptor = ::dup(m_context->c.fd);
        if (descriptor < 0)
            QVD_THROW("Cannot open connection to the redis server: dup failed");
        try {
            m_socket.assign(boost::asio::ip::tcp::v4(), descriptor);
        } catch (...) {
            ::close(descriptor);
            throw;
        }
        m_context->ev.addRead = add_read_wrapper;
        m_context->ev.delRead = del_read_wrapper;
        m_context->ev.addWrite = add_write_wrapper;
        m_context->ev.delWrite = del_write_wrapper;
        m_context->ev.cleanup = cleanup_wrapper;
        m_context->ev.data = this;
        redisAsyncSetDisconnectCallback(m_context, disconnect_callback_wrapper);
        // hiredis asks for the first write wait here; it completes when the connection is made.
        redisAsyncSetConnectCallback(m_context, connect_callback_wrapper);
        throw_kept_exception();
    } catch (...) {
        m_context->ev.data = nullptr;
        m_context->ev.cleanup = nullptr;
        m_context->onDisconnect = nullptr;
        redisAsyncFree(std::exchange(m_context, nullptr));
        throw;
    }
    *m_context_is_alive = true;
}

async_context::~async_context() {
    *m_context_is_alive = false;
    m_released_by_owner = true;
    // Frees for real, also with replies pending: their callbacks get a nil reply now.
    if (m_context != nullptr)
        redisAsyncFree(std::exchange(m_context, nullptr));
    m_connect_callback = nullptr;
    if (m_callback_exception) {
        try {
            std::rethrow_exception(std::exchange(m_callback_exception, nullptr));
        } catch (...) {
            m_logger.log_exception(QVD_SOURCE_LOCATION);
        }
    }
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void async_context::set_connect_callback(std::function<void(int)> _callback) {
    m_connect_callback = std::move(_callback);
}

void async_context::connect_callback(int _status) {
    if (_status == REDIS_OK) {
        // The server's answer, error or not, is ignored; later commands follow it.
        const std::string db = std::to_string(m_db);
        argument_pointers argv{"SELECT", db.c_str()};
        argument_lengths argv_len{6, db.size()};
        run_command(argv, argv_len, [](reply) {});
    }
    if (m_connect_callback) {
        // Called once: what the callback holds is released when it returns, also when it throws.
        std::function<void(int)> callback;
        callback.swap(m_connect_callback);
        callback(_status);
    }
}

void async_context::operate() {
    if (m_read_requested && !m_read_in_progress) {
        m_read_in_progress = true;
        m_socket.async_wait(boost::asio::socket_base::wait_read,
                            [alive = m_context_is_alive, this](const boost::system::error_code& _ec) {
                                if (*alive)
                                    handle_read(_ec);
                            });
    }
    if (m_write_requested && !m_write_in_progress) {
        m_write_in_progress = true;
        m_socket.async_wait(boost::asio::socket_base::wait_write,
                            [alive = m_context_is_alive, this](const boost::system::error_code& _ec) {
                                if (*alive)
                                    handle_write(_ec);
                            });
    }
}

void async_context::handle_read(boost::system::error_code _ec) {
    handle_event(_ec, m_read_in_progress, [this] { read(); });
}

void async_context::handle_write(boost::system::error_code _ec) {
    handle_event(_ec, m_write_in_progress, [this] { redisAsyncHandleWrite(m_context); });
}

template <typename F>
void async_context::handle_event(boost::system::error_code _ec, bool& _in_progress, F _hiredis_call) {
    _in_progress = false;
    // After hiredis released its context nothing may reach it: the waits simply end.
    if (m_context == nullptr)
        return;
    if (_ec) {
        if (_ec == boost::asio::error::would_block)
            operate();
        return;
    }
    // A callback run by hiredis may release the last owner of this connection (the connect
    // callback does): it must live until hiredis has returned.
    const ptr keep = shared_from_this();
    _hiredis_call();
    // Waits go on even when a callback threw, so that the connection works on in the next run.
    if (m_context != nullptr)
        operate();
    throw_kept_exception();
}

void async_context::read() {
    // Connecting is hiredis's own business; hiredis asks for reads only once connected.
    if ((m_context->c.flags & REDIS_CONNECTED) == 0) {
        redisAsyncHandleRead(m_context);
        return;
    }
    std::array<char, 16 * 1024> buffer;
    const ssize_t received = ::read(m_context->c.fd, buffer.data(), buffer.size());
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (received < 0) {
        end(std::strerror(errno));
        return;
    }
    if (received == 0) {
        // The server closed the connection: hiredis meets the end again on its own read and fails
        // every pending command with its reason.
        redisAsyncHandleRead(m_context);
        return;
    }
    const std::size_t size = static_cast<std::size_t>(received);
    const std::size_t expected = expected_part(buffer.data(), size);
    if (expected > 0) {
        if (redisReaderFeed(m_context->c.reader, buffer.data(), expected) != REDIS_OK) {
            end(m_context->c.reader->errstr);
            return;
        }
        // Protocol errors make hiredis end the connection here, with its reason.
        redisProcessCallbacks(m_context);
    }
    if (m_unexpected_reply && m_context != nullptr)
        end("reply without a command");
}

std::size_t async_context::expected_part(const char* _data, std::size_t _size) {
    redisReader& counter = *m_reply_counter;
    // A protocol error stays in the counter: hiredis gets every byte and meets the same error.
    if (redisReaderFeed(&counter, _data, _size) != REDIS_OK)
        return _size;
    std::size_t expected = 0;
    for (;;) {
        void* parsed = nullptr;
        if (redisReaderGetReply(&counter, &parsed) != REDIS_OK || parsed == nullptr)
            return _size;
        // Every command gets exactly one reply (commands that get more are refused).
        if (m_answered == m_queued) {
            m_unexpected_reply = true;
            return expected;
        }
        ++m_answered;
        // A reply completed by these bytes ends in them: what the counter has not parsed yet follows it.
        expected = _size - (counter.len - counter.pos);
    }
}

void async_context::end(std::string _reason) {
    m_end_reason = std::move(_reason);
    // Pending commands get their failure and the disconnect callback runs inside.
    redisAsyncFree(std::exchange(m_context, nullptr));
    clear_context();
}

std::string async_context::pending_failure(const redisAsyncContext& _context) const {
    if (m_released_by_owner)
        return {};
    if (!m_end_reason.empty())
        return m_end_reason;
    if (_context.err != 0 && _context.errstr != nullptr && *_context.errstr != '\0')
        return _context.errstr;
    return "the connection ended";
}

void async_context::reader_deleter::operator()(redisReader* _reader) const { redisReaderFree(_reader); }

void async_context::throw_kept_exception() {
    if (m_callback_exception)
        std::rethrow_exception(std::exchange(m_callback_exception, nullptr));
}

void async_context::run_command(argument_pointers& _argv, argument_lengths& _argv_len, callback _callback) {
    check_arguments(_argv, _argv_len);
    if (m_context == nullptr || has_many_replies(_argv, _argv_len))
        QVD_THROW("Command: " + first_argument(_argv, _argv_len) + ", error");
    auto holder = std::make_unique<pending_reply>(pending_reply{std::move(_callback)});
    const int status = redisAsyncCommandArgv(m_context, reply_wrapper, holder.get(), static_cast<int>(_argv.size()),
                                             _argv.data(), _argv_len.data());
    // Once queued, hiredis owns the callback and hands it back to reply_wrapper.
    if (status == REDIS_OK) {
        holder.release();
        ++m_queued;
    }
    throw_kept_exception();
    if (status != REDIS_OK)
        QVD_THROW("Command: " + first_argument(_argv, _argv_len) + ", error");
}

void async_context::add_read() {
    m_read_requested = true;
    operate();
}

void async_context::del_read() { m_read_requested = false; }

void async_context::add_write() {
    m_write_requested = true;
    operate();
}

void async_context::del_write() { m_write_requested = false; }

void async_context::cleanup() {}

void async_context::clear_context() {
    m_context = nullptr;
    m_read_requested = false;
    m_write_requested = false;
    // Our duplicate would keep the dead socket open; closing it ends the pending waits.
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

void async_context::keep_exception(std::exception_ptr _exception) {
    if (!m_callback_exception)
        m_callback_exception = std::move(_exception);
}

} // namespace qvd::libs::core::redis
