// Journal text: exact bytes, round trips and what the reader refuses.

#include <gtest/gtest.h>

#include <boost/archive/archive_exception.hpp>

#include <string>
#include <vector>

#include "records/activity.hpp"
#include "records/external_event.hpp"
#include "records/heartbeat.hpp"
#include "transfer/journal.hpp"
#include "records/node_parameter.hpp"
#include "records/position.hpp"
#include "records/vehicle_driver_association.hpp"
#include "records/zone_event.hpp"

namespace {

using qvd::journal::from_string;
using qvd::journal::to_string;

qvd::timestamp ms(long long _count)
{
    return qvd::timestamp(std::chrono::milliseconds(_count));
}

// Every byte value, blanks and newlines included.
std::string odd_bytes()
{
    std::string text = " lead\nline two\r\t  ";
    for (int c = 0; c < 256; ++c)
        text += static_cast<char>(c);
    return text + " ";
}

std::string message_of(const std::string& _text, std::string (*_read)(const std::string&))
{
    try
    {
        _read(_text);
    }
    catch (const std::exception& error)
    {
        return error.what();
    }
    return "read";
}

template <typename Record>
std::string read_back(const std::string& _text)
{
    return to_string(from_string<Record>(_text));
}

qvd::node_parameter worked_example()
{
    qvd::node_parameter parameter;
    parameter.id = 7;
    parameter.mac_address = std::string("0a:1b");
    parameter.param_name = std::string("rate");
    parameter.param_value = std::string();
    parameter.ts = ms(1234567);
    return parameter;
}

const std::string worked_example_text =
    "22 serialization::archive 19 0 0 1 0 0 0 7 0 1 1 5 0a:1b 0 1 4 rate 1 0  0 1 1 0 0 1234567";

TEST(journal_format, worked_example_byte_for_byte_and_back)
{
    const std::string text = to_string(qvd::node_parameters_vector{worked_example()});
    EXPECT_EQ(text, worked_example_text);

    const auto batch = from_string<qvd::node_parameter>(text);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].id, 7u);
    EXPECT_EQ(batch[0].mac_address, std::string("0a:1b"));
    EXPECT_FALSE(batch[0].obj_uid);
    EXPECT_EQ(batch[0].param_name, std::string("rate"));
    EXPECT_EQ(batch[0].param_value, std::string());
    ASSERT_TRUE(batch[0].ts);
    EXPECT_EQ(batch[0].ts->get_time_since_epoch().count(), 1234567);
}

TEST(journal_format, empty_batch)
{
    EXPECT_EQ(to_string(std::vector<qvd::position>{}), "22 serialization::archive 19 0 0 0 0");
    EXPECT_TRUE(from_string<qvd::heartbeat>("22 serialization::archive 19 0 0 0 0").empty());
}

TEST(journal_format, position_gives_uid_before_numeric_id_and_class_information_at_first_use)
{
    qvd::position first;
    first.id = 5;
    first.trackable_uid = "abc";
    first.trackable_id = 9;
    first.ts = ms(1000);
    first.fom = 3;
    first.inactive = static_cast<short>(1);
    qvd::position second;
    second.id = -2;
    second.trackable_uid = "d";
    second.trackable_id = 4;
    second.mac_address = std::string("m");
    second.ts = ms(-1500);
    second.area_uid = "a b";

    EXPECT_EQ(
        to_string(std::vector<qvd::position>{first, second}),
        "22 serialization::archive 19 0 0 2 0 0 0 5 3 abc 9 0 1 0 0 0 1000 0 1 1 3 0 0 0 0 0 0 0 0 0  0 0 1 1 1 0"
        " -2 1 d 4 1 1 m -1500 0 0 0 0 0 0 0 0 0 3 a b 0 0 0");
}

TEST(journal_format, optional_timestamp_class_information_follows_the_first_present_one)
{
    qvd::heartbeat first;
    first.id = 1;
    first.mac_address = std::string("m");
    qvd::heartbeat second;
    second.id = 2;
    second.ts = ms(-1500);
    std::string zeros14, zeros16;
    for (int i = 0; i < 14; ++i)
        zeros14 += " 0";
    for (int i = 0; i < 16; ++i)
        zeros16 += " 0";

    const std::string text = to_string(std::vector<qvd::heartbeat>{first, second});
    EXPECT_EQ(text, "22 serialization::archive 19 0 0 2 0 0 0 1 0 1 0 0 1 0 0 1 1 1 m" + zeros14 +
                        " 2 1 0 0 -1500" + zeros16);
    const auto batch = from_string<qvd::heartbeat>(text);
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_FALSE(batch[0].ts);
    EXPECT_EQ(batch[1].ts->get_time_since_epoch().count(), -1500);
}

TEST(journal_format, activities_ending_with_an_empty_string_end_with_one_blank)
{
    qvd::activity activity;
    activity.project_user_params = std::string();
    const std::string text = to_string(std::vector<qvd::activity>{activity});
    EXPECT_EQ(text.substr(text.size() - 4), "1 0 ");
    EXPECT_EQ(read_back<qvd::activity>(text), text);
}

// One record with every optional absent and one with every field set to awkward values, per kind.
TEST(journal_format, round_trips_of_every_kind)
{
    const std::string odd = odd_bytes();

    qvd::position position;
    position.id = -9223372036854775807LL;
    position.trackable_id = 42;
    position.trackable_uid = odd;
    position.mac_address = std::string();
    position.ts = ms(-86400001);
    position.fom = -1;
    position.sfsn = 2147483647;
    position.slvr_mode = std::string("a b");
    position.edge_corr = 0;
    position.pe_dims = 3;
    position.type = std::string("\n");
    position.x = -2147483647 - 1;
    position.y = 1;
    position.z = 2;
    position.area_uid = "";
    position.project_uid = odd;
    position.inactive = static_cast<short>(-32768);
    position.to_type_id = 7;

    qvd::external_event event;
    event.id = -3;
    event.object_uid = odd;
    event.mac_address = std::string("");
    event.event_info = std::string("info with blanks");
    event.event_type = std::string("t");
    event.ts = ms(1700000000123);
    event.area_uid = std::string("a");
    event.area_name = odd;
    event.project_uid = std::string("p");
    event.project_name = std::string("");
    event.x = 1;
    event.z = -1;
    event.object_name = std::string("o\n");
    event.created_at = ms(-1);

    qvd::zone_event zone;
    zone.id_enter = 1;
    zone.enter_time = ms(-5);
    zone.x_enter = 0;
    zone.id_leave = 2;
    zone.leave_time = ms(5);
    zone.z_leave = 9;
    zone.duration = 10;
    zone.trackable_uid = odd;
    zone.zone_type_name = std::string("");
    zone.project_name = std::string("n");

    qvd::activity activity;
    activity.id = 18446744073709551615ULL;
    activity.created_at = ms(0);
    activity.created_by = "";
    activity.action = odd;
    activity.object = "o b";
    activity.plist = std::string("{\"a\": 1}\n");
    activity.ip = std::string("127.0.0.1");
    activity.project_user_params = odd;

    qvd::vehicle_driver_association association;
    association.id = 8;
    association.driver_name = odd;
    association.removed_at = ms(-100000);
    association.removed_y = -4;
    association.project_uid = std::string("");

    qvd::heartbeat heartbeat;
    heartbeat.id = 18446744073709551615UL;
    heartbeat.message_type = 271;
    heartbeat.category = odd;
    heartbeat.flags_raw = 0xffffffffu;
    heartbeat.sw_version = std::string("");

    qvd::node_parameter parameter;
    parameter.id = 4294967295u;
    parameter.param_value = odd;
    parameter.ts = ms(-1);

    const std::vector<std::string> texts = {
        to_string(std::vector<qvd::position>{position, qvd::position{}, position}),
        to_string(std::vector<qvd::external_event>{qvd::external_event{}, event}),
        to_string(std::vector<qvd::zone_event>{zone, qvd::zone_event{}}),
        to_string(std::vector<qvd::activity>{qvd::activity{}, activity}),
        to_string(std::vector<qvd::vehicle_driver_association>{association, qvd::vehicle_driver_association{}}),
        to_string(std::vector<qvd::heartbeat>{qvd::heartbeat{}, heartbeat}),
        to_string(qvd::node_parameters_vector{parameter, qvd::node_parameter{}}),
    };
    EXPECT_EQ(read_back<qvd::position>(texts[0]), texts[0]);
    EXPECT_EQ(read_back<qvd::external_event>(texts[1]), texts[1]);
    EXPECT_EQ(read_back<qvd::zone_event>(texts[2]), texts[2]);
    EXPECT_EQ(read_back<qvd::activity>(texts[3]), texts[3]);
    EXPECT_EQ(read_back<qvd::vehicle_driver_association>(texts[4]), texts[4]);
    EXPECT_EQ(read_back<qvd::heartbeat>(texts[5]), texts[5]);
    EXPECT_EQ(read_back<qvd::node_parameter>(texts[6]), texts[6]);
    for (const auto& text : texts)
        EXPECT_NE(text.back(), '\n');

    // The raw values themselves, not only a stable text.
    const auto positions = from_string<qvd::position>(texts[0]);
    ASSERT_EQ(positions.size(), 3u);
    EXPECT_EQ(positions[0].trackable_uid, odd);
    EXPECT_EQ(positions[0].id, position.id);
    EXPECT_EQ(positions[0].ts.get_time_since_epoch().count(), -86400001);
    EXPECT_EQ(positions[0].mac_address, std::string());
    EXPECT_EQ(positions[0].inactive, static_cast<short>(-32768));
    EXPECT_FALSE(positions[1].mac_address);
    EXPECT_EQ(positions[2].project_uid, odd);
    const auto activities = from_string<qvd::activity>(texts[3]);
    EXPECT_EQ(activities[1].id, 18446744073709551615ULL);
    EXPECT_EQ(activities[1].action, odd);
    EXPECT_EQ(activities[1].plist, std::string("{\"a\": 1}\n"));
    EXPECT_FALSE(activities[0].plist);
    const auto heartbeats = from_string<qvd::heartbeat>(texts[5]);
    EXPECT_EQ(heartbeats[1].flags_raw, 0xffffffffu);
    EXPECT_EQ(heartbeats[1].category, odd);
}

TEST(journal_format, reader_accepts_newlines_between_tokens_and_trailing_text)
{
    std::string with_newlines = worked_example_text;
    for (std::size_t at : {2u, 25u, 28u})
        with_newlines[at] = '\n';
    for (const std::string& text :
         {worked_example_text + "\n", worked_example_text + " trailing junk", with_newlines})
        EXPECT_EQ(read_back<qvd::node_parameter>(text), worked_example_text) << text;
}

TEST(journal_format, header_and_token_failures)
{
    struct case_t
    {
        std::string text;
        std::string message;
    };
    const std::vector<case_t> cases = {
        {"", "input stream error"},
        {"22 serialization::archivX 19 0 0 0 0", "invalid signature"},
        {"4 abcd 19 0 0 0 0", "invalid signature"},
        {"22 serialization::archive 20 0 0 0 0", "unsupported version"},
        {"22 serialization::archive 19 0 0 x 0", "input stream error"},
        // A presence flag must be 0 or 1.
        {"22 serialization::archive 19 0 0 1 0 0 0 7 0 1 2", "input stream error"},
        // A string longer than what is left of the text.
        {"22 serialization::archive 19 0 0 1 0 0 0 7 0 1 1 50 0a:1b", "input stream error"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(message_of(c.text, &read_back<qvd::node_parameter>), c.message) << c.text;
}

// Every cut of a journal fails, except a cut inside its last number, which no text can reveal.
TEST(journal_format, every_prefix_fails_except_inside_the_last_number)
{
    qvd::activity last_is_string;
    last_is_string.id = 3;
    last_is_string.created_by = "me";
    last_is_string.project_user_params = std::string("pp x");
    qvd::activity last_is_empty_string = last_is_string;
    last_is_empty_string.project_user_params = std::string();
    const std::string activities =
        to_string(std::vector<qvd::activity>{last_is_string, last_is_empty_string, last_is_string});
    for (std::size_t n = 0; n < activities.size(); ++n)
        EXPECT_NE(message_of(activities.substr(0, n), &read_back<qvd::activity>), "read") << n;

    const std::string parameters = to_string(qvd::node_parameters_vector{worked_example(), worked_example()});
    const std::size_t last_number = parameters.rfind(' ') + 1;
    for (std::size_t n = 0; n < parameters.size(); ++n)
    {
        const std::string result = message_of(parameters.substr(0, n), &read_back<qvd::node_parameter>);
        if (n > last_number)
            EXPECT_EQ(result, "read") << n;
        else
            EXPECT_NE(result, "read") << n;
    }
}

} // namespace
