#include <core/impl/udp/socket_impl.hpp>
#include <core/udp/socket.hpp>

#include "network_fixture.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qvd::libs::core;

namespace {

// One delivered datagram.
struct datagram {
    udp::endpoint sender;
    boost::asio::ip::address_v4 local;
    std::string data;
};

struct core_udp : qvd::test_support::network_fixture {
    static udp::endpoint local_endpoint(const udp::socket& _socket) {
        return dynamic_cast<const udp::socket_impl&>(_socket).local_endpoint();
    }
    static int port_of(const udp::socket& _socket) { return local_endpoint(_socket).port(); }

    // A loopback socket collecting what it receives.
    udp::socket::ptr receiver(std::vector<datagram>& _received, const std::string& _address = "127.0.0.1") {
        udp::socket::ptr socket = loop->create_udp_socket(_address, 0);
        socket->set_receive_callback([&_received](const udp::endpoint& _sender,
                                                  const boost::asio::ip::address_v4& _local,
                                                  const udp::message& _data) {
            _received.push_back({_sender, _local, std::string(_data.data(), _data.size())});
        });
        return socket;
    }
};

// Datagram i: its number, then i % 97 bytes that depend on it, so that a lost, repeated, reordered
// or joined datagram shows.
std::string numbered(std::uint32_t _number) {
    std::string data(4 + _number % 97, '\0');
    std::memcpy(&data[0], &_number, 4);
    for (std::size_t i = 4; i < data.size(); ++i)
        data[i] = static_cast<char>(_number * 31 + i);
    return data;
}

bool ipv6_loopback_available() {
    try {
        boost::asio::io_context io_context;
        boost::asio::ip::udp::socket probe(io_context, udp::endpoint(boost::asio::ip::make_address("::1"), 0));
        return true;
    } catch (const boost::system::system_error&) {
        return false;
    }
}

} // namespace

TEST_F(core_udp, ten_thousand_datagrams_arrive_once_each_in_order_and_never_joined) {
    std::vector<datagram> received;
    // Bound to the any-address: the local address still comes from the packet information.
    udp::socket::ptr target = loop->create_udp_socket(ip_protocol::v4, 0);
    target->set_receive_callback([&received](const udp::endpoint& _sender, const boost::asio::ip::address_v4& _local,
                                             const udp::message& _data) {
        received.push_back({_sender, _local, std::string(_data.data(), _data.size())});
    });
    udp::socket::ptr source = loop->create_udp_socket("127.0.0.1", 0);
    const udp::endpoint destination(boost::asio::ip::make_address("127.0.0.1"),
                                    static_cast<unsigned short>(port_of(*target)));

    // Sent in windows that the receive buffer holds, so that nothing is dropped on the way.
    constexpr std::uint32_t total = 10000;
    constexpr std::uint32_t window = 50;
    for (std::uint32_t first = 0; first < total; first += window) {
        for (std::uint32_t i = first; i < first + window; ++i)
            source->send_to(destination, numbered(i));
        ASSERT_TRUE(run_until([&] { return received.size() >= first + window; }));
    }
    run_ready();
    ASSERT_EQ(received.size(), total);
    const udp::endpoint sender = local_endpoint(*source);
    for (std::uint32_t i = 0; i < total; ++i) {
        ASSERT_EQ(received[i].data, numbered(i)) << "datagram " << i;
        ASSERT_EQ(received[i].sender, sender);
        ASSERT_EQ(received[i].local.to_string(), "127.0.0.1");
    }
}

TEST_F(core_udp, an_empty_datagram_gives_an_empty_view_and_send_to_takes_address_text) {
    std::vector<datagram> received;
    udp::socket::ptr target = receiver(received);
    udp::socket::ptr source = loop->create_udp_socket(ip_protocol::v4, 0);
    source->send_to("127.0.0.1", port_of(*target), "");
    source->send_to("127.0.0.1", port_of(*target), "text");
    ASSERT_TRUE(run_until([&] { return received.size() == 2; }));
    EXPECT_EQ(received[0].data, "");
    EXPECT_EQ(received[1].data, "text");
    EXPECT_EQ(received[1].sender.port(), port_of(*source));
    EXPECT_EQ(source->make_endpoint("::1", 8080),
              udp::endpoint(boost::asio::ip::make_address("::1"), static_cast<unsigned short>(8080)));
}

TEST_F(core_udp, a_later_callback_replaces_the_first) {
    std::vector<datagram> first;
    std::vector<datagram> second;
    udp::socket::ptr target = receiver(first);
    udp::socket::ptr source = loop->create_udp_socket("127.0.0.1", 0);
    source->send_to("127.0.0.1", port_of(*target), "one");
    ASSERT_TRUE(run_until([&] { return first.size() == 1; }));
    target->set_receive_callback(
        [&second](const udp::endpoint& _sender, const boost::asio::ip::address_v4& _local, const udp::message& _data) {
            second.push_back({_sender, _local, std::string(_data.data(), _data.size())});
        });
    source->send_to("127.0.0.1", port_of(*target), "two");
    source->send_to("127.0.0.1", port_of(*target), "three");
    ASSERT_TRUE(run_until([&] { return second.size() == 2; }));
    run_ready();
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(second[0].data, "two");
    EXPECT_EQ(second[1].data, "three");
}

// The callback replaces itself and then reads what it captured: the closure it runs in must
// outlive its call. The captured text is long so that the closure sits on the heap, where the
// address sanitizer sees a read after its destruction.
TEST_F(core_udp, a_callback_that_replaces_itself_finishes_its_call) {
    udp::socket::ptr target = loop->create_udp_socket("127.0.0.1", 0);
    std::vector<std::string> seen;
    target->set_receive_callback([&, name = std::string(100, 'f')](const udp::endpoint&,
                                                                   const boost::asio::ip::address_v4&,
                                                                   const udp::message& _data) {
        target->set_receive_callback(
            [&seen](const udp::endpoint&, const boost::asio::ip::address_v4&, const udp::message& _next) {
                seen.push_back("next " + std::string(_next.data(), _next.size()));
            });
        seen.push_back(name.substr(0, 1) + " " + std::string(_data.data(), _data.size()));
    });
    udp::socket::ptr source = loop->create_udp_socket("127.0.0.1", 0);
    // Both queued before the loop runs: the second is read in the same turn, by the new callback.
    source->send_to("127.0.0.1", port_of(*target), "one");
    source->send_to("127.0.0.1", port_of(*target), "two");
    ASSERT_TRUE(run_until([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"f one", "next two"}));
}

TEST_F(core_udp, a_callback_may_destroy_its_own_socket) {
    udp::socket::ptr target = loop->create_udp_socket("127.0.0.1", 0);
    const int port = port_of(*target);
    int calls = 0;
    // What the callback captured stays usable for the rest of the call.
    target->set_receive_callback([&, marker = std::make_shared<int>(3)](
                                     const udp::endpoint&, const boost::asio::ip::address_v4&, const udp::message&) {
        target.reset();
        calls += *marker;
    });
    udp::socket::ptr source = loop->create_udp_socket("127.0.0.1", 0);
    // Both queued before the loop runs: the second must not be read from the destroyed socket.
    source->send_to("127.0.0.1", port, "first");
    source->send_to("127.0.0.1", port, "second");
    ASSERT_TRUE(run_until([&] { return target == nullptr; }));
    run_ready();
    EXPECT_EQ(calls, 3);
}

TEST_F(core_udp, bad_addresses_and_bound_ports_throw_before_anything_is_sent) {
    std::vector<datagram> received;
    udp::socket::ptr target = receiver(received);
    const int port = port_of(*target);
    EXPECT_THROW(target->send_to("not an address", port, "x"), boost::system::system_error);
    EXPECT_THROW(target->make_endpoint("localhost", port), boost::system::system_error);
    EXPECT_THROW(loop->create_udp_socket("256.0.0.1", 0), boost::system::system_error);
    // No address reuse: a bound port cannot be bound again.
    EXPECT_THROW(loop->create_udp_socket("127.0.0.1", port), boost::system::system_error);

    target->send_to("127.0.0.1", port, "only this");
    ASSERT_TRUE(run_until([&] { return received.size() == 1; }));
    run_ready();
    EXPECT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].data, "only this");
}

TEST_F(core_udp, ports_outside_the_16_bit_range_are_refused) {
    udp::socket::ptr socket = loop->create_udp_socket("127.0.0.1", 0);
    for (const int port : {-1, 65536, 70000, INT_MIN, INT_MAX}) {
        const std::string number = std::to_string(port);
        const auto names_port = [&number](const std::function<void()>& _call) {
            try {
                _call();
            } catch (const std::out_of_range& _error) {
                return std::string(_error.what()).find(number) != std::string::npos;
            }
            return false;
        };
        EXPECT_TRUE(names_port([&] { loop->create_udp_socket(ip_protocol::v4, port); })) << port;
        EXPECT_TRUE(names_port([&] { loop->create_udp_socket("127.0.0.1", port); })) << port;
        EXPECT_TRUE(names_port([&] { socket->make_endpoint("127.0.0.1", port); })) << port;
        EXPECT_TRUE(names_port([&] { socket->send_to("127.0.0.1", port, "x"); })) << port;
    }
}

TEST_F(core_udp, empty_callbacks_are_refused_and_leave_the_socket_usable) {
    udp::socket::ptr target = loop->create_udp_socket("127.0.0.1", 0);
    EXPECT_THROW(target->set_receive_callback({}), std::invalid_argument);
    std::vector<std::string> received;
    target->set_receive_callback([&](const udp::endpoint&, const boost::asio::ip::address_v4&,
                                     const udp::message& _data) { received.emplace_back(_data); });
    target->send_to("127.0.0.1", port_of(*target), "after");
    ASSERT_TRUE(run_until([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], "after");
}

TEST_F(core_udp, ipv6_sockets_report_their_senders) {
    if (!ipv6_loopback_available())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    std::vector<datagram> received;
    udp::socket::ptr target = receiver(received, "::1");
    udp::socket::ptr source = loop->create_udp_socket("::1", 0);
    source->send_to("::1", port_of(*target), "over six");
    ASSERT_TRUE(run_until([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0].sender, local_endpoint(*source));
    EXPECT_EQ(received[0].data, "over six");
    // No IPv4 packet information comes with an IPv6 datagram.
    EXPECT_EQ(received[0].local.to_string(), "0.0.0.0");

    // A socket on the IPv6 any-address also takes IPv4 datagrams, unless the system keeps them apart.
    std::ifstream v6_only("/proc/sys/net/ipv6/bindv6only");
    int only = 1;
    v6_only >> only;
    if (only != 0)
        return;
    std::vector<datagram> both;
    udp::socket::ptr dual = loop->create_udp_socket(ip_protocol::v6, 0);
    dual->set_receive_callback(
        [&both](const udp::endpoint& _sender, const boost::asio::ip::address_v4& _local, const udp::message& _data) {
            both.push_back({_sender, _local, std::string(_data.data(), _data.size())});
        });
    udp::socket::ptr v4_source = loop->create_udp_socket("127.0.0.1", 0);
    v4_source->send_to("127.0.0.1", port_of(*dual), "over four");
    ASSERT_TRUE(run_until([&] { return both.size() == 1; }));
    EXPECT_EQ(both[0].sender.address().to_string(), "::ffff:127.0.0.1");
    EXPECT_EQ(both[0].sender.port(), port_of(*v4_source));
    EXPECT_EQ(both[0].local.to_string(), "127.0.0.1");
}

namespace {

// A socket that asks the system to report errors such as an unreachable port on its reads.
struct error_reporting_socket : udp::socket_impl {
    error_reporting_socket(boost::asio::io_context& _io_context, const component_logger& _logger)
        : udp::socket_impl(_io_context, _logger, "127.0.0.1", 0) {
        const int on = 1;
        ::setsockopt(m_socket.native_handle(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
};

} // namespace

TEST_F(core_udp, a_failed_read_is_logged_and_never_reaches_the_callback) {
    int closed_port = 0;
    {
        udp::socket::ptr gone = loop->create_udp_socket("127.0.0.1", 0);
        closed_port = port_of(*gone);
    }
    std::vector<datagram> received;
    error_reporting_socket socket(loop->get_io_context(), log);
    socket.set_receive_callback([&received](const udp::endpoint& _sender, const boost::asio::ip::address_v4& _local,
                                            const udp::message& _data) {
        received.push_back({_sender, _local, std::string(_data.data(), _data.size())});
    });
    // The unreachable port comes back as an error on the next read.
    socket.send_to("127.0.0.1", closed_port, "nobody listens");
    ASSERT_TRUE(run_until([&] { return count_logged("Connection refused") == 1; }));
    EXPECT_TRUE(logged({"socket_impl.cpp", "Connection refused"}));
    EXPECT_TRUE(received.empty());

    // Receiving goes on.
    socket.send_to("127.0.0.1", socket.local_endpoint().port(), "still receiving");
    ASSERT_TRUE(run_until([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0].data, "still receiving");
}
