// Pipelined SET commands through Redis contexts' asynchronous connections on one events loop: prints
// commands per second. Run by bench/redis-benchmark beside redis-benchmark on the same server.
//   lomvera_bench_redis PORT [COUNT] [PIPELINE] [VALUE_BYTES] [CONNECTIONS]
//   (defaults 1000000, 1000, 100, 1)
// At most PIPELINE commands are in flight in all, spread over the connections; each reply sends
// the next command on its own connection. Every SET writes the one key that redis-benchmark -t set
// writes, so that the server does the same work for both.
#include <core/async_operation_handle.hpp>
#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/redis/context.hpp>

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace qvd::libs::core;

int main(int _argc, char** _argv) {
    if (_argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [COUNT] [PIPELINE] [VALUE_BYTES] [CONNECTIONS]\n", _argv[0]);
        return 2;
    }
    const int port = std::atoi(_argv[1]);
    const long count = _argc > 2 ? std::atol(_argv[2]) : 1000000;
    const long pipeline = _argc > 3 ? std::atol(_argv[3]) : 1000;
    const std::string value(_argc > 4 ? std::atoi(_argv[4]) : 100, 'v');
    const size_t connections = _argc > 5 ? static_cast<size_t>(std::max(1, std::atoi(_argv[5]))) : 1;

    logger log(constants::project_name, "bench");
    log.set_writing_to_socket(false);
    const core::ptr root = core::create(log);
    const events_loop::ptr loop = root->create_events_loop("main");

    std::vector<std::unique_ptr<redis::context>> contexts;
    for (size_t i = 0; i < connections; ++i) {
        const auto connecting = loop->create_redis_context("127.0.0.1", port, 0);
        connecting->set_callback([&](boost::optional<std::unique_ptr<redis::context>> _result) {
            if (!_result) {
                std::fprintf(stderr, "cannot connect to port %d\n", port);
                std::exit(1);
            }
            contexts.push_back(std::move(*_result));
            loop->stop();
        });
        loop->get_io_context().restart();
        loop->run();
    }

    // redis-benchmark's key when it is not given -r.
    const std::string key = "key:__rand_int__";

    // One slot per command in flight; a reply refills its own slot.
    struct pipeline_state {
        events_loop& loop;
        const std::vector<std::unique_ptr<redis::context>>& contexts;
        const std::string& key;
        const std::string& value;
        const long count;
        std::vector<async_operation_handle<redis::reply>::ptr> slots;
        long sent = 0;
        long received = 0;
        long failed = 0;

        void send(size_t _slot) {
            redis::context& context = *contexts[_slot % contexts.size()];
            slots[_slot] = context.set(key, value)->execute_async();
            ++sent;
            // Small and trivially copyable, so the handle stores it without allocating.
            slots[_slot]->set_callback([this, _slot](redis::reply _reply) { on_reply(_slot, _reply); });
        }

        void on_reply(size_t _slot, const redis::reply& _reply) {
            ++received;
            if (_reply.get_type() != redis::reply_type::STATUS)
                ++failed;
            if (sent < count)
                send(_slot);
            else if (received == count)
                loop.stop();
        }
    };
    pipeline_state state{*loop, contexts, key, value, count, {}, 0, 0, 0};
    state.slots.resize(static_cast<size_t>(pipeline));

    const auto start = std::chrono::steady_clock::now();
    for (size_t slot = 0; slot < state.slots.size() && state.sent < count; ++slot)
        state.send(slot);
    loop->get_io_context().restart();
    loop->run();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("lomvera execute_async SET: %ld commands, %zu-byte values, %ld in flight on %zu connections: %.3f s, "
                "%.0f commands/s%s\n",
                count, value.size(), pipeline, connections, seconds, static_cast<double>(count) / seconds,
                state.failed != 0 ? " (with failed replies)" : "");
    state.slots.clear();
    contexts.clear();
    return state.failed != 0 ? 1 : 0;
}
