#pragma once

#include <core/events_loop.hpp>
#include <core/impl/redis/connection_support.hpp>
#include <core/logger.hpp>
#include <core/redis/reply.hpp>

#include <boost/utility/string_view.hpp>

#include <cstddef>
#include <memory>
#include <vector>

struct redisContext;

namespace qvd::libs::core::redis {

// One blocking hiredis connection, switched to its database; connecting and choosing the database
// each take at most 1.5 s, later commands wait as long as the server takes.
class sync_context {
public:
    sync_context(events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip, int _port,
                 int _db);
    ~sync_context();
    sync_context(const sync_context&) = delete;
    sync_context& operator=(const sync_context&) = delete;

    // Sends one command and waits for its reply; an error reply or a failed connection throws.
    reply run_command(argument_pointers& _argv, argument_lengths& _argv_len);

private:
    struct context_deleter {
        void operator()(redisContext* _context) const;
    };

    events_loop& m_events_loop;
    const component_logger& m_logger;
    std::unique_ptr<redisContext, context_deleter> m_context_ptr;
};

} // namespace qvd::libs::core::redis
