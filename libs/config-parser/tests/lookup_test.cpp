#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "config_parser/config.hpp"
#include "config_parser/result.hpp"

namespace cfg = qvd::libs::config;

namespace {

cfg::config::ptr parse(const std::string& _text) {
    std::istringstream stream(_text);
    return cfg::config::create<cfg::type::json>(stream);
}

const cfg::result<int> ok_int(7);
const cfg::result<std::string> ok_text(std::string("seven"));
const cfg::result<int> failed_a(cfg::error_reason{"A"});
const cfg::result<bool> failed_b(cfg::error_reason{"B"});
const cfg::result<std::string> failed_c(cfg::error_reason{"C"});

} // namespace

TEST(config_result, holds_either_value_or_reason) {
    EXPECT_TRUE(ok_int.ok());
    EXPECT_EQ(ok_int.value(), 7);
    EXPECT_EQ(ok_int.try_get(), 7);
    EXPECT_EQ(ok_int.reason(), "");

    EXPECT_FALSE(failed_a.ok());
    EXPECT_FALSE(failed_a.try_get());
    EXPECT_EQ(failed_a.reason(), "A");
    EXPECT_THROW(failed_a.value(), boost::bad_optional_access);
}

TEST(config_result, plus_keeps_values_in_order_and_every_reason) {
    const auto both = ok_int + ok_text;
    static_assert(std::is_same_v<decltype(both)::result_type, std::tuple<int, std::string>>);
    ASSERT_TRUE(both.ok());
    EXPECT_EQ(both.value(), std::make_tuple(7, std::string("seven")));

    const auto chain = ok_text + ok_int + ok_text + cfg::result<bool>(false);
    static_assert(std::is_same_v<decltype(chain)::result_type, std::tuple<std::string, int, std::string, bool>>);
    EXPECT_EQ(chain.value(), std::make_tuple(std::string("seven"), 7, std::string("seven"), false));

    struct reason_case {
        std::string name;
        std::string combined;
        std::string expected;
    };
    const std::vector<reason_case> cases = {
        {"failed + ok", (failed_a + ok_text).reason(), "A"},
        {"ok + failed", (ok_int + failed_b).reason(), "B"},
        {"failed + failed", (failed_a + failed_b).reason(), "A\nB"},
        {"failed, ok, failed", (failed_a + ok_int + failed_c).reason(), "A\nC"},
        {"ok, failed, ok", (ok_int + failed_b + ok_text).reason(), "B"},
        {"three failed", (failed_a + failed_b + failed_c).reason(), "A\nB\nC"},
        {"failed stays failed", (failed_c + ok_int + ok_int + ok_text).reason(), "C"},
    };
    for (const reason_case& c : cases) {
        EXPECT_EQ(c.combined, c.expected) << c.name;
    }
    EXPECT_FALSE((ok_int + ok_int + failed_c).ok());
}

TEST(config_result, ensure_tuple_and_type_names) {
    EXPECT_EQ(cfg::ensure_tuple(5), std::make_tuple(5));
    EXPECT_EQ(cfg::ensure_tuple(std::make_tuple(1, true)), std::make_tuple(1, true));
    EXPECT_EQ(cfg::get_type_name<int>(), "int");
    EXPECT_EQ(cfg::get_type_name<bool>(), "bool");
    EXPECT_EQ(cfg::get_type_name<std::string>(), "string");
}

TEST(config_lookup, get_by_path_reasons_and_values) {
    struct path_case {
        std::string name;
        std::string document;
        std::function<std::string(const cfg::config&)> look_up; // the reason, or the value as text
        std::string expected;
    };
    const auto int_timer = [](const cfg::config& _c) { return _c.get_by_path<int>({"system", "timer"}).reason(); };
    const std::vector<path_case> cases = {
        {"no section", "{}", int_timer, "Can not find object <object>: system, path: system.timer"},
        {"section is a string", R"({"system": "x"})", int_timer,
         "Can not find object <object>: system, path: system.timer"},
        {"section is an array", R"({"system": [{"timer": 1}]})", int_timer,
         "Can not find object <object>: system, path: system.timer"},
        {"key absent", R"({"system": {}})", int_timer, "Can not find field <int>: system.timer"},
        {"int as string", R"({"system": {"timer": "60"}})", int_timer, "Can not find field <int>: system.timer"},
        {"int with fraction", R"({"system": {"timer": 60.5}})", int_timer, "Can not find field <int>: system.timer"},
        {"bool as number", R"({"system": {"local_debug": 1}})",
         [](const cfg::config& _c) {
             return _c.get_by_path<bool>({"system", "local_debug"}).reason();
         },
         "Can not find field <bool>: system.local_debug"},
        {"string as number", R"({"system": {"debug_port": 5555}})",
         [](const cfg::config& _c) {
             return _c.get_by_path<std::string>({"system", "debug_port"}).reason();
         },
         "Can not find field <string>: system.debug_port"},
        {"middle absent", R"({"a": {}})",
         [](const cfg::config& _c) {
             return _c.get_by_path<std::string>({"a", "b", "c"}).reason();
         },
         "Can not find object <object>: a.b, path: a.b.c"},
        {"middle not an object", R"({"a": {"b": 5}})",
         [](const cfg::config& _c) {
             return _c.get_by_path<std::string>({"a", "b", "c"}).reason();
         },
         "Can not find object <object>: a.b, path: a.b.c"},
        {"one element absent", "{}", [](const cfg::config& _c) { return _c.get_by_path<std::string>({"x"}).reason(); },
         "Can not find field <string>: x"},
        {"empty path", R"({"": 1})", [](const cfg::config& _c) { return _c.get_by_path<int>({}).reason(); },
         "Can not find field <int>: "},
        {"deep value", R"({"a": {"b": {"c": "deep"}}})",
         [](const cfg::config& _c) {
             return _c.get_by_path<std::string>({"a", "b", "c"}).value();
         },
         "deep"},
        {"one element value", R"({"x": true})",
         [](const cfg::config& _c) { return std::to_string(_c.get_by_path<bool>({"x"}).value()); }, "1"},
        {"whole real as int", R"({"system": {"timer": 60.0}})",
         [](const cfg::config& _c) {
             return std::to_string(_c.get_by_path<int>({"system", "timer"}).value());
         },
         "60"},
    };
    for (const path_case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto document = parse(c.document);
        EXPECT_EQ(c.look_up(*document), c.expected);
    }
}

TEST(config_lookup, integer_outside_int_passes_through_the_lookup) {
    const auto document = parse(R"({"system": {"timer": 2147483648}})");
    EXPECT_THROW(document->get_by_path<int>({"system", "timer"}), Json::LogicError);
    // Asked as a string the same value is merely of the wrong kind.
    EXPECT_EQ(document->get_by_path<std::string>({"system", "timer"}).reason(),
              "Can not find field <string>: system.timer");
}

// A NUL byte would cut every path or name made of the value, so a string holding one is refused,
// whether the document escapes it or holds it raw; other strings and the document stay readable.
TEST(config_lookup, string_holding_a_nul_byte_is_refused_naming_the_key) {
    struct nul_case {
        std::string name;
        std::string document;
        // Empty for a key of the root.
        std::string section;
        std::string key;
    };
    const std::vector<nul_case> cases = {
        {"escaped", R"({"system": {"pidfile": "/run/lomvera.pid\u0000/x", "debug_port": "p"}})", "system", "pidfile"},
        {"raw", std::string("{\"system\": {\"pidfile\": \"/run/lomvera.pid") + '\0' + "/x\", \"debug_port\": \"p\"}}",
         "system", "pidfile"},
        {"only the byte", R"({"system": {"pidfile": "\u0000", "debug_port": "p"}})", "system", "pidfile"},
        {"key of the root", R"({"pidfile": "a\u0000", "system": {"debug_port": "p"}})", "", "pidfile"},
    };
    for (const nul_case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto document = parse(c.document);
        const cfg::result<std::string> found = c.section.empty()
                                                   ? document->get_by_path<std::string>({c.key})
                                                   : document->get_by_path<std::string>({c.section, c.key});
        const std::string key = c.section.empty() ? c.key : c.section + "." + c.key;
        EXPECT_FALSE(found.ok());
        EXPECT_EQ(found.reason(), key + " must not hold a NUL byte");
        // The other lookups keep their outcomes and reasons.
        const auto all = found + document->get_by_path<std::string>({"system", "debug_port"}) +
                         document->get_by_path<int>({"system", "timer"});
        EXPECT_EQ(all.reason(), key + " must not hold a NUL byte\nCan not find field <int>: system.timer");
        EXPECT_EQ(document->get_by_path<std::string>({"system", "debug_port"}).value(), "p");
    }
    EXPECT_EQ(parse(R"({"a": {"b": "no nul \u0001 here"}})")->get_by_path<std::string>({"a", "b"}).value(),
              "no nul \x01 here");
}
