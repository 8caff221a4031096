#pragma once

#include <initializer_list>
#include <istream>
#include <iterator>
#include <memory>
#include <string>

#include <boost/algorithm/string/join.hpp>
#include <boost/optional.hpp>
#include <boost/type_index.hpp>

#include "config_parser/dictionary.hpp"
#include "config_parser/result.hpp"
#include "config_parser/value.hpp"

namespace qvd::libs::config {

// Formats a document can be read from.
enum class type : int { json = 0 };

// The name of a looked-up type as reasons spell it.
template <typename _type>
std::string get_type_name() {
    return boost::typeindex::stl_type_index::type_id<_type>().pretty_name();
}

template <>
inline std::string get_type_name<std::string>() {
    return "string";
}

// One read-only configuration document.
class config {
public:
    using ptr = std::unique_ptr<config>;

    virtual ~config() = default;

    // The root object of the document.
    virtual object get_root() const = 0;

    // Reads a whole document of the given format from the stream; throws when it cannot be parsed.
    template <type _type>
    static ptr create(std::istream& _stream);

    // The root's value under the key in the kind of _type.
    template <typename _type>
    boost::optional<_type> get(const std::string& _key) const {
        return get_root().get<_type>(_key);
    }

    // Walks the path through nested objects; the last key is looked up in the kind of _type.
    template <typename _type>
    result<_type> get_by_path(const std::initializer_list<std::string>& _path) const;
};

template <>
config::ptr config::create<type::json>(std::istream& _stream);

namespace detail {

// The reason against a found value, if any.
template <typename _type>
boost::optional<std::string> refusal(const _type&, const std::string&) {
    return boost::none;
}

// Every use of a string setting (a path, a name, a password) would cut it at a NUL byte, so one
// holding a NUL is refused, not taken shortened.
inline boost::optional<std::string> refusal(const std::string& _value, const std::string& _whole_path) {
    if (_value.find('\0') != std::string::npos) {
        return _whole_path + " must not hold a NUL byte";
    }
    return boost::none;
}

} // namespace detail

template <typename _type>
result<_type> config::get_by_path(const std::initializer_list<std::string>& _path) const {
    const std::string whole_path = boost::algorithm::join(_path, ".");
    const std::string field_reason = "Can not find field <" + get_type_name<_type>() + ">: " + whole_path;
    if (_path.size() == 0) {
        return error_reason{field_reason};
    }

    auto key = _path.begin();
    if (_path.size() == 1) {
        boost::optional<_type> found = get<_type>(*key);
        if (!found) {
            return error_reason{field_reason};
        }
        if (boost::optional<std::string> refused = detail::refusal(*found, whole_path)) {
            return error_reason{std::move(*refused)};
        }
        return std::move(*found);
    }

    const std::string suffix = ", path: " + whole_path;
    std::string walked = *key;
    boost::optional<object> current = get<object>(*key);
    if (!current) {
        return error_reason{"Can not find object <object>: " + walked + suffix};
    }
    const auto last = std::prev(_path.end());
    for (++key; key != last; ++key) {
        walked += "." + *key;
        current = current->get<object>(*key);
        if (!current) {
            return error_reason{"Can not find object <object>: " + walked + suffix};
        }
    }

    boost::optional<_type> found = current->get<_type>(*last);
    if (!found) {
        return error_reason{field_reason};
    }
    if (boost::optional<std::string> refused = detail::refusal(*found, whole_path)) {
        return error_reason{std::move(*refused)};
    }
    return std::move(*found);
}

} // namespace qvd::libs::config
