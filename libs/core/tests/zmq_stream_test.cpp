#include "zmq_fixture.hpp"

#include <core/message_stream.hpp>
#include <core/zmq/manager.hpp>

#include <boost/system/system_error.hpp>

#include <map>
#include <memory>
#include <set>
#include <stdexcept>

using namespace qvd::libs::core;
using namespace zmq_test;
namespace qz = qvd::libs::core::zmq;

namespace {

// A publisher that also sees each subscription a stream sends, duplicates included.
class publisher {
public:
    explicit publisher(::zmq::context_t& _context) : m_socket(_context, ::zmq::socket_type::xpub) {
        m_socket.set(::zmq::sockopt::linger, 0);
        m_socket.set(::zmq::sockopt::xpub_verbose, 1);
        m_socket.set(::zmq::sockopt::rcvtimeo, 5000);
        m_socket.bind("tcp://127.0.0.1:*");
        m_endpoint = m_socket.get(::zmq::sockopt::last_endpoint);
    }

    const std::string& endpoint() const { return m_endpoint; }

    // The topics subscribed from now until every one of _topics was seen; empty after 5 s.
    std::vector<std::string> subscriptions_until(std::set<std::string> _topics) {
        std::vector<std::string> seen;
        while (!_topics.empty()) {
            ::zmq::message_t message;
            if (!m_socket.recv(message))
                return {};
            const std::string text = message.to_string();
            if (text.empty() || text[0] != 1)
                continue;
            seen.push_back(text.substr(1));
            _topics.erase(seen.back());
        }
        return seen;
    }

    void publish(const std::string& _frame) { m_socket.send(::zmq::buffer(_frame)); }

private:
    ::zmq::socket_t m_socket;
    std::string m_endpoint;
};

struct core_zmq_stream : loop_fixture {
    publisher pub{peers};

    // A raw stream whose connection to the publisher stands.
    message_stream::ptr connected_raw_stream(message_stream::subscription::ptr& _ready) {
        message_stream::ptr stream = loop->create_zmq_raw_message_stream(pub.endpoint());
        _ready = stream->subscribe("~ready", [](boost::string_view) {});
        EXPECT_FALSE(pub.subscriptions_until({"~ready"}).empty());
        return stream;
    }

    // A callback that records each frame under a name.
    message_stream::callback record(const std::string& _name) {
        return [this, _name](boost::string_view _frame) { received.emplace_back(_name, std::string(_frame)); };
    }

    std::vector<std::pair<std::string, std::string>> received;
};

using record_list = std::vector<std::pair<std::string, std::string>>;

} // namespace

TEST_F(core_zmq_stream, each_frame_goes_to_the_first_subscribed_topic_it_begins_with) {
    struct example {
        std::vector<std::string> topics;
        std::vector<std::string> frames;
        record_list expected;
    };
    const std::vector<example> examples = {
        {{"ab", "a", "b"}, {"abc", "ax", "b1", "ab"}, {{"a", "abc"}, {"a", "ax"}, {"b", "b1"}, {"a", "ab"}}},
        // The empty topic sorts first and begins every frame.
        {{"a", ""}, {"abc", "z", ""}, {{"", "abc"}, {"", "z"}, {"", ""}}},
        // Byte order: "\xff" sorts after every letter.
        {{"\xff", "x"}, {"\xff\x01", "xy"}, {{"\xff", "\xff\x01"}, {"x", "xy"}}},
    };
    for (const example& e : examples) {
        received.clear();
        publisher source(peers);
        const message_stream::ptr stream = loop->create_zmq_raw_message_stream(source.endpoint());
        std::vector<message_stream::subscription::ptr> subscriptions;
        for (const std::string& topic : e.topics)
            subscriptions.push_back(stream->subscribe(topic, record(topic)));
        ASSERT_FALSE(source.subscriptions_until({e.topics.begin(), e.topics.end()}).empty());
        for (const std::string& frame : e.frames)
            source.publish(frame);
        ASSERT_TRUE(run_until([&] { return received.size() == e.expected.size(); }));
        EXPECT_EQ(received, e.expected);
    }
}

TEST_F(core_zmq_stream, json_stream_marks_letter_topics_and_hands_over_the_document) {
    const message_stream::ptr stream = loop->create_zmq_message_stream(pub.endpoint());
    const auto news = stream->subscribe("news", record("news"));
    const auto digit = stream->subscribe("1st", record("1st"));
    const auto marked = stream->subscribe("#x", record("#x"));
    const std::vector<std::string> subscribed = pub.subscriptions_until({"#news", "1st", "#x"});
    EXPECT_EQ(std::set<std::string>(subscribed.begin(), subscribed.end()),
              (std::set<std::string>{"#news", "1st", "#x"}));
    for (const char* frame : {"news {\"n\":1}", "#news {\"n\":2}", "#news no document", "#newsroom{\"r\":1} tail",
                              "#news", "1st{}", "#x {\"x\":[]}", "#news {\"last\":true}"})
        pub.publish(frame);
    ASSERT_TRUE(run_until([&] { return received.size() == 5; }));
    EXPECT_EQ(received, (record_list{{"news", "{\"n\":2}"},
                                     {"news", "{\"r\":1} tail"},
                                     {"1st", "{}"},
                                     {"#x", "{\"x\":[]}"},
                                     {"news", "{\"last\":true}"}}));
}

TEST_F(core_zmq_stream, raw_stream_hands_over_frames_whole) {
    const message_stream::ptr raw = loop->create_zmq_raw_message_stream(pub.endpoint());
    const auto raw_all = raw->subscribe("", record("raw"));
    ASSERT_FALSE(pub.subscriptions_until({""}).empty());
    const message_stream::ptr json = loop->create_zmq_message_stream(pub.endpoint());
    const auto json_all = json->subscribe("", record("json"));
    ASSERT_FALSE(pub.subscriptions_until({""}).empty());
    for (const char* frame : {"t no document", "", "t{\"a\":1}"})
        pub.publish(frame);
    ASSERT_TRUE(run_until([&] { return received.size() == 4; }));
    record_list raw_frames, json_frames;
    for (const auto& r : received)
        (r.first == "raw" ? raw_frames : json_frames).push_back(r);
    EXPECT_EQ(raw_frames, (record_list{{"raw", "t no document"}, {"raw", ""}, {"raw", "t{\"a\":1}"}}));
    EXPECT_EQ(json_frames, (record_list{{"json", "{\"a\":1}"}}));
}

TEST_F(core_zmq_stream, a_second_subscription_to_a_topic_shares_its_socket_subscription) {
    message_stream::subscription::ptr ready;
    const message_stream::ptr stream = connected_raw_stream(ready);
    const auto first = stream->subscribe("a", record("1"));
    const auto second = stream->subscribe("a", record("2"));
    const auto sentinel = stream->subscribe("zz", record("zz"));
    // Subscriptions travel in order: a second one for "a" would come before "zz".
    EXPECT_EQ(pub.subscriptions_until({"zz"}), (std::vector<std::string>{"a", "zz"}));
    pub.publish("a1");
    pub.publish("a2");
    ASSERT_TRUE(run_until([&] { return received.size() == 4; }));
    EXPECT_EQ(received, (record_list{{"1", "a1"}, {"2", "a1"}, {"1", "a2"}, {"2", "a2"}}));
}

TEST_F(core_zmq_stream, a_destroyed_subscription_is_not_called_again) {
    message_stream::subscription::ptr ready;
    const message_stream::ptr stream = connected_raw_stream(ready);
    auto first = stream->subscribe("t", record("1"));
    const auto second = stream->subscribe("t", record("2"));
    ASSERT_FALSE(pub.subscriptions_until({"t"}).empty());
    pub.publish("t1");
    ASSERT_TRUE(run_until([&] { return received.size() == 2; }));
    first.reset();
    pub.publish("t2");
    pub.publish("t3");
    ASSERT_TRUE(run_until([&] { return received.size() == 4; }));
    EXPECT_EQ(received, (record_list{{"1", "t1"}, {"2", "t1"}, {"2", "t2"}, {"2", "t3"}}));
}

TEST_F(core_zmq_stream, a_callback_subscribing_to_its_own_topic_joins_from_the_next_frame) {
    message_stream::subscription::ptr ready;
    const message_stream::ptr stream = connected_raw_stream(ready);
    std::vector<message_stream::subscription::ptr> joined;
    const auto first = stream->subscribe("t", [&](boost::string_view _frame) {
        received.emplace_back("first", std::string(_frame));
        // Enough to move the topic's callbacks elsewhere in memory while they are being called.
        if (joined.empty())
            for (int i = 0; i < 50; ++i)
                joined.push_back(stream->subscribe("t", record("joined")));
    });
    const auto second = stream->subscribe("t", record("second"));
    ASSERT_FALSE(pub.subscriptions_until({"t"}).empty());
    pub.publish("t1");
    pub.publish("t2");
    ASSERT_TRUE(run_until([&] { return received.size() == 54; }));
    record_list expected{{"first", "t1"}, {"second", "t1"}, {"first", "t2"}, {"second", "t2"}};
    expected.insert(expected.end(), 50, {"joined", "t2"});
    EXPECT_EQ(received, expected);
}

TEST_F(core_zmq_stream, callbacks_ending_their_own_subscription_or_stream_touch_nothing_destroyed) {
    message_stream::subscription::ptr ready;
    message_stream::ptr stream = connected_raw_stream(ready);
    // The captured texts live in the callbacks: reading them after the end would be caught.
    const std::string own_text(64, 's');
    message_stream::subscription::ptr own;
    own = stream->subscribe("own", [&, own_text](boost::string_view) {
        own.reset();
        received.emplace_back("own", own_text);
    });
    const std::string stream_text(64, 'm');
    const auto ender = stream->subscribe("end", [&, stream_text](boost::string_view) {
        stream.reset();
        received.emplace_back("end", stream_text);
    });
    ASSERT_FALSE(pub.subscriptions_until({"own", "end"}).empty());
    pub.publish("own1");
    pub.publish("own2");
    pub.publish("end1");
    pub.publish("end2");
    ASSERT_TRUE(run_until([&] { return !stream; }));
    // Nothing is left pending once the stream is gone.
    ready.reset();
    loop->run();
    EXPECT_EQ(received, (record_list{{"own", own_text}, {"end", stream_text}}));
    EXPECT_EQ(logged_count("message_stream_zmq_raw.cpp"), 0u);
}

TEST_F(core_zmq_stream, a_throwing_callback_skips_the_rest_of_its_frame_and_the_stream_goes_on) {
    message_stream::subscription::ptr ready;
    const message_stream::ptr stream = connected_raw_stream(ready);
    int calls = 0;
    const auto thrower = stream->subscribe("t", [&](boost::string_view) {
        if (++calls == 1)
            throw std::runtime_error("callback failed");
    });
    const auto after = stream->subscribe("t", record("after"));
    ASSERT_FALSE(pub.subscriptions_until({"t"}).empty());
    pub.publish("t1");
    pub.publish("t2");
    EXPECT_THROW(run_until([&] { return received.size() == 1; }), std::runtime_error);
    loop->get_io_context().restart();
    ASSERT_TRUE(run_until([&] { return received.size() == 1; }));
    EXPECT_EQ(received, (record_list{{"after", "t2"}}));
    EXPECT_EQ(calls, 2);
}

TEST_F(core_zmq_stream, a_receive_that_fails_is_logged_once_and_ends) {
    message_stream::subscription::ptr ready;
    const message_stream::ptr stream = connected_raw_stream(ready);
    const auto all = stream->subscribe("t", record("t"));
    ASSERT_FALSE(pub.subscriptions_until({"t"}).empty());
    pub.publish("t1");
    ASSERT_TRUE(run_until([&] { return received.size() == 1; }));
    zmq_ctx_shutdown(qz::get_context(loop->get_io_context())->handle());
    loop->run();
    pub.publish("t2");
    loop->run();
    EXPECT_EQ(received.size(), 1u);
    EXPECT_EQ(logged_count("message_stream_zmq_raw.cpp"), 1u);
}

TEST_F(core_zmq_stream, a_stream_destroyed_with_frames_queued_ends_cleanly) {
    message_stream::subscription::ptr ready;
    message_stream::ptr stream = connected_raw_stream(ready);
    const auto all = stream->subscribe("t", [&](boost::string_view _frame) {
        received.emplace_back("t", std::string(_frame));
        loop->stop();
    });
    ASSERT_FALSE(pub.subscriptions_until({"t"}).empty());
    for (int i = 0; i < 500; ++i)
        pub.publish("t" + std::to_string(i));
    loop->run();
    stream.reset();
    loop->get_io_context().restart();
    loop->run();
    EXPECT_EQ(received.size(), 1u);
    const auto start = std::chrono::steady_clock::now();
    loop.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(core_zmq_stream, refused_endpoints_throw_system_errors) {
    for (const std::string endpoint : {"nonsense", "foo://bar"}) {
        SCOPED_TRACE(endpoint);
        try {
            loop->create_zmq_raw_message_stream(endpoint);
            ADD_FAILURE() << "accepted";
        } catch (const boost::system::system_error& _error) {
            EXPECT_EQ(_error.code().message(),
                      endpoint == "nonsense" ? zmq_strerror(EINVAL) : zmq_strerror(EPROTONOSUPPORT));
        }
        EXPECT_THROW(loop->create_zmq_message_stream(endpoint), boost::system::system_error);
    }
}

TEST_F(core_zmq_stream, a_pub_socket_of_the_loop_feeds_a_stream) {
    const std::string endpoint = free_tcp_endpoint();
    const qz::socket::ptr source = loop->get_zmq().bind(qz::socket::type::pub, endpoint);
    const message_stream::ptr stream = loop->create_zmq_message_stream(endpoint);
    const auto news = stream->subscribe("news", record("news"));
    // Published until the subscription has reached the socket.
    ASSERT_TRUE(run_until([&] {
        if (received.empty())
            source->try_send(qz::message(boost::string_view("#news {\"n\":1}")));
        return !received.empty();
    }));
    EXPECT_EQ(received.front(), std::make_pair(std::string("news"), std::string("{\"n\":1}")));
}
