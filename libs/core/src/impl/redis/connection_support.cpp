#include <core/impl/redis/connection_support.hpp>

#include <core/exception.hpp>

#include <charconv>
#include <cstring>
#include <mutex>
#include <signal.h>

namespace qvd::libs::core::redis {

void ignore_broken_pipes() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            ::signal(SIGPIPE, SIG_IGN);
    });
}

void check_arguments(const std::vector<const char*>& _argv, const std::vector<size_t>& _argv_len) {
    QVD_CHECK(_argv.size() == _argv_len.size());
    if (_argv.empty())
        QVD_THROW("Command without arguments");
}

namespace {

// "*<count>\r\n" or "$<length>\r\n" at _out; returns the end.
char* write_header(char* _out, char _kind, size_t _number) {
    *_out++ = _kind;
    _out = std::to_chars(_out, _out + 20, _number).ptr;
    *_out++ = '\r';
    *_out++ = '\n';
    return _out;
}

} // namespace

void format_command(const std::vector<const char*>& _argv, const std::vector<size_t>& _argv_len, std::string& _text) {
    // Room for every header at its longest; trimmed at the end.
    size_t size = 23;
    for (const size_t length : _argv_len)
        size += 23 + length + 2;
    _text.resize(size);
    char* out = write_header(_text.data(), '*', _argv.size());
    for (size_t i = 0; i < _argv.size(); ++i) {
        out = write_header(out, '$', _argv_len[i]);
        std::memcpy(out, _argv[i], _argv_len[i]);
        out += _argv_len[i];
        *out++ = '\r';
        *out++ = '\n';
    }
    _text.resize(static_cast<size_t>(out - _text.data()));
}

std::string first_argument(const std::vector<const char*>& _argv, const std::vector<size_t>& _argv_len) {
    return _argv.empty() ? std::string() : std::string(_argv.front(), _argv_len.front());
}

} // namespace qvd::libs::core::redis
