#include "config_json_impl.hpp"

#include <memory>
#include <stdexcept>
#include <string>

#include <boost/throw_exception.hpp>

namespace qvd::libs::config {

namespace {

// Deepest nesting of objects and arrays that a document may have; the outermost counts as one.
const int nesting_limit = 1000;

// The reader counts its depth in values, the innermost scalar included, so it would refuse 1000
// arrays around a number and take 1000 around nothing. Its own limit lets one level more through;
// this walk then applies the one rule, which counts objects and arrays only.
bool nested_deeper(const Json::Value& _value, const int _levels_left) {
    if (!_value.isObject() && !_value.isArray()) {
        return false;
    }
    if (_levels_left == 0) {
        return true;
    }
    for (const Json::Value& member : _value) {
        if (nested_deeper(member, _levels_left - 1)) {
            return true;
        }
    }
    return false;
}

value::array whole(std::vector<value_impl>& _elements) { return value::array(_elements.begin(), _elements.end()); }

} // namespace

template <>
config::ptr config::create<type::json>(std::istream& _stream) {
    return std::make_unique<config_json_impl>(_stream);
}

config_json_impl::config_json_impl(std::istream& _stream) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["stackLimit"] = nesting_limit + 1;

    Json::Value root;
    std::string errors;
    const std::string too_deep = "nested deeper than " + std::to_string(nesting_limit) + " levels";
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, _stream, &root, &errors);
    } catch (const Json::RuntimeError&) {
        // The reader's own text ("Exceeded stackLimit in readValue().") names no limit.
        errors = too_deep;
    }
    if (parsed && nested_deeper(root, nesting_limit)) {
        parsed = false;
        errors = too_deep;
    }
    if (!parsed) {
        BOOST_THROW_EXCEPTION(std::runtime_error("Cannot parse json: " + errors));
    }

    dictionary_impl& root_dictionary = m_dictionaries.emplace_back();
    for (auto member = root.begin(); member != root.end(); ++member) {
        processValue(*member, member.name(), root_dictionary);
    }
}

object config_json_impl::get_root() const { return m_dictionaries.front(); }

void config_json_impl::processValue(const Json::Value& _value, const std::string& _name, dictionary_impl& _dictionary) {
    if (_value.isObject()) {
        dictionary_impl& nested = m_dictionaries.emplace_back();
        _dictionary.add_value(_name, value_impl(static_cast<const dictionary&>(nested)));
        for (auto member = _value.begin(); member != _value.end(); ++member) {
            processValue(*member, member.name(), nested);
        }
    } else if (_value.isArray()) {
        std::vector<value_impl>& elements = m_arrays.emplace_back();
        processArray(_value, elements);
        _dictionary.add_value(_name, value_impl(whole(elements)));
    } else {
        _dictionary.add_value(_name, value_impl(_value));
    }
}

void config_json_impl::processArray(const Json::Value& _array, std::vector<value_impl>& _out_array) {
    _out_array.reserve(_array.size());
    for (const Json::Value& element : _array) {
        if (element.isObject()) {
            dictionary_impl& nested = m_dictionaries.emplace_back();
            _out_array.emplace_back(static_cast<const dictionary&>(nested));
            for (auto member = element.begin(); member != element.end(); ++member) {
                processValue(*member, member.name(), nested);
            }
        } else if (element.isArray()) {
            std::vector<value_impl>& elements = m_arrays.emplace_back();
            processArray(element, elements);
            _out_array.emplace_back(whole(elements));
        } else {
            _out_array.emplace_back(element);
        }
    }
}

} // namespace qvd::libs::config
