#include "value_impl.hpp"

#include <utility>

namespace qvd::libs::config {

namespace {

struct object_visitor : boost::static_visitor<boost::optional<object>> {
    boost::optional<object> operator()(const Json::Value&) const { return boost::none; }
    boost::optional<object> operator()(const dictionary& _value) const { return _value; }
    boost::optional<object> operator()(const value::array&) const { return boost::none; }
};

} // namespace

value_impl::value_impl(Json::Value _value) : m_value(std::move(_value)) {}

value_impl::value_impl(const dictionary& _value) : m_value(_value) {}

value_impl::value_impl(value::array _value) : m_value(std::move(_value)) {}

const Json::Value* value_impl::scalar() const { return boost::get<Json::Value>(&m_value); }

boost::optional<bool> value_impl::as_bool() const {
    const Json::Value* const json = scalar();
    if (json == nullptr || !json->isBool()) {
        return boost::none;
    }
    return json->asBool();
}

boost::optional<int> value_impl::as_int() const {
    const Json::Value* const json = scalar();
    if (json == nullptr || !json->isIntegral()) {
        return boost::none;
    }
    // Throws Json::LogicError outside the range of int; callers see that unchanged.
    return json->asInt();
}

boost::optional<double> value_impl::as_double() const {
    const Json::Value* const json = scalar();
    if (json == nullptr || !json->isDouble()) {
        return boost::none;
    }
    return json->asDouble();
}

boost::optional<std::string> value_impl::as_string() const {
    const Json::Value* const json = scalar();
    if (json == nullptr || !json->isString()) {
        return boost::none;
    }
    return json->asString();
}

boost::optional<object> value_impl::as_object() const { return boost::apply_visitor(object_visitor(), m_value); }

boost::optional<value::array> value_impl::as_array() const {
    if (const value::array* const elements = boost::get<value::array>(&m_value)) {
        return *elements;
    }
    return boost::none;
}

} // namespace qvd::libs::config
