#include "records/activity.hpp"
#include "records/external_event.hpp"
#include "records/heartbeat.hpp"
#include "records/node_parameter.hpp"
#include "records/position.hpp"
#include "records/vehicle_driver_association.hpp"
#include "records/zone_event.hpp"

#include "support/core_values.hpp"

#include <gtest/gtest.h>

#include <string>

// The records' journal form is tested through the journal, with the transfer tests.

namespace {

using qvd::timestamp;
using qvd::test_support::at_ms;

TEST(records, value_initialised_records_are_empty) {
    const qvd::position position{};
    EXPECT_EQ(position.id, 0);
    EXPECT_EQ(position.trackable_id, 0);
    EXPECT_TRUE(position.trackable_uid.empty());
    EXPECT_TRUE(position.area_uid.empty());
    EXPECT_FALSE(position.mac_address);
    EXPECT_FALSE(position.inactive);
    EXPECT_FALSE(position.to_type_id);
    EXPECT_EQ(position.ts, timestamp());

    const qvd::zone_event zone_event{};
    EXPECT_EQ(zone_event.id_enter, 0);
    EXPECT_EQ(zone_event.id_leave, 0);
    EXPECT_EQ(zone_event.enter_time, timestamp());
    EXPECT_EQ(zone_event.leave_time, timestamp());
    EXPECT_FALSE(zone_event.duration);

    const qvd::heartbeat heartbeat{};
    EXPECT_EQ(heartbeat.id, 0u);
    EXPECT_FALSE(heartbeat.ts);
    EXPECT_FALSE(heartbeat.flags_raw);

    const qvd::node_parameter node_parameter{};
    EXPECT_EQ(node_parameter.id, 0u);
    EXPECT_FALSE(node_parameter.ts);

    const qvd::activity activity{};
    EXPECT_EQ(activity.id, 0u);
    EXPECT_TRUE(activity.created_by.empty());
    EXPECT_FALSE(activity.plist);

    const qvd::vehicle_driver_association_open open{};
    EXPECT_EQ(open.id, 0);
    EXPECT_FALSE(open.created_at);
}

TEST(records, copies_are_independent) {
    qvd::external_event source{};
    source.id = 3;
    source.object_uid = std::string("obj-1");
    source.created_at = at_ms(1000);
    qvd::external_event copy = source;
    copy.object_uid->append("-changed");
    copy.created_at.reset();
    EXPECT_EQ(*source.object_uid, "obj-1");
    EXPECT_EQ(source.created_at, at_ms(1000));
    EXPECT_EQ(*copy.object_uid, "obj-1-changed");
}

} // namespace
