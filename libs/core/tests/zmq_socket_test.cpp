#include "zmq_fixture.hpp"

#include <core/exception.hpp>
#include <core/zmq/manager.hpp>

#include <boost/system/system_error.hpp>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace qvd::libs::core;
using namespace zmq_test;
namespace qz = qvd::libs::core::zmq;
using type = qz::socket::type;

namespace {

struct core_zmq_socket : loop_fixture {
    qz::manager& sockets = loop->get_zmq();

    qz::socket::ptr pull;
    qz::socket::ptr push;

    // A bound PULL socket and a PUSH socket connected to it, over tcp or ipc.
    void pipeline(const std::string& _endpoint) {
        pull = sockets.bind(type::pull, _endpoint);
        push = sockets.connect(type::push, _endpoint);
    }
};

qz::message text(const std::string& _text) { return qz::message(boost::string_view(_text)); }

std::string number(int _value) { return std::to_string(_value); }

// What ZeroMQ itself answers for the endpoint.
std::string zeromq_text(bool _bind, const std::string& _endpoint) {
    ::zmq::context_t context;
    void* const socket = zmq_socket(context.handle(), ZMQ_PUSH);
    const int result = _bind ? zmq_bind(socket, _endpoint.c_str()) : zmq_connect(socket, _endpoint.c_str());
    const std::string text = result == 0 ? std::string("accepted") : zmq_strerror(zmq_errno());
    zmq_close(socket);
    return text;
}

} // namespace

TEST_F(core_zmq_socket, refused_endpoints_and_types_fail_with_their_texts) {
    for (const bool bind : {false, true}) {
        for (const std::string endpoint : {"nonsense", "foo://bar", "tcp://127.0.0.1:notaport"}) {
            SCOPED_TRACE(endpoint);
            const std::string expected =
                std::string(bind ? "zmq::socket_impl::bind to " : "zmq::socket_impl::connect to ") + endpoint + ": " +
                zeromq_text(bind, endpoint);
            try {
                if (bind)
                    sockets.bind(type::pull, endpoint);
                else
                    sockets.connect(type::push, endpoint);
                ADD_FAILURE() << "accepted";
            } catch (const exception& _error) {
                EXPECT_EQ(_error.get_string_error(), expected);
                EXPECT_NE(std::string(_error.what()).find("/zmq/socket_impl.cpp:"), std::string::npos) << _error.what();
            }
        }
    }
    // A type outside the enumeration cannot even be opened.
    EXPECT_THROW(sockets.connect(static_cast<type>(5), "tcp://127.0.0.1:1"), boost::system::system_error);
    EXPECT_THROW(sockets.bind(static_cast<type>(-1), ipc_endpoint()), boost::system::system_error);
}

TEST_F(core_zmq_socket, frames_arrive_in_order_over_tcp_and_ipc) {
    for (const std::string& endpoint : {free_tcp_endpoint(), ipc_endpoint()}) {
        SCOPED_TRACE(endpoint);
        pipeline(endpoint);
        std::vector<std::string> received;
        pull->set_receive_callback([&](qz::message& _frame) { received.push_back(_frame.string()); });
        for (int i = 0; i < 50; ++i)
            push->send(text(number(i)));
        push->send(qz::message(), qz::flags::none);
        ASSERT_TRUE(run_until([&] { return received.size() == 51; }));
        for (int i = 0; i < 50; ++i)
            EXPECT_EQ(received[static_cast<std::size_t>(i)], number(i));
        EXPECT_EQ(received.back(), "");
    }
}

TEST_F(core_zmq_socket, a_new_callback_replaces_the_old_one_with_a_single_receive) {
    pipeline(ipc_endpoint());
    std::vector<std::string> first, second, third;
    pull->set_receive_callback([&, socket = pull.get()](qz::message& _frame) {
        first.push_back(_frame.string());
        socket->set_receive_callback([&](qz::message& _next) { second.push_back(_next.string()); });
    });
    for (const char* frame : {"1", "2", "3"})
        push->send(text(frame));
    ASSERT_TRUE(run_until([&] { return first.size() + second.size() == 3; }));
    pull->set_receive_callback([&](qz::message& _frame) { third.push_back(_frame.string()); });
    push->send(text("4"));
    ASSERT_TRUE(run_until([&] { return third.size() == 1; }));
    EXPECT_EQ(first, std::vector<std::string>{"1"});
    EXPECT_EQ(second, (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(third, std::vector<std::string>{"4"});
}

TEST_F(core_zmq_socket, try_send_queues_only_where_a_peer_can_take_it) {
    const std::string endpoint = ipc_endpoint();
    const qz::socket::ptr source = sockets.bind(type::push, endpoint);
    EXPECT_FALSE(source->try_send(text("nobody")));
    EXPECT_FALSE(source->try_send(text("nobody"), qz::flags::sndmore));

    const qz::socket::ptr receiver = sockets.connect(type::pull, endpoint);
    std::vector<std::string> received;
    receiver->set_receive_callback([&](qz::message& _frame) { received.push_back(_frame.string()); });
    // The peer's pipe appears once the loop has let the connection through.
    bool queued = false;
    ASSERT_TRUE(run_until([&] { return queued = queued || source->try_send(text("somebody")); }));
    ASSERT_TRUE(run_until([&] { return received.size() == 1; }));
    EXPECT_EQ(received, std::vector<std::string>{"somebody"});
}

TEST_F(core_zmq_socket, multi_part_messages_are_read_with_receive_more) {
    pipeline(free_tcp_endpoint());
    std::vector<std::vector<std::string>> messages;
    pull->set_receive_callback([&, socket = pull.get()](qz::message& _first) {
        std::vector<std::string> parts{_first.string()};
        for (bool more = _first.more(); more;) {
            const qz::message part = socket->receive_more();
            parts.push_back(part.string());
            more = part.more();
        }
        messages.push_back(parts);
    });
    push->send(text("a"), qz::flags::sndmore);
    push->send(qz::message(), qz::flags::sndmore);
    ASSERT_TRUE(push->try_send(text("c")));
    push->send(text("single"));
    ASSERT_TRUE(push->try_send(text("x"), qz::flags::sndmore));
    push->send(text("y"));
    ASSERT_TRUE(run_until([&] { return messages.size() == 3; }));
    EXPECT_EQ(messages[0], (std::vector<std::string>{"a", "", "c"}));
    EXPECT_EQ(messages[1], std::vector<std::string>{"single"});
    EXPECT_EQ(messages[2], (std::vector<std::string>{"x", "y"}));
}

TEST_F(core_zmq_socket, req_and_rep_take_turns_with_callbacks_set_before_the_first_send) {
    const std::string endpoint = ipc_endpoint();
    const qz::socket::ptr rep = sockets.bind(type::rep, endpoint);
    const qz::socket::ptr req = sockets.connect(type::req, endpoint);
    rep->set_receive_callback([&](qz::message& _request) { rep->send(text("re " + _request.string())); });
    std::vector<std::string> replies;
    // A REQ socket cannot receive before it sent: its receive waits for its turn.
    req->set_receive_callback([&](qz::message& _reply) {
        replies.push_back(_reply.string());
        if (replies.size() % 2 == 1)
            req->send(text(number(static_cast<int>(replies.size()))));
    });
    // Requests sent from outside the callback find the REQ socket waiting already.
    for (int i = 0; i < 40; i += 2) {
        req->send(text(number(i)));
        ASSERT_TRUE(run_until([&] { return replies.size() == static_cast<std::size_t>(i) + 2; })) << i;
    }
    for (std::size_t i = 0; i < replies.size(); ++i)
        EXPECT_EQ(replies[i], "re " + number(static_cast<int>(i)));
}

TEST_F(core_zmq_socket, a_burst_sent_faster_than_it_is_handled_arrives_whole_and_in_order) {
    constexpr int frames = 100000;
    ::zmq::socket_t sender = peer(::zmq::socket_type::push);
    sender.bind("tcp://127.0.0.1:*");
    const qz::socket::ptr receiver = sockets.connect(type::pull, sender.get(::zmq::sockopt::last_endpoint));
    int expected = 0;
    bool in_order = true;
    receiver->set_receive_callback([&](qz::message& _frame) {
        int value = -1;
        if (_frame.size() == sizeof value)
            std::memcpy(&value, _frame.data(), sizeof value);
        in_order = in_order && value == expected;
        ++expected;
    });
    std::thread sending([&] {
        for (int i = 0; i < frames; ++i)
            sender.send(::zmq::buffer(&i, sizeof i), ::zmq::send_flags::none);
    });
    // The last frames must arrive with nothing sent after them.
    const bool whole = run_until([&] { return expected >= frames; });
    sending.join();
    EXPECT_TRUE(whole) << expected << " of " << frames;
    EXPECT_EQ(expected, frames);
    EXPECT_TRUE(in_order);
}

TEST_F(core_zmq_socket, frames_queued_while_one_is_handled_are_not_left_waiting) {
    pipeline(free_tcp_endpoint());
    std::vector<std::string> received;
    pull->set_receive_callback([&, sender = push.get()](qz::message& _frame) {
        received.push_back(_frame.string());
        if (received.size() == 1)
            for (int i = 1; i <= 20; ++i)
                sender->send(text(number(i)));
    });
    push->send(text("0"));
    ASSERT_TRUE(run_until([&] { return received.size() == 21; })) << received.size();
    EXPECT_EQ(received.back(), "20");
}

TEST_F(core_zmq_socket, a_frame_read_outside_the_callback_does_not_stall_the_next) {
    pipeline(ipc_endpoint());
    std::vector<std::string> received;
    pull->set_receive_callback([&](qz::message& _frame) { received.push_back(_frame.string()); });
    push->send(text("first"));
    ASSERT_TRUE(run_until([&] { return received.size() == 1; }));
    // The receive now waits; a synchronous read takes the next frame from under it.
    push->send(text("second"));
    push->send(text("third"));
    EXPECT_EQ(pull->receive_more().string(), "second");
    ASSERT_TRUE(run_until([&] { return received.size() == 2; }));
    EXPECT_EQ(received.back(), "third");
}

TEST_F(core_zmq_socket, a_throwing_callback_leaves_run_and_the_next_frame_still_arrives) {
    pipeline(ipc_endpoint());
    std::vector<std::string> received;
    pull->set_receive_callback([&](qz::message& _frame) {
        received.push_back(_frame.string());
        if (received.size() == 1)
            throw std::runtime_error("callback failed");
    });
    push->send(text("1"));
    push->send(text("2"));
    EXPECT_THROW(run_until([&] { return received.size() == 2; }), std::runtime_error);
    loop->get_io_context().restart();
    ASSERT_TRUE(run_until([&] { return received.size() == 2; }));
    EXPECT_EQ(received, (std::vector<std::string>{"1", "2"}));
}

TEST_F(core_zmq_socket, a_socket_destroyed_in_its_own_callback_stops_quietly) {
    pipeline(ipc_endpoint());
    int calls = 0;
    pull->set_receive_callback([&](qz::message&) {
        ++calls;
        pull.reset();
    });
    for (int i = 0; i < 5; ++i)
        push->send(text(number(i)));
    ASSERT_TRUE(run_until([&] { return calls == 1; }));
    // Nothing is left to run: no receive was started again.
    push.reset();
    loop->run();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(logged_count("socket_impl.cpp"), 0u);
}

TEST_F(core_zmq_socket, a_receive_that_fails_is_logged_once_and_ends) {
    ::zmq::socket_t sender = peer(::zmq::socket_type::push);
    sender.bind("tcp://127.0.0.1:*");
    const qz::socket::ptr receiver = sockets.connect(type::pull, sender.get(::zmq::sockopt::last_endpoint));
    int calls = 0;
    receiver->set_receive_callback([&](qz::message&) { ++calls; });
    sender.send(::zmq::str_buffer("1"));
    ASSERT_TRUE(run_until([&] { return calls == 1; }));
    // Ending the loop's ZeroMQ context makes every receive on it fail.
    zmq_ctx_shutdown(qz::get_context(loop->get_io_context())->handle());
    loop->run();
    sender.send(::zmq::str_buffer("2"), ::zmq::send_flags::dontwait);
    loop->run();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(logged_count("socket_impl.cpp"), 1u);
    EXPECT_EQ(logged_count(zmq_strerror(ETERM)), 1u);
}

TEST_F(core_zmq_socket, sockets_destroyed_with_frames_queued_end_without_hanging) {
    // Frames queued for a peer that never listens: only the bounded linger holds the context.
    qz::socket::ptr unheard = sockets.connect(type::push, free_tcp_endpoint());
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(unheard->try_send(text(number(i))));
    // Frames received but never handled.
    pipeline(ipc_endpoint());
    int calls = 0;
    pull->set_receive_callback([&](qz::message&) {
        ++calls;
        loop->stop();
    });
    for (int i = 0; i < 100; ++i)
        push->send(text(number(i)));
    loop->run();
    EXPECT_EQ(calls, 1);
    pull.reset();
    push.reset();
    unheard.reset();
    const auto start = std::chrono::steady_clock::now();
    loop.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, qz::close_linger + 5s);
}

TEST_F(core_zmq_socket, inproc_peers_reach_sockets_through_the_loops_context) {
    ::zmq::socket_t sender(*qz::get_context(loop->get_io_context()), ::zmq::socket_type::push);
    sender.set(::zmq::sockopt::linger, 0);
    sender.bind("inproc://frames");
    const qz::socket::ptr receiver = sockets.connect(type::pull, "inproc://frames");
    std::string received;
    receiver->set_receive_callback([&](qz::message& _frame) { received = _frame.string(); });
    sender.send(::zmq::str_buffer("inside"));
    ASSERT_TRUE(run_until([&] { return !received.empty(); }));
    EXPECT_EQ(received, "inside");
}

TEST_F(core_zmq_socket, a_loop_run_by_several_threads_hands_over_each_frame_once_in_order) {
    constexpr int frames = 20000;
    ::zmq::socket_t sender = peer(::zmq::socket_type::push);
    sender.bind("tcp://127.0.0.1:*");
    const qz::socket::ptr receiver = sockets.connect(type::pull, sender.get(::zmq::sockopt::last_endpoint));
    std::atomic<int> expected{0};
    std::atomic<bool> in_order{true};
    receiver->set_receive_callback([&](qz::message& _frame) {
        int value = -1;
        std::memcpy(&value, _frame.data(), std::min(_frame.size(), sizeof value));
        if (value != expected.load())
            in_order = false;
        if (++expected == frames)
            loop->stop();
    });
    std::thread sending([&] {
        for (int i = 0; i < frames; ++i)
            sender.send(::zmq::buffer(&i, sizeof i), ::zmq::send_flags::none);
    });
    const auto work = loop->create_work();
    const auto guard = loop->create_timer(
        loop->get_timers().current_time_point() + 10s, "guard", [&](timer::time_point) { loop->stop(); },
        QVD_SOURCE_LOCATION);
    std::vector<std::thread> runners;
    for (int t = 0; t < 3; ++t)
        runners.emplace_back([&] { loop->run(); });
    for (auto& runner : runners)
        runner.join();
    sending.join();
    EXPECT_EQ(expected, frames);
    EXPECT_TRUE(in_order);
}
