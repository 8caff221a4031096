// Frames per second received through a PULL socket of the events loop, beside a plain libzmq
// PULL loop fed by the same sender in the same run: 100-byte frames over tcp on loopback.
//
//   lomvera_bench_zmq_pull [--frames N] [--rounds R]

#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>
#include <core/zmq/manager.hpp>

#include <zmq.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// What one receiving run took: wall time, and CPU time of the receiving thread.
struct measure {
    double seconds = 0;
    double cpu_seconds = 0;
};

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

constexpr std::size_t frame_size = 100;
// Frames received before the clock starts, so that connecting is not measured.
constexpr long warm_up = 10000;

void check(bool _ok, const char* _what) {
    if (!_ok)
        throw std::runtime_error(std::string(_what) + ": " + zmq_strerror(zmq_errno()));
}

// The same sending thread code and context for both receivers; a fresh PUSH socket per run, so
// that no frame goes to the receiver of the run before.
class sender {
public:
    sender() : m_context(zmq_ctx_new()) { check(m_context != nullptr, "zmq_ctx_new"); }
    ~sender() {
        close();
        zmq_ctx_term(m_context);
    }

    // Binds a new socket on a loopback port and returns its endpoint.
    std::string open() {
        close();
        m_socket = zmq_socket(m_context, ZMQ_PUSH);
        check(m_socket != nullptr, "zmq_socket");
        const int linger = 0;
        zmq_setsockopt(m_socket, ZMQ_LINGER, &linger, sizeof linger);
        check(zmq_bind(m_socket, "tcp://127.0.0.1:*") == 0, "zmq_bind");
        char endpoint[256];
        std::size_t size = sizeof endpoint;
        check(zmq_getsockopt(m_socket, ZMQ_LAST_ENDPOINT, endpoint, &size) == 0, "ZMQ_LAST_ENDPOINT");
        return endpoint;
    }

    void close() {
        if (m_socket != nullptr)
            zmq_close(m_socket);
        m_socket = nullptr;
    }

    std::thread start(long _frames) {
        return std::thread([socket = m_socket, _frames] {
            char payload[frame_size];
            std::memset(payload, 'x', sizeof payload);
            for (long i = 0; i < _frames; ++i)
                check(zmq_send(socket, payload, sizeof payload, 0) == static_cast<int>(sizeof payload), "zmq_send");
        });
    }

private:
    void* m_context;
    void* m_socket = nullptr;
};

// _frames frames after the warm-up, through a blocking zmq_msg_recv loop.
measure plain_loop(sender& _sender, long _frames) {
    void* const context = zmq_ctx_new();
    void* const socket = zmq_socket(context, ZMQ_PULL);
    const int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    check(zmq_connect(socket, _sender.open().c_str()) == 0, "zmq_connect");
    std::thread sending = _sender.start(warm_up + _frames);
    zmq_msg_t message;
    zmq_msg_init(&message);
    clock_type::time_point start;
    double cpu_start = 0;
    for (long i = 0; i < warm_up + _frames; ++i) {
        if (i == warm_up) {
            start = clock_type::now();
            cpu_start = thread_cpu_seconds();
        }
        check(zmq_msg_recv(&message, socket, 0) == static_cast<int>(frame_size), "zmq_msg_recv");
    }
    const measure result{std::chrono::duration<double>(clock_type::now() - start).count(),
                         thread_cpu_seconds() - cpu_start};
    zmq_msg_close(&message);
    sending.join();
    zmq_close(socket);
    zmq_ctx_term(context);
    return result;
}

// The same through a PULL socket of an events loop and its receive callback.
measure events_loop_socket(qvd::libs::core::core& _core, sender& _sender, long _frames) {
    namespace qz = qvd::libs::core::zmq;
    const qvd::libs::core::events_loop::ptr loop = _core.create_events_loop("bench");
    qz::socket::ptr socket = loop->get_zmq().connect(qz::socket::type::pull, _sender.open());
    long received = 0;
    clock_type::time_point start;
    measure result;
    double cpu_start = 0;
    socket->set_receive_callback([&](qz::message& _frame) {
        if (_frame.size() != frame_size)
            throw std::runtime_error("unexpected frame size");
        if (++received == warm_up) {
            start = clock_type::now();
            cpu_start = thread_cpu_seconds();
        }
        if (received == warm_up + _frames) {
            result = {std::chrono::duration<double>(clock_type::now() - start).count(),
                      thread_cpu_seconds() - cpu_start};
            loop->stop();
        }
    });
    std::thread sending = _sender.start(warm_up + _frames);
    loop->run();
    sending.join();
    socket.reset();
    return result;
}

double median(std::vector<double> _values) {
    std::sort(_values.begin(), _values.end());
    return _values[_values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    long frames = 2000000;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--frames")
            frames = std::atol(argv[i + 1]);
        else if (option == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "Usage: %s [--frames N] [--rounds R]\n", argv[0]);
            return 2;
        }
    }
    if (frames <= 0 || rounds <= 0) {
        std::fprintf(stderr, "Usage: %s [--frames N] [--rounds R]\n", argv[0]);
        return 2;
    }
    try {
        const qvd::libs::core::logger log("lomvera-bench", "bench");
        const qvd::libs::core::core::ptr root = qvd::libs::core::core::create(log);
        sender source;
        std::printf("%ld frames of %zu bytes per run over tcp on loopback, %d rounds\n", frames, frame_size, rounds);
        std::vector<double> plain_rates, loop_rates, ratios, plain_cpu, loop_cpu;
        for (int round = 1; round <= rounds; ++round) {
            const measure plain = plain_loop(source, frames);
            const measure ours = events_loop_socket(*root, source, frames);
            const double n = static_cast<double>(frames);
            plain_rates.push_back(n / plain.seconds);
            loop_rates.push_back(n / ours.seconds);
            ratios.push_back(loop_rates.back() / plain_rates.back());
            plain_cpu.push_back(plain.cpu_seconds / n * 1e9);
            loop_cpu.push_back(ours.cpu_seconds / n * 1e9);
            std::printf("round %d: plain libzmq %.0f frames/s (%.0f ns CPU/frame), events loop %.0f frames/s "
                        "(%.0f ns CPU/frame), ratio %.2f\n",
                        round, plain_rates.back(), plain_cpu.back(), loop_rates.back(), loop_cpu.back(), ratios.back());
            std::fflush(stdout);
        }
        std::printf("median: plain libzmq %.0f frames/s (%.0f ns CPU/frame), events loop %.0f frames/s "
                    "(%.0f ns CPU/frame), ratio %.2f\n",
                    median(plain_rates), median(plain_cpu), median(loop_rates), median(loop_cpu), median(ratios));
    } catch (const std::exception& _error) {
        std::fprintf(stderr, "%s\n", _error.what());
        return 1;
    }
    return 0;
}
