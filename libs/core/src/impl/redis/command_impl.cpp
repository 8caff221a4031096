#include <core/impl/redis/command_impl.hpp>

#include <core/async_operation_handle_impl.hpp>
#include <core/impl/redis/connection_support.hpp>

#include <utility>

namespace qvd::libs::core::redis {

command_impl::command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync,
                           async_context& _async, std::vector<std::string> _args)
    : m_events_loop(_events_loop), m_logger(_logger), m_sync(_sync), m_async(_async),
      m_data(std::allocate_shared<data>(small_object_pool::allocator<data>())) {
    data& arguments = *m_data;
    arguments.m_argv_keeper = std::move(_args);
    arguments.m_argv.reserve(arguments.m_argv_keeper.size());
    arguments.m_argv_len.reserve(arguments.m_argv_keeper.size());
    for (const std::string& word : arguments.m_argv_keeper) {
        arguments.m_argv.push_back(word.data());
        arguments.m_argv_len.push_back(word.size());
    }
}

command& command_impl::add_argument(std::string _arg) {
    data& arguments = *m_data;
    const std::string* const before = arguments.m_argv_keeper.data();
    arguments.m_argv_keeper.push_back(std::move(_arg));
    const std::string& kept = arguments.m_argv_keeper.back();
    arguments.m_argv.push_back(kept.data());
    arguments.m_argv_len.push_back(kept.size());
    // A grown vector moved the words, and a short word keeps its characters inside itself.
    if (arguments.m_argv_keeper.data() != before)
        for (size_t i = 0; i < arguments.m_argv_keeper.size(); ++i)
            arguments.m_argv[i] = arguments.m_argv_keeper[i].data();
    return *this;
}

reply command_impl::execute() { return m_sync.run_command(m_data->m_argv, m_data->m_argv_len); }

async_operation_handle<reply>::ptr command_impl::execute_async() {
    using handle_type = async_operation_handle_impl<reply>;
    // The start function holds the arguments and a weak pointer to the connection, never this
    // command: a restart may come after the command, or the whole context, is gone.
    const handle_type::ptr handle = handle_type::create(
        m_events_loop, small_object_pool::make_pooled([arguments = m_data, connection = m_async.weak_from_this()](
                                                          const std::shared_ptr<handle_type>& /*_shared*/,
                                                          std::weak_ptr<handle_type> _weak) {
            const async_context::ptr async = connection.lock();
            if (!async)
                QVD_THROW("Command: " + first_argument(arguments->m_argv, arguments->m_argv_len) + ", error");
            async->run_command(arguments->m_argv, arguments->m_argv_len,
                               small_object_pool::make_pooled([weak = std::move(_weak)](reply _reply) {
                                   if (const std::shared_ptr<handle_type> handle = weak.lock())
                                       handle->return_result(std::move(_reply));
                               }));
        }));
    handle->start();
    return handle;
}

} // namespace qvd::libs::core::redis
