#include "db_test_support.hpp"

#include <unistd.h>

#include <atomic>
#include <thread>

namespace qvd::db_test {

namespace {

std::string unique_endpoint()
{
    static std::atomic_int counter{0};
    return "ipc:///tmp/lomvera-db-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

} // namespace

captured_logger::captured_logger()
    : m_endpoint(unique_endpoint()), m_context(1), m_pull(m_context, ::zmq::socket_type::pull)
{
    m_pull.set(::zmq::sockopt::linger, 0);
    m_pull.bind(m_endpoint);
    m_logger = std::make_unique<libs::core::logger>("lomvera", "db_test");
    m_logger->connect(m_endpoint);
    m_logger->set_debug(false);
}

captured_logger::~captured_logger()
{
    m_logger.reset();
    m_pull.close();
    unlink(m_endpoint.substr(std::string("ipc://").size()).c_str());
}

void captured_logger::drain()
{
    ::zmq::message_t message;
    while (m_pull.recv(message, ::zmq::recv_flags::dontwait)) {
        std::string text = message.to_string();
        // "&lomvera:db_test " + "yyyy-mm-dd hh:mm:ss.mmm " + indentation and body.
        const auto prefix_end = text.find(' ');
        if (prefix_end != std::string::npos && text.size() > prefix_end + 24)
            text = text.substr(prefix_end + 25);
        m_lines.push_back(std::move(text));
    }
}

std::vector<std::string> captured_logger::lines()
{
    // Lines are sent without waiting; give the last ones a moment to arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    drain();
    return m_lines;
}

std::vector<std::string> captured_logger::lines_with(const std::string& _text)
{
    std::vector<std::string> found;
    for (const auto& line : lines())
        if (line.find(_text) != std::string::npos)
            found.push_back(line);
    return found;
}

bool captured_logger::wait_for(const std::string& _text, std::chrono::milliseconds _timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + _timeout;
    do {
        drain();
        for (const auto& line : m_lines)
            if (line.find(_text) != std::string::npos)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

signal_watch::signal_watch(const libs::core::logger& _logger)
    : m_core(libs::core::core::create(_logger)), m_loop(m_core->create_events_loop("main")),
      m_handle(m_loop->stop_on_signals())
{
}

signal_watch::~signal_watch()
{
    m_handle.reset();
    m_loop.reset();
    m_core.reset();
}

std::string load_runtime_database(const std::string& _name)
{
    const std::string database = test_support::fresh_database(_name);
    test_support::run_sql_file(test_support::shared_mariadb(), "tests/fixtures/runtime_schema.sql", database);
    return database;
}

std::string log_time(const std::string& _utc_text)
{
    std::string text = _utc_text;
    text[10] = 'T';
    return text + "Z";
}

} // namespace qvd::db_test
