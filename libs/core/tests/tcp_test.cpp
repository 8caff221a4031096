#include <core/impl/tcp/acceptor_impl.hpp>
#include <core/impl/tcp/socket_impl.hpp>
#include <core/tcp/manager.hpp>

#include "network_fixture.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace qvd::libs::core;

namespace {

struct core_tcp : qvd::test_support::network_fixture {
    tcp::manager& manager = loop->get_tcp();

    static int port_of(const tcp::acceptor& _acceptor) {
        return dynamic_cast<const tcp::acceptor_impl&>(_acceptor).local_endpoint().port();
    }

    // A loopback acceptor on a port the system picks, keeping every accepted socket.
    tcp::acceptor::ptr listen_keeping(std::vector<tcp::socket::ptr>& _accepted) {
        tcp::acceptor::ptr acceptor = manager.listen("127.0.0.1", 0);
        acceptor->set_callback([&_accepted](tcp::socket::ptr _socket) { _accepted.push_back(std::move(_socket)); });
        return acceptor;
    }

    // A connected pair: a client socket and the server's end of it.
    void connect_pair(tcp::acceptor& _acceptor, std::vector<tcp::socket::ptr>& _accepted, tcp::socket::ptr& _client,
                      tcp::socket::ptr& _server) {
        const std::size_t before = _accepted.size();
        _client = manager.connect("127.0.0.1", port_of(_acceptor));
        ASSERT_TRUE(run_until([&] { return _accepted.size() > before; }));
        _server = std::move(_accepted.back());
        _accepted.pop_back();
    }
};

// A connected pair made before the test body: the client and the server's end of it.
struct core_tcp_pair : core_tcp {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);
    tcp::socket::ptr client;
    tcp::socket::ptr server;

    void SetUp() override { ASSERT_NO_FATAL_FAILURE(connect_pair(*acceptor, accepted, client, server)); }
};

// Everything a socket reported, in order.
struct recorder {
    std::string bytes;
    std::vector<std::size_t> sizes;
    int closes = 0;
    bool received_after_close = false;

    void attach(tcp::socket& _socket) {
        _socket.set_close_callback([this] { ++closes; });
        _socket.set_receive_callback([this](boost::string_view _data) {
            if (closes > 0)
                received_after_close = true;
            bytes.append(_data.data(), _data.size());
            sizes.push_back(_data.size());
        });
    }
};

// Sends a whole text the way a user of send_some does: what is not taken waits for the
// can-send callback.
struct pump {
    tcp::socket& socket;
    const std::string& data;
    std::size_t offset = 0;
    int waits = 0;

    void start() {
        socket.set_can_send_callback([this] { push(); });
        push();
    }
    void push() {
        while (offset < data.size()) {
            const std::size_t sent = socket.send_some(boost::string_view(data).substr(offset));
            if (sent == 0) {
                ++waits;
                socket.notify_that_send_is_possible();
                return;
            }
            offset += sent;
        }
    }
    bool done() const { return offset == data.size(); }
};

// A blocking client on plain system calls, for the peers a test needs to misbehave.
class plain_client {
public:
    explicit plain_client(int _port) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (m_fd < 0)
            throw std::runtime_error("socket failed");
        // A server that never answers fails the test instead of hanging it.
        const timeval timeout{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(_port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error(std::string("connect failed: ") + std::strerror(errno));
    }
    ~plain_client() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    plain_client(const plain_client&) = delete;
    plain_client& operator=(const plain_client&) = delete;

    bool send_all(const std::string& _data) {
        for (std::size_t sent = 0; sent < _data.size();) {
            const ssize_t n = ::send(m_fd, _data.data() + sent, _data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Exactly _size bytes, or what came before the stream ended or timed out.
    std::string receive(std::size_t _size) {
        std::string data(_size, '\0');
        std::size_t got = 0;
        while (got < _size) {
            const ssize_t n = ::recv(m_fd, &data[got], _size - got, 0);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        data.resize(got);
        return data;
    }
    // Closes with a reset instead of an orderly end.
    void reset() {
        const linger abort{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// Whether a TCP socket on the port is in TIME_WAIT.
bool time_wait_on(int _port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const auto colon = local.find(':');
        if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == _port && state == "06")
            return true;
    }
    return false;
}

} // namespace

TEST_F(core_tcp, connections_wait_in_the_backlog_until_the_first_callback) {
    tcp::acceptor::ptr acceptor = manager.listen("127.0.0.1", 0);
    const int port = port_of(*acceptor);
    // Connecting completes against the backlog although nothing accepts yet.
    tcp::socket::ptr first = manager.connect("127.0.0.1", port);
    tcp::socket::ptr second = manager.connect("127.0.0.1", port);
    run_ready();

    std::vector<tcp::socket::ptr> accepted;
    acceptor->set_callback([&](tcp::socket::ptr _socket) { accepted.push_back(std::move(_socket)); });
    ASSERT_TRUE(run_until([&] { return accepted.size() == 2; }));
    EXPECT_EQ(first->get_remote_endpoint(),
              tcp::socket::endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    EXPECT_EQ(accepted[0]->get_remote_endpoint().address().to_string(), "127.0.0.1");
    EXPECT_NE(accepted[0]->get_remote_endpoint().port(), accepted[1]->get_remote_endpoint().port());

    // A later callback replaces the first one.
    std::vector<tcp::socket::ptr> later;
    acceptor->set_callback([&](tcp::socket::ptr _socket) { later.push_back(std::move(_socket)); });
    tcp::socket::ptr third = manager.connect("127.0.0.1", port);
    ASSERT_TRUE(run_until([&] { return later.size() == 1; }));
    EXPECT_EQ(accepted.size(), 2u);
}

TEST_F(core_tcp, an_accepted_socket_lives_as_long_as_the_callback_keeps_it) {
    tcp::acceptor::ptr acceptor = manager.listen("127.0.0.1", 0);
    tcp::socket::ptr kept;
    bool keep = false;
    acceptor->set_callback([&](tcp::socket::ptr _socket) {
        if (keep)
            kept = std::move(_socket);
    });

    tcp::socket::ptr dropped_client = manager.connect("127.0.0.1", port_of(*acceptor));
    recorder dropped;
    dropped.attach(*dropped_client);
    ASSERT_TRUE(run_until([&] { return dropped.closes == 1; }));

    keep = true;
    tcp::socket::ptr kept_client = manager.connect("127.0.0.1", port_of(*acceptor));
    recorder alive;
    alive.attach(*kept_client);
    ASSERT_TRUE(run_until([&] { return kept != nullptr; }));
    EXPECT_EQ(kept->send_some("still here"), 10u);
    ASSERT_TRUE(run_until([&] { return alive.bytes == "still here"; }));
    EXPECT_EQ(alive.closes, 0);
}

TEST_F(core_tcp, received_bytes_arrive_whole_and_in_order_then_the_close_once) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);
    tcp::socket::ptr client;
    tcp::socket::ptr server;
    ASSERT_NO_FATAL_FAILURE(connect_pair(*acceptor, accepted, client, server));
    recorder received;
    received.attach(*server);

    // Two quick messages may arrive as one; one longer than the buffer arrives in several pieces.
    std::string large(200000, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>('a' + i % 23);
    const std::string expected = "first" + std::string("second") + large;
    EXPECT_EQ(client->send_some("first"), 5u);
    EXPECT_EQ(client->send_some("second"), 6u);
    pump sender{*client, large};
    sender.start();
    ASSERT_TRUE(run_until([&] { return received.bytes.size() == expected.size(); }));
    EXPECT_TRUE(received.bytes == expected);
    EXPECT_GE(received.sizes.size(), 4u);
    for (const std::size_t size : received.sizes)
        EXPECT_LE(size, 65536u);

    client.reset();
    ASSERT_TRUE(run_until([&] { return received.closes > 0; }));
    run_ready();
    EXPECT_EQ(received.closes, 1);
    EXPECT_FALSE(received.received_after_close);
}

TEST_F(core_tcp, a_reset_connection_is_logged_and_ends_with_the_close_callback) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);
    plain_client client(port_of(*acceptor));
    ASSERT_TRUE(run_until([&] { return accepted.size() == 1; }));
    recorder received;
    received.attach(*accepted[0]);
    ASSERT_TRUE(client.send_all("before the reset"));
    ASSERT_TRUE(run_until([&] { return received.bytes == "before the reset"; }));

    client.reset();
    ASSERT_TRUE(run_until([&] { return received.closes > 0; }));
    run_ready();
    EXPECT_EQ(received.closes, 1);
    EXPECT_TRUE(logged({"socket_impl.cpp", "Connection reset by peer"}));
}

TEST_F(core_tcp, callbacks_may_destroy_their_own_socket) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);

    // The receive callback ends its socket; what it captured stays usable for the rest of the call.
    tcp::socket::ptr client;
    tcp::socket::ptr server;
    ASSERT_NO_FATAL_FAILURE(connect_pair(*acceptor, accepted, client, server));
    int received_calls = 0;
    server->set_receive_callback([&, marker = std::make_shared<int>(7)](boost::string_view) {
        server.reset();
        received_calls += *marker;
    });
    recorder client_side;
    client_side.attach(*client);
    EXPECT_EQ(client->send_some("one"), 3u);
    ASSERT_TRUE(run_until([&] { return client_side.closes == 1; }));
    client->send_some("two");
    run_ready();
    EXPECT_EQ(received_calls, 7);

    // So does the close callback.
    tcp::socket::ptr client2;
    tcp::socket::ptr server2;
    ASSERT_NO_FATAL_FAILURE(connect_pair(*acceptor, accepted, client2, server2));
    int closes = 0;
    server2->set_close_callback([&, marker = std::make_shared<int>(5)] {
        server2.reset();
        closes += *marker;
    });
    server2->set_receive_callback([](boost::string_view) {});
    client2.reset();
    ASSERT_TRUE(run_until([&] { return closes != 0; }));
    run_ready();
    EXPECT_EQ(closes, 5);
}

// Each callback below replaces itself and then reads what it captured: the closure it runs in
// must outlive its call. The captured text is long so that the closure sits on the heap, where
// the address sanitizer sees a read after its destruction.
TEST_F(core_tcp_pair, a_receive_callback_that_replaces_itself_finishes_its_call) {
    std::vector<std::string> seen;
    server->set_receive_callback([&, name = std::string(100, 'f')](boost::string_view _data) {
        server->set_receive_callback(
            [&seen](boost::string_view _next) { seen.push_back("next " + std::string(_next)); });
        seen.push_back(name.substr(0, 1) + " " + std::string(_data));
    });
    EXPECT_EQ(client->send_some("one"), 3u);
    ASSERT_TRUE(run_until([&] { return seen.size() == 1; }));
    EXPECT_EQ(client->send_some("two"), 3u);
    ASSERT_TRUE(run_until([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"f one", "next two"}));
}

TEST_F(core_tcp_pair, a_close_callback_that_replaces_itself_finishes_its_call) {
    std::vector<std::string> seen;
    server->set_close_callback([&, name = std::string(100, 'c')] {
        server->set_close_callback([&seen] { seen.push_back("next"); });
        seen.push_back(name.substr(0, 1));
    });
    server->set_receive_callback([](boost::string_view) {});
    client.reset();
    ASSERT_TRUE(run_until([&] { return !seen.empty(); }));
    run_ready();
    EXPECT_EQ(seen, std::vector<std::string>{"c"});
}

TEST_F(core_tcp_pair, a_can_send_callback_that_replaces_itself_finishes_its_call) {
    std::vector<std::string> seen;
    server->set_can_send_callback([&, name = std::string(100, 's')] {
        server->set_can_send_callback([&seen] { seen.push_back("next"); });
        seen.push_back(name.substr(0, 1));
        server->notify_that_send_is_possible();
    });
    server->notify_that_send_is_possible();
    ASSERT_TRUE(run_until([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"s", "next"}));
}

TEST_F(core_tcp, send_some_takes_what_fits_and_one_can_send_call_follows_two_requests) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);
    tcp::socket::ptr client;
    tcp::socket::ptr server;
    ASSERT_NO_FATAL_FAILURE(connect_pair(*acceptor, accepted, client, server));
    EXPECT_EQ(server->send_some(""), 0u);

    // The client reads nothing yet: the buffers fill and send_some takes less, then nothing.
    const std::string block(64 << 20, 'x');
    std::size_t sent = server->send_some(block);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, block.size());
    std::size_t last = sent;
    for (int i = 0; i < 100000 && last != 0; ++i) {
        last = server->send_some(boost::string_view(block).substr(sent));
        sent += last;
    }
    ASSERT_EQ(last, 0u);
    EXPECT_EQ(server->send_some(boost::string_view(block).substr(sent)), 0u);

    int can_send_calls = 0;
    server->set_can_send_callback([&] { ++can_send_calls; });
    server->notify_that_send_is_possible();
    server->notify_that_send_is_possible();
    recorder received;
    received.attach(*client);
    ASSERT_TRUE(run_until([&] { return received.bytes.size() == sent; }));
    run_ready();
    EXPECT_EQ(can_send_calls, 1);
    EXPECT_GT(server->send_some("more"), 0u);
}

TEST_F(core_tcp, sixty_four_mebibytes_arrive_byte_for_byte) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);
    tcp::socket::ptr client;
    tcp::socket::ptr server;
    ASSERT_NO_FATAL_FAILURE(connect_pair(*acceptor, accepted, client, server));

    std::string data(64 << 20, '\0');
    std::mt19937_64 random(13);
    for (std::size_t i = 0; i < data.size(); i += 8) {
        const std::uint64_t value = random();
        std::memcpy(&data[i], &value, 8);
    }
    recorder received;
    received.bytes.reserve(data.size());
    received.attach(*client);
    pump sender{*server, data};
    sender.start();
    ASSERT_TRUE(run_until([&] { return received.bytes.size() >= data.size(); }));
    EXPECT_TRUE(sender.done());
    EXPECT_GT(sender.waits, 0);
    EXPECT_EQ(received.bytes.size(), data.size());
    EXPECT_TRUE(received.bytes == data);
}

TEST_F(core_tcp, a_server_handles_two_hundred_clients_that_close_or_reset) {
    // The server echoes and forgets each connection in its close callback.
    tcp::acceptor::ptr acceptor = manager.listen(ip_protocol::v4, 0);
    const int port = port_of(*acceptor);
    std::map<int, tcp::socket::ptr> open;
    std::map<int, int> closes;
    int next_id = 0;
    acceptor->set_callback([&](tcp::socket::ptr _socket) {
        const int id = next_id++;
        tcp::socket& socket = *_socket;
        open[id] = std::move(_socket);
        socket.set_close_callback([&, id] {
            ++closes[id];
            open.erase(id);
        });
        socket.set_receive_callback(
            [&socket](boost::string_view _data) { EXPECT_EQ(socket.send_some(_data), _data.size()); });
    });

    constexpr int threads = 4;
    constexpr int per_thread = 50;
    std::atomic<int> echoed{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t)
        clients.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                try {
                    plain_client client(port);
                    const std::string text = "client " + std::to_string(t) + "/" + std::to_string(i);
                    if (client.send_all(text) && client.receive(text.size()) == text)
                        ++echoed;
                    if (i % 2 == 1)
                        client.reset();
                } catch (const std::exception&) {
                }
            }
            ++finished;
        });
    const bool all_closed = run_until([&] { return finished == threads && closes.size() == threads * per_thread; });
    for (std::thread& client : clients)
        client.join();
    ASSERT_TRUE(all_closed);
    run_ready();
    EXPECT_EQ(echoed, threads * per_thread);
    EXPECT_TRUE(open.empty());
    for (const auto& [id, count] : closes)
        EXPECT_EQ(count, 1) << "connection " << id;
}

TEST_F(core_tcp, empty_callbacks_are_refused_and_leave_the_object_usable) {
    tcp::acceptor::ptr acceptor = manager.listen("127.0.0.1", 0);
    EXPECT_THROW(acceptor->set_callback({}), std::invalid_argument);
    std::vector<tcp::socket::ptr> accepted;
    acceptor->set_callback([&](tcp::socket::ptr _socket) { accepted.push_back(std::move(_socket)); });
    tcp::socket::ptr client = manager.connect("127.0.0.1", port_of(*acceptor));
    ASSERT_TRUE(run_until([&] { return accepted.size() == 1; }));

    EXPECT_THROW(accepted[0]->set_receive_callback({}), std::invalid_argument);
    recorder received;
    received.attach(*accepted[0]);
    client->send_some("after");
    ASSERT_TRUE(run_until([&] { return received.bytes == "after"; }));
}

TEST_F(core_tcp, ports_outside_the_16_bit_range_are_refused) {
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
        EXPECT_TRUE(names_port([&] { manager.connect("127.0.0.1", port); })) << port;
        EXPECT_TRUE(names_port([&] { manager.listen(ip_protocol::v4, port); })) << port;
        EXPECT_TRUE(names_port([&] { manager.listen("127.0.0.1", port); })) << port;
    }
}

TEST_F(core_tcp, bad_addresses_refused_connections_and_ports_in_use_throw) {
    EXPECT_THROW(manager.connect("localhost", 80), boost::system::system_error);
    EXPECT_THROW(manager.connect("", 80), boost::system::system_error);
    EXPECT_THROW(manager.listen("300.1.2.3", 0), boost::system::system_error);

    tcp::acceptor::ptr acceptor = manager.listen("127.0.0.1", 0);
    const int port = port_of(*acceptor);
    EXPECT_THROW(manager.listen("127.0.0.1", port), boost::system::system_error);
    acceptor.reset();
    EXPECT_THROW(manager.connect("127.0.0.1", port), boost::system::system_error);
}

TEST_F(core_tcp, a_port_held_only_in_time_wait_can_listen_again) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);
    const int port = port_of(*acceptor);
    tcp::socket::ptr client;
    tcp::socket::ptr server;
    ASSERT_NO_FATAL_FAILURE(connect_pair(*acceptor, accepted, client, server));
    recorder client_side;
    client_side.attach(*client);
    // The server closes first, so the TIME_WAIT is on its port.
    server.reset();
    ASSERT_TRUE(run_until([&] { return client_side.closes == 1; }));
    client.reset();
    acceptor.reset();
    ASSERT_TRUE(run_until([&] { return time_wait_on(port); }));
    EXPECT_NO_THROW(acceptor = manager.listen("127.0.0.1", port));
}

TEST_F(core_tcp, listens_on_either_protocols_any_address) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr v4 = manager.listen(ip_protocol::v4, 0);
    v4->set_callback([&](tcp::socket::ptr _socket) { accepted.push_back(std::move(_socket)); });
    tcp::socket::ptr to_v4 = manager.connect("127.0.0.1", port_of(*v4));
    ASSERT_TRUE(run_until([&] { return accepted.size() == 1; }));

    tcp::acceptor::ptr v6;
    try {
        v6 = manager.listen(ip_protocol::v6, 0);
    } catch (const boost::system::system_error&) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    v6->set_callback([&](tcp::socket::ptr _socket) { accepted.push_back(std::move(_socket)); });
    tcp::socket::ptr to_v6 = manager.connect("::1", port_of(*v6));
    ASSERT_TRUE(run_until([&] { return accepted.size() == 2; }));
    EXPECT_EQ(accepted[1]->get_remote_endpoint().address().to_string(), "::1");
}

namespace {

// A socket whose descriptor a test can close under it, to make its operations fail.
struct breakable_socket : tcp::socket_impl {
    using tcp::socket_impl::socket_impl;
    void close_descriptor() { m_socket.close(); }
};

} // namespace

TEST_F(core_tcp, failed_waits_and_reads_are_logged_and_never_leave_run) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);
    boost::asio::ip::tcp::socket raw(loop->get_io_context());
    raw.connect(dynamic_cast<tcp::acceptor_impl&>(*acceptor).local_endpoint());
    breakable_socket socket(loop->get_io_context(), log, std::move(raw));
    socket.close_descriptor();

    // A failed writability wait ends the wait without a can-send call; a new request waits again.
    const auto failures_logged = [this](std::size_t _count) {
        return [this, _count] { return count_logged("Bad file descriptor") == _count; };
    };
    int can_send_calls = 0;
    socket.set_can_send_callback([&] { ++can_send_calls; });
    socket.notify_that_send_is_possible();
    bool reported = false;
    EXPECT_NO_THROW(reported = run_until(failures_logged(1)));
    EXPECT_TRUE(reported);
    EXPECT_TRUE(logged({"socket_impl.cpp", "Bad file descriptor"}));
    socket.notify_that_send_is_possible();
    EXPECT_NO_THROW(reported = run_until(failures_logged(2)));
    EXPECT_TRUE(reported);
    EXPECT_EQ(can_send_calls, 0);
    // The next send reports the broken socket.
    EXPECT_THROW(socket.send_some("lost"), boost::system::system_error);

    // A failed read ends receiving with the close callback.
    recorder received;
    received.attach(socket);
    EXPECT_NO_THROW(reported = run_until([&] { return received.closes > 0 && failures_logged(3)(); }));
    EXPECT_TRUE(reported);
    run_ready();
    EXPECT_EQ(received.closes, 1);
}

TEST_F(core_tcp, accepting_resumes_after_running_out_of_descriptors) {
    std::vector<tcp::socket::ptr> accepted;
    tcp::acceptor::ptr acceptor = listen_keeping(accepted);
    const int port = port_of(*acceptor);
    // Everything that runs while descriptors are out runs once before: the sanitizers' first checks
    // of a code path need descriptors of their own. The log stream's connection must stand too.
    tcp::socket::ptr first = manager.connect("127.0.0.1", port);
    ASSERT_TRUE(run_until([&] { return accepted.size() == 1; }));
    bool fired = false;
    const timer::ptr pause = loop->get_timers().create_timer(
        std::chrono::milliseconds(1), "warm-up", [&](timer::time_point) { fired = true; }, QVD_SOURCE_LOCATION);
    ASSERT_TRUE(run_until([&] { return fired; }));
    log.info("descriptors run out now");
    ASSERT_TRUE(logged({"descriptors run out now"}));

    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    // The lowest free descriptor: with the soft limit there, nothing new can be opened.
    const int lowest_free = ::dup(0);
    ASSERT_GE(lowest_free, 0);
    ::close(lowest_free);
    rlimit exhausted = original;
    exhausted.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &exhausted), 0);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int connected = ::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const bool failed_once =
        run_until([&] { return count_logged("Too many open files") > 0; }, std::chrono::seconds(10));
    ::setrlimit(RLIMIT_NOFILE, &original);
    ASSERT_EQ(connected, 0);
    ASSERT_TRUE(failed_once);
    EXPECT_EQ(accepted.size(), 1u);

    // Once descriptors are free again the waiting connection is taken, and later ones too.
    ASSERT_TRUE(run_until([&] { return accepted.size() == 2; }));
    tcp::socket::ptr later = manager.connect("127.0.0.1", port);
    ASSERT_TRUE(run_until([&] { return accepted.size() == 3; }));
    ::close(client);
}
