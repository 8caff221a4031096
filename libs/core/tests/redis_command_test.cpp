#include "redis_fixture.hpp"

#include <core/impl/redis/context_impl.hpp>
#include <core/redis/context.hpp>
#include <core/redis/reply.hpp>
#include <core/redis/reply_type.hpp>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

using namespace qvd::libs::core;
using namespace qvd::test_support;

namespace {

struct redis_command : redis_fixture {
    void SetUp() override {
        if (!shared_redis_available()) {
            if (servers_required())
                FAIL() << "the private redis test server is not running";
            GTEST_SKIP() << "the private redis test server is not running";
        }
        context = connect(shared_redis());
    }
    void TearDown() override { context.reset(); }

    redis::context::ptr context;
};

std::vector<std::string> texts(const redis::reply& _reply) {
    std::vector<std::string> result;
    _reply.as_array().for_each_element([&](const redis::reply_element& _element) {
        result.push_back(_element.get_type() == redis::reply_type::NIL ? "(nil)" : _element.to_string());
        return true;
    });
    return result;
}

} // namespace

TEST(redis_reply_type, names_and_unknown_values) {
    const std::vector<std::pair<redis::reply_type, std::string>> names = {
        {redis::reply_type::STRING, "string"},   {redis::reply_type::ARRAY, "array"},
        {redis::reply_type::INTEGER, "integer"}, {redis::reply_type::NIL, "nil"},
        {redis::reply_type::STATUS, "status"},   {redis::reply_type::ERROR, "error"}};
    for (const auto& [type, name] : names)
        EXPECT_EQ(redis::to_string(type), name);
    for (const int value : {0, 7, 8, -1})
        EXPECT_EQ(error_text([&] { redis::to_string(static_cast<redis::reply_type>(value)); }),
                  "Unknown enumeration value")
            << value;
}

TEST(redis_scan_cursor, unsigned_64_bit_decimal_numbers_only) {
    using redis::context_impl;
    EXPECT_EQ(context_impl::parse_cursor("0"), 0u);
    EXPECT_EQ(context_impl::parse_cursor("2147483648"), 2147483648u);
    EXPECT_EQ(context_impl::parse_cursor("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    for (const char* text : {"", "abc", "-1", "+1", " 1", "1 ", "12x"})
        EXPECT_THROW(context_impl::parse_cursor(text), std::invalid_argument) << text;
    EXPECT_THROW(context_impl::parse_cursor("18446744073709551616"), std::out_of_range);
}

TEST_F(redis_command, builders_send_their_words_in_order) {
    const std::string plain = key("plain");
    const std::string members = key("set");
    const std::string table = key("table");

    EXPECT_EQ(context->set(plain, "v")->execute().to_string(), "OK");
    EXPECT_EQ(context->get(plain)->execute().to_string(), "v");
    EXPECT_EQ(context->del(plain)->execute().to_long_long(), 1);

    // The members of SADD follow the key, added one by one.
    EXPECT_EQ(context->add_to_set(members)->add_argument("a").add_argument("b").execute().to_int(), 2);
    EXPECT_EQ(context->add_to_set(members, "c")->execute().to_int(), 1);
    EXPECT_EQ(context->remove_from_set(members, "a")->execute().to_int(), 1);
    std::vector<std::string> in_set = texts(context->get_set_members(members)->execute());
    std::sort(in_set.begin(), in_set.end());
    EXPECT_EQ(in_set, (std::vector<std::string>{"b", "c"}));

    EXPECT_EQ(context->set_to_table(table, "f1", "1")->execute().to_int(), 1);
    EXPECT_EQ(context->set_to_table_multi(table)
                  ->add_argument("f2")
                  .add_argument("2")
                  .add_argument("f3")
                  .add_argument("3")
                  .execute()
                  .to_string(),
              "OK");
    EXPECT_EQ(context->increment_in_table(table, "f1", "41")->execute().to_long_long(), 42);
    EXPECT_EQ(context->get_from_table(table, "f1")->execute().to_string(), "42");
    EXPECT_EQ(
        texts(
            context->get_from_table_multi(table)->add_argument("f3").add_argument("none").add_argument("f2").execute()),
        (std::vector<std::string>{"3", "(nil)", "2"}));
    EXPECT_EQ(context->delete_from_table(table, "f2")->execute().to_int(), 1);
    EXPECT_EQ(texts(context->get_table(table)->execute()).size(), 4u);
}

TEST_F(redis_command, arguments_are_counted_bytes) {
    const std::string name = key(std::string("zero\0byte", 9));
    // Written on one connection, read back on both.
    for (const std::string& value : {std::string("a\0b\r\n\xff", 6), std::string(), std::string(3 << 20, '\0')}) {
        SCOPED_TRACE(value.size());
        EXPECT_EQ(context->set(name, value)->execute().to_string(), "OK");
        EXPECT_EQ(context->get(name)->execute().to_string(), value);
        EXPECT_EQ(wait(context->get(name)->execute_async()).to_string(), value);
        EXPECT_EQ(wait(context->set(name, value + "!")->execute_async()).to_string(), "OK");
        EXPECT_EQ(context->get(name)->execute().to_string(), value + "!");
    }
    // The key ends at its length, not at its zero byte.
    EXPECT_EQ(context->get(key("zero"))->execute().get_type(), redis::reply_type::NIL);
}

TEST_F(redis_command, reading_a_reply_of_another_type_throws) {
    const redis::reply missing = context->get(key("missing"))->execute();
    EXPECT_EQ(missing.get_type(), redis::reply_type::NIL);
    EXPECT_EQ(error_text([&] { missing.as_string_view(); }), "Reply is not string, actual type: nil");
    EXPECT_EQ(error_text([&] { missing.to_string(); }), "Reply is not string, actual type: nil");
    EXPECT_FALSE(missing.try_string_view());
    EXPECT_EQ(error_text([&] { missing.as_array(); }), "Reply is not array, actual type: nil");

    const redis::reply count = context->create_command({"INCRBY", key("n"), "5"})->execute();
    EXPECT_EQ(count.get_type(), redis::reply_type::INTEGER);
    EXPECT_EQ(error_text([&] { count.as_string_view(); }), "Reply is not string, actual type: integer");

    const redis::reply status = context->create_command({"PING"})->execute();
    EXPECT_EQ(status.get_type(), redis::reply_type::STATUS);
    EXPECT_EQ(error_text([&] { status.as_array(); }), "Reply is not array, actual type: status");

    // A number in a string reply reads as a number; a text or a value beyond int does not.
    context->set(key("big"), "4294967296")->execute();
    EXPECT_EQ(context->get(key("big"))->execute().to_long_long(), 4294967296LL);
    EXPECT_FALSE(error_text([&] { context->get(key("big"))->execute().to_int(); }).empty());
    EXPECT_FALSE(error_text([&] { status.to_long_long(); }).empty());

    const redis::reply empty = context->get_set_members(key("no set"))->execute();
    EXPECT_EQ(empty.as_array().size(), 0u);
    EXPECT_EQ(error_text([&] { empty.as_array()[0]; }), "Index out of range");
}

TEST_F(redis_command, error_reply_throws_from_execute_and_is_delivered_by_execute_async) {
    context->set(key("text"), "not a number")->execute();
    EXPECT_EQ(error_text([&] {
                  context->create_command({"INCR", key("text")})->execute();
              }),
              "Command: INCR, error: ERR value is not an integer or out of range");
    const redis::reply failed = wait(context->create_command({"INCR", key("text")})->execute_async());
    EXPECT_EQ(failed.get_type(), redis::reply_type::ERROR);
    EXPECT_EQ(failed.to_string(), "ERR value is not an integer or out of range");
    // Both connections go on after an error reply.
    EXPECT_EQ(context->get(key("text"))->execute().to_string(), "not a number");
    EXPECT_EQ(wait(context->get(key("text"))->execute_async()).to_string(), "not a number");
}

TEST_F(redis_command, empty_command_is_refused_before_it_is_sent) {
    EXPECT_EQ(error_text([&] { context->create_command({})->execute(); }), "Command without arguments");
    EXPECT_EQ(error_text([&] { context->create_command({})->execute_async(); }), "Command without arguments");
    // The next replies still belong to their own commands.
    EXPECT_EQ(context->create_command({"ECHO", "sync"})->execute().to_string(), "sync");
    EXPECT_EQ(wait(context->create_command({"ECHO", "async"})->execute_async()).to_string(), "async");
}

TEST_F(redis_command, subscribing_commands_are_refused_on_the_asynchronous_connection) {
    // A subscription or MONITOR answers one command with many replies; a handle takes exactly one.
    const std::string channel = key("channel");
    for (const std::vector<std::string>& words : {std::vector<std::string>{"SUBSCRIBE", channel},
                                                  {"psubscribe", channel + "*"},
                                                  {"SSubscribe", channel},
                                                  {"MONITOR"}})
        EXPECT_EQ(error_text([&] { context->create_command(words)->execute_async(); }),
                  "Command: " + words[0] + ", error");
    // Nothing was sent: messages published now reach no one, and the next replies are the right ones.
    context->create_command({"PUBLISH", channel, "first"})->execute();
    context->create_command({"PUBLISH", channel, "second"})->execute();
    EXPECT_EQ(wait(context->create_command({"ECHO", "after"})->execute_async()).to_string(), "after");
    EXPECT_EQ(wait(context->create_command({"ECHO", "again"})->execute_async()).to_string(), "again");
}

TEST_F(redis_command, pipelined_replies_arrive_in_sending_order) {
    const int count = 10000;
    const std::string counter = key("counter");
    std::vector<reply_handle> handles;
    std::vector<long long> values;
    handles.reserve(count);
    for (int i = 0; i < count; ++i) {
        handles.push_back(context->create_command({"INCR", counter})->execute_async());
        handles.back()->set_callback([&](redis::reply _reply) { values.push_back(_reply.to_long_long()); });
    }
    run_until([&] { return values.size() == static_cast<size_t>(count); });
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(values[i], i + 1) << "reply " << i;
}

TEST_F(redis_command, short_words_added_one_by_one_are_sent_whole_and_resent_by_restart) {
    // Short words live inside their strings: every time the command's storage grows they move.
    const std::string list = key("list");
    std::vector<std::string> words;
    redis::command::ptr push = context->create_command({"RPUSH", list});
    for (int i = 0; i < 40; ++i) {
        words.push_back("w" + std::to_string(i));
        push->add_argument(words.back());
    }
    const reply_handle handle = push->execute_async();
    push.reset();
    EXPECT_EQ(wait(handle).to_int(), 40);
    handle->restart();
    EXPECT_EQ(wait(handle).to_int(), 80);

    std::vector<std::string> expected = words;
    expected.insert(expected.end(), words.begin(), words.end());
    EXPECT_EQ(texts(context->create_command({"LRANGE", list, "0", "-1"})->execute()), expected);
}

TEST_F(redis_command, restart_resends_without_the_command_and_fails_without_the_context) {
    const std::string counter = key("counter");
    reply_handle handle = context->create_command({"INCR", counter})->execute_async();
    EXPECT_EQ(wait(handle).to_long_long(), 1);
    // The command is gone; the handle still holds its arguments.
    handle->restart();
    EXPECT_EQ(wait(handle).to_long_long(), 2);

    context.reset();
    EXPECT_EQ(error_text([&] { handle->restart(); }), "Command: INCR, error");
}

TEST_F(redis_command, for_each_element_stops_at_the_first_false) {
    const std::string table = key("table");
    context->set_to_table_multi(table)
        ->add_argument("a")
        .add_argument("1")
        .add_argument("b")
        .add_argument("2")
        .execute();
    const redis::reply values = context->get_from_table_multi(table)->add_argument("a").add_argument("b").execute();
    std::vector<std::string> seen;
    EXPECT_EQ(values.as_array().for_each_element([&](const redis::reply_element& _element) {
        seen.push_back(_element.to_string());
        return false;
    }),
              iteration_result::interrupted);
    EXPECT_EQ(seen, std::vector<std::string>{"1"});
    EXPECT_EQ(values.as_array().for_each_element([](const redis::reply_element&) { return true; }),
              iteration_result::finished);
}

TEST_F(redis_command, scan_visits_every_key_once_and_stops_when_asked) {
    // A database of its own: no other test writes there.
    context = connect(shared_redis(), 7);
    context->create_command({"FLUSHDB"})->execute();
    const int count = 50000;
    for (int first = 0; first < count; first += 1000) {
        redis::command::ptr mset = context->create_command({"MSET"});
        for (int i = first; i < first + 1000; ++i)
            mset->add_argument("scan:" + std::to_string(i)).add_argument("v");
        mset->execute();
    }
    context->set("other", "v")->execute();

    std::unordered_map<std::string, int> visits;
    EXPECT_EQ(context->scan("scan:*",
                            [&](boost::string_view _key) {
                                ++visits[_key.to_string()];
                                return true;
                            }),
              iteration_result::finished);
    EXPECT_EQ(visits.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(visits["scan:" + std::to_string(i)], 1) << i;

    int calls = 0;
    EXPECT_EQ(context->scan("scan:*", [&](boost::string_view) { return ++calls < 1; }), iteration_result::interrupted);
    EXPECT_EQ(calls, 1);

    EXPECT_EQ(context->scan("nothing:*", [](boost::string_view) { return false; }), iteration_result::finished);
    context->create_command({"FLUSHDB"})->execute();
}
