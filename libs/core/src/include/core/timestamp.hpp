#pragma once

#include <boost/optional.hpp>
#include <boost/optional/optional_io.hpp>

#include <core/calendar_text.hpp>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>

namespace qvd::libs::core {

// A point in wall-clock time: milliseconds since the Unix epoch, always read as UTC.
class timestamp {
public:
    using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;

    // The epoch.
    timestamp() = default;
    // Whole seconds plus milliseconds, which may exceed 999 and simply add on.
    timestamp(time_t _seconds, unsigned int _milliseconds)
        : m_time_point(std::chrono::milliseconds(static_cast<std::int64_t>(_seconds) * 1000 +
                                                 static_cast<std::int64_t>(_milliseconds))) {}
    explicit timestamp(std::chrono::milliseconds _since_epoch) : m_time_point(_since_epoch) {}

    // Now, from the real-time clock.
    static timestamp current_time() {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return timestamp(now.tv_sec, static_cast<unsigned int>(now.tv_nsec / 1000000));
    }

    std::chrono::milliseconds get_time_since_epoch() const { return m_time_point.time_since_epoch(); }
    // Seconds since the epoch, truncated towards zero.
    time_t get_ts() const { return static_cast<time_t>(m_time_point.time_since_epoch().count() / 1000); }
    // Remainder of get_ts's division.
    unsigned int get_ms() const { return static_cast<unsigned int>(m_time_point.time_since_epoch().count() % 1000); }

    // "%Y-%m-%d %H:%M:%S" in UTC with the given date/time delimiter, optionally ".mmm" and "Z".
    // Times before the epoch print the calendar time they denote (floor of the seconds). Years
    // before 1000 keep four digits: "99-06-15" would read as 1999 on a server.
    std::string to_iso_8601(bool _with_milleseconds, char _delimiter, bool _with_Z) const {
        std::string result;
        append_iso_8601(result, _with_milleseconds, _delimiter, _with_Z);
        return result;
    }

    // to_iso_8601 appended to _text, without a temporary string.
    void append_iso_8601(std::string& _text, bool _with_milleseconds, char _delimiter, bool _with_Z) const {
        calendar::append_date_time(_text, calendar::utc_fields(m_time_point.time_since_epoch().count()), _delimiter,
                                   _with_milleseconds);
        if (_with_Z)
            _text += 'Z';
    }

    // The column-store SQL form: blank delimiter, no zone letter.
    std::string to_iso_8601_string(bool _with_milleseconds) const {
        return to_iso_8601(_with_milleseconds, ' ', false);
    }
    void append_iso_8601_string(std::string& _text, bool _with_milleseconds) const {
        append_iso_8601(_text, _with_milleseconds, ' ', false);
    }

    // Journal form: one signed 64-bit count; the same function writes and reads.
    template <typename Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        std::int64_t count = m_time_point.time_since_epoch().count();
        _ar& count;
        m_time_point = time_point(std::chrono::milliseconds(count));
    }

    friend bool operator==(const timestamp& _a, const timestamp& _b) { return _a.m_time_point == _b.m_time_point; }
    friend bool operator!=(const timestamp& _a, const timestamp& _b) { return _a.m_time_point != _b.m_time_point; }
    friend bool operator<(const timestamp& _a, const timestamp& _b) { return _a.m_time_point < _b.m_time_point; }
    friend bool operator>(const timestamp& _a, const timestamp& _b) { return _a.m_time_point > _b.m_time_point; }
    friend bool operator<=(const timestamp& _a, const timestamp& _b) { return _a.m_time_point <= _b.m_time_point; }
    friend bool operator>=(const timestamp& _a, const timestamp& _b) { return _a.m_time_point >= _b.m_time_point; }
    friend std::chrono::milliseconds operator-(const timestamp& _a, const timestamp& _b) {
        return _a.m_time_point - _b.m_time_point;
    }
    friend timestamp operator+(const timestamp& _a, std::chrono::milliseconds _b) {
        return timestamp(_a.get_time_since_epoch() + _b);
    }
    friend timestamp operator-(const timestamp& _a, std::chrono::milliseconds _b) {
        return timestamp(_a.get_time_since_epoch() - _b);
    }

private:
    time_point m_time_point{};
};

// The log form: 2020-01-02T03:04:05.006Z.
inline std::ostream& operator<<(std::ostream& _stream, const timestamp& _timestamp) {
    return _stream << _timestamp.to_iso_8601(true, 'T', true);
}

} // namespace qvd::libs::core
