#pragma once

#include <istream>
#include <list>
#include <string>
#include <vector>

#include <json/json.h>

#include "config_parser/config.hpp"
#include "dictionary_impl.hpp"
#include "value_impl.hpp"

namespace qvd::libs::config {

// A document read from JSON text; owns every object and array of its tree.
class config_json_impl final : public config {
public:
    explicit config_json_impl(std::istream& _stream);

    config_json_impl(const config_json_impl&) = delete;
    config_json_impl& operator=(const config_json_impl&) = delete;

    object get_root() const override;

private:
    void processValue(const Json::Value& _value, const std::string& _name, dictionary_impl& _dictionary);
    void processArray(const Json::Value& _array, std::vector<value_impl>& _out_array);

    // Lists, because values refer to their objects and arrays, which must never move.
    // Declared in this order so that the arrays go before the dictionaries.
    std::list<dictionary_impl> m_dictionaries;
    std::list<std::vector<value_impl>> m_arrays;
};

} // namespace qvd::libs::config
