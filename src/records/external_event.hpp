#pragma once

#include "records/records.hpp"

namespace qvd {

// One external event of an object, a row of external_events.
struct external_event {
    int id = 0;
    boost::optional<std::string> object_uid;
    boost::optional<std::string> mac_address;
    boost::optional<std::string> event_info;
    boost::optional<std::string> event_type;
    timestamp ts;
    boost::optional<std::string> area_uid;
    boost::optional<std::string> area_name;
    boost::optional<std::string> project_uid;
    boost::optional<std::string> project_name;
    boost::optional<int> x;
    boost::optional<int> y;
    boost::optional<int> z;
    boost::optional<std::string> object_name;
    boost::optional<timestamp> created_at;

    // Journal form.
    template <class Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        _ar& id;
        _ar& object_uid;
        _ar& mac_address;
        _ar& event_info;
        _ar& event_type;
        _ar& ts;
        _ar& area_uid;
        _ar& area_name;
        _ar& project_uid;
        _ar& project_name;
        _ar& x;
        _ar& y;
        _ar& z;
        _ar& object_name;
        _ar& created_at;
    }
};

} // namespace qvd
