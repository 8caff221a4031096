#include <core/impl/redis/context_impl.hpp>

#include <core/async_operation_handle_impl.hpp>
#include <core/impl/redis/command_impl.hpp>

#include <charconv>
#include <stdexcept>
#include <utility>

namespace qvd::libs::core::redis {

namespace {

// The words of a command, moved in: a braced list would copy every one of them.
template <typename... Words>
context::args words(Words&&... _words) {
    context::args result;
    result.reserve(sizeof...(Words));
    (result.emplace_back(std::forward<Words>(_words)), ...);
    return result;
}

} // namespace

async_operation_handle<boost::optional<std::unique_ptr<context>>>::ptr context_impl::create(
    events_loop& _events_loop, const component_logger& _logger, boost::string_view _ip, int _port, int _db) {
    using result_type = boost::optional<std::unique_ptr<context>>;
    using handle_type = async_operation_handle_impl<result_type>;
    // Connecting is already under way when this returns; the handle below keeps it.
    const async_operation_handle<async_context::ptr>::ptr async_context_handle =
        async_context::create(_events_loop, _logger, _ip.to_string(), _port, _db);
    const handle_type::ptr handle = handle_type::create(
        _events_loop, [&_events_loop, &_logger, ip = _ip.to_string(), _port, _db, async_context_handle](
                          const std::shared_ptr<handle_type>& /*_shared*/, std::weak_ptr<handle_type> _weak) {
            // A restart after a finished connection opens a new one; while still connecting it
            // only replaces the receiver, so the result comes once.
            if (async_context_handle->is_complete())
                async_context_handle->restart();
            async_context_handle->set_callback(
                [&_events_loop, &_logger, ip, _port, _db, _weak](async_context::ptr _connection) {
                    const std::shared_ptr<handle_type> handle = _weak.lock();
                    if (!handle)
                        return;
                    if (!_connection) {
                        handle->return_result(result_type());
                        return;
                    }
                    // Blocks this thread for up to 1.5 s; its failure leaves the loop's run.
                    auto sync = std::make_unique<sync_context>(_events_loop, _logger, ip, _port, _db);
                    result_type result(
                        std::make_unique<context_impl>(_events_loop, _logger, std::move(_connection), std::move(sync)));
                    handle->return_result(std::move(result));
                });
        });
    handle->start();
    return handle;
}

context_impl::context_impl(events_loop& _events_loop, const component_logger& _logger, async_context::ptr _async,
                           std::unique_ptr<sync_context> _sync)
    : m_events_loop(_events_loop), m_logger(_logger), m_async(std::move(_async)), m_sync(std::move(_sync)) {}

context_impl::~context_impl() = default;

command::ptr context_impl::get(std::string _key) { return create_command(words("GET", std::move(_key))); }

command::ptr context_impl::set(std::string _key, std::string _value) {
    return create_command(words("SET", std::move(_key), std::move(_value)));
}

command::ptr context_impl::del(std::string _key) { return create_command(words("DEL", std::move(_key))); }

command::ptr context_impl::add_to_set(std::string _key) { return create_command(words("SADD", std::move(_key))); }

command::ptr context_impl::add_to_set(std::string _key, std::string _value) {
    return create_command(words("SADD", std::move(_key), std::move(_value)));
}

command::ptr context_impl::remove_from_set(std::string _key, std::string _value) {
    return create_command(words("SREM", std::move(_key), std::move(_value)));
}

command::ptr context_impl::get_set_members(std::string _key) {
    return create_command(words("SMEMBERS", std::move(_key)));
}

command::ptr context_impl::get_table(std::string _table) { return create_command(words("HGETALL", std::move(_table))); }

command::ptr context_impl::get_from_table(std::string _table, std::string _field) {
    return create_command(words("HGET", std::move(_table), std::move(_field)));
}

command::ptr context_impl::get_from_table_multi(std::string _table) {
    return create_command(words("HMGET", std::move(_table)));
}

command::ptr context_impl::set_to_table(std::string _table, std::string _field, std::string _value) {
    return create_command(words("HSET", std::move(_table), std::move(_field), std::move(_value)));
}

command::ptr context_impl::set_to_table_multi(std::string _table) {
    return create_command(words("HMSET", std::move(_table)));
}

command::ptr context_impl::increment_in_table(std::string _table, std::string _field, std::string _value) {
    return create_command(words("HINCRBY", std::move(_table), std::move(_field), std::move(_value)));
}

command::ptr context_impl::delete_from_table(std::string _table, std::string _field) {
    return create_command(words("HDEL", std::move(_table), std::move(_field)));
}

iteration_result context_impl::scan(boost::string_view _pattern, callback _callback) {
    std::uint64_t cursor = 0;
    for (;;) {
        const reply page =
            create_command(words("SCAN", std::to_string(cursor), "MATCH", _pattern.to_string()))->execute();
        const reply_array parts = page.as_array();
        cursor = parse_cursor(parts[0].as_string_view());
        const iteration_result walk = parts[1].as_array().for_each_element(
            [&_callback](const reply_element& _key) { return _callback(_key.as_string_view()); });
        if (walk == iteration_result::interrupted)
            return iteration_result::interrupted;
        if (cursor == 0)
            return iteration_result::finished;
    }
}

command::ptr context_impl::create_command(args _args) {
    return std::make_unique<command_impl>(m_events_loop, m_logger, *m_sync, *m_async, std::move(_args));
}

std::uint64_t context_impl::parse_cursor(boost::string_view _text) {
    std::uint64_t value = 0;
    const char* const end = _text.data() + _text.size();
    const auto [stop, error] = std::from_chars(_text.data(), end, value);
    if (error == std::errc::result_out_of_range)
        throw std::out_of_range("SCAN cursor out of range: " + _text.to_string());
    if (error != std::errc() || stop != end)
        throw std::invalid_argument("SCAN cursor is not a number: " + _text.to_string());
    return value;
}

} // namespace qvd::libs::core::redis
