#include <core/zmq/asio_socket.hpp>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/optional.hpp>
#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

namespace qvd::libs::core::zmq {

namespace {

class zmq_error_category : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "zmq"; }
    std::string message(int _value) const override { return zmq_strerror(_value); }
};

// Owns the ZeroMQ context of one io_context; the context lives on in the sockets that hold it.
class context_service : public boost::asio::execution_context::service {
public:
    static boost::asio::execution_context::id id;

    explicit context_service(boost::asio::execution_context& _owner)
        : boost::asio::execution_context::service(_owner), m_context(std::make_shared<::zmq::context_t>()) {}

    std::shared_ptr<::zmq::context_t> context() const { return m_context; }

private:
    void shutdown() override {}

    std::shared_ptr<::zmq::context_t> m_context;
};

boost::asio::execution_context::id context_service::id;

// Frames handed over in one go before the loop's other handlers get their turn.
constexpr int dispatch_batch = 64;

[[noreturn]] void throw_error(int _zmq_errno, const std::string& _what) {
    throw boost::system::system_error(make_error_code(_zmq_errno), _what);
}

} // namespace

const boost::system::error_category& error_category() noexcept {
    static const zmq_error_category category;
    return category;
}

boost::system::error_code make_error_code(int _zmq_errno) noexcept { return {_zmq_errno, error_category()}; }

std::shared_ptr<::zmq::context_t> get_context(boost::asio::io_context& _io_context) {
    return boost::asio::use_service<context_service>(_io_context).context();
}

// Everything a pending operation may still reach after the asio_socket is gone. ZMQ_FD signals
// edges only, and stops signalling once the socket has been looked at while frames are queued:
// so the socket is drained until EAGAIN and its ZMQ_EVENTS checked before every wait, and after
// every other call while a wait is pending.
struct asio_socket::state : std::enable_shared_from_this<state> {
    // Who drives the pending receive: nobody, a posted dispatch, a descriptor wait, a running dispatch.
    enum class phase { idle, posted, waiting, dispatching };
    enum class receive_result { received, would_block, failed };

    state(boost::asio::io_context& _io_context, std::shared_ptr<::zmq::context_t> _context, void* _socket)
        : io_context(_io_context), context(std::move(_context)), socket(_socket) {}

    ~state() {
        if (socket != nullptr)
            zmq_close(socket);
    }

    // With the mutex held from here to dispatch_loop.

    void check_open() const {
        if (socket == nullptr)
            throw boost::system::system_error(boost::asio::error::bad_descriptor);
    }

    // ZMQ_EVENTS, or -1 with zmq_errno set.
    int events() const {
        int value = 0;
        std::size_t size = sizeof value;
        for (;;) {
            if (zmq_getsockopt(socket, ZMQ_EVENTS, &value, &size) == 0)
                return value;
            if (zmq_errno() != EINTR)
                return -1;
        }
    }

    // After any other call on the socket: it may have swallowed the edge a pending wait waits for.
    void recheck() {
        if (current != phase::waiting)
            return;
        const int ready = events();
        if (ready >= 0 && (ready & ZMQ_POLLIN) == 0)
            return;
        // Readable, or failing: the dispatch receives the frame or reports the failure.
        ++wait_generation;
        boost::system::error_code ignored;
        descriptor->cancel(ignored);
        current = phase::posted;
        post_dispatch();
    }

    void post_dispatch() {
        boost::asio::post(io_context, [self = shared_from_this()] { self->on_posted(); });
    }

    receive_result try_receive(message& _frame, boost::system::error_code& _error) {
        for (;;) {
            if (zmq_msg_recv(_frame.native().handle(), socket, ZMQ_DONTWAIT) >= 0)
                return receive_result::received;
            const int failure = zmq_errno();
            if (failure == EINTR)
                continue;
            // EFSM: a REQ or REP socket that must send first; it becomes readable later.
            if (failure != EAGAIN && failure != EFSM) {
                _error = make_error_code(failure);
                return receive_result::failed;
            }
            const int ready = events();
            if (ready < 0) {
                _error = make_error_code(zmq_errno());
                return receive_result::failed;
            }
            if ((ready & ZMQ_POLLIN) == 0)
                return receive_result::would_block;
            if (failure == EFSM) {
                // Readable yet refused: report it rather than spin.
                _error = make_error_code(failure);
                return receive_result::failed;
            }
        }
    }

    bool start_wait(boost::system::error_code& _error) {
        if (!descriptor) {
            int fd = -1;
            std::size_t size = sizeof fd;
            if (zmq_getsockopt(socket, ZMQ_FD, &fd, &size) != 0) {
                _error = make_error_code(zmq_errno());
                return false;
            }
            // A duplicate, so that closing the descriptor never closes ZeroMQ's own.
            const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (copy < 0) {
                _error = boost::system::error_code(errno, boost::system::system_category());
                return false;
            }
            descriptor.emplace(io_context);
            descriptor->assign(copy, _error);
            if (_error) {
                ::close(copy);
                descriptor.reset();
                return false;
            }
        }
        current = phase::waiting;
        const std::uint64_t generation = ++wait_generation;
        descriptor->async_wait(boost::asio::posix::descriptor_base::wait_read,
                               [self = shared_from_this(), generation](const boost::system::error_code& _error) {
                                   self->on_wait(generation, _error);
                               });
        return true;
    }

    // Without the mutex held.

    void on_posted() {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (socket == nullptr || current != phase::posted)
                return;
            current = phase::dispatching;
        }
        dispatch_loop();
    }

    void on_wait(std::uint64_t _generation, const boost::system::error_code& _error) {
        receive_handler handler;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (socket == nullptr || current != phase::waiting || _generation != wait_generation)
                return;
            if (_error) {
                handler = std::move(pending);
                pending = nullptr;
                current = phase::idle;
            } else {
                current = phase::dispatching;
            }
        }
        if (handler) {
            message none;
            handler(_error, none);
            return;
        }
        dispatch_loop();
    }

    void dispatch_loop() {
        for (int handled = 0;; ++handled) {
            receive_handler handler;
            message frame;
            boost::system::error_code error;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (socket == nullptr)
                    return;
                if (!pending) {
                    current = phase::idle;
                    return;
                }
                // A stop from a handler holds for the frames still queued, as for any other handlers.
                if (handled == dispatch_batch || io_context.stopped()) {
                    current = phase::posted;
                    post_dispatch();
                    return;
                }
                if (try_receive(frame, error) == receive_result::would_block && start_wait(error))
                    return;
                handler = std::move(pending);
                pending = nullptr;
            }
            try {
                handler(error, frame);
            } catch (...) {
                // The handler may have asked for the next frame before its exception left the loop.
                resume_after_throw();
                throw;
            }
        }
    }

    void resume_after_throw() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (socket == nullptr || current != phase::dispatching)
            return;
        if (pending) {
            current = phase::posted;
            post_dispatch();
        } else {
            current = phase::idle;
        }
    }

    boost::asio::io_context& io_context;
    mutable std::mutex mutex;
    // Declared before the socket: the context must end after it.
    std::shared_ptr<::zmq::context_t> context;
    void* socket;
    boost::optional<boost::asio::posix::stream_descriptor> descriptor;
    receive_handler pending;
    phase current = phase::idle;
    // Raised whenever a wait stops speaking for the socket, so its completion is ignored.
    std::uint64_t wait_generation = 0;
};

namespace {

void post_aborted(boost::asio::io_context& _io_context, asio_socket::receive_handler _handler) {
    boost::asio::post(_io_context, [handler = std::move(_handler)] {
        message none;
        handler(boost::asio::error::operation_aborted, none);
    });
}

} // namespace

asio_socket::asio_socket(boost::asio::io_context& _io_context, int _type) {
    std::shared_ptr<::zmq::context_t> context = get_context(_io_context);
    void* const socket = zmq_socket(context->handle(), _type);
    if (socket == nullptr)
        throw_error(zmq_errno(), "zmq_socket");
    try {
        // Closing with frames still queued for a peer that is gone must never hang the process.
        const int linger = static_cast<int>(close_linger.count());
        if (zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger) != 0)
            throw_error(zmq_errno(), "zmq_setsockopt(ZMQ_LINGER)");
        m_state = std::make_shared<state>(_io_context, std::move(context), socket);
    } catch (...) {
        zmq_close(socket);
        throw;
    }
}

asio_socket::asio_socket(asio_socket&& _other) noexcept = default;

asio_socket& asio_socket::operator=(asio_socket&& _other) noexcept {
    if (this != &_other) {
        close();
        m_state = std::move(_other.m_state);
    }
    return *this;
}

asio_socket::~asio_socket() { close(); }

void asio_socket::connect(const std::string& _address) {
    if (!m_state)
        throw boost::system::system_error(boost::asio::error::bad_descriptor);
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->check_open();
    if (zmq_connect(m_state->socket, _address.c_str()) != 0)
        throw_error(zmq_errno(), "connect to " + _address);
}

void asio_socket::bind(const std::string& _address) {
    if (!m_state)
        throw boost::system::system_error(boost::asio::error::bad_descriptor);
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->check_open();
    if (zmq_bind(m_state->socket, _address.c_str()) != 0)
        throw_error(zmq_errno(), "bind to " + _address);
}

void asio_socket::set_option(int _option, const void* _value, std::size_t _size) {
    if (!m_state)
        throw boost::system::system_error(boost::asio::error::bad_descriptor);
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->check_open();
    const int result = zmq_setsockopt(m_state->socket, _option, _value, _size);
    const int failure = zmq_errno();
    m_state->recheck();
    if (result != 0)
        throw_error(failure, "zmq_setsockopt");
}

void asio_socket::set_option(int _option, int _value) { set_option(_option, &_value, sizeof _value); }

std::string asio_socket::last_endpoint() const {
    if (!m_state)
        throw boost::system::system_error(boost::asio::error::bad_descriptor);
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->check_open();
    char endpoint[1024];
    std::size_t size = sizeof endpoint;
    if (zmq_getsockopt(m_state->socket, ZMQ_LAST_ENDPOINT, endpoint, &size) != 0)
        throw_error(zmq_errno(), "zmq_getsockopt(ZMQ_LAST_ENDPOINT)");
    // The size counts the terminating zero.
    return std::string(endpoint, size > 0 ? size - 1 : 0);
}

void asio_socket::send(message& _message, int _flags) {
    if (!m_state)
        throw boost::system::system_error(boost::asio::error::bad_descriptor);
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->check_open();
    for (;;) {
        if (zmq_msg_send(_message.native().handle(), m_state->socket, _flags) >= 0)
            break;
        const int failure = zmq_errno();
        if (failure == EINTR)
            continue;
        m_state->recheck();
        throw_error(failure, "zmq_msg_send");
    }
    m_state->recheck();
}

bool asio_socket::try_send(message& _message, int _flags) {
    if (!m_state)
        throw boost::system::system_error(boost::asio::error::bad_descriptor);
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->check_open();
    for (;;) {
        if (zmq_msg_send(_message.native().handle(), m_state->socket, _flags | ZMQ_DONTWAIT) >= 0)
            break;
        const int failure = zmq_errno();
        if (failure == EINTR)
            continue;
        m_state->recheck();
        if (failure == EAGAIN)
            return false;
        throw_error(failure, "zmq_msg_send");
    }
    m_state->recheck();
    return true;
}

message asio_socket::receive() {
    if (!m_state)
        throw boost::system::system_error(boost::asio::error::bad_descriptor);
    const std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->check_open();
    message frame;
    for (;;) {
        if (zmq_msg_recv(frame.native().handle(), m_state->socket, 0) >= 0)
            break;
        const int failure = zmq_errno();
        if (failure == EINTR)
            continue;
        m_state->recheck();
        throw_error(failure, "zmq_msg_recv");
    }
    m_state->recheck();
    return frame;
}

void asio_socket::async_receive(receive_handler _handler) {
    if (!m_state)
        throw boost::system::system_error(boost::asio::error::bad_descriptor);
    state& data = *m_state;
    const std::lock_guard<std::mutex> lock(data.mutex);
    if (data.socket == nullptr) {
        post_aborted(data.io_context, std::move(_handler));
        return;
    }
    if (data.pending)
        throw boost::system::system_error(boost::asio::error::already_started);
    data.pending = std::move(_handler);
    // A running or queued dispatch takes it over; a wait that is pending has a handler already.
    if (data.current == state::phase::idle) {
        data.current = state::phase::posted;
        data.post_dispatch();
    }
}

boost::system::error_code asio_socket::cancel() {
    boost::system::error_code error;
    if (!m_state)
        return error;
    receive_handler handler;
    {
        const std::lock_guard<std::mutex> lock(m_state->mutex);
        handler = std::move(m_state->pending);
        m_state->pending = nullptr;
        if (m_state->current == state::phase::waiting) {
            ++m_state->wait_generation;
            m_state->current = state::phase::idle;
            m_state->descriptor->cancel(error);
        }
    }
    if (handler)
        post_aborted(m_state->io_context, std::move(handler));
    return error;
}

void asio_socket::close() {
    if (!m_state)
        return;
    receive_handler handler;
    std::shared_ptr<::zmq::context_t> context;
    {
        const std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->socket == nullptr)
            return;
        handler = std::move(m_state->pending);
        m_state->pending = nullptr;
        ++m_state->wait_generation;
        m_state->current = state::phase::idle;
        // Only the duplicate is closed here; the wait on it completes with operation_aborted.
        m_state->descriptor.reset();
        zmq_close(m_state->socket);
        m_state->socket = nullptr;
        context = std::move(m_state->context);
    }
    if (handler)
        post_aborted(m_state->io_context, std::move(handler));
    // Released outside the lock: ending the context waits for the lingering sockets.
}

} // namespace qvd::libs::core::zmq
