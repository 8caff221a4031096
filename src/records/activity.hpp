#pragma once

#include "records/records.hpp"

namespace qvd {

// One entry of the activity journal, a row of activities.
struct activity {
    unsigned long long id = 0;
    timestamp created_at;
    std::string created_by;
    std::string action;
    std::string object;
    boost::optional<std::string> plist;
    boost::optional<std::string> project_uid;
    boost::optional<std::string> company_uid;
    boost::optional<std::string> on_behalf;
    boost::optional<std::string> ip;
    boost::optional<std::string> company_name;
    boost::optional<std::string> project_name;
    boost::optional<std::string> project_user_params;

    // Journal form.
    template <class Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        _ar& id;
        _ar& created_at;
        _ar& created_by;
        _ar& action;
        _ar& object;
        _ar& plist;
        _ar& project_uid;
        _ar& company_uid;
        _ar& on_behalf;
        _ar& ip;
        _ar& company_name;
        _ar& project_name;
        _ar& project_user_params;
    }
};

} // namespace qvd
