#pragma once

#include <core/exception.hpp>

namespace qvd::libs::core::http {

// Request methods of the HTTP client.
enum class method : int {
    get = 0,
    post = 1,
    put = 2,
    del = 3,
    _count = 4,
};

// The method name sent on the wire; throws for any value outside get to del.
inline const char* to_string(method _value) {
    switch (_value) {
    case method::get:
        return "GET";
    case method::post:
        return "POST";
    case method::put:
        return "PUT";
    case method::del:
        return "DELETE";
    case method::_count:
        break;
    }
    QVD_THROW("Unknown enumeration value");
}

} // namespace qvd::libs::core::http
