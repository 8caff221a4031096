#include <core/posix.hpp>

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace qvd::libs::core {

void sleep_seconds(const std::time_t _seconds) {
    timespec remaining{_seconds, 0};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

bool read_all(const int _descriptor, std::string& _text) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(_descriptor, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        _text.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace qvd::libs::core
