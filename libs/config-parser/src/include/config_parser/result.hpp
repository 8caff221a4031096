#pragma once

#include <string>
#include <tuple>
#include <utility>

#include <boost/optional.hpp>
#include <boost/throw_exception.hpp>
#include <boost/variant.hpp>

namespace qvd::libs::config {

// The text of one failed lookup, or of several joined by newlines.
struct error_reason {
    std::string reason;
};

// Either a looked-up value or the reason why it could not be found.
template <typename _type>
class result {
public:
    using result_type = _type;
    using value_type = boost::variant<result_type, error_reason>;

    // An ok result holding the value.
    result(result_type _value) : m_value(std::move(_value)) {}
    // A failed result.
    result(error_reason _reason) : m_value(std::move(_reason)) {}

    // True when the result holds a value.
    bool ok() const { return m_value.which() == 0; }
    // The value, or empty for a failed result.
    boost::optional<result_type> try_get() const {
        boost::optional<result_type> found;
        if (const result_type* const stored = boost::get<result_type>(&m_value)) {
            found = *stored;
        }
        return found;
    }
    // A copy of the value; throws boost::bad_optional_access for a failed result.
    result_type value() const {
        if (const result_type* const found = boost::get<result_type>(&m_value)) {
            return *found;
        }
        boost::throw_exception(boost::bad_optional_access());
    }
    // The reason of a failed result; empty for an ok result.
    std::string reason() const {
        if (const error_reason* const found = boost::get<error_reason>(&m_value)) {
            return found->reason;
        }
        return std::string();
    }

private:
    value_type m_value;
};

// A tuple stays as it is, so that combined results flatten into one tuple.
template <typename... _types>
std::tuple<_types...> ensure_tuple(const std::tuple<_types...>& _value) {
    return _value;
}

// Any other value becomes a tuple of that one value.
template <typename _type>
std::tuple<_type> ensure_tuple(const _type& _value) {
    return std::tuple<_type>(_value);
}

namespace detail {
template <typename _lhs_type, typename _rhs_type>
using combined_type = decltype(std::tuple_cat(ensure_tuple(std::declval<const _lhs_type&>()),
                                              ensure_tuple(std::declval<const _rhs_type&>())));
} // namespace detail

// Combines two results: the values side by side when both are ok, otherwise every reason.
template <typename _lhs_type, typename _rhs_type>
result<detail::combined_type<_lhs_type, _rhs_type>> operator+(const result<_lhs_type>& _lhs,
                                                              const result<_rhs_type>& _rhs) {
    using combined = detail::combined_type<_lhs_type, _rhs_type>;
    if (_lhs.ok() && _rhs.ok()) {
        return combined(std::tuple_cat(ensure_tuple(_lhs.value()), ensure_tuple(_rhs.value())));
    }
    if (!_lhs.ok() && !_rhs.ok()) {
        return error_reason{_lhs.reason() + "\n" + _rhs.reason()};
    }
    return error_reason{_lhs.ok() ? _rhs.reason() : _lhs.reason()};
}

} // namespace qvd::libs::config
