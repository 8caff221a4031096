#include "db_test_support.hpp"

#include <thread>

namespace qvd::db_test {

namespace {

// "&lomvera:db_test " + "yyyy-mm-dd hh:mm:ss.mmm " + indentation and body.
std::string body_of(const std::string& _message) {
    const auto prefix_end = _message.find(' ');
    if (prefix_end != std::string::npos && _message.size() > prefix_end + 24)
        return _message.substr(prefix_end + 25);
    return _message;
}

const std::string end_marker = "end of the captured lines #";

} // namespace

captured_logger::captured_logger() : m_logger("lomvera", "db_test") {
    m_logger.connect(m_reader.endpoint());
    m_logger.set_debug(false);
}

std::vector<std::string> captured_logger::lines() const {
    // Lines are sent without waiting but arrive in order: once a marker logged now has arrived,
    // so has every line logged before it.
    const std::string marker = end_marker + std::to_string(++m_markers);
    m_logger.info(marker);
    m_reader.wait_for_suffix(marker, std::chrono::seconds(30));
    std::vector<std::string> result;
    for (const auto& message : m_reader.messages())
        if (message.find(end_marker) == std::string::npos)
            result.push_back(body_of(message));
    return result;
}

std::vector<std::string> captured_logger::lines_with(const std::string& _text) const {
    std::vector<std::string> found;
    for (const auto& line : lines())
        if (line.find(_text) != std::string::npos)
            found.push_back(line);
    return found;
}

bool captured_logger::wait_for(const std::string& _text, std::chrono::milliseconds _timeout) const {
    return m_reader
        .wait_for([&_text](const std::string& _message) { return body_of(_message).find(_text) != std::string::npos; },
                  _timeout)
        .has_value();
}

signal_watch::signal_watch(const libs::core::logger& _logger)
    : m_core(libs::core::core::create(_logger)), m_loop(m_core->create_events_loop("main")),
      m_handle(m_loop->stop_on_signals()) {}

signal_watch::~signal_watch() {
    m_handle.reset();
    m_loop.reset();
    m_core.reset();
}

std::string load_runtime_database(const std::string& _name) {
    const std::string database = test_support::fresh_database(_name);
    test_support::run_sql_file(test_support::shared_mariadb(), "tests/fixtures/runtime_schema.sql", database);
    return database;
}

std::string log_time(const std::string& _utc_text) {
    std::string text = _utc_text;
    text[10] = 'T';
    return text + "Z";
}

} // namespace qvd::db_test
