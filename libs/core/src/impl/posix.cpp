#include <core/posix.hpp>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <limits>
#include <utility>

namespace qvd::libs::core {

bool read_all(const int _descriptor, std::string& _text) {
    return read_up_to(_descriptor, std::numeric_limits<std::size_t>::max(), _text);
}

bool read_up_to(const int _descriptor, std::size_t _limit, std::string& _text) {
    char buffer[65536];
    while (_limit > 0) {
        const ssize_t got = ::read(_descriptor, buffer, std::min(sizeof buffer, _limit));
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        _text.append(buffer, static_cast<std::size_t>(got));
        _limit -= static_cast<std::size_t>(got);
    }
    return true;
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
