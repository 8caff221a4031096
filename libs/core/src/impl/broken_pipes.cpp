#include <core/impl/broken_pipes.hpp>

#include <mutex>
#include <signal.h>

namespace qvd::libs::core {

void ignore_broken_pipes() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            ::signal(SIGPIPE, SIG_IGN);
    });
}

} // namespace qvd::libs::core
