#include <core/impl/redis/command_impl.hpp>

#include <core/async_operation_handle_impl.hpp>
#include <core/impl/redis/connection_support.hpp>

#include <utility>

namespace qvd::libs::core::redis {

command_impl::command_impl(events_loop& _events_loop, const component_logger& _logger, sync_context& _sync,
                           async_context& _async)
    : m_events_loop(_events_loop),
      m_logger(_logger),
      m_sync(_sync),
      m_async(_async),
      m_data(std::make_shared<data>()) {}

void command_impl::reserve(size_t _count) {
    m_data->m_argv.reserve(_count);
    m_data->m_argv_len.reserve(_count);
}

command& command_impl::add_argument(std::string _arg) {
    m_data->m_argv_keeper.push_back(std::move(_arg));
    const std::string& kept = m_data->m_argv_keeper.back();
    m_data->m_argv.push_back(kept.data());
    m_data->m_argv_len.push_back(kept.size());
    return *this;
}

reply command_impl::execute() { return m_sync.run_command(m_data->m_argv, m_data->m_argv_len); }

async_operation_handle<reply>::ptr command_impl::execute_async() {
    using handle_type = async_operation_handle_impl<reply>;
    // The start function holds the arguments and a weak pointer to the connection, never this
    // command: a restart may come after the command, or the whole context, is gone.
    const handle_type::ptr handle = handle_type::create(
        m_events_loop, [arguments = m_data, connection = m_async.weak_from_this()](
                           const std::shared_ptr<handle_type>& /*_shared*/, std::weak_ptr<handle_type> _weak) {
            const async_context::ptr async = connection.lock();
            if (!async)
                QVD_THROW("Command: " + first_argument(arguments->m_argv, arguments->m_argv_len) + ", error");
            async->run_command(arguments->m_argv, arguments->m_argv_len, [_weak](reply _reply) {
                if (const std::shared_ptr<handle_type> handle = _weak.lock())
                    handle->return_result(std::move(_reply));
            });
        });
    handle->start();
    return handle;
}

} // namespace qvd::libs::core::redis
