#pragma once

// What every record header needs: the time type and the archive support for its field types.

#include <core/timestamp.hpp>

#include <boost/optional.hpp>
#include <boost/serialization/optional.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/vector.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace qvd {

using timestamp = libs::core::timestamp;

namespace detail {

// Writes or reads an optional as its presence flag and its value, which is what the archive
// writes for a boost::optional whose class it has already introduced. A record uses this for a
// field held wider in memory than in its journal text, so that the text keeps the class
// information and the numbers of the narrower type that stored journal files hold.
template <class Archive, class T>
void serialize_as_known_optional(Archive& _ar, boost::optional<T>& _value) {
    bool present = _value.is_initialized();
    _ar& present;
    if (Archive::is_loading::value) {
        if (!present) {
            _value = boost::none;
            return;
        }
        _value = T{};
    } else if (!present) {
        return;
    }
    _ar&* _value;
}

} // namespace detail

} // namespace qvd
