// Journal text: exact bytes, round trips and what the reader refuses.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <boost/archive/archive_exception.hpp>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "records/activity.hpp"
#include "records/external_event.hpp"
#include "records/heartbeat.hpp"
#include "support/core_values.hpp"
#include "transfer/journal.hpp"
#include "records/node_parameter.hpp"
#include "records/position.hpp"
#include "records/vehicle_driver_association.hpp"
#include "records/zone_event.hpp"

namespace {

using qvd::journal::from_string;
using qvd::journal::to_string;
using qvd::test_support::at_ms;

// Every byte value, blanks and newlines included.
std::string odd_bytes() {
    std::string text = " lead\nline two\r\t  ";
    for (int c = 0; c < 256; ++c)
        text += static_cast<char>(c);
    return text + " ";
}

std::string message_of(const std::string& _text, std::string (*_read)(const std::string&)) {
    try {
        _read(_text);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "read";
}

template <typename Record>
std::string read_back(const std::string& _text) {
    return to_string(from_string<Record>(_text));
}

qvd::node_parameter worked_example() {
    qvd::node_parameter parameter;
    parameter.id = 7;
    parameter.mac_address = std::string("0a:1b");
    parameter.param_name = std::string("rate");
    parameter.param_value = std::string();
    parameter.ts = at_ms(1234567);
    return parameter;
}

const std::string worked_example_text =
    "22 serialization::archive 19 0 0 1 0 0 0 7 0 1 1 5 0a:1b 0 1 4 rate 1 0  0 1 1 0 0 1234567";

// One batch through the journal: the text it gives and the records read back from that text.
struct text_case {
    std::string name;
    // journal::to_string of the batch; empty for a text that only an older writer made.
    std::function<std::string()> write;
    // The whole text, or only its end when whole is false.
    std::string text;
    bool whole;
    // journal::from_string of a text with the checks of the records read; returns their text again.
    std::function<std::string(const std::string&)> read;
};

template <typename Record>
std::function<std::string(const std::string&)> reader(std::function<void(const std::vector<Record>&)> _check) {
    return [_check](const std::string& _text) {
        const auto batch = from_string<Record>(_text);
        if (_check)
            _check(batch);
        return to_string(batch);
    };
}

template <typename Record>
text_case written(std::string _name, std::vector<Record> _batch, std::string _text,
                  std::function<void(const std::vector<Record>&)> _check = {}, bool _whole = true) {
    return {std::move(_name), [_batch] { return to_string(_batch); }, std::move(_text), _whole,
            reader<Record>(std::move(_check))};
}

template <typename Record>
text_case older_text(std::string _name, std::string _text, std::function<void(const std::vector<Record>&)> _check) {
    return {std::move(_name), {}, std::move(_text), true, reader<Record>(std::move(_check))};
}

qvd::position position_of(long long _id, std::string _uid, long long _trackable_id, long long _ts) {
    qvd::position position;
    position.id = _id;
    position.trackable_uid = std::move(_uid);
    position.trackable_id = _trackable_id;
    position.ts = at_ms(_ts);
    return position;
}

qvd::heartbeat heartbeat_of(unsigned long _id) {
    qvd::heartbeat heartbeat;
    heartbeat.id = _id;
    return heartbeat;
}

// The text of a heartbeat with only id 5, message_type 260, z 1 and the given flags tokens.
std::string flags_text(const std::string& _flags) {
    return "22 serialization::archive 19 0 0 1 0 0 0 5 0 1 0 0 1 1 260 0 1 0 0 0 0 0 0 0 1 1 " + _flags +
           " 0 0 0 0 0 0";
}

text_case flags_case(boost::optional<std::uint32_t> _flags, const std::string& _tokens) {
    qvd::heartbeat heartbeat = heartbeat_of(5);
    heartbeat.message_type = 260;
    heartbeat.z = 1;
    heartbeat.flags_raw = _flags;
    return written<qvd::heartbeat>("heartbeat flags " + _tokens, {heartbeat}, flags_text(_tokens),
                                   [_flags](const std::vector<qvd::heartbeat>& _batch) {
                                       ASSERT_EQ(_batch.size(), 1u);
                                       EXPECT_EQ(_batch[0].flags_raw, _flags);
                                       EXPECT_EQ(_batch[0].message_type, 260);
                                       EXPECT_EQ(_batch[0].z, 1);
                                       EXPECT_FALSE(_batch[0].parent_mac_address);
                                   });
}

text_case parameter_id_case(std::uint32_t _id) {
    qvd::node_parameter parameter;
    parameter.id = _id;
    return written<qvd::node_parameter>(
        "node parameter id " + std::to_string(_id), {parameter},
        "22 serialization::archive 19 0 0 1 0 0 0 " + std::to_string(_id) + " 0 1 0 0 0 0 0 1 0",
        [_id](const std::vector<qvd::node_parameter>& _batch) { EXPECT_EQ(_batch.at(0).id, _id); });
}

std::vector<text_case> text_cases() {
    std::vector<text_case> cases;
    cases.push_back(written<qvd::node_parameter>("worked example", {worked_example()}, worked_example_text,
                                                 [](const std::vector<qvd::node_parameter>& _batch) {
                                                     ASSERT_EQ(_batch.size(), 1u);
                                                     EXPECT_EQ(_batch[0].id, 7u);
                                                     EXPECT_EQ(_batch[0].mac_address, std::string("0a:1b"));
                                                     EXPECT_FALSE(_batch[0].obj_uid);
                                                     EXPECT_EQ(_batch[0].param_name, std::string("rate"));
                                                     EXPECT_EQ(_batch[0].param_value, std::string());
                                                     ASSERT_TRUE(_batch[0].ts);
                                                     EXPECT_EQ(_batch[0].ts->get_time_since_epoch().count(), 1234567);
                                                 }));

    cases.push_back(written<qvd::position>("empty positions", {}, "22 serialization::archive 19 0 0 0 0"));
    cases.push_back(written<qvd::external_event>("empty external events", {}, "22 serialization::archive 19 0 0 0 0"));
    cases.push_back(
        older_text<qvd::heartbeat>("empty heartbeats", "22 serialization::archive 19 0 0 0 0",
                                   [](const std::vector<qvd::heartbeat>& _batch) { EXPECT_TRUE(_batch.empty()); }));

    // A position writes its uid before its numeric id; class information comes at the first use.
    qvd::position first = position_of(5, "abc", 9, 1000);
    first.fom = 3;
    first.inactive = static_cast<short>(1);
    qvd::position second = position_of(-2, "d", 4, -1500);
    second.mac_address = std::string("m");
    second.area_uid = "a b";
    cases.push_back(written<qvd::position>(
        "two positions", {first, second},
        "22 serialization::archive 19 0 0 2 0 0 0 5 3 abc 9 0 1 0 0 0 1000 0 1 1 3 0 0 0 0 0 0 0 0 0  0 0 1 1 1 0"
        " -2 1 d 4 1 1 m -1500 0 0 0 0 0 0 0 0 0 3 a b 0 0 0"));
    qvd::position awkward_uid = position_of(-4, "obj 1\nx", 42, 1000);
    awkward_uid.inactive = short{1};
    awkward_uid.area_uid = "";
    // The empty area_uid leaves two blanks.
    cases.push_back(written<qvd::position>(
        "position with a newline in its uid", {awkward_uid},
        "22 serialization::archive 19 0 0 1 0 0 0 -4 7 obj 1\nx 42 0 1 0 0 0 1000 0 1 0 0 0 0 0 0 0 0 0 "
        "0  0 0 1 1 1 0",
        [](const std::vector<qvd::position>& _batch) {
            ASSERT_EQ(_batch.size(), 1u);
            EXPECT_EQ(_batch[0].id, -4);
            EXPECT_EQ(_batch[0].trackable_uid, "obj 1\nx");
            EXPECT_EQ(_batch[0].trackable_id, 42);
            EXPECT_EQ(_batch[0].inactive, short{1});
        }));

    // The class information of an optional timestamp follows the first present one.
    std::string zeros14, zeros16;
    for (int i = 0; i < 14; ++i)
        zeros14 += " 0";
    for (int i = 0; i < 16; ++i)
        zeros16 += " 0";
    const auto second_has_the_time = [](const std::vector<qvd::heartbeat>& _batch) {
        ASSERT_EQ(_batch.size(), 2u);
        EXPECT_FALSE(_batch[0].ts);
        EXPECT_EQ(_batch[1].ts->get_time_since_epoch().count(), -1500);
    };
    qvd::heartbeat with_mac = heartbeat_of(1);
    with_mac.mac_address = std::string("m");
    qvd::heartbeat with_time = heartbeat_of(2);
    with_time.ts = at_ms(-1500);
    cases.push_back(written<qvd::heartbeat>("heartbeat time after a present mac address", {with_mac, with_time},
                                            "22 serialization::archive 19 0 0 2 0 0 0 1 0 1 0 0 1 0 0 1 1 1 m" +
                                                zeros14 + " 2 1 0 0 -1500" + zeros16,
                                            second_has_the_time));
    // First record: the class information of the three optional types, no timestamp's yet.
    cases.push_back(written<qvd::heartbeat>(
        "heartbeat time after nothing present", {heartbeat_of(1), with_time},
        "22 serialization::archive 19 0 0 2 0 0 0 1 0 1 0 0 1 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 "
        "2 1 0 0 -1500 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0",
        second_has_the_time));

    // Unsigned fields keep their whole range; older journals kept them signed and hold the same bits.
    for (const std::uint32_t id : {2147483647u, 2147483648u, 4294967295u})
        cases.push_back(parameter_id_case(id));
    cases.push_back(older_text<qvd::node_parameter>(
        "node parameter id kept signed", "22 serialization::archive 19 0 0 1 0 0 0 -2147483648 0 1 0 0 0 0 0 1 0",
        [](const std::vector<qvd::node_parameter>& _batch) { EXPECT_EQ(_batch.at(0).id, 2147483648u); }));
    cases.push_back(flags_case(boost::none, "0"));
    cases.push_back(flags_case(std::uint32_t{255}, "1 255"));
    cases.push_back(flags_case(std::uint32_t{0x7fffffff}, "1 2147483647"));
    cases.push_back(flags_case(std::uint32_t{0x80000000}, "1 2147483648"));
    cases.push_back(flags_case(std::uint32_t{0xffffffff}, "1 4294967295"));
    for (const auto& [tokens, flags] : {std::pair<std::string, std::uint32_t>{"1 -2147483648", 0x80000000u},
                                        std::pair<std::string, std::uint32_t>{"1 -1", 0xffffffffu}})
        cases.push_back(older_text<qvd::heartbeat>(
            "heartbeat flags kept signed " + tokens, flags_text(tokens),
            [flags = flags](const std::vector<qvd::heartbeat>& _batch) { EXPECT_EQ(_batch.at(0).flags_raw, flags); }));

    // Activities that end with an empty string end with one blank.
    qvd::activity empty_params;
    empty_params.project_user_params = std::string();
    cases.push_back(written<qvd::activity>("activity ending with an empty string", {empty_params}, "1 0 ", {}, false));
    qvd::activity largest_id = empty_params;
    largest_id.id = 18446744073709551615ull;
    largest_id.created_at = at_ms(5);
    cases.push_back(written<qvd::activity>(
        "activity with the largest id", {largest_id}, "1 0 ",
        [](const std::vector<qvd::activity>& _batch) { EXPECT_EQ(_batch.at(0).id, 18446744073709551615ull); }, false));
    return cases;
}

TEST(journal_format, texts_of_batches_and_what_they_read_back) {
    for (const text_case& c : text_cases()) {
        SCOPED_TRACE(c.name);
        if (!c.write) {
            c.read(c.text);
            continue;
        }
        const std::string text = c.write();
        if (c.whole) {
            EXPECT_EQ(text, c.text);
        } else {
            EXPECT_EQ(text.substr(text.size() - std::min(text.size(), c.text.size())), c.text);
        }
        EXPECT_EQ(c.read(text), text);
    }
}

// One record with every optional absent and one with every field set to awkward values, per kind.
TEST(journal_format, round_trips_of_every_kind) {
    const std::string odd = odd_bytes();

    qvd::position position;
    position.id = -9223372036854775807LL;
    position.trackable_id = 42;
    position.trackable_uid = odd;
    position.mac_address = std::string();
    position.ts = at_ms(-86400001);
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
    event.ts = at_ms(1700000000123);
    event.area_uid = std::string("a");
    event.area_name = odd;
    event.project_uid = std::string("p");
    event.project_name = std::string("");
    event.x = 1;
    event.z = -1;
    event.object_name = std::string("o\n");
    event.created_at = at_ms(-1);

    qvd::zone_event zone;
    zone.id_enter = 1;
    zone.enter_time = at_ms(-5);
    zone.x_enter = 0;
    zone.id_leave = 2;
    zone.leave_time = at_ms(5);
    zone.x_leave = -3;
    zone.z_leave = 9;
    zone.duration = 10;
    zone.trackable_uid = odd;
    zone.zone_type_name = std::string("");
    zone.project_name = std::string("n");

    qvd::activity activity;
    activity.id = 18446744073709551615ULL;
    activity.created_at = at_ms(0);
    activity.created_by = "";
    activity.action = odd;
    activity.object = "o b";
    activity.plist = std::string("{\"a\": 1}\n");
    activity.ip = std::string("127.0.0.1");
    activity.project_user_params = odd;

    qvd::vehicle_driver_association association;
    association.id = 8;
    association.driver_name = odd;
    association.removed_at = at_ms(-100000);
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
    parameter.ts = at_ms(-1);

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
    const auto events = from_string<qvd::external_event>(texts[1]);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].created_at, at_ms(-1));
    EXPECT_FALSE(events[0].created_at);
    const auto zones = from_string<qvd::zone_event>(texts[2]);
    ASSERT_EQ(zones.size(), 2u);
    EXPECT_EQ(zones[0].id_leave, 2);
    EXPECT_EQ(zones[0].leave_time, at_ms(5));
    EXPECT_EQ(zones[0].x_leave, -3);
    EXPECT_EQ(zones[0].project_name, std::string("n"));
    const auto associations = from_string<qvd::vehicle_driver_association>(texts[4]);
    ASSERT_EQ(associations.size(), 2u);
    EXPECT_FALSE(associations[0].created_at);
    EXPECT_EQ(associations[0].removed_at, at_ms(-100000));
    EXPECT_EQ(associations[0].removed_y, -4);
    const auto heartbeats = from_string<qvd::heartbeat>(texts[5]);
    EXPECT_EQ(heartbeats[1].flags_raw, 0xffffffffu);
    EXPECT_EQ(heartbeats[1].category, odd);
}

TEST(journal_format, reader_accepts_newlines_between_tokens) {
    std::string with_newlines = worked_example_text;
    for (std::size_t at : {2u, 25u, 28u})
        with_newlines[at] = '\n';
    EXPECT_EQ(read_back<qvd::node_parameter>(with_newlines), worked_example_text);
}

// The writer ends the text with the batch's last value: whatever follows it means the file is not
// the one batch it claims to be, and reading fewer records (or none) would lose track of the rest.
TEST(journal_format, nothing_may_follow_the_batch) {
    const std::string two_parameters = to_string(qvd::node_parameters_vector{worked_example(), worked_example()});
    const std::string count_two = "22 serialization::archive 19 0 0 2 ";
    ASSERT_EQ(two_parameters.rfind(count_two, 0), 0u);
    const auto with_count = [&](const std::string& _count) {
        return "22 serialization::archive 19 0 0 " + _count + two_parameters.substr(count_two.size() - 1);
    };
    qvd::activity empty_params;
    empty_params.project_user_params = std::string();
    const std::string ends_with_blank = to_string(std::vector<qvd::activity>{empty_params});
    ASSERT_EQ(ends_with_blank.back(), ' ');

    struct case_t {
        std::string name;
        std::string text;
        std::string (*read)(const std::string&) = &read_back<qvd::node_parameter>;
    };
    const std::vector<case_t> cases = {
        {"closing newline", worked_example_text + "\n"},
        {"closing blank", worked_example_text + " "},
        {"junk", worked_example_text + " trailing junk"},
        {"second batch", worked_example_text + " " + worked_example_text},
        {"count smaller than the records", with_count("1")},
        {"count of 0 with records behind it", with_count("0")},
        {"empty batch with records behind it", "22 serialization::archive 19 0 0 0 0 0 0 7 0 1 0 0 0 0 0 1 0"},
        {"after a closing empty string", ends_with_blank + " ", &read_back<qvd::activity>},
        {"after a closing empty string, a newline", ends_with_blank + "\n", &read_back<qvd::activity>},
    };
    for (const auto& c : cases)
        EXPECT_EQ(message_of(c.text, c.read), "text after the batch") << c.name;
    EXPECT_EQ(message_of(two_parameters, &read_back<qvd::node_parameter>), "read");
    EXPECT_EQ(message_of(ends_with_blank, &read_back<qvd::activity>), "read");
    // More records claimed than follow is a text cut short.
    EXPECT_EQ(message_of(with_count("3"), &read_back<qvd::node_parameter>), "input stream error");
}

TEST(journal_format, header_and_token_failures) {
    struct case_t {
        std::string text;
        std::string message;
        std::string (*read)(const std::string&) = &read_back<qvd::node_parameter>;
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
        {flags_text("2 5"), "input stream error", &read_back<qvd::heartbeat>},
    };
    for (const auto& c : cases)
        EXPECT_EQ(message_of(c.text, c.read), c.message) << c.text;
}

// Peak resident size of this process so far, in bytes.
long peak_resident_bytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss * 1024L;
}

// Lengths and counts are checked against the text left before anything of their size is taken: a
// journal of a few bytes never makes the reader allocate gigabytes.
TEST(journal_format, claims_beyond_the_text_are_refused_before_allocating) {
    const long peak_before = peak_resident_bytes();

    std::string eight_million = to_string(std::vector<qvd::position>{position_of(1, "uid1", 2, 1000)});
    const std::string count_one = "22 serialization::archive 19 0 0 1 ";
    ASSERT_EQ(eight_million.rfind(count_one, 0), 0u);
    eight_million.replace(count_one.size() - 2, 1, "8000000");
    eight_million.resize(59);

    std::string long_string = worked_example_text;
    long_string.replace(long_string.find(" 5 0a:1b") + 1, 1, "2500000000");
    long_string.resize(57);

    struct case_t {
        std::string name;
        std::string text;
        std::string (*read)(const std::string&) = &read_back<qvd::node_parameter>;
    };
    const std::vector<case_t> cases = {
        {"59-byte positions journal claiming 8,000,000 records", eight_million, &read_back<qvd::position>},
        {"57-byte journal claiming a string of 2.5 billion bytes", long_string},
        {"signature of 2.5 billion bytes", "2500000000 serialization::archive 19 0 0 0 0"},
        {"largest count", "22 serialization::archive 19 0 0 18446744073709551615 0 0 0 7 0 0 0 0 0"},
        // The stream's unsigned read takes a minus sign as the count's wrap-around.
        {"negative count", "22 serialization::archive 19 0 0 -1 0 0 0 7 0 0 0 0 0"},
        {"negative length", "22 serialization::archive 19 0 0 1 0 0 0 7 0 1 1 -1 0a:1b 0 0 0 0"},
        {"count of more records than follow", "22 serialization::archive 19 0 0 2 0 0 0 7 0 0 0 0 0"},
        {"length one more than the text left", "22 serialization::archive 19 0 0 1 0 0 0 7 0 1 1 6 0a:1b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(message_of(c.text, c.read), "input stream error") << c.name;
    EXPECT_EQ(eight_million.size(), 59u);
    EXPECT_EQ(long_string.size(), 57u);
    EXPECT_LT(peak_resident_bytes() - peak_before, 64L << 20);
}

// A batch of records each in its shortest text is not refused by the bound on the count.
TEST(journal_format, batches_of_the_shortest_records_read_back) {
    const auto check = [](auto _record) {
        using record = decltype(_record);
        const std::string text = to_string(std::vector<record>(1000, _record));
        EXPECT_EQ(read_back<record>(text), text);
    };
    check(qvd::position{});
    check(qvd::external_event{});
    check(qvd::zone_event{});
    check(qvd::activity{});
    check(qvd::vehicle_driver_association{});
    check(qvd::heartbeat{});
    check(qvd::node_parameter{});
}

// Damage anywhere in a journal (a flipped bit, a digit changed, digits put in front of a number)
// gives a batch or a refusal, never a huge allocation or a crash.
TEST(journal_format, damaged_journals_are_read_or_refused_within_their_size) {
    qvd::activity activity;
    activity.id = 12;
    activity.created_by = "someone";
    activity.action = "moved";
    activity.plist = std::string("p q");
    activity.project_user_params = std::string();
    qvd::heartbeat heartbeat = heartbeat_of(4);
    heartbeat.ts = at_ms(99);
    heartbeat.category = std::string("cat");
    const std::vector<std::pair<std::string, std::string (*)(const std::string&)>> journals = {
        {to_string(std::vector<qvd::position>{position_of(5, "abc", 9, 1000), position_of(6, "de", 9, 1001)}),
         &read_back<qvd::position>},
        {to_string(std::vector<qvd::activity>{activity, activity}), &read_back<qvd::activity>},
        {to_string(std::vector<qvd::heartbeat>{heartbeat_of(3), heartbeat}), &read_back<qvd::heartbeat>},
        {to_string(qvd::node_parameters_vector{worked_example(), worked_example()}), &read_back<qvd::node_parameter>},
    };
    const long peak_before = peak_resident_bytes();
    std::size_t refused = 0;
    for (const auto& journal : journals)
        for (std::size_t at = 0; at < journal.first.size(); ++at) {
            std::vector<std::string> damaged;
            for (const char bit : {0x01, 0x02, 0x08, 0x10, 0x40}) {
                damaged.push_back(journal.first);
                damaged.back()[at] = static_cast<char>(damaged.back()[at] ^ bit);
            }
            damaged.push_back(journal.first);
            damaged.back()[at] = '9';
            damaged.push_back(journal.first);
            damaged.back().insert(at, "99999999999");
            for (const std::string& text : damaged)
                if (message_of(text, journal.second) != "read")
                    ++refused;
        }
    EXPECT_GT(refused, 0u);
    EXPECT_LT(peak_resident_bytes() - peak_before, 64L << 20);
}

// Every cut of a journal fails, except a cut inside its last number, which no text can reveal.
TEST(journal_format, every_prefix_fails_except_inside_the_last_number) {
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
    for (std::size_t n = 0; n < parameters.size(); ++n) {
        const std::string result = message_of(parameters.substr(0, n), &read_back<qvd::node_parameter>);
        if (n > last_number)
            EXPECT_EQ(result, "read") << n;
        else
            EXPECT_NE(result, "read") << n;
    }
}

} // namespace
