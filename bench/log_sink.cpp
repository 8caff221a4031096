// Receives the daemon's log stream and prints every line with the time it arrived, so that the
// benchmark can tell when the daemon moved from one record kind to the next.
//   lomvera_bench_log_sink ENDPOINT   (binds a PULL socket; ends on SIGTERM or SIGINT)
#include <zmq.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

double now_seconds() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since_epoch).count();
}

} // namespace

int main(int _argc, char** _argv) {
    if (_argc != 2) {
        std::fprintf(stderr, "usage: %s ENDPOINT\n", _argv[0]);
        return 2;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);

    void* const context = zmq_ctx_new();
    void* const socket = zmq_socket(context, ZMQ_PULL);
    const int timeout_ms = 100;
    zmq_setsockopt(socket, ZMQ_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
    if (zmq_bind(socket, _argv[1]) != 0) {
        std::fprintf(stderr, "bind %s: %s\n", _argv[1], zmq_strerror(zmq_errno()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::string line;
    while (!g_stop) {
        zmq_msg_t message;
        zmq_msg_init(&message);
        if (zmq_msg_recv(&message, socket, 0) >= 0) {
            line.assign(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
            for (char& c : line) {
                if (c == '\n')
                    c = ' ';
            }
            std::printf("%.6f %s\n", now_seconds(), line.c_str());
            std::fflush(stdout);
        }
        zmq_msg_close(&message);
    }
    const int linger_ms = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger_ms, sizeof linger_ms);
    zmq_close(socket);
    zmq_ctx_term(context);
    return 0;
}
