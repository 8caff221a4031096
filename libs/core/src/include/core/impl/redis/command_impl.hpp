#pragma once

#include <core/events_loop.hpp>
#include <core/impl/redis/async_context.hpp>
#include <core/impl/redis/sync_context.hpp>
#include <core/logger.hpp>
#include <core/redis/command.hpp>

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace qvd::libs::core::redis {

class command_impl : public command {
public:
    command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync,
                 async_context& _async);

    // Makes room for _count arguments.
    void reserve(size_t _count);
    command& add_argument(std::string _arg) override;
    reply execute() override;
    // restart of the handle sends the same arguments again; it needs neither this command nor a
    // live context, and fails like a refused command once the connection is gone.
    async_operation_handle<reply>::ptr execute_async() override;

private:
    // The arguments, shared with the handles of execute_async.
    struct data {
        // A list, so that adding an argument never moves the earlier ones.
        std::list<std::string> m_argv_keeper;
        std::vector<const char*> m_argv;
        std::vector<size_t> m_argv_len;
    };

    events_loop& m_events_loop;
    const component_logger& m_logger;
    sync_context& m_sync;
    async_context& m_async;
    std::shared_ptr<data> m_data;
};

} // namespace qvd::libs::core::redis
