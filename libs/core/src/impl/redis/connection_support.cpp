#include <core/impl/redis/connection_support.hpp>

#include <core/exception.hpp>

#include <boost/utility/string_view.hpp>

#include <array>
#include <strings.h>

namespace qvd::libs::core::redis {

void check_arguments(const argument_pointers& _argv, const argument_lengths& _argv_len) {
    QVD_CHECK(_argv.size() == _argv_len.size());
    if (_argv.empty())
        QVD_THROW("Command without arguments");
}

bool has_many_replies(const argument_pointers& _argv, const argument_lengths& _argv_len) {
    static constexpr std::array<boost::string_view, 4> streaming = {"SUBSCRIBE", "PSUBSCRIBE", "SSUBSCRIBE", "MONITOR"};
    if (_argv.empty())
        return false;
    // Once per asynchronous command: the lengths rule out nearly every command before any comparison.
    for (const boost::string_view word : streaming)
        if (_argv_len.front() == word.size() && ::strncasecmp(_argv.front(), word.data(), word.size()) == 0)
            return true;
    return false;
}

std::string first_argument(const argument_pointers& _argv, const argument_lengths& _argv_len) {
    return _argv.empty() ? std::string() : std::string(_argv.front(), _argv_len.front());
}

} // namespace qvd::libs::core::redis
