#pragma once

#include <core/exception.hpp>

#include <boost/utility/string_view.hpp>

namespace qvd::libs::core::redis {

// hiredis's reply type codes, read from hiredis unchanged.
enum class reply_type : int {
    STRING = 1,
    ARRAY = 2,
    INTEGER = 3,
    NIL = 4,
    STATUS = 5,
    ERROR = 6,
    _count = 7,
};

// The lower-case name of a reply type; any other value throws.
inline boost::string_view to_string(reply_type _type) {
    switch (_type) {
    case reply_type::STRING:
        return "string";
    case reply_type::ARRAY:
        return "array";
    case reply_type::INTEGER:
        return "integer";
    case reply_type::NIL:
        return "nil";
    case reply_type::STATUS:
        return "status";
    case reply_type::ERROR:
        return "error";
    case reply_type::_count:
        break;
    }
    QVD_THROW("Unknown enumeration value");
}

} // namespace qvd::libs::core::redis
