#include "fake_redis_server.hpp"
#include "redis_fixture.hpp"

#include <core/redis/context.hpp>
#include <core/redis/reply.hpp>
#include <core/redis/reply_type.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

using namespace qvd::libs::core;
using namespace qvd::test_support;

namespace {

// What the fake server does once it has answered.
enum class ending { holds, closes, resets };

struct redis_faulty_server : redis_fixture {
    // A reply as the tests compare it: strings as they are, errors marked, nil as "nil".
    static std::string describe(const redis::reply& _reply) {
        switch (_reply.get_type()) {
        case redis::reply_type::STRING:
        case redis::reply_type::STATUS:
            return _reply.to_string();
        case redis::reply_type::ERROR:
            return "error: " + _reply.to_string();
        default:
            return redis::to_string(_reply.get_type()).to_string();
        }
    }

    // Sends _count GETs at once and waits for all their results, in sending order.
    std::vector<std::string> get_all(redis::context& _context, std::size_t _count) {
        std::vector<reply_handle> handles;
        std::vector<std::string> results(_count);
        std::size_t delivered = 0;
        for (std::size_t i = 0; i < _count; ++i) {
            handles.push_back(_context.get("key" + std::to_string(i))->execute_async());
            handles.back()->set_callback([&results, &delivered, i](redis::reply _reply) {
                results[i] = describe(_reply);
                ++delivered;
            });
        }
        run_until([&] { return delivered == _count; });
        return results;
    }

    // The script of an asynchronous connection: answers its SELECT and then _commands commands
    // with _answer; then ends as _ending says, and when it holds records that the client closed.
    static fake_redis_server::script answers(std::string _select_answer, std::size_t _commands, std::string _answer,
                                             ending _ending, std::atomic<bool>& _closed_by_client) {
        return [=, &_closed_by_client](fake_redis_server::peer& _peer) {
            if (!_peer.read_commands(1))
                return;
            _peer.send(_select_answer);
            if (!_peer.read_commands(_commands))
                return;
            _peer.send(_answer);
            if (_ending == ending::holds)
                _closed_by_client = _peer.hold();
            else if (_ending == ending::resets)
                _peer.reset_on_close();
        };
    }

    static std::string bulk(const std::string& _text) {
        return "$" + std::to_string(_text.size()) + "\r\n" + _text + "\r\n";
    }
};

const std::string closed = "error: Connection lost: Server closed the connection";

} // namespace

TEST_F(redis_faulty_server, a_reply_without_a_command_ends_the_connection_not_the_process) {
    struct scenario {
        const char* name;
        std::string select_answer;
        std::size_t commands;
        std::string answer;
        std::vector<std::string> expected;
    };
    const std::vector<scenario> scenarios = {
        {"a GET answered twice", "+OK\r\n", 1, bulk("a") + bulk("b"), {"a"}},
        // The second GET gets the first one's second answer: only the third reply is too many.
        {"two GETs answered three times", "+OK\r\n", 2, bulk("a") + bulk("b") + bulk("c"), {"a", "b"}},
        {"an error reply after the answer", "+OK\r\n", 1, bulk("a") + "-ERR surprise\r\n", {"a"}},
        {"an array after the answer", "+OK\r\n", 1, bulk("a") + "*2\r\n:1\r\n$-1\r\n", {"a"}},
        {"SELECT answered twice, before any command", "+OK\r\n+OK\r\n", 0, "", {}},
    };
    for (const scenario& current : scenarios) {
        SCOPED_TRACE(current.name);
        std::atomic<bool> closed_by_client{false};
        fake_redis_server server(
            {answers(current.select_answer, current.commands, current.answer, ending::holds, closed_by_client),
             fake_redis_server::selects_and_holds()});
        const redis::context::ptr context = connect(server.endpoint());
        EXPECT_EQ(get_all(*context, current.commands), current.expected);
        run_until([&] { return closed_by_client.load(); });
        EXPECT_EQ(error_text([&] { context->get("later")->execute_async(); }), "Command: GET, error");
    }
}

TEST_F(redis_faulty_server, pipelined_gets_cut_off_by_a_close_fail_instead_of_reading_as_missing_keys) {
    std::string answer;
    std::vector<std::string> expected;
    for (int i = 0; i < 500; ++i) {
        answer += bulk("value" + std::to_string(i));
        expected.push_back("value" + std::to_string(i));
    }
    expected.resize(1000, closed);
    std::atomic<bool> unused{false};
    fake_redis_server server(
        {answers("+OK\r\n", 1000, answer, ending::closes, unused), fake_redis_server::selects_and_holds()});
    const redis::context::ptr context = connect(server.endpoint());

    const std::vector<std::string> results = get_all(*context, 1000);
    EXPECT_EQ(results, expected);
    EXPECT_EQ(std::count(results.begin(), results.end(), "nil"), 0);
    EXPECT_EQ(error_text([&] { context->get("later")->execute_async(); }), "Command: GET, error");
    EXPECT_TRUE(run_to_the_end());
}

TEST_F(redis_faulty_server, a_cut_or_garbled_reply_fails_every_pending_command) {
    const std::string garbled = "error: Connection lost: Protocol error, got \"?\" as reply type byte";
    struct scenario {
        const char* name;
        std::size_t commands;
        std::string answer;
        ending end;
        std::vector<std::string> expected;
    };
    const std::string reset = "error: Connection lost: Connection reset by peer";
    const std::vector<scenario> scenarios = {
        {"closed before any answer", 2, "", ending::closes, {closed, closed}},
        {"reset before any answer", 2, "", ending::resets, {reset, reset}},
        {"cut in the middle of a string", 3, bulk("a") + "$10\r\nabc", ending::closes, {"a", closed, closed}},
        {"cut in the middle of an array", 2, "*2\r\n" + bulk("a"), ending::closes, {closed, closed}},
        {"cut in the middle of a length", 2, bulk("a") + "$1", ending::closes, {"a", closed}},
        {"an unknown reply type", 3, bulk("a") + "?what\r\n", ending::holds, {"a", garbled, garbled}},
    };
    for (const scenario& current : scenarios) {
        SCOPED_TRACE(current.name);
        std::atomic<bool> closed_by_client{false};
        fake_redis_server server({answers("+OK\r\n", current.commands, current.answer, current.end, closed_by_client),
                                  fake_redis_server::selects_and_holds()});
        const redis::context::ptr context = connect(server.endpoint());
        EXPECT_EQ(get_all(*context, current.commands), current.expected);
        if (current.end == ending::holds)
            run_until([&] { return closed_by_client.load(); });
        EXPECT_EQ(error_text([&] { context->get("later")->execute_async(); }), "Command: GET, error");
    }
}

TEST_F(redis_faulty_server, a_silent_select_on_the_blocking_connection_fails_in_bounded_time) {
    // Accepts both connections and answers neither.
    const auto silent = [](fake_redis_server::peer& _peer) { _peer.hold(); };
    fake_redis_server server({silent, silent});
    int deliveries = 0;
    const context_handle handle = loop->create_redis_context(server.endpoint().host, server.endpoint().port, 0);
    handle->set_callback([&](context_result) { ++deliveries; });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(error_text([&] { run_until([] { return false; }); }),
              "Command: SELECT, error: Resource temporarily unavailable");
    // 1.5 s for the SELECT; far less than "never", with room for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(deliveries, 0);

    // The loop goes on with other work.
    bool ran = false;
    loop->post([&] { ran = true; }, QVD_SOURCE_LOCATION);
    run_until([&] { return ran; });
}

TEST_F(redis_faulty_server, execute_waits_past_the_connecting_limit_for_a_slow_answer) {
    std::atomic<bool> unused{false};
    fake_redis_server server({answers("+OK\r\n", 0, "", ending::holds, unused), [](fake_redis_server::peer& _peer) {
                                  if (!_peer.read_commands(1))
                                      return;
                                  _peer.send("+OK\r\n");
                                  if (!_peer.read_commands(1))
                                      return;
                                  // Longer than the 1.5 s that connecting may take.
                                  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                                  _peer.send(bulk("late"));
                                  _peer.hold();
                              }});
    const redis::context::ptr context = connect(server.endpoint());
    EXPECT_EQ(context->get("slow")->execute().to_string(), "late");
}
