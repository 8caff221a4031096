#pragma once

#include <string>

#include <boost/optional.hpp>
#include <boost/variant.hpp>
#include <json/json.h>

#include "config_parser/dictionary.hpp"
#include "config_parser/value.hpp"

namespace qvd::libs::config {

// A value of a parsed document: a JSON scalar, a nested object or a nested array.
class value_impl final : public value {
public:
    using data = boost::variant<Json::Value, const dictionary&, value::array>;

    explicit value_impl(Json::Value _value);
    explicit value_impl(const dictionary& _value);
    explicit value_impl(value::array _value);

    boost::optional<bool> as_bool() const override;
    boost::optional<int> as_int() const override;
    boost::optional<double> as_double() const override;
    boost::optional<std::string> as_string() const override;
    boost::optional<object> as_object() const override;
    boost::optional<array> as_array() const override;

private:
    // The JSON scalar or null held, if that is the alternative.
    const Json::Value* scalar() const;

    data m_value;
};

} // namespace qvd::libs::config
