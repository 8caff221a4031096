#pragma once

#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "config_parser/value.hpp"

namespace qvd::libs::config {

// One JSON object: values addressed by key.
class dictionary {
public:
    virtual ~dictionary() = default;

    // The value stored under the key; empty when the key is absent.
    virtual boost::optional<const value&> get_value(const std::string& _key) const = 0;
    // Every key of the object in ascending order.
    virtual std::vector<std::string> get_keys() const = 0;

    // The value under the key in the kind of _type; empty when absent or of another kind.
    template <typename _type>
    boost::optional<_type> get(const std::string& _key) const {
        boost::optional<_type> found;
        if (const boost::optional<const value&> stored = get_value(_key)) {
            found = stored->get<_type>();
        }
        return found;
    }
};

} // namespace qvd::libs::config
