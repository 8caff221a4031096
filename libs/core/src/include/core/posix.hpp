#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvd::libs::core {

// Appends everything left to read from _descriptor to _text, reading again after EINTR; false
// with errno set when a read fails.
bool read_all(int _descriptor, std::string& _text);

// As read_all, but stops once _limit bytes were appended: a caller that asks one byte more than it
// accepts learns whether there was more.
bool read_up_to(int _descriptor, std::size_t _limit, std::string& _text);

// Writes all of _text to _descriptor at its offset, writing again after EINTR and short writes;
// false with errno set when a write fails (EIO when one takes nothing).
bool write_all(int _descriptor, std::string_view _text);

// The one owner of an open file descriptor: closes it at scope end. A file whose written data
// matters is closed through close(), whose result tells whether the data reached the kernel.
class unique_descriptor {
public:
    unique_descriptor() noexcept = default;
    // Takes _descriptor as it comes from open(): a negative one owns nothing.
    explicit unique_descriptor(int _descriptor) noexcept;
    unique_descriptor(unique_descriptor&& _other) noexcept;
    unique_descriptor& operator=(unique_descriptor&& _other) noexcept;
    unique_descriptor(const unique_descriptor&) = delete;
    unique_descriptor& operator=(const unique_descriptor&) = delete;
    ~unique_descriptor();

    bool valid() const noexcept { return m_descriptor >= 0; }
    int get() const noexcept { return m_descriptor; }
    // Closes now: 0, or -1 with errno set. Owns nothing afterwards, so the result is final.
    int close() noexcept;

private:
    int m_descriptor = -1;
};

} // namespace qvd::libs::core
