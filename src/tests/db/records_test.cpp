#include "records/activity.hpp"
#include "records/external_event.hpp"
#include "records/heartbeat.hpp"
#include "records/node_parameter.hpp"
#include "records/position.hpp"
#include "records/vehicle_driver_association.hpp"
#include "records/zone_event.hpp"

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qvd::timestamp;

template <class Record>
std::string to_text(const std::vector<Record>& _records)
{
    std::stringstream stream;
    boost::archive::text_oarchive archive(stream);
    archive << _records;
    return stream.str();
}

template <class Record>
std::vector<Record> from_text(const std::string& _text)
{
    std::stringstream stream(_text);
    boost::archive::text_iarchive archive(stream);
    std::vector<Record> records;
    archive >> records;
    return records;
}

timestamp at_ms(long long _count) { return timestamp(std::chrono::milliseconds(_count)); }

TEST(records, value_initialised_records_are_empty)
{
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

TEST(records, copies_are_independent)
{
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

TEST(records, node_parameter_journal_text)
{
    qvd::node_parameter parameter{};
    parameter.id = 7;
    parameter.mac_address = std::string("0a:1b");
    parameter.param_name = std::string("rate");
    parameter.param_value = std::string();
    parameter.ts = at_ms(1234567);
    const std::string text = to_text(qvd::node_parameters_vector{parameter});
    EXPECT_EQ(text, "22 serialization::archive 19 0 0 1 0 0 0 7 0 1 1 5 0a:1b 0 1 4 rate 1 0  0 1 1 0 0 1234567");

    const auto back = from_text<qvd::node_parameter>(text);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].id, 7u);
    EXPECT_EQ(back[0].mac_address, std::string("0a:1b"));
    EXPECT_FALSE(back[0].obj_uid);
    EXPECT_EQ(back[0].param_name, std::string("rate"));
    EXPECT_EQ(back[0].param_value, std::string());
    EXPECT_EQ(back[0].ts, at_ms(1234567));
}

TEST(records, node_parameter_ids_keep_their_unsigned_range)
{
    struct case_t {
        std::uint32_t id;
        const char* token;
    };
    for (const case_t& c : {case_t{2147483647u, "2147483647"}, case_t{2147483648u, "2147483648"},
                            case_t{4294967295u, "4294967295"}}) {
        qvd::node_parameter parameter{};
        parameter.id = c.id;
        const std::string text = to_text(qvd::node_parameters_vector{parameter});
        EXPECT_EQ(text, std::string("22 serialization::archive 19 0 0 1 0 0 0 ") + c.token + " 0 1 0 0 0 0 0 1 0")
            << c.id;
        EXPECT_EQ(from_text<qvd::node_parameter>(text).at(0).id, c.id);
    }
    // A journal written while the id was kept signed holds the wrapped number; it reads back as the row id.
    EXPECT_EQ(from_text<qvd::node_parameter>("22 serialization::archive 19 0 0 1 0 0 0 -2147483648 0 1 0 0 0 0 0 1 0")
                  .at(0)
                  .id,
              2147483648u);
}

// The heartbeat text up to and after flags_raw, for a record with only id, message_type and flags.
std::string heartbeat_text(const std::string& _flags)
{
    return "22 serialization::archive 19 0 0 1 0 0 0 5 0 1 0 0 1 1 260 0 1 0 0 0 0 0 0 0 1 1 " + _flags +
           " 0 0 0 0 0 0";
}

TEST(records, heartbeat_flags_keep_their_unsigned_range)
{
    struct case_t {
        boost::optional<std::uint32_t> flags;
        std::string tokens;
    };
    const std::vector<case_t> cases{{boost::none, "0"},
                                    {std::uint32_t{255}, "1 255"},
                                    {std::uint32_t{0x7fffffff}, "1 2147483647"},
                                    {std::uint32_t{0x80000000}, "1 2147483648"},
                                    {std::uint32_t{0xffffffff}, "1 4294967295"}};
    for (const case_t& c : cases) {
        qvd::heartbeat heartbeat{};
        heartbeat.id = 5;
        heartbeat.message_type = 260;
        heartbeat.z = 1;
        heartbeat.flags_raw = c.flags;
        const std::string text = to_text(std::vector<qvd::heartbeat>{heartbeat});
        EXPECT_EQ(text, heartbeat_text(c.tokens));
        const auto back = from_text<qvd::heartbeat>(text);
        ASSERT_EQ(back.size(), 1u);
        EXPECT_EQ(back[0].flags_raw, c.flags);
        EXPECT_EQ(back[0].message_type, 260);
        EXPECT_EQ(back[0].z, 1);
        EXPECT_FALSE(back[0].parent_mac_address);
    }
    // Journals from when the flags were kept signed: the negative number is the same 32 bits.
    EXPECT_EQ(from_text<qvd::heartbeat>(heartbeat_text("1 -2147483648")).at(0).flags_raw,
              std::uint32_t{0x80000000});
    EXPECT_EQ(from_text<qvd::heartbeat>(heartbeat_text("1 -1")).at(0).flags_raw, std::uint32_t{0xffffffff});
    // The presence flag must be 0 or 1, as for any optional.
    EXPECT_THROW(from_text<qvd::heartbeat>(heartbeat_text("2 5")), boost::archive::archive_exception);
}

TEST(records, heartbeat_timestamp_class_information_at_first_present_time)
{
    qvd::heartbeat first{};
    first.id = 1;
    qvd::heartbeat second{};
    second.id = 2;
    second.ts = at_ms(-1500);
    const std::string text = to_text(std::vector<qvd::heartbeat>{first, second});
    // First record: the class information of the three optional types, no timestamp's yet.
    EXPECT_EQ(text, "22 serialization::archive 19 0 0 2 0 0 0 1 0 1 0 0 1 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 "
                    "2 1 0 0 -1500 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0");
    const auto back = from_text<qvd::heartbeat>(text);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_FALSE(back[0].ts);
    EXPECT_EQ(back[1].ts, at_ms(-1500));
}

TEST(records, position_journal_puts_uid_before_numeric_id)
{
    qvd::position position{};
    position.id = -4;
    position.trackable_uid = "obj 1\nx";
    position.trackable_id = 42;
    position.ts = at_ms(1000);
    position.inactive = short{1};
    position.area_uid = "";
    const std::string text = to_text(std::vector<qvd::position>{position});
    // uid, then the numeric id; the empty area_uid leaves two blanks.
    EXPECT_EQ(text, "22 serialization::archive 19 0 0 1 0 0 0 -4 7 obj 1\nx 42 0 1 0 0 0 1000 0 1 0 0 0 0 0 0 0 0 0 "
                    "0  0 0 1 1 1 0");
    const auto back = from_text<qvd::position>(text);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].id, -4);
    EXPECT_EQ(back[0].trackable_uid, "obj 1\nx");
    EXPECT_EQ(back[0].trackable_id, 42);
    EXPECT_EQ(back[0].inactive, short{1});
}

TEST(records, every_journalled_kind_reads_back)
{
    qvd::zone_event zone_event{};
    zone_event.id_enter = 1;
    zone_event.id_leave = 2;
    zone_event.enter_time = at_ms(10);
    zone_event.leave_time = at_ms(20);
    zone_event.x_leave = -3;
    zone_event.trackable_uid = "t";
    zone_event.project_name = std::string("p n");
    const auto zone_back = from_text<qvd::zone_event>(to_text(std::vector<qvd::zone_event>{zone_event}));
    ASSERT_EQ(zone_back.size(), 1u);
    EXPECT_EQ(zone_back[0].id_leave, 2);
    EXPECT_EQ(zone_back[0].leave_time, at_ms(20));
    EXPECT_EQ(zone_back[0].x_leave, -3);
    EXPECT_EQ(zone_back[0].project_name, std::string("p n"));

    qvd::activity activity{};
    activity.id = 18446744073709551615ull;
    activity.created_at = at_ms(5);
    activity.project_user_params = std::string();
    const std::string activity_text = to_text(std::vector<qvd::activity>{activity});
    EXPECT_EQ(activity_text.substr(activity_text.size() - 4), "1 0 ");
    EXPECT_EQ(from_text<qvd::activity>(activity_text).at(0).id, 18446744073709551615ull);

    qvd::vehicle_driver_association association{};
    association.id = 9;
    association.removed_at = at_ms(77);
    association.removed_y = 4;
    const auto association_back = from_text<qvd::vehicle_driver_association>(
        to_text(std::vector<qvd::vehicle_driver_association>{association}));
    ASSERT_EQ(association_back.size(), 1u);
    EXPECT_FALSE(association_back[0].created_at);
    EXPECT_EQ(association_back[0].removed_at, at_ms(77));
    EXPECT_EQ(association_back[0].removed_y, 4);

    qvd::external_event event{};
    event.id = 11;
    event.ts = at_ms(3);
    event.created_at = at_ms(4);
    const auto event_back = from_text<qvd::external_event>(to_text(std::vector<qvd::external_event>{event}));
    EXPECT_EQ(event_back.at(0).created_at, at_ms(4));
    EXPECT_EQ(to_text(std::vector<qvd::external_event>{}), "22 serialization::archive 19 0 0 0 0");
}

} // namespace
