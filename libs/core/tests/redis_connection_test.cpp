#include "redis_fixture.hpp"

#include <core/impl/redis/async_context.hpp>
#include <core/redis/context.hpp>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace qvd::libs::core;
using namespace qvd::test_support;

namespace {

using redis_connection = redis_fixture;

// The failure that commands get when the connection is lost under them.
bool is_lost(const redis::reply& _reply) {
    return _reply.get_type() == redis::reply_type::ERROR && _reply.to_string().rfind("Connection lost: ", 0) == 0;
}

// The text of the std::runtime_error that _function throws.
template <typename Function>
std::string runtime_error_text(Function _function) {
    try {
        _function();
    } catch (const std::runtime_error& caught) {
        return caught.what();
    }
    return "nothing thrown";
}

} // namespace

TEST_F(redis_connection, selects_the_database_on_both_connections) {
    // A server of its own, so that every command it sees is this test's.
    private_redis_server server;
    server.start();
    redis_client monitor(server.endpoint());
    ASSERT_EQ(monitor.run({"MONITOR"}), "OK");

    for (const int db : {0, 5}) {
        SCOPED_TRACE(db);
        const redis::context::ptr context = connect(server.endpoint(), db);
        const std::string value = "in " + std::to_string(db);
        EXPECT_EQ(wait(context->set("where", value)->execute_async()).to_string(), "OK");
        // Replies come in order, so the asynchronous connection's SELECT was handled before.
        EXPECT_EQ(context->get("where")->execute().to_string(), value);

        redis_client outside(server.endpoint());
        outside.run({"SELECT", std::to_string(db)});
        EXPECT_EQ(outside.run({"GET", "where"}), value);
        outside.run({"ECHO", "marker"});

        // Each connection's first command selects the database, also database 0.
        std::set<std::string> selecting;
        for (std::string line = monitor.next(); line.find("\"marker\"") == std::string::npos; line = monitor.next()) {
            const auto from = line.find('[');
            const auto to = line.find(']');
            if (line.find("\"SELECT\" \"" + std::to_string(db) + "\"") != std::string::npos &&
                from != std::string::npos)
                selecting.insert(line.substr(from, to - from));
        }
        // Two connections of the context, plus the outside client's own SELECT.
        EXPECT_EQ(selecting.size(), 3u);
    }
}

TEST_F(redis_connection, refused_connection_delivers_one_empty_optional) {
    const int port = static_cast<int>(free_tcp_port());
    int deliveries = 0;
    bool empty = false;
    const context_handle handle = loop->create_redis_context("127.0.0.1", port, 0);
    handle->set_callback([&](context_result _result) {
        ++deliveries;
        empty = !_result;
    });
    // The failed connection leaves no wait behind, so the loop runs out of work.
    EXPECT_TRUE(run_to_the_end());
    EXPECT_EQ(deliveries, 1);
    EXPECT_TRUE(empty);
    EXPECT_TRUE(handle->is_complete());
}

TEST_F(redis_connection, immediate_refusal_by_hiredis_throws) {
    EXPECT_EQ(error_text([&] { loop->create_redis_context("127.0.0.1", -1, 0); }),
              "Cannot open connection to the redis server: Servname not supported for ai_socktype");
}

TEST_F(redis_connection, failed_select_on_the_blocking_connection_leaves_the_loop) {
    LOMVERA_REQUIRE_REDIS();
    int deliveries = 0;
    const context_handle handle = loop->create_redis_context(shared_redis().host, shared_redis().port, 99);
    handle->set_callback([&](context_result) { ++deliveries; });
    // The asynchronous connection's failed SELECT is ignored; the blocking one's reaches run.
    EXPECT_EQ(error_text([&] { run_until([] { return false; }); }),
              "Command: SELECT, error: ERR DB index is out of range");
    EXPECT_EQ(deliveries, 0);
}

TEST_F(redis_connection, restart_after_delivery_opens_a_new_pair_and_while_connecting_delivers_once) {
    LOMVERA_REQUIRE_REDIS();
    std::vector<std::unique_ptr<redis::context>> contexts;
    const context_handle handle = loop->create_redis_context(shared_redis().host, shared_redis().port, 0);
    handle->set_callback([&](context_result _result) { contexts.push_back(std::move(*_result)); });
    // Still connecting: the restart only replaces the receiver.
    handle->restart();
    run_until([&] { return contexts.size() == 1; });
    EXPECT_EQ(wait(contexts[0]->create_command({"PING"})->execute_async()).to_string(), "PONG");
    EXPECT_EQ(contexts.size(), 1u);

    handle->restart();
    EXPECT_FALSE(handle->is_complete());
    run_until([&] { return contexts.size() == 2; });
    EXPECT_NE(contexts[0].get(), contexts[1].get());
    const std::string counter = key("counter");
    EXPECT_EQ(wait(contexts[0]->create_command({"INCR", counter})->execute_async()).to_long_long(), 1);
    EXPECT_EQ(wait(contexts[1]->create_command({"INCR", counter})->execute_async()).to_long_long(), 2);
    EXPECT_EQ(contexts[0]->get(counter)->execute().to_string(), "2");
    EXPECT_EQ(contexts[1]->get(counter)->execute().to_string(), "2");
}

TEST_F(redis_connection, released_handle_drops_the_result) {
    LOMVERA_REQUIRE_REDIS();
    int deliveries = 0;
    {
        const context_handle handle = loop->create_redis_context(shared_redis().host, shared_redis().port, 0);
        handle->set_callback([&](context_result) { ++deliveries; });
    }
    // The connection completes with nobody waiting for it, releases itself from inside hiredis's
    // call and leaves nothing behind.
    EXPECT_TRUE(run_to_the_end());
    EXPECT_EQ(deliveries, 0);
}

TEST_F(redis_connection, destroyed_context_gives_pending_commands_a_nil_reply) {
    LOMVERA_REQUIRE_REDIS();
    redis::context::ptr context = connect(shared_redis());
    EXPECT_EQ(wait(context->create_command({"PING"})->execute_async()).to_string(), "PONG");

    std::vector<reply_handle> handles;
    std::vector<redis::reply_type> types;
    handles.push_back(context->create_command({"BLPOP", key("never"), "5"})->execute_async());
    for (int i = 0; i < 3; ++i)
        handles.push_back(context->get(key("missing"))->execute_async());
    for (const auto& handle : handles)
        handle->set_callback([&](redis::reply _reply) { types.push_back(_reply.get_type()); });
    context.reset();
    run_until([&] { return types.size() == handles.size(); });
    EXPECT_TRUE(std::all_of(types.begin(), types.end(),
                            [](redis::reply_type _type) { return _type == redis::reply_type::NIL; }));
    EXPECT_TRUE(run_to_the_end());
}

TEST_F(redis_connection, server_stopped_while_commands_are_pending) {
    private_redis_server server;
    server.start();
    const redis::context::ptr context = connect(server.endpoint());

    std::vector<reply_handle> handles;
    size_t delivered = 0;
    size_t lost = 0;
    const auto send = [&](redis::command::ptr _command) {
        handles.push_back(_command->execute_async());
        handles.back()->set_callback([&](redis::reply _reply) {
            ++delivered;
            // A lost connection must not read as a missing key.
            lost += is_lost(_reply) ? 1 : 0;
        });
    };
    // A blocked client: the server holds it and every command queued behind it.
    send(context->create_command({"BLPOP", "never", "0"}));
    for (int i = 0; i < 10000; ++i)
        send(context->set("key", std::to_string(i)));
    run_until([&] {
        return context->create_command({"INFO", "clients"})->execute().to_string().find("blocked_clients:1") !=
               std::string::npos;
    });
    server.kill();
    // Queued after the end, before hiredis has noticed it: written into a closed connection.
    for (int i = 0; i < 10000; ++i)
        send(context->get("key"));

    run_until([&] { return delivered == handles.size(); });
    EXPECT_EQ(lost, handles.size());

    EXPECT_EQ(error_text([&] { context->get("key")->execute_async(); }), "Command: GET, error");
    // A command larger than the socket's buffers is written on into the closed connection.
    EXPECT_EQ(error_text([&] {
                  context->set("key", std::string(32 << 20, 'x'))->execute();
              }).rfind("Command: SET, error: ", 0),
              0u);
    EXPECT_TRUE(run_to_the_end());
}

TEST_F(redis_connection, exceptions_of_callbacks_run_by_hiredis_leave_run_and_the_connection_goes_on) {
    LOMVERA_REQUIRE_REDIS();
    const auto connection =
        std::make_shared<redis::async_context>(*loop, log, shared_redis().host, shared_redis().port, 0);
    connection->set_connect_callback([](int) { throw std::runtime_error("connect callback failed"); });
    EXPECT_EQ(runtime_error_text([&] { run_until([] { return false; }); }), "connect callback failed");

    redis::argument_pointers argv{"PING"};
    redis::argument_lengths argv_len{4};
    std::vector<std::string> replies;
    connection->run_command(argv, argv_len, [](redis::reply) { throw std::runtime_error("reply callback failed"); });
    connection->run_command(argv, argv_len, [&](redis::reply _reply) { replies.push_back(_reply.to_string()); });
    EXPECT_EQ(runtime_error_text([&] { run_until([] { return false; }); }), "reply callback failed");
    connection->run_command(argv, argv_len, [&](redis::reply _reply) { replies.push_back(_reply.to_string()); });
    run_until([&] { return replies.size() == 2; });
    EXPECT_EQ(replies, (std::vector<std::string>{"PONG", "PONG"}));
}
