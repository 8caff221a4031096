#pragma once

#include <core/events_loop.hpp>
#include <core/impl/redis/async_context.hpp>
#include <core/impl/redis/sync_context.hpp>
#include <core/logger.hpp>
#include <core/redis/command.hpp>
#include <core/small_object_pool.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace qvd::libs::core::redis {

class command_impl : public command {
public:
    // A command of the words _args, taken over whole: no word is copied or moved on its own.
    command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync, async_context& _async,
                 std::vector<std::string> _args);

    // Commands are made and dropped once per request: their memory comes from the pool.
    static void* operator new(std::size_t _size) { return small_object_pool::allocate(_size); }
    static void operator delete(void* _block, std::size_t _size) noexcept {
        small_object_pool::deallocate(_block, _size);
    }

    command& add_argument(std::string _arg) override;
    reply execute() override;
    // restart of the handle sends the same arguments again; it needs neither this command nor a
    // live context, and fails like a refused command once the connection is gone.
    async_operation_handle<reply>::ptr execute_async() override;

private:
    // The arguments, shared with the handles of execute_async.
    struct data {
        // One block for all the words; m_argv is pointed again at them whenever it moves them.
        std::vector<std::string> m_argv_keeper;
        argument_pointers m_argv;
        argument_lengths m_argv_len;
    };

    events_loop& m_events_loop;
    const component_logger& m_logger;
    sync_context& m_sync;
    async_context& m_async;
    std::shared_ptr<data> m_data;
};

} // namespace qvd::libs::core::redis
