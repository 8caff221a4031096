#pragma once

#include <string>

#include <boost/optional.hpp>
#include <boost/range/any_range.hpp>

namespace qvd::libs::config {

class dictionary;

// A nested JSON object as handed out by lookups.
using object = const dictionary&;

// One JSON value of a document, asked for in the kind the caller expects.
class value {
public:
    // The elements of one JSON array.
    using array = boost::any_range<value, boost::bidirectional_traversal_tag, value&, long>;

    virtual ~value() = default;

    // The value when it is JSON true or false.
    virtual boost::optional<bool> as_bool() const = 0;
    // The value when it is an integral number within the range of int.
    virtual boost::optional<int> as_int() const = 0;
    // The value when it is a number.
    virtual boost::optional<double> as_double() const = 0;
    // The value when it is a JSON string.
    virtual boost::optional<std::string> as_string() const = 0;
    // The value when it is a JSON object.
    virtual boost::optional<object> as_object() const = 0;
    // The value when it is a JSON array.
    virtual boost::optional<array> as_array() const = 0;

    // The value in the kind of _type (bool, int, double, std::string, object or array).
    template <typename _type>
    boost::optional<_type> get() const;
};

template <>
inline boost::optional<bool> value::get<bool>() const {
    return as_bool();
}

template <>
inline boost::optional<int> value::get<int>() const {
    return as_int();
}

template <>
inline boost::optional<double> value::get<double>() const {
    return as_double();
}

template <>
inline boost::optional<std::string> value::get<std::string>() const {
    return as_string();
}

template <>
inline boost::optional<object> value::get<object>() const {
    return as_object();
}

template <>
inline boost::optional<value::array> value::get<value::array>() const {
    return as_array();
}

} // namespace qvd::libs::config
