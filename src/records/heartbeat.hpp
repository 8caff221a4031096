#pragma once

#include "records/records.hpp"

namespace qvd {

// One heartbeat message of a device, a row of heartbeats.
struct heartbeat {
    unsigned long id = 0;
    boost::optional<timestamp> ts;
    boost::optional<int> message_type;
    boost::optional<std::string> mac_address;
    boost::optional<std::string> trackable_uid;
    boost::optional<std::string> area_uid;
    boost::optional<std::string> company_uid;
    boost::optional<std::string> project_uid;
    boost::optional<int> x;
    boost::optional<int> y;
    boost::optional<int> z;
    // The device's flags are an unsigned 32-bit value; a signed field would turn the high bit negative.
    boost::optional<std::uint32_t> flags_raw;
    boost::optional<std::string> parent_mac_address;
    boost::optional<std::string> bridge_mac_address;
    boost::optional<int> reporting_frequency;
    boost::optional<int> ranging_frequency;
    boost::optional<std::string> category;
    boost::optional<std::string> sw_version;

    // Journal form.
    template <class Archive>
    void serialize(Archive& _ar, const unsigned int /*_version*/) {
        _ar& id;
        _ar& ts;
        _ar& message_type;
        _ar& mac_address;
        _ar& trackable_uid;
        _ar& area_uid;
        _ar& company_uid;
        _ar& project_uid;
        _ar& x;
        _ar& y;
        _ar& z;
        // message_type (an optional int) has introduced the optional class by now, so the text
        // stays that of an optional int; older journals holding a negative number read back as
        // the same 32 bits.
        detail::serialize_as_known_optional(_ar, flags_raw);
        _ar& parent_mac_address;
        _ar& bridge_mac_address;
        _ar& reporting_frequency;
        _ar& ranging_frequency;
        _ar& category;
        _ar& sw_version;
    }
};

} // namespace qvd
