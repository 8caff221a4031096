#pragma once

#include <map>
#include <string>
#include <vector>

#include "config_parser/dictionary.hpp"
#include "value_impl.hpp"

namespace qvd::libs::config {

// A JSON object of a parsed document.
class dictionary_impl final : public dictionary {
public:
    boost::optional<const value&> get_value(const std::string& _key) const override;
    std::vector<std::string> get_keys() const override;

    // Stores the value under the key unless the key is already there: the first value wins.
    void add_value(const std::string& _key, value_impl _value);

private:
    std::map<std::string, value_impl> m_data;
};

} // namespace qvd::libs::config
