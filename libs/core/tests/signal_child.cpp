// Started by the signal tests: builds a logger, a core, the main loop and the signal watcher the
// way the daemon does, says "ready" on standard output and reacts to the signal it is sent.
//   run        run the main loop until a signal stops it
//   early      send SIGTERM to itself right after the watcher was made, then run
//   loop_gone  destroy the main loop and the core, keep the watcher, then wait for a signal
#include <core/core.hpp>
#include <core/events_loop.hpp>
#include <core/logger.hpp>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

using namespace qvd::libs::core;

namespace {

int thread_count() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks))
            if (entry->d_name[0] != '.')
                ++count;
        ::closedir(tasks);
    }
    return count;
}

// Whether the thread count returns to _count; a busy machine may take a while to end a thread.
bool threads_back_to(int _count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (thread_count() != _count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "run";
    logger log("lomvera_signal_child", "main");
    events_loop::signals_handle::ptr signals;
    {
        core::ptr root = core::create(log);
        events_loop::ptr loop = root->create_events_loop("main");
        const int before_watcher = thread_count();
        signals = loop->stop_on_signals();
        if (mode == "early")
            ::kill(::getpid(), SIGTERM);
        if (mode == "loop_gone") {
            loop.reset();
            root.reset();
            std::cout << "ready" << std::endl;
            // A signal now takes its default action; without one the watcher stays quiet. The
            // parent's signal comes long before the end of this wait, even on a busy machine.
            std::this_thread::sleep_for(std::chrono::seconds(60));
            std::cout << "received=" << signals->signal_is_received() << std::endl;
            return 3;
        }
        const auto timer = loop->create_periodic_timer(
            std::chrono::seconds(30), "idle", [](timer::time_point) {}, QVD_SOURCE_LOCATION);
        std::cout << "ready" << std::endl;
        loop->run();
        std::cout << "received=" << signals->signal_is_received() << std::endl;
        std::cout << "watcher_ended=" << threads_back_to(before_watcher) << std::endl;
    }
    signals.reset();
    std::cout << "exit" << std::endl;
    return 0;
}
