#include "support/redis_server.hpp"

#include "support/mariadb_server.hpp"
#include "support/server_process.hpp"

#include <hiredis/hiredis.h>

#include <signal.h>
#include <sys/time.h>

#include <stdexcept>

namespace qvd::test_support {

namespace {

std::string reply_text(const redisReply& _reply) {
    switch (_reply.type) {
    case REDIS_REPLY_INTEGER:
        return std::to_string(_reply.integer);
    case REDIS_REPLY_NIL:
        return "(nil)";
    case REDIS_REPLY_ARRAY: {
        std::string text;
        for (size_t i = 0; i < _reply.elements; ++i)
            text += (i == 0 ? "" : "\n") + reply_text(*_reply.element[i]);
        return text;
    }
    default:
        return std::string(_reply.str, _reply.len);
    }
}

std::string take_reply(redisContext* _context, void* _reply) {
    if (_reply == nullptr)
        throw std::runtime_error(std::string("redis: ") + _context->errstr);
    const std::unique_ptr<redisReply, void (*)(void*)> reply(static_cast<redisReply*>(_reply), freeReplyObject);
    return reply_text(*reply);
}

bool answers(const redis_endpoint& _endpoint) {
    try {
        return redis_client(_endpoint).run({"PING"}) == "PONG";
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

const redis_endpoint& shared_redis() {
    static const redis_endpoint endpoint = [] {
        redis_endpoint e;
        e.port = std::stoi(env_or("LOMVERA_TEST_REDIS_PORT", std::to_string(LOMVERA_TEST_REDIS_PORT)));
        return e;
    }();
    return endpoint;
}

bool shared_redis_available() {
    static const bool available = answers(shared_redis());
    return available;
}

redis_client::redis_client(const redis_endpoint& _endpoint) {
    const timeval limit{5, 0};
    m_context.reset(redisConnectWithTimeout(_endpoint.host.c_str(), _endpoint.port, limit));
    if (!m_context)
        throw std::runtime_error("redis: cannot allocate a context");
    if (m_context->err != 0)
        throw std::runtime_error(std::string("redis: ") + m_context->errstr);
}

redis_client::~redis_client() = default;

std::string redis_client::run(const std::vector<std::string>& _args) {
    std::vector<const char*> argv;
    std::vector<size_t> argv_len;
    for (const auto& arg : _args) {
        argv.push_back(arg.data());
        argv_len.push_back(arg.size());
    }
    return take_reply(m_context.get(),
                      redisCommandArgv(m_context.get(), static_cast<int>(argv.size()), argv.data(), argv_len.data()));
}

std::string redis_client::next() {
    void* reply = nullptr;
    if (redisGetReply(m_context.get(), &reply) != REDIS_OK)
        reply = nullptr;
    return take_reply(m_context.get(), reply);
}

void redis_client::context_deleter::operator()(redisContext* _context) const { redisFree(_context); }

private_redis_server::private_redis_server(std::vector<std::string> _extra_options, int _port)
    : m_dir(make_scratch_directory("lomvera-redis")), m_extra_options(std::move(_extra_options)) {
    m_endpoint.port = _port != 0 ? _port : static_cast<int>(free_tcp_port());
}

private_redis_server::~private_redis_server() {
    kill();
    remove_directory(m_dir);
}

void private_redis_server::start() {
    if (m_pid > 0)
        return;
    m_pid = start_server_script("private redis server", "scripts/test-redis", m_dir + "/server",
                                static_cast<unsigned>(m_endpoint.port), m_extra_options, "redis.pid");
}

void private_redis_server::kill() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    wait_for_end(m_pid);
    m_pid = -1;
}

} // namespace qvd::test_support
