// Loopback throughput of the core library's TCP and UDP sockets beside plain blocking system-call
// loops, in the same run and with the same buffers:
//   TCP: bulk bytes per second, one sending and one receiving thread either way;
//   UDP: received datagrams per second from one plain sender thread, with a credit window that
//        the receive buffer holds, so that nothing is dropped and both receivers see the same load.
//
// lomvera_bench_net [--tcp-mib N] [--udp-count N] [--udp-size BYTES] [--udp-window N] [--udp-senders N]
//                   [--runs N]

#include <core/constants.hpp>
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/impl/tcp/acceptor_impl.hpp>
#include <core/impl/udp/socket_impl.hpp>
#include <core/logger.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace qvd::libs::core;
using clock_type = std::chrono::steady_clock;

namespace {

struct settings {
    std::size_t tcp_bytes = std::size_t(2048) << 20;
    std::size_t udp_count = 1000000;
    std::size_t udp_size = 64;
    // 0: as many datagrams as the default receive buffer surely holds.
    std::size_t udp_window = 0;
    std::size_t udp_senders = 3;
    int runs = 5;
};

constexpr std::size_t receive_size = 65536; // the sockets' receive buffer
constexpr std::size_t send_chunk = 262144;
// Where the receivers put the local addresses they read, so that the reading is not optimised away.
volatile std::uint32_t local_address_sink = 0;

double seconds_since(clock_type::time_point _start) {
    return std::chrono::duration<double>(clock_type::now() - _start).count();
}

void fail(const std::string& _what) { throw std::runtime_error(_what + ": " + std::strerror(errno)); }

sockaddr_in loopback(unsigned short _port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

unsigned short port_of(int _fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        fail("getsockname");
    return ntohs(address.sin_port);
}

// ---- TCP ----

double tcp_plain(const settings& _settings) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0)
        fail("listen");
    address = loopback(port_of(listener));
    const auto start = clock_type::now();
    std::thread reader([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::vector<char> buffer(receive_size);
        std::size_t total = 0;
        while (total < _settings.tcp_bytes) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            total += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
    const int writer = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("connect");
    const std::vector<char> chunk(send_chunk, 'x');
    for (std::size_t sent = 0; sent < _settings.tcp_bytes;) {
        const ssize_t n =
            ::send(writer, chunk.data(), std::min(chunk.size(), _settings.tcp_bytes - sent), MSG_NOSIGNAL);
        if (n <= 0)
            fail("send");
        sent += static_cast<std::size_t>(n);
    }
    reader.join();
    const double elapsed = seconds_since(start);
    ::close(writer);
    ::close(listener);
    return static_cast<double>(_settings.tcp_bytes) / elapsed;
}

double tcp_events_loop(const settings& _settings, core& _core) {
    events_loop::ptr sending_loop = _core.create_events_loop("sending");
    events_loop::ptr receiving_loop = _core.create_events_loop("receiving");

    // The sender: the accepted end pushes through send_some and the can-send callback.
    const std::string chunk(send_chunk, 'x');
    tcp::socket::ptr server;
    std::size_t sent = 0;
    const auto push = [&] {
        while (sent < _settings.tcp_bytes) {
            const std::size_t length = std::min(chunk.size(), _settings.tcp_bytes - sent);
            const std::size_t n = server->send_some(boost::string_view(chunk.data(), length));
            if (n == 0) {
                server->notify_that_send_is_possible();
                return;
            }
            sent += n;
        }
    };
    tcp::acceptor::ptr acceptor = sending_loop->get_tcp().listen("127.0.0.1", 0);
    acceptor->set_callback([&](tcp::socket::ptr _socket) {
        server = std::move(_socket);
        server->set_can_send_callback(push);
        push();
    });

    const int port = dynamic_cast<tcp::acceptor_impl&>(*acceptor).local_endpoint().port();
    tcp::socket::ptr client = receiving_loop->get_tcp().connect("127.0.0.1", port);
    std::size_t received = 0;
    client->set_receive_callback([&](boost::string_view _data) {
        received += _data.size();
        if (received >= _settings.tcp_bytes)
            receiving_loop->stop();
    });
    client->set_close_callback([&] { receiving_loop->stop(); });

    const auto start = clock_type::now();
    std::thread sending([&] { sending_loop->run(); });
    receiving_loop->run();
    const double elapsed = seconds_since(start);
    sending_loop->stop();
    sending.join();
    if (received != _settings.tcp_bytes)
        throw std::runtime_error("TCP: received " + std::to_string(received) + " bytes");
    client.reset();
    server.reset();
    acceptor.reset();
    return static_cast<double>(_settings.tcp_bytes) / elapsed;
}

// ---- UDP ----

// Sends the datagrams from several threads, never more than the window ahead of what the
// receiver counted.
void udp_send(const settings& _settings, unsigned short _port, const std::atomic<std::size_t>& _received,
              const std::atomic<bool>& _abandon) {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> senders;
    for (std::size_t s = 0; s < _settings.udp_senders; ++s)
        senders.emplace_back([&] {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            const sockaddr_in address = loopback(_port);
            std::vector<char> data(_settings.udp_size, 'u');
            for (;;) {
                const std::size_t number = next.fetch_add(1);
                if (number >= _settings.udp_count)
                    break;
                while (number >= _received.load(std::memory_order_acquire) + _settings.udp_window && !_abandon)
                    std::this_thread::yield();
                if (_abandon)
                    break;
                std::memcpy(data.data(), &number, std::min(sizeof number, data.size()));
                if (::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                             sizeof address) < 0)
                    fail("sendto");
            }
            ::close(fd);
        });
    for (std::thread& sender : senders)
        sender.join();
}

struct udp_result {
    double rate = 0;
    std::size_t lost = 0;
};

udp_result udp_plain(const settings& _settings) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("bind");
    const int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    // A lost datagram ends the run instead of blocking it.
    const timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    std::atomic<std::size_t> received{0};
    std::atomic<bool> abandon{false};
    const auto start = clock_type::now();
    std::thread sender([&] { udp_send(_settings, port_of(fd), received, abandon); });
    std::vector<char> buffer(receive_size);
    while (received.load(std::memory_order_relaxed) < _settings.udp_count) {
        sockaddr_storage name{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        iovec part{buffer.data(), buffer.size()};
        msghdr header{};
        header.msg_name = &name;
        header.msg_namelen = sizeof name;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        if (::recvmsg(fd, &header, 0) < 0) {
            abandon = true;
            break;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                local_address_sink = info.ipi_spec_dst.s_addr;
                break;
            }
        received.fetch_add(1, std::memory_order_release);
    }
    const double elapsed = seconds_since(start);
    sender.join();
    ::close(fd);
    return {static_cast<double>(received) / elapsed, _settings.udp_count - received};
}

udp_result udp_events_loop(const settings& _settings, core& _core) {
    events_loop::ptr loop = _core.create_events_loop("udp");
    udp::socket::ptr socket = loop->create_udp_socket("127.0.0.1", 0);
    std::atomic<std::size_t> received{0};
    std::atomic<bool> abandon{false};
    socket->set_receive_callback(
        [&](const udp::endpoint&, const boost::asio::ip::address_v4& _local, const udp::message&) {
            local_address_sink = _local.to_uint();
            if (received.fetch_add(1, std::memory_order_release) + 1 == _settings.udp_count)
                loop->stop();
        });
    // A lost datagram ends the run instead of blocking it.
    std::size_t seen = 0;
    periodic_timer::ptr watchdog = loop->create_periodic_timer(
        std::chrono::seconds(1), "watchdog",
        [&](timer::time_point) {
            if (received == seen) {
                abandon = true;
                loop->stop();
            }
            seen = received;
        },
        QVD_SOURCE_LOCATION);

    const unsigned short port = dynamic_cast<udp::socket_impl&>(*socket).local_endpoint().port();
    const auto start = clock_type::now();
    std::thread sender([&] { udp_send(_settings, port, received, abandon); });
    loop->run();
    const double elapsed = seconds_since(start);
    abandon = true;
    sender.join();
    watchdog.reset();
    socket.reset();
    return {static_cast<double>(received) / elapsed, _settings.udp_count - received};
}

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    return _values[_values.size() / 2];
}

settings parse(int _argc, char** _argv) {
    settings result;
    for (int i = 1; i + 1 < _argc; i += 2) {
        const std::string option = _argv[i];
        const std::size_t value = std::stoull(_argv[i + 1]);
        if (option == "--tcp-mib")
            result.tcp_bytes = value << 20;
        else if (option == "--udp-count")
            result.udp_count = value;
        else if (option == "--udp-size")
            result.udp_size = std::max<std::size_t>(value, 1);
        else if (option == "--udp-window")
            result.udp_window = std::max<std::size_t>(value, 1);
        else if (option == "--udp-senders")
            result.udp_senders = std::max<std::size_t>(value, 1);
        else if (option == "--runs")
            result.runs = static_cast<int>(std::max<std::size_t>(value, 1));
        else
            throw std::invalid_argument("unknown option " + option);
    }
    if (result.udp_window == 0)
        // Each datagram costs its size and about 900 bytes of bookkeeping in a 212,992-byte buffer.
        result.udp_window = std::max<std::size_t>(4, 128000 / (result.udp_size + 896));
    return result;
}

} // namespace

int main(int _argc, char** _argv) {
    try {
        const settings options = parse(_argc, _argv);
        logger log(constants::project_name, "bench");
        core::ptr root = core::create(log);

        std::printf("TCP bulk over loopback: %zu MiB per run, %d runs, %zu-byte sends, %zu-byte reads\n",
                    options.tcp_bytes >> 20, options.runs, send_chunk, receive_size);
        std::vector<double> plain_tcp;
        std::vector<double> loop_tcp;
        for (int run = 0; run < options.runs; ++run) {
            plain_tcp.push_back(tcp_plain(options));
            loop_tcp.push_back(tcp_events_loop(options, *root));
            std::printf("  run %d: plain %8.1f MiB/s   events loop %8.1f MiB/s\n", run + 1,
                        plain_tcp.back() / (1 << 20), loop_tcp.back() / (1 << 20));
        }

        std::printf(
            "UDP over loopback: %zu datagrams of %zu bytes per run from %zu sender threads, window %zu, %d runs\n",
            options.udp_count, options.udp_size, options.udp_senders, options.udp_window, options.runs);
        std::vector<double> plain_udp;
        std::vector<double> loop_udp;
        std::size_t lost = 0;
        for (int run = 0; run < options.runs; ++run) {
            const udp_result plain = udp_plain(options);
            const udp_result ours = udp_events_loop(options, *root);
            plain_udp.push_back(plain.rate);
            loop_udp.push_back(ours.rate);
            lost += plain.lost + ours.lost;
            std::printf("  run %d: plain %10.0f datagrams/s   events loop %10.0f datagrams/s%s\n", run + 1, plain.rate,
                        ours.rate, plain.lost + ours.lost > 0 ? "   (datagrams lost: run cut short)" : "");
        }

        std::printf("median TCP: plain %.1f MiB/s, events loop %.1f MiB/s, ratio %.2f\n", median(plain_tcp) / (1 << 20),
                    median(loop_tcp) / (1 << 20), median(loop_tcp) / median(plain_tcp));
        std::printf("median UDP: plain %.0f datagrams/s, events loop %.0f datagrams/s, ratio %.2f\n", median(plain_udp),
                    median(loop_udp), median(loop_udp) / median(plain_udp));
        return lost == 0 ? 0 : 2;
    } catch (const std::exception& _error) {
        std::fprintf(stderr, "lomvera_bench_net: %s\n", _error.what());
        return 1;
    }
}
