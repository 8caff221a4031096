#pragma once

#include <boost/optional.hpp>
#include <boost/optional/optional_io.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
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
    unsigned int get_ms() const {
        return static_cast<unsigned int>(m_time_point.time_since_epoch().count() % 1000);
    }

    // "%Y-%m-%d %H:%M:%S" in UTC with the given date/time delimiter, optionally ".mmm" and "Z".
    // Times before the epoch print the calendar time they denote (floor of the seconds).
    std::string to_iso_8601(bool _with_milleseconds, char _delimiter, bool _with_Z) const {
        const std::int64_t count = m_time_point.time_since_epoch().count();
        std::int64_t seconds = count / 1000;
        std::int64_t millis = count % 1000;
        if (millis < 0) {
            millis += 1000;
            --seconds;
        }
        const time_t as_time_t = static_cast<time_t>(seconds);
        std::tm fields{};
        if (gmtime_r(&as_time_t, &fields) == nullptr)
            return std::to_string(count);
        // The year is written by hand: strftime's %Y drops leading zeros ("99-06-15"), which a
        // server reads as 1999. Years beyond four digits keep all of theirs.
        const long long year = static_cast<long long>(fields.tm_year) + 1900;
        char date[40];
        char time[16];
        std::snprintf(date, sizeof date, year >= 0 && year <= 9999 ? "%04lld-%02d-%02d" : "%lld-%02d-%02d", year,
                      fields.tm_mon + 1, fields.tm_mday);
        std::strftime(time, sizeof time, "%H:%M:%S", &fields);
        std::string result = date;
        result += _delimiter;
        result += time;
        if (_with_milleseconds) {
            const char digits[] = {'.', static_cast<char>('0' + millis / 100),
                                   static_cast<char>('0' + millis / 10 % 10), static_cast<char>('0' + millis % 10)};
            result.append(digits, sizeof digits);
        }
        if (_with_Z)
            result += 'Z';
        return result;
    }

    // The column-store SQL form: blank delimiter, no zone letter.
    std::string to_iso_8601_string(bool _with_milleseconds) const { return to_iso_8601(_with_milleseconds, ' ', false); }

    // Journal form: one signed 64-bit count; the same function writes and reads.
    template <typename Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        std::int64_t count = m_time_point.time_since_epoch().count();
        _ar & count;
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
