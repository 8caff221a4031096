#pragma once

#include <core/async_operation_handle.hpp>
#include <core/events_loop.hpp>
#include <core/impl/redis/async_context.hpp>
#include <core/impl/redis/sync_context.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include <boost/optional.hpp>
#include <boost/utility/string_view.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace qvd::libs::core::redis {

class context_impl : public context {
public:
    // The context of a new pair of connections, or an empty optional when the server refused the
    // asynchronous one. An immediate refusal by hiredis throws; so does a failed blocking connection,
    // from the delivery on the loop. A restart after delivery opens a new pair.
    static async_operation_handle<boost::optional<std::unique_ptr<context>>>::ptr create(
        events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip, int _port, int _db);

    context_impl(events_loop& _events_loop, const component_logger& _logger, async_context::ptr _async,
                 std::unique_ptr<sync_context> _sync);
    // Releases the blocking connection, then its share of the asynchronous one.
    ~context_impl() override;

    command::ptr get(std::string _key) override;
    command::ptr set(std::string _key, std::string _value) override;
    command::ptr del(std::string _key) override;
    command::ptr add_to_set(std::string _key) override;
    command::ptr add_to_set(std::string _key, std::string _value) override;
    command::ptr remove_from_set(std::string _key, std::string _value) override;
    command::ptr get_set_members(std::string _key) override;
    command::ptr get_table(std::string _table) override;
    command::ptr get_from_table(std::string _table, std::string _field) override;
    command::ptr get_from_table_multi(std::string _table) override;
    command::ptr set_to_table(std::string _table, std::string _field, std::string _value) override;
    command::ptr set_to_table_multi(std::string _table) override;
    command::ptr increment_in_table(std::string _table, std::string _field, std::string _value) override;
    command::ptr delete_from_table(std::string _table, std::string _field) override;
    iteration_result scan(boost::string_view _pattern, callback _callback) override;
    command::ptr create_command(args _args) override;

    // A SCAN cursor: an unsigned 64-bit decimal number. Anything else throws std::invalid_argument,
    // a number beyond 64 bits std::out_of_range.
    static std::uint64_t parse_cursor(boost::string_view _text);

private:
    events_loop& m_events_loop;
    const component_logger& m_logger;
    async_context::ptr m_async;
    std::unique_ptr<sync_context> m_sync;
};

} // namespace qvd::libs::core::redis
