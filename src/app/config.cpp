#include "app/config.hpp"

#include <string>
#include <tuple>

#include <config_parser/config.hpp>
#include <config_parser/result.hpp>
#include <core/exception.hpp>

namespace qvd {

namespace {

namespace parser = libs::config;

// A zero period would end the process at the periodic timer's first tick.
parser::result<int> refuse_zero_period(parser::result<int> _timer) {
    if (_timer.ok() && _timer.value() == 0) {
        return parser::error_reason{"system.timer must be at least 1"};
    }
    return _timer;
}

}  // namespace

config::config(std::istream& _stream) {
    const parser::config::ptr document = parser::config::create<parser::type::json>(_stream);

    // Looked up one by one in this order, so that an out-of-range integer is met in a fixed order.
    const auto persistent_data_dir = document->get_by_path<std::string>({"system", "persistent_data_dir"});
    const auto pidfile = document->get_by_path<std::string>({"system", "pidfile"});
    const auto timer = refuse_zero_period(document->get_by_path<int>({"system", "timer"}));
    const auto maximum_piece = document->get_by_path<int>({"system", "maximum_piece"});
    const auto activities_maximum_piece = document->get_by_path<int>({"system", "activities_maximum_piece"});
    const auto debug_port = document->get_by_path<std::string>({"system", "debug_port"});
    const auto local_debug = document->get_by_path<bool>({"system", "local_debug"});
    const auto prod_host = document->get_by_path<std::string>({"prod", "host"});
    const auto prod_database = document->get_by_path<std::string>({"prod", "database"});
    const auto prod_port = document->get_by_path<int>({"prod", "port"});
    const auto prod_user = document->get_by_path<std::string>({"prod", "user"});
    const auto prod_password = document->get_by_path<std::string>({"prod", "password"});
    const auto dw_host = document->get_by_path<std::string>({"dw", "host"});
    const auto dw_user = document->get_by_path<std::string>({"dw", "user"});
    const auto dw_password = document->get_by_path<std::string>({"dw", "password"});
    const auto dw_database = document->get_by_path<std::string>({"dw", "database"});
    const auto dw_port = document->get_by_path<int>({"dw", "port"});

    const auto all = persistent_data_dir + pidfile + timer + maximum_piece + activities_maximum_piece + debug_port +
                     local_debug + dw_host + dw_user + dw_password + dw_database + dw_port + prod_host +
                     prod_database + prod_port + prod_user + prod_password;
    if (!all.ok()) {
        QVD_THROW("Config file is invalid: " + all.reason());
    }

    // Integers are kept bit for bit: a negative number becomes its unsigned counterpart.
    std::tie(system.persistent_data_dir, system.pidfile_path, system.timer, system.maximum_piece,
             system.activities_maximum_piece, system.debug_port, system.local_debug, dw.host, dw.user, dw.password,
             dw.database, dw.port, prod.host, prod.database, prod.port, prod.user, prod.password) = all.value();
}

}  // namespace qvd
