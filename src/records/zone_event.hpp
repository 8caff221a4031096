#pragma once

#include "records/records.hpp"

namespace qvd {

// One closed stay of a tracked object in a zone: an enter row and the leave row referring to it.
struct zone_event {
    int id_enter = 0;
    timestamp enter_time;
    boost::optional<int> x_enter;
    boost::optional<int> y_enter;
    boost::optional<int> z_enter;
    int id_leave = 0;
    timestamp leave_time;
    boost::optional<int> x_leave;
    boost::optional<int> y_leave;
    boost::optional<int> z_leave;
    boost::optional<int> duration;
    std::string trackable_uid;
    boost::optional<std::string> trackable_name;
    boost::optional<std::string> area_uid;
    boost::optional<std::string> area_name;
    boost::optional<std::string> zone_uid;
    boost::optional<std::string> zone_name;
    boost::optional<std::string> zone_type_name;
    boost::optional<std::string> project_uid;
    boost::optional<std::string> project_name;

    // Journal form.
    template <class Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        _ar& id_enter;
        _ar& enter_time;
        _ar& x_enter;
        _ar& y_enter;
        _ar& z_enter;
        _ar& id_leave;
        _ar& leave_time;
        _ar& x_leave;
        _ar& y_leave;
        _ar& z_leave;
        _ar& duration;
        _ar& trackable_uid;
        _ar& trackable_name;
        _ar& area_uid;
        _ar& area_name;
        _ar& zone_uid;
        _ar& zone_name;
        _ar& zone_type_name;
        _ar& project_uid;
        _ar& project_name;
    }
};

// One stay that has been entered and not yet left; mirrored, never journalled.
struct zone_event_open {
    int id = 0;
    std::string trackable_uid;
    boost::optional<std::string> trackable_name;
    boost::optional<std::string> area_uid;
    boost::optional<std::string> area_name;
    timestamp enter_time;
    boost::optional<std::string> zone_uid;
    boost::optional<std::string> zone_name;
    boost::optional<std::string> zone_type_name;
    boost::optional<std::string> project_uid;
    boost::optional<std::string> project_name;
    boost::optional<int> x_enter;
    boost::optional<int> y_enter;
    boost::optional<int> z_enter;
};

} // namespace qvd
