#pragma once

#include "records/records.hpp"

namespace qvd {

// One closed association of a vehicle with a driver (its removal time has passed).
struct vehicle_driver_association {
    int id = 0;
    boost::optional<std::string> event_id;
    boost::optional<std::string> vehicle_uid;
    boost::optional<std::string> vehicle_mac;
    boost::optional<std::string> vehicle_name;
    boost::optional<std::string> driver_uid;
    boost::optional<std::string> driver_mac;
    boost::optional<std::string> driver_name;
    boost::optional<timestamp> created_at;
    boost::optional<std::string> created_area_uid;
    boost::optional<int> created_x;
    boost::optional<int> created_y;
    boost::optional<timestamp> removed_at;
    boost::optional<std::string> removed_area_uid;
    boost::optional<int> removed_x;
    boost::optional<int> removed_y;
    boost::optional<std::string> project_uid;

    // Journal form.
    template <class Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        _ar& id;
        _ar& event_id;
        _ar& vehicle_uid;
        _ar& vehicle_mac;
        _ar& vehicle_name;
        _ar& driver_uid;
        _ar& driver_mac;
        _ar& driver_name;
        _ar& created_at;
        _ar& created_area_uid;
        _ar& created_x;
        _ar& created_y;
        _ar& removed_at;
        _ar& removed_area_uid;
        _ar& removed_x;
        _ar& removed_y;
        _ar& project_uid;
    }
};

// An association of a vehicle with a driver that is still open; mirrored, never journalled.
struct vehicle_driver_association_open {
    int id = 0;
    boost::optional<std::string> event_id;
    boost::optional<std::string> vehicle_uid;
    boost::optional<std::string> vehicle_mac;
    boost::optional<std::string> vehicle_name;
    boost::optional<std::string> driver_uid;
    boost::optional<std::string> driver_mac;
    boost::optional<std::string> driver_name;
    boost::optional<timestamp> created_at;
    boost::optional<std::string> created_area_uid;
    boost::optional<int> created_x;
    boost::optional<int> created_y;
    boost::optional<std::string> project_uid;
};

} // namespace qvd
