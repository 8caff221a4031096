#include <core/posix.hpp>

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

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

bool write_all(const int _descriptor, std::string_view _text) {
    while (!_text.empty()) {
        const ssize_t written = ::write(_descriptor, _text.data(), _text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        // Nothing taken for a non-empty request would repeat without end.
        if (written == 0) {
            errno = EIO;
            return false;
        }
        _text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

unique_descriptor::unique_descriptor(const int _descriptor) noexcept
    : m_descriptor(_descriptor < 0 ? -1 : _descriptor) {}

unique_descriptor::unique_descriptor(unique_descriptor&& _other) noexcept
    : m_descriptor(std::exchange(_other.m_descriptor, -1)) {}

unique_descriptor& unique_descriptor::operator=(unique_descriptor&& _other) noexcept {
    if (this != &_other) {
        close();
        m_descriptor = std::exchange(_other.m_descriptor, -1);
    }
    return *this;
}

unique_descriptor::~unique_descriptor() { close(); }

int unique_descriptor::close() noexcept {
    if (m_descriptor < 0)
        return 0;
    // Linux releases the descriptor even when close() fails (EINTR included): never retried.
    return ::close(std::exchange(m_descriptor, -1));
}

} // namespace qvd::libs::core
