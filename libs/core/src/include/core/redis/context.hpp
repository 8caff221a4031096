#pragma once

#include <core/redis/command.hpp>
#include <core/stl.hpp>

#include <boost/utility/string_view.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvd::libs::core::redis {

// Two connections to one Redis server and database: an asynchronous one for execute_async and a
// blocking one for execute and scan. Every operation but scan builds a command without sending it.
class context {
public:
    using ptr = std::unique_ptr<context>;
    using args = std::vector<std::string>;
    // Called with each key that scan finds; false stops the walk.
    using callback = std::function<bool(boost::string_view)>;

    virtual ~context() = default;

    // "GET" key.
    virtual command::ptr get(std::string _key) = 0;
    // "SET" key value.
    virtual command::ptr set(std::string _key, std::string _value) = 0;
    // "DEL" key.
    virtual command::ptr del(std::string _key) = 0;
    // "SADD" key; the members follow with add_argument.
    virtual command::ptr add_to_set(std::string _key) = 0;
    // "SADD" key value.
    virtual command::ptr add_to_set(std::string _key, std::string _value) = 0;
    // "SREM" key value.
    virtual command::ptr remove_from_set(std::string _key, std::string _value) = 0;
    // "SMEMBERS" key.
    virtual command::ptr get_set_members(std::string _key) = 0;
    // "HGETALL" table.
    virtual command::ptr get_table(std::string _table) = 0;
    // "HGET" table field.
    virtual command::ptr get_from_table(std::string _table, std::string _field) = 0;
    // "HMGET" table; the fields follow with add_argument.
    virtual command::ptr get_from_table_multi(std::string _table) = 0;
    // "HSET" table field value.
    virtual command::ptr set_to_table(std::string _table, std::string _field, std::string _value) = 0;
    // "HMSET" table; field and value pairs follow with add_argument.
    virtual command::ptr set_to_table_multi(std::string _table) = 0;
    // "HINCRBY" table field value.
    virtual command::ptr increment_in_table(std::string _table, std::string _field, std::string _value) = 0;
    // "HDEL" table field.
    virtual command::ptr delete_from_table(std::string _table, std::string _field) = 0;
    // Walks the keys matching _pattern with "SCAN" on the blocking connection, page after page,
    // until the server's cursor returns to 0 or _callback returns false.
    virtual iteration_result scan(boost::string_view _pattern, callback _callback) = 0;
    // A command of the given words, in order.
    virtual command::ptr create_command(args _args) = 0;
};

} // namespace qvd::libs::core::redis
