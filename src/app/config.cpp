#include "app/config.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>

#include <boost/optional.hpp>

#include <config_parser/config.hpp>
#include <config_parser/result.hpp>
#include <core/exception.hpp>
#include <core/posix.hpp>

namespace qvd {

namespace {

namespace parser = libs::config;

// An integer key within [_min, _max]. A whole number outside the range, also one beyond 32 bits,
// is a reason naming the key; a missing key, another type or a fraction keeps the lookup's reason.
parser::result<int> integer(const parser::config& _document, const std::string& _section, const std::string& _key,
                            const int _min, const int _max) {
    const parser::result<double> number = _document.get_by_path<double>({_section, _key});
    if (number.ok() && std::floor(number.value()) == number.value()) {
        const std::string name = _section + "." + _key;
        if (number.value() < _min) {
            return parser::error_reason{name + " must be at least " + std::to_string(_min)};
        }
        if (number.value() > _max) {
            return parser::error_reason{name + " must be at most " + std::to_string(_max)};
        }
    }
    return _document.get_by_path<int>({_section, _key});
}

parser::result<int> positive(const parser::config& _document, const std::string& _section, const std::string& _key) {
    return integer(_document, _section, _key, 1, INT_MAX);
}

parser::result<int> port(const parser::config& _document, const std::string& _section) {
    return integer(_document, _section, "port", 1, 65535);
}

// The one key that may be left out (a missing section is reported by its other keys). A day at
// most: the client library counts in int milliseconds.
parser::result<int> database_timeout(const parser::config& _document, const unsigned int _default) {
    const boost::optional<parser::object> system = _document.get<parser::object>("system");
    if (!system || !system->get_value("database_timeout")) {
        return static_cast<int>(_default);
    }
    return integer(_document, "system", "database_timeout", 1, 86400);
}

// Whether _text is a port number from 1 to 65535 in decimal digits.
bool is_port(const std::string& _text) {
    if (_text.empty()) {
        return false;
    }
    long number = 0;
    for (const char digit : _text) {
        if (digit < '0' || digit > '9') {
            return false;
        }
        number = number * 10 + (digit - '0');
        if (number > 65535) {
            return false;
        }
    }
    return number >= 1;
}

// The log stream's endpoint. ZeroMQ connects a tcp:// endpoint lazily and takes an impossible port
// (99999, "5557x", 0) without complaint, so the port, after the last ':', is checked here; the
// rest, and every other transport, is left to ZeroMQ, which refuses what it cannot parse.
parser::result<std::string> log_endpoint(const parser::config& _document) {
    parser::result<std::string> endpoint = _document.get_by_path<std::string>({"system", "debug_port"});
    const std::string tcp = "tcp://";
    if (!endpoint.ok()) {
        return endpoint;
    }
    const std::string text = endpoint.value();
    if (text.compare(0, tcp.size(), tcp) == 0) {
        const std::size_t colon = text.rfind(':');
        if (colon < tcp.size() || !is_port(text.substr(colon + 1))) {
            return parser::error_reason{"system.debug_port must end in a port from 1 to 65535: \"" + text + "\""};
        }
    }
    return endpoint;
}

// Far above any real configuration, far below what would exhaust the memory.
constexpr std::size_t config_file_limit = 16 * 1024 * 1024;

// "Cannot parse json: cannot read /etc/lomvera.json: not a regular file"
[[noreturn]] void refused(const std::string& _file_name, const std::string& _reason) {
    throw std::runtime_error("Cannot parse json: cannot read " + _file_name + ": " + _reason);
}

[[noreturn]] void unreadable(const std::string& _what, const std::string& _file_name) {
    throw std::runtime_error("Cannot parse json: cannot " + _what + " " + _file_name + ": " + std::strerror(errno));
}

} // namespace

config::config(std::istream& _stream) {
    const parser::config::ptr document = parser::config::create<parser::type::json>(_stream);

    // Looked up one by one in this order; the reasons are reported in the order of the sum below.
    const auto persistent_data_dir = document->get_by_path<std::string>({"system", "persistent_data_dir"});
    const auto pidfile = document->get_by_path<std::string>({"system", "pidfile"});
    const auto timer = positive(*document, "system", "timer");
    const auto maximum_piece = positive(*document, "system", "maximum_piece");
    const auto activities_maximum_piece = positive(*document, "system", "activities_maximum_piece");
    const auto debug_port = log_endpoint(*document);
    const auto local_debug = document->get_by_path<bool>({"system", "local_debug"});
    const auto prod_host = document->get_by_path<std::string>({"prod", "host"});
    const auto prod_database = document->get_by_path<std::string>({"prod", "database"});
    const auto prod_port = port(*document, "prod");
    const auto prod_user = document->get_by_path<std::string>({"prod", "user"});
    const auto prod_password = document->get_by_path<std::string>({"prod", "password"});
    const auto dw_host = document->get_by_path<std::string>({"dw", "host"});
    const auto dw_user = document->get_by_path<std::string>({"dw", "user"});
    const auto dw_password = document->get_by_path<std::string>({"dw", "password"});
    const auto dw_database = document->get_by_path<std::string>({"dw", "database"});
    const auto dw_port = port(*document, "dw");
    const auto timeout = database_timeout(*document, system.database_timeout);

    const auto all = persistent_data_dir + pidfile + timer + maximum_piece + activities_maximum_piece + debug_port +
                     local_debug + dw_host + dw_user + dw_password + dw_database + dw_port + prod_host + prod_database +
                     prod_port + prod_user + prod_password + timeout;
    if (!all.ok()) {
        QVD_THROW("Config file is invalid: " + all.reason());
    }

    // Every integer is positive here, so the unsigned members hold the same numbers.
    std::tie(system.persistent_data_dir, system.pidfile_path, system.timer, system.maximum_piece,
             system.activities_maximum_piece, system.debug_port, system.local_debug, dw.host, dw.user, dw.password,
             dw.database, dw.port, prod.host, prod.database, prod.port, prod.user, prod.password,
             system.database_timeout) = all.value();
}

config config::from_file(const std::string& _file_name) {
    // Without blocking: a FIFO would otherwise hold the open until a writer comes.
    const libs::core::unique_descriptor descriptor(::open(_file_name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!descriptor.valid()) {
        unreadable("open", _file_name);
    }
    // A device, a FIFO or a directory is no configuration; /dev/zero would be read without end.
    struct stat status;
    if (::fstat(descriptor.get(), &status) != 0) {
        unreadable("read", _file_name);
    }
    if (!S_ISREG(status.st_mode)) {
        refused(_file_name, "not a regular file");
    }
    // A regular file may still grow while it is read, or claim no size (/proc): the read is bounded.
    std::string text;
    if (!libs::core::read_up_to(descriptor.get(), config_file_limit + 1, text)) {
        unreadable("read", _file_name);
    }
    if (text.size() > config_file_limit) {
        refused(_file_name, "larger than " + std::to_string(config_file_limit / (1024 * 1024)) + " MiB");
    }
    std::istringstream stream(text);
    return config(stream);
}

} // namespace qvd
