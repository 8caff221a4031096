#include <core/impl/redis/sync_context.hpp>

#include <core/impl/redis/connection_support.hpp>

#include <hiredis/hiredis.h>

#include <string>
#include <sys/time.h>

namespace qvd::libs::core::redis {

sync_context::sync_context(events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip,
                           int _port, int _db)
    : m_events_loop(_events_loop), m_logger(_logger) {
    ignore_broken_pipes();
    const timeval limit{1, 500000};
    m_context_ptr.reset(redisConnectWithTimeout(_ip.to_string().c_str(), _port, limit));
    if (!m_context_ptr)
        QVD_THROW("Connection error: can't allocate redis context");
    if (m_context_ptr->err != 0)
        QVD_THROW(std::string("Connection error: ") + m_context_ptr->errstr);

    // Choosing the database is held to the same limit, since it runs on the loop's thread: a server
    // that accepts and never answers must not freeze the loop. `execute` then waits without limit.
    if (redisSetTimeout(m_context_ptr.get(), limit) != REDIS_OK)
        QVD_THROW(std::string("Connection error: ") + m_context_ptr->errstr);
    const std::string db = std::to_string(_db);
    argument_pointers argv{"SELECT", db.c_str()};
    argument_lengths argv_len{6, db.size()};
    run_command(argv, argv_len);
    if (redisSetTimeout(m_context_ptr.get(), timeval{0, 0}) != REDIS_OK)
        QVD_THROW(std::string("Connection error: ") + m_context_ptr->errstr);
}

sync_context::~sync_context() = default;

reply sync_context::run_command(argument_pointers& _argv, argument_lengths& _argv_len) {
    check_arguments(_argv, _argv_len);
    void* const raw =
        redisCommandArgv(m_context_ptr.get(), static_cast<int>(_argv.size()), _argv.data(), _argv_len.data());
    // No reply at all means the connection failed; hiredis keeps the reason in the context.
    if (raw == nullptr)
        QVD_THROW("Command: " + first_argument(_argv, _argv_len) + ", error: " + m_context_ptr->errstr);
    reply result(static_cast<redisReply*>(raw));
    if (result.get_type() == reply_type::ERROR)
        QVD_THROW("Command: " + first_argument(_argv, _argv_len) + ", error: " + result.to_string());
    return result;
}

void sync_context::context_deleter::operator()(redisContext* _context) const { redisFree(_context); }

} // namespace qvd::libs::core::redis
