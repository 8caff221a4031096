#include <core/constants.hpp>
#include <core/logger.hpp>

#include "support/syslog_receiver.hpp"
#include "support/zmq_reader.hpp"

#include <boost/system/errc.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

using namespace qvd::libs::core;
using qvd::test_support::syslog_line;
using qvd::test_support::zmq_reader;

namespace {

// The stream prefix of the logger's own component.
std::string main_prefix() { return "&" + constants::project_name + ":main "; }

// Whether _text holds a date text "YYYY-MM-DD HH:MM:SS.mmm " at _position.
bool is_date_at(const std::string& _text, size_t _position) {
    static const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (_text.size() < _position + shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = _text[_position + i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i])
            return false;
    }
    return true;
}

// Whether _text is exactly _head, a date text and _tail.
bool dated(const std::string& _text, const std::string& _head, const std::string& _tail) {
    return _text.size() == _head.size() + 24 + _tail.size() && _text.compare(0, _head.size(), _head) == 0 &&
           is_date_at(_text, _head.size()) && _text.compare(_head.size() + 24, _tail.size(), _tail) == 0;
}

// The stream message that is exactly this prefix, a date, _indent and _body.
std::optional<std::string> stream_line(const zmq_reader& _reader, const std::string& _prefix,
                                       const std::string& _indent, const std::string& _body) {
    return _reader.wait_for([&](const std::string& _message) { return dated(_message, _prefix, _indent + _body); });
}

size_t count_bodies(const std::vector<syslog_line>& _lines, const std::string& _body) {
    return static_cast<size_t>(
        std::count_if(_lines.begin(), _lines.end(), [&](const syslog_line& _l) { return _l.body == _body; }));
}

// Captures what is written to file descriptor 2 while it lives.
class stderr_capture {
public:
    stderr_capture() {
        std::fflush(stderr);
        m_saved = ::dup(2);
        m_file = std::tmpfile();
        ::dup2(::fileno(m_file), 2);
    }
    ~stderr_capture() { restore(); }
    std::string text() {
        restore();
        std::string result;
        std::rewind(m_file);
        char buffer[4096];
        size_t size;
        while ((size = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
            result.append(buffer, size);
        return result;
    }

private:
    void restore() {
        if (m_saved >= 0) {
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
    }
    int m_saved = -1;
    std::FILE* m_file = nullptr;
};

// A file name under the source tree; a location only views its text, so it must stay alive.
const std::string& sample_file(const std::string& _relative) {
    static std::map<std::string, std::string> files;
    auto& file = files[_relative];
    file = constants::source_directory + _relative;
    return file;
}

} // namespace

namespace qvd::trace_sample {

// A qvd function, so that its short name is its qualified name.
void traced(const component_logger& _logger, bool _nested) {
    const auto guard = _logger.enter_function_short(QVD_SOURCE_LOCATION, "loading");
    _logger.debug("inside %1%") % 1;
    if (_nested) {
        const auto inner = _logger.enter_scope("inner");
        _logger.info("deeper");
    }
    _logger.debug("inside %1%") % 2;
}

} // namespace qvd::trace_sample

TEST(core_logger, levels_reach_syslog_and_stream_by_debug_mode) {
    LOMVERA_SYSLOG_RECEIVER(syslog);
    zmq_reader reader;
    logger log(constants::project_name, "main");

    // Before connect: the system log has the first line, the stream drops it silently.
    const auto starting = syslog->wait_for_body("Starting " + constants::project_name);
    ASSERT_TRUE(starting);
    EXPECT_EQ(starting->priority, 14);
    EXPECT_EQ(starting->tag, constants::project_name);

    log.connect(reader.endpoint());
    ASSERT_TRUE(stream_line(reader, main_prefix(), "", "Connected to socket"));

    log.debug("a debug line %1%") % 7;
    log.info("an info line %1% %2%") % std::string("with") % boost::string_view("args");
    log.warning("a warning line");
    log.error("an error line");
    ASSERT_TRUE(syslog->wait_for_body("an error line"));
    const auto lines = syslog->lines();
    // Debug mode off: no debug line in the system log, others without date or indentation.
    EXPECT_EQ(count_bodies(lines, "Connected to socket"), 0u);
    EXPECT_EQ(count_bodies(lines, "a debug line 7"), 0u);
    EXPECT_EQ(syslog->wait_for_body("an info line with args")->priority, 14);
    EXPECT_EQ(syslog->wait_for_body("a warning line")->priority, 12);
    EXPECT_EQ(syslog->wait_for_body("an error line")->priority, 11);
    // The stream takes every level.
    for (const char* body : {"a debug line 7", "an info line with args", "a warning line", "an error line"})
        EXPECT_TRUE(stream_line(reader, main_prefix(), "", body)) << body;
    EXPECT_EQ(reader.messages().front().rfind(main_prefix(), 0), 0u);
    EXPECT_TRUE(std::none_of(reader.messages().begin(), reader.messages().end(),
                             [](const std::string& _m) { return _m.find("Starting") != std::string::npos; }));

    // Debug mode on: debug lines arrive, dated and indented, and are copied to standard error.
    stderr_capture captured;
    log.set_debug(true);
    EXPECT_TRUE(log.is_debug());
    log.debug("now visible");
    qvd::trace_sample::traced(log, false);
    log.info("marker");
    ASSERT_TRUE(syslog->wait_for([](const syslog_line& _l) {
        return _l.body.size() > 6 && _l.body.compare(_l.body.size() - 6, 6, "marker") == 0;
    }));
    const std::string errors = captured.text();
    const auto visible =
        syslog->wait_for([](const syslog_line& _l) { return _l.body.find("now visible") != std::string::npos; });
    ASSERT_TRUE(visible);
    EXPECT_EQ(visible->priority, 15);
    EXPECT_TRUE(dated(visible->body, "", "now visible")) << visible->body;
    const auto indented =
        syslog->wait_for([](const syslog_line& _l) { return _l.body.find("inside 1") != std::string::npos; });
    ASSERT_TRUE(indented);
    EXPECT_TRUE(dated(indented->body, "", "    | inside 1")) << indented->body;
    EXPECT_NE(errors.find(constants::project_name + ": "), std::string::npos) << errors;
    EXPECT_NE(errors.find("now visible"), std::string::npos) << errors;

    // Back off: debug lines are masked again.
    log.set_debug(false);
    log.debug("hidden again");
    log.info("second marker");
    ASSERT_TRUE(syslog->wait_for_body("second marker"));
    EXPECT_EQ(count_bodies(syslog->lines(), "hidden again"), 0u);
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "hidden again"));
}

TEST(core_logger, trace_scopes_indent_the_stream_until_their_guard_ends) {
    zmq_reader reader;
    logger log(constants::project_name, "main");
    log.connect(reader.endpoint());
    qvd::trace_sample::traced(log, true);
    log.info("after");

    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "qvd::trace_sample::traced: loading"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "    | ", "inside 1"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "    | ", "inner"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "        | ", "deeper"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "    | ", "inside 2"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "after"));
    EXPECT_EQ(log.make_indent(), "");

    // The other trace forms.
    const source_location where(42, sample_file("/src/x.cpp"), "void qvd::x::f(int)");
    {
        const auto a = log.enter_function(where);
        const auto b = log.enter_scope(where);
        const auto c = log.enter_scope(where, "named");
        EXPECT_EQ(log.make_indent(), "            | ");
    }
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "void qvd::x::f(int)"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "    | ", "/src/x.cpp:42"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "        | ", "/src/x.cpp:42 (named)"));
}

TEST(core_logger, formatter_parts_and_given_time) {
    zmq_reader reader;
    logger log(constants::project_name, "main");
    log.connect(reader.endpoint());
    const source_location where(9, sample_file("/src/y.cpp"), "int qvd::y::g() const");

    log.info("at a given time").date_time(timestamp(1, 5));
    log.info("located %1%").location(where) % "text";
    log.info("in function").short_function(where);
    log.info("in full").function(where);
    log.info("both").location(where).short_function(where);

    EXPECT_TRUE(reader.wait_for_suffix("both"));
    EXPECT_TRUE(reader.wait_for(
        [&](const std::string& _m) { return _m == main_prefix() + "1970-01-01 00:00:01.005 at a given time"; }));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "/src/y.cpp:9 located text"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "qvd::y::g: in function"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "int qvd::y::g() const: in full"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "/src/y.cpp:9 qvd::y::g: both"));

    // Switched off, the stream gets nothing.
    log.set_writing_to_socket(false);
    log.info("not streamed");
    log.set_writing_to_socket(true);
    log.info("streamed again");
    ASSERT_TRUE(reader.wait_for_suffix("streamed again"));
    EXPECT_FALSE(reader.wait_for_suffix("not streamed", std::chrono::milliseconds(0)));
}

TEST(core_logger, exceptions_errors_and_execute) {
    LOMVERA_SYSLOG_RECEIVER(syslog);
    zmq_reader reader;
    logger log(constants::project_name, "main");
    log.connect(reader.endpoint());
    const auto component = log.component("worker");
    const std::string worker_prefix = "&" + constants::project_name + ":worker ";
    const source_location where(77, sample_file("/src/z.cpp"), "void qvd::z::h()");

    try {
        throw std::runtime_error("disk full");
    } catch (...) {
        component->log_exception(where);
    }
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "/src/z.cpp:77 Caught exeption"));
    EXPECT_TRUE(stream_line(reader, worker_prefix, "", "std::exception::what(): disk full"));
    EXPECT_EQ(syslog->wait_for_body("std::exception::what(): disk full")->priority, 11);
    EXPECT_EQ(syslog->wait_for_body("/src/z.cpp:77 Caught exeption")->priority, 11);

    component->log_exception(exception("located failure", where));
    EXPECT_TRUE(stream_line(reader, worker_prefix, "", "/src/z.cpp:77 located failure"));

    component->log_error(boost::system::errc::make_error_code(boost::system::errc::connection_refused), where);
    const auto refused = syslog->wait_for_body("/src/z.cpp:77: Connection refused");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->priority, 11);

    EXPECT_TRUE(component->execute([] {}));
    EXPECT_FALSE(component->execute([] { throw 5; }));
    EXPECT_FALSE(component->execute([&] { throw exception("in execute", where); }));
    EXPECT_TRUE(stream_line(reader, worker_prefix, "", "Unknown exception"));
    EXPECT_TRUE(stream_line(reader, worker_prefix, "", "/src/z.cpp:77 in execute"));
}

namespace {

struct unprintable {};
std::ostream& operator<<(std::ostream&, const unprintable&) { throw std::runtime_error("cannot print"); }

} // namespace

TEST(core_logger, a_statement_never_throws_nor_terminates) {
    zmq_reader reader;
    logger log(constants::project_name, "main");
    log.connect(reader.endpoint());

    // Argument counts that do not match the placeholders.
    log.info("two %1% and %2%") % 1;
    log.info("one %1%") % 1 % 2;
    log.info("bad %") % 3;
    log.info("value %1% end") % unprintable{};
    {
        auto first = log.info("written once");
        auto second = std::move(first);
    }
    log.info("done");
    ASSERT_TRUE(reader.wait_for_suffix("done"));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "two 1 and "));
    EXPECT_TRUE(stream_line(reader, main_prefix(), "", "one 1"));
    EXPECT_TRUE(reader.wait_for_suffix("end"));
    const auto messages = reader.messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& _m) { return _m.find("written once") != std::string::npos; }),
              1);
}

TEST(core_logger, many_threads_log_whole_lines) {
    zmq_reader reader;
    {
        logger log(constants::project_name, "main");
        log.connect(reader.endpoint());
        ASSERT_TRUE(reader.wait_for_suffix("Connected to socket"));
        const auto component = log.component("threads");
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < 150; ++i)
                    component->info("thread %1% line %2%") % t % i;
            });
        for (auto& thread : threads)
            thread.join();
        ASSERT_TRUE(reader.wait_for_count(601));
    }
    const std::string prefix = "&" + constants::project_name + ":threads ";
    const auto messages = reader.messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [&](const std::string& _m) {
                                return is_date_at(_m, prefix.size()) && _m.rfind(prefix, 0) == 0 &&
                                       _m.compare(prefix.size() + 24, 7, "thread ") == 0;
                            }),
              600);
}

TEST(core_logger, refused_endpoint_throws_zmq_error) {
    logger log(constants::project_name, "main");
    EXPECT_THROW(log.connect("no-such-transport://x"), zmq::error_t);
    // The mutex was released: the logger still works.
    zmq_reader reader;
    log.connect(reader.endpoint());
    log.info("still fine");
    EXPECT_TRUE(reader.wait_for_suffix("still fine"));
}
