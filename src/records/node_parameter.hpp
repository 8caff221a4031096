#pragma once

#include "records/records.hpp"

namespace qvd {

// One named parameter value of a node at a time, a row of node_parameters_staging.
struct node_parameter {
    // The row id is unsigned 32-bit in the runtime table; its whole range must stay deletable.
    std::uint32_t id = 0;
    boost::optional<std::string> mac_address;
    boost::optional<std::string> obj_uid;
    boost::optional<std::string> param_name;
    boost::optional<std::string> param_value;
    boost::optional<timestamp> ts;

    // Journal form. The id is written in decimal as before; an older journal holding a negative
    // id reads back as the same 32 bits.
    template <class Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        _ar& id;
        _ar& mac_address;
        _ar& obj_uid;
        _ar& param_name;
        _ar& param_value;
        _ar& ts;
    }
};

// The batch type of node parameters.
using node_parameters_vector = std::vector<node_parameter>;

} // namespace qvd
