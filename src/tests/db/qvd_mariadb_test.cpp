#include "db_test_support.hpp"

#include "db/cancellation.hpp"
#include "db/qvd_mariadb.hpp"
#include "support/eventually.hpp"
#include "support/silent_listener.hpp"

#include <core/exception.hpp>

#include <mariadb_client/connection.hpp>
#include <mariadb_client/date_time.hpp>
#include <mariadb_client/result_set.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using qvd::db_test::captured_logger;
using qvd::db_test::signal_watch;
using qvd::test_support::eventually;
using qvd::test_support::shared_mariadb;
using ::testing::HasSubstr;
using clock_type = std::chrono::steady_clock;

// The holder with its protected operations opened to the test.
class holder : public qvd::qvd_mariadb {
public:
    using qvd_mariadb::execute;
    using qvd_mariadb::query;
    using qvd_mariadb::qvd_mariadb;
    using qvd_mariadb::run;
    using qvd_mariadb::to_timestamp;
};

// A holder on a fresh database of the shared server, with its logger and signal watch.
struct connected_holder {
    explicit connected_holder(const std::string& _database_prefix)
        : schema(qvd::test_support::fresh_database(_database_prefix)), watch(logger.get()),
          h(shared_mariadb().host, shared_mariadb().user, shared_mariadb().password, schema, shared_mariadb().port,
            watch.handle(), logger.get(), "runtime database", qvd::default_database_timeout) {}

    const std::string schema;
    captured_logger logger;
    signal_watch watch;
    const holder h;
};

double seconds_since(clock_type::time_point _start) {
    return std::chrono::duration<double>(clock_type::now() - _start).count();
}

// The error lines that the failed connection attempts logged.
std::size_t failed_attempts(captured_logger& _logger) { return _logger.lines_with("Cannot connect to the ").size(); }

TEST(qvd_mariadb, to_timestamp_reads_the_date_time_as_utc) {
    // The process's own zone must not matter.
    setenv("TZ", "America/New_York", 1);
    tzset();
    struct case_t {
        mariadb::date_time value;
        long long count;
        const char* log_form;
    };
    const case_t cases[] = {
        {mariadb::date_time(1970, 1, 1, 0, 0, 0, 0), 0, "1970-01-01T00:00:00.000Z"},
        {mariadb::date_time(2020, 1, 2, 3, 4, 5, 6), 1577934245006, "2020-01-02T03:04:05.006Z"},
        {mariadb::date_time(2024, 7, 1, 12, 0, 0, 999), 1719835200999, "2024-07-01T12:00:00.999Z"},
        {mariadb::date_time(1969, 12, 31, 23, 59, 59, 500), -500, "1969-12-31T23:59:59.500Z"},
    };
    for (const case_t& c : cases) {
        const qvd::libs::core::timestamp ts = holder::to_timestamp(c.value);
        EXPECT_EQ(ts.get_time_since_epoch().count(), c.count) << c.log_form;
        std::ostringstream text;
        text << ts;
        EXPECT_EQ(text.str(), c.log_form);
    }
    unsetenv("TZ");
    tzset();
}

TEST(qvd_mariadb, runs_queries_and_reports_failures_at_the_callers_location) {
    LOMVERA_REQUIRE_MARIADB();
    connected_holder connected("lomvera_db_holder");
    const holder& h = connected.h;
    const std::string& schema = connected.schema;
    EXPECT_EQ(failed_attempts(connected.logger), 0u);

    EXPECT_EQ(h.execute("CREATE TABLE t (id INT PRIMARY KEY)", QVD_SOURCE_LOCATION), 0u);
    EXPECT_EQ(h.execute("INSERT INTO t VALUES (1), (2), (3)", QVD_SOURCE_LOCATION), 3u);
    const auto rows = h.query("SELECT COUNT(*) AS n FROM t", QVD_SOURCE_LOCATION);
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->get_signed64("n"), 3);

    // The session speaks the character set the holder set.
    const auto charset = h.query("SELECT @@character_set_client AS c", QVD_SOURCE_LOCATION);
    ASSERT_TRUE(charset->next());
    EXPECT_EQ(charset->get_string("c"), "utf8mb4");

    const qvd::libs::core::source_location caller(4242, __FILE__, __PRETTY_FUNCTION__);
    const std::string missing = "Table '" + schema + ".missing' doesn't exist";
    try {
        h.execute("DELETE FROM missing", caller);
        FAIL() << "execute did not fail";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_EQ(e.get_string_error(), missing);
        EXPECT_EQ(e.get_source_location().line(), 4242);
        EXPECT_EQ(std::string(e.what()), std::string(caller.short_file()) + ":4242 " + missing);
    }
    try {
        h.query("SELECT * FROM missing", caller);
        FAIL() << "query did not fail";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_EQ(e.get_string_error(), missing);
        EXPECT_EQ(e.get_source_location().line(), 4242);
    }
}

TEST(qvd_mariadb, run_adds_its_context_to_a_failure_and_passes_other_exceptions_unchanged) {
    LOMVERA_REQUIRE_MARIADB();
    connected_holder connected("lomvera_db_holder_run");
    const holder& h = connected.h;
    const std::string& schema = connected.schema;
    const qvd::libs::core::source_location caller(4343, __FILE__, __PRETTY_FUNCTION__);

    EXPECT_EQ(h.run([](mariadb::connection& _connection) { return _connection.execute("DO 1"); }, caller), 0u);

    std::string context_saw;
    const auto context = [&](const std::exception& _e) {
        context_saw = _e.what();
        return std::string(" (row 7)");
    };
    const std::string missing = "Table '" + schema + ".missing' doesn't exist";
    try {
        h.run([](mariadb::connection& _connection) { return _connection.query("SELECT * FROM missing"); }, caller,
              context);
        FAIL() << "run did not fail";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_EQ(e.get_string_error(), missing + " (row 7)");
        EXPECT_EQ(e.get_source_location().line(), 4343);
        EXPECT_EQ(context_saw, missing);
    }
    // A failure of the caller's own reading, inside the callable, is wrapped the same way.
    try {
        h.run([](mariadb::connection&) { throw std::out_of_range("value too wide"); }, caller, context);
        FAIL() << "run did not fail";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_EQ(e.get_string_error(), "value too wide (row 7)");
        EXPECT_EQ(e.get_source_location().line(), 4343);
    }
    EXPECT_THROW(h.run([](mariadb::connection&) { throw 5; }, caller, context), int);
}

TEST(qvd_mariadb, waits_for_a_server_that_starts_later) {
    qvd::test_support::private_mariadb_server server;
    captured_logger logger;
    signal_watch watch(logger.get());
    const auto& endpoint = server.endpoint();

    std::thread starter([&server] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        server.start();
    });
    const auto start = clock_type::now();
    std::unique_ptr<holder> h;
    try {
        h = std::make_unique<holder>(endpoint.host, endpoint.user, endpoint.password, "", endpoint.port, watch.handle(),
                                     logger.get(), "column store", qvd::default_database_timeout);
    } catch (...) {
        starter.join();
        throw;
    }
    const double elapsed = seconds_since(start);
    starter.join();

    // One error line per failed attempt, each followed by a full 5-second pause.
    const std::size_t failures = failed_attempts(logger);
    EXPECT_GE(failures, 1u);
    EXPECT_GE(elapsed, 5.0 * static_cast<double>(failures) - 0.1);
    EXPECT_LT(elapsed, 5.0 * static_cast<double>(failures) + 4.0);
    EXPECT_EQ(h->execute("DO 1", QVD_SOURCE_LOCATION), 0u);
}

// A stopped server keeps its connections open and never answers: the wait ends after the
// timeout with an error that names the database, and the link comes back once the server runs.
TEST(qvd_mariadb, a_frozen_server_fails_the_statement_after_the_timeout) {
    qvd::test_support::private_mariadb_server server;
    server.start();
    captured_logger logger;
    signal_watch watch(logger.get());
    const auto& endpoint = server.endpoint();
    const holder h(endpoint.host, endpoint.user, endpoint.password, "", endpoint.port, watch.handle(), logger.get(),
                   "column store", 1);
    EXPECT_EQ(h.execute("DO 1", QVD_SOURCE_LOCATION), 0u);

    // A statement that is running when the server stops, and one that starts while it is stopped.
    for (const bool running_at_stop : {true, false}) {
        SCOPED_TRACE(running_at_stop ? "running at the stop" : "started after the stop");
        if (!running_at_stop)
            server.pause();
        std::future<std::string> failure = std::async(std::launch::async, [&] {
            try {
                h.execute(running_at_stop ? "SELECT SLEEP(20)" : "DO 1", QVD_SOURCE_LOCATION);
                return std::string("no failure");
            } catch (const qvd::libs::core::exception& e) {
                return e.get_string_error();
            }
        });
        if (running_at_stop) {
            // Stopped only once the server runs the statement.
            const bool running = eventually(
                [&] {
                    return qvd::test_support::query_value(endpoint,
                                                          "SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                                                          "WHERE INFO = 'SELECT SLEEP(20)'") == std::string("1");
                },
                std::chrono::seconds(30));
            server.pause();
            EXPECT_TRUE(running) << "the statement never reached the server";
        }
        const bool ended = failure.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        server.resume();
        ASSERT_TRUE(ended) << "the statement still waits for the stopped server";
        EXPECT_THAT(failure.get(), HasSubstr("(column store at 127.0.0.1:" + std::to_string(endpoint.port) + ")"));
        EXPECT_EQ(h.execute("DO 1", QVD_SOURCE_LOCATION), 0u);
    }
}

// A stand-in for the signal watcher whose flag the test drives: it is first read false, and then
// true from _delay after that first read on. A delay of none is a signal that came before the
// holder looked; a longer one comes in the pause after the first failed attempt, however long that
// attempt took.
class scripted_signals : public qvd::libs::core::events_loop::signals_handle {
public:
    explicit scripted_signals(std::optional<std::chrono::milliseconds> _delay) : m_delay(_delay) {}

    bool signal_is_received() const override {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_delay)
            return true;
        if (!m_first_read) {
            m_first_read = clock_type::now();
            return false;
        }
        return clock_type::now() - *m_first_read >= *m_delay;
    }

    // When the flag was first read false, if it was.
    std::optional<clock_type::time_point> first_read() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_first_read;
    }

private:
    const std::optional<std::chrono::milliseconds> m_delay;
    mutable std::mutex m_mutex;
    mutable std::optional<clock_type::time_point> m_first_read;
};

struct signal_case {
    const char* name;
    std::optional<std::chrono::milliseconds> delay;
};

void PrintTo(const signal_case& _case, std::ostream* _stream) { *_stream << _case.name; }

class qvd_mariadb_signal : public ::testing::TestWithParam<signal_case> {};

// A failed attempt after the signal ends the retries at once; a signal in the pause ends the pause
// there. Either way one attempt is made and "Interrupted" follows without a second.
TEST_P(qvd_mariadb_signal, ends_the_retries_with_interrupted_after_one_attempt) {
    captured_logger logger;
    const scripted_signals signals(GetParam().delay);
    const unsigned port = qvd::test_support::free_tcp_port();

    try {
        holder h("127.0.0.1", "lomvera", "lomvera", "", port, signals, logger.get(), "runtime database",
                 qvd::default_database_timeout);
        ADD_FAILURE() << "the holder connected to a port nobody listens on";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_EQ(e.get_string_error(), "Interrupted");
        EXPECT_THAT(e.what(), HasSubstr("qvd_mariadb.cpp:"));
    }
    const auto ended = clock_type::now();
    EXPECT_EQ(failed_attempts(logger), 1u);
    if (GetParam().delay) {
        // The pause began at the first look at the flag, and ended with the signal, not 5 s later.
        ASSERT_TRUE(signals.first_read());
        const double paused = std::chrono::duration<double>(ended - *signals.first_read()).count();
        EXPECT_GE(paused, std::chrono::duration<double>(*GetParam().delay).count());
        EXPECT_LT(paused, 4.5);
    }
    // The attempt's line says which database failed, where, and why.
    for (const std::string& line : logger.lines_with("Cannot connect to the "))
        EXPECT_THAT(line, HasSubstr("Cannot connect to the runtime database at 127.0.0.1:" + std::to_string(port) +
                                    ": Can't connect to server on '127.0.0.1'"));
}

INSTANTIATE_TEST_SUITE_P(
    orders, qvd_mariadb_signal,
    ::testing::Values(signal_case{"signal_before_the_first_attempt", std::nullopt},
                      signal_case{"signal_at_the_start_of_the_pause", std::chrono::milliseconds(0)},
                      signal_case{"signal_during_the_pause", std::chrono::milliseconds(1500)}),
    [](const ::testing::TestParamInfo<signal_case>& _info) { return std::string(_info.param.name); });

// A real SIGTERM in the pause after the first failed attempt ends the pause at once.
TEST(qvd_mariadb, a_signal_ends_the_retries_with_interrupted) {
    captured_logger logger;
    signal_watch watch(logger.get());
    const unsigned port = qvd::test_support::free_tcp_port();

    // Whether the signal lands before the holder looks at the flag or in the pause, the holder
    // gives up after the one attempt and well before the pause's 5 s.
    std::thread signaller([&logger] {
        logger.wait_for("Cannot connect to the ", std::chrono::seconds(60));
        kill(getpid(), SIGTERM);
    });
    const auto start = clock_type::now();
    try {
        holder h("127.0.0.1", "lomvera", "lomvera", "", port, watch.handle(), logger.get(), "runtime database",
                 qvd::default_database_timeout);
        ADD_FAILURE() << "the holder connected to a port nobody listens on";
    } catch (const qvd::libs::core::exception& e) {
        EXPECT_EQ(e.get_string_error(), "Interrupted");
    }
    const double elapsed = seconds_since(start);
    signaller.join();
    EXPECT_TRUE(watch.handle().signal_is_received());
    EXPECT_LT(elapsed, 4.5);
    EXPECT_EQ(failed_attempts(logger), 1u);
}

// A cancellation ends a start-up connect that the server never answers, long before the timeout,
// and the holder gives up without a pause; one cancelled before the holder is built fails its
// first attempt at once.
TEST(qvd_mariadb, a_cancellation_ends_a_connect_that_the_server_never_answers) {
    for (const bool before : {false, true}) {
        SCOPED_TRACE(before ? "cancelled before" : "cancelled during the connect");
        captured_logger logger;
        const scripted_signals no_signal_yet(std::chrono::hours(1));
        const qvd::test_support::silent_listener listener;
        qvd::cancellation cancels;
        if (before)
            cancels.cancel();
        std::thread canceller([&] {
            if (before)
                return;
            EXPECT_TRUE(listener.wait_for_client(std::chrono::seconds(60)));
            cancels.cancel();
        });
        const auto start = clock_type::now();
        try {
            holder h("127.0.0.1", "lomvera", "lomvera", "", listener.port(), no_signal_yet, logger.get(),
                     "column store", 600, &cancels);
            ADD_FAILURE() << "the holder connected to a server that never greets";
        } catch (const qvd::libs::core::exception& e) {
            EXPECT_EQ(e.get_string_error(), "Interrupted");
        }
        const double elapsed = seconds_since(start);
        canceller.join();
        EXPECT_LT(elapsed, 30.0);
        EXPECT_EQ(failed_attempts(logger), 1u);
        if (before) {
            EXPECT_EQ(logger.lines_with("The connection was cancelled").size(), 1u);
        }
    }
}

TEST(qvd_mariadb, connects_after_a_signal_when_the_attempt_succeeds) {
    LOMVERA_REQUIRE_MARIADB();
    captured_logger logger;
    signal_watch watch(logger.get());
    kill(getpid(), SIGTERM);
    eventually([&] { return watch.handle().signal_is_received(); }, std::chrono::seconds(30));
    ASSERT_TRUE(watch.handle().signal_is_received());

    const auto& server = shared_mariadb();
    const holder h(server.host, server.user, server.password, "", server.port, watch.handle(), logger.get(),
                   "runtime database", qvd::default_database_timeout);
    EXPECT_EQ(h.execute("DO 1", QVD_SOURCE_LOCATION), 0u);
    EXPECT_EQ(failed_attempts(logger), 0u);
}

} // namespace
