#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/exception/get_error_info.hpp>
#include <boost/throw_exception.hpp>
#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "config_parser/config.hpp"

namespace cfg = qvd::libs::config;

namespace {

cfg::config::ptr parse(const std::string& _text) {
    std::istringstream stream(_text);
    return cfg::config::create<cfg::type::json>(stream);
}

// The value stored under "v" of a one-member document.
const cfg::value& member(const cfg::config& _document) {
    const auto found = _document.get_root().get_value("v");
    if (!found) {
        throw std::logic_error("no member v");
    }
    return *found;
}

std::vector<const cfg::value*> elements(const cfg::value::array& _array) {
    std::vector<const cfg::value*> out;
    for (const cfg::value& element : _array) {
        out.push_back(&element);
    }
    return out;
}

struct scalar_case {
    std::string json;
    boost::optional<bool> as_bool;
    boost::optional<int> as_int;
    boost::optional<double> as_double;
    boost::optional<std::string> as_string;
};

} // namespace

TEST(config_document, scalars_convert_only_within_their_kind) {
    const std::vector<scalar_case> cases = {
        {"5.0", boost::none, 5, 5.0, boost::none},
        {"5.5", boost::none, boost::none, 5.5, boost::none},
        {"1e3", boost::none, 1000, 1000.0, boost::none},
        {"\"5\"", boost::none, boost::none, boost::none, std::string("5")},
        {"1", boost::none, 1, 1.0, boost::none},
        {"0", boost::none, 0, 0.0, boost::none},
        {"-7", boost::none, -7, -7.0, boost::none},
        {"2147483647", boost::none, 2147483647, 2147483647.0, boost::none},
        {"-2147483648", boost::none, std::numeric_limits<int>::min(), -2147483648.0, boost::none},
        {"true", true, boost::none, boost::none, boost::none},
        {"false", false, boost::none, boost::none, boost::none},
        {"\"true\"", boost::none, boost::none, boost::none, std::string("true")},
        {"\"\"", boost::none, boost::none, boost::none, std::string()},
        {"null", boost::none, boost::none, boost::none, boost::none},
    };
    for (const scalar_case& c : cases) {
        SCOPED_TRACE(c.json);
        const auto document = parse("{\"v\": " + c.json + "}");
        const cfg::value& v = member(*document);
        EXPECT_EQ(v.as_bool(), c.as_bool);
        EXPECT_EQ(v.as_int(), c.as_int);
        EXPECT_EQ(v.as_double(), c.as_double);
        EXPECT_EQ(v.as_string(), c.as_string);
        EXPECT_FALSE(v.as_object());
        EXPECT_FALSE(v.as_array());
    }
}

TEST(config_document, integer_outside_int_throws_from_as_int_only) {
    for (const std::string json : {"2147483648", "-2147483649", "1e10", "18446744073709551615"}) {
        SCOPED_TRACE(json);
        const auto document = parse("{\"v\": " + json + "}");
        const cfg::value& v = member(*document);
        EXPECT_THROW(v.as_int(), Json::LogicError);
        EXPECT_DOUBLE_EQ(v.as_double().value(), std::stod(json));
    }
}

TEST(config_document, keys_sorted_bytewise_and_later_duplicate_wins) {
    const auto document = parse(R"({"b": 1, "a": 2, "B": 3, "ab": 4, "n": null, "a": 5})");
    const cfg::dictionary& root = document->get_root();
    EXPECT_EQ(root.get_keys(), (std::vector<std::string>{"B", "a", "ab", "b", "n"}));
    EXPECT_EQ(root.get<int>("a"), 5);
    EXPECT_FALSE(root.get_value("missing"));
    // A null member is listed and found, but answers no kind.
    const auto null_value = root.get_value("n");
    ASSERT_TRUE(null_value);
    EXPECT_FALSE(null_value->as_bool());
    EXPECT_FALSE(null_value->as_int());
    EXPECT_FALSE(null_value->as_string());
    EXPECT_FALSE(null_value->as_object());
    EXPECT_FALSE(null_value->as_array());
}

TEST(config_document, nested_objects_and_arrays) {
    const auto document = parse(R"({
        "obj": {"x": {"y": "deep"}},
        "arr": [1, {"k": "in object"}, [2, [3]], "s"],
        "empty": []
    })");
    const cfg::dictionary& root = document->get_root();

    const auto obj = root.get<cfg::object>("obj");
    ASSERT_TRUE(obj);
    EXPECT_EQ(obj->get_keys(), std::vector<std::string>{"x"});
    EXPECT_EQ(obj->get<cfg::object>("x")->get<std::string>("y"), std::string("deep"));
    const cfg::value& obj_value = *root.get_value("obj");
    EXPECT_FALSE(obj_value.as_array());
    EXPECT_FALSE(obj_value.as_int());
    EXPECT_FALSE(obj_value.as_string());
    EXPECT_FALSE(obj_value.as_bool());
    EXPECT_FALSE(obj_value.as_double());

    const auto arr = root.get_value("arr")->as_array();
    ASSERT_TRUE(arr);
    EXPECT_FALSE(root.get_value("arr")->as_object());
    const auto items = elements(*arr);
    ASSERT_EQ(items.size(), 4U);
    EXPECT_EQ(items[0]->as_int(), 1);
    ASSERT_TRUE(items[1]->as_object());
    EXPECT_EQ(items[1]->as_object()->get<std::string>("k"), std::string("in object"));
    ASSERT_TRUE(items[2]->as_array());
    const auto inner = elements(*items[2]->as_array());
    ASSERT_EQ(inner.size(), 2U);
    EXPECT_EQ(inner[0]->as_int(), 2);
    const auto innermost = elements(*inner[1]->as_array());
    ASSERT_EQ(innermost.size(), 1U);
    EXPECT_EQ(innermost[0]->as_int(), 3);
    EXPECT_EQ(items[3]->as_string(), std::string("s"));

    // Walking backwards works as well: the range is bidirectional.
    auto last = arr->end();
    --last;
    EXPECT_EQ(last->as_string(), std::string("s"));

    EXPECT_TRUE(elements(*root.get_value("empty")->as_array()).empty());
}

TEST(config_document, references_stay_valid_across_a_large_tree) {
    // Enough objects and arrays that every container has grown many times while being filled.
    std::string text = "{\"list\": [";
    for (int i = 0; i < 300; ++i) {
        text += (i ? "," : "") + std::string("{\"i\": ") + std::to_string(i) + ", \"a\": [" + std::to_string(i) +
                ", [" + std::to_string(-i) + "]]}";
    }
    text += "]}";
    const auto document = parse(text);
    const auto list = elements(*document->get_root().get_value("list")->as_array());
    ASSERT_EQ(list.size(), 300U);
    for (int i = 0; i < 300; ++i) {
        const auto item = list[i]->as_object();
        ASSERT_TRUE(item);
        EXPECT_EQ(item->get<int>("i"), i);
        const auto a = elements(*item->get_value("a")->as_array());
        ASSERT_EQ(a.size(), 2U);
        EXPECT_EQ(a[0]->as_int(), i);
        EXPECT_EQ(elements(*a[1]->as_array())[0]->as_int(), -i);
    }
}

TEST(config_document, root_kinds_trailing_text_and_comments) {
    for (const std::string root : {"5", "\"text\"", "true", "null"}) {
        SCOPED_TRACE(root);
        EXPECT_TRUE(parse(root)->get_root().get_keys().empty());
    }
    // Array elements have no names: the first one lands under the empty key.
    const auto array_root = parse("[7, 8, 9]");
    EXPECT_EQ(array_root->get_root().get_keys(), std::vector<std::string>{""});
    EXPECT_EQ(array_root->get_root().get<int>(""), 7);

    EXPECT_EQ(parse(R"({"a": 1} and then {"a": 2} garbage)")->get<int>("a"), 1);

    const auto commented = parse("// heading\n{ /* inline */ \"a\": 1, // trailing\n \"b\": \"x\" }\n");
    EXPECT_EQ(commented->get_root().get_keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(commented->get<std::string>("b"), std::string("x"));
}

TEST(config_document, unparsable_text_is_a_runtime_error) {
    struct parse_failure_case {
        std::string text;
        std::string fragment;
    };
    const std::vector<parse_failure_case> cases = {
        {"", "* Line 1, Column 1\n  Syntax error: value, object or array expected.\n"},
        {"   \n  ", "Syntax error: value, object or array expected."},
        {R"({"a": 1)", "Line 1, Column 8"},
        {R"({'a': 1})", "Line 1, Column 2"},
        {R"({"a": 01x})", "Line 1"},
        {R"({"a" 1})", "Missing ':' after object member name"},
    };
    for (const parse_failure_case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parse(c.text);
            ADD_FAILURE() << "parsed";
        } catch (const std::runtime_error& error) {
            const std::string what = error.what();
            EXPECT_EQ(what.rfind("Cannot parse json: ", 0), 0U) << what;
            EXPECT_NE(what.find(c.fragment), std::string::npos) << what;
            const char* const* function = boost::get_error_info<boost::throw_function>(error);
            ASSERT_NE(function, nullptr);
            EXPECT_STREQ(*function, "config_json_impl");
        }
    }
}

// Objects and arrays count as levels, the outermost as one; the innermost value, a scalar or an
// empty container, changes nothing.
TEST(config_document, nesting_is_counted_in_objects_and_arrays_whatever_the_innermost_value) {
    const auto arrays = [](int _levels, const std::string& _innermost) {
        return std::string(_levels, '[') + _innermost + std::string(_levels, ']');
    };
    const auto objects = [](int _levels, const std::string& _innermost) {
        std::string text;
        for (int level = 0; level < _levels; ++level)
            text += "{\"a\": ";
        text += _innermost.empty() ? "{}" : _innermost;
        text += std::string(_levels, '}');
        return text;
    };
    struct nesting_case {
        std::string name;
        std::string text;
        bool accepted;
    };
    const std::vector<nesting_case> cases = {
        {"1000 arrays around a number", arrays(1000, "1"), true},
        {"1000 arrays, the innermost empty", arrays(1000, ""), true},
        {"1000 arrays around an empty object", arrays(999, "{}"), true},
        {"1000 arrays around a string", arrays(1000, "\"x\""), true},
        {"1001 arrays around a number", arrays(1001, "1"), false},
        {"1001 arrays, the innermost empty", arrays(1001, ""), false},
        {"1000 objects around a number", objects(999, "{\"a\": 1}"), true},
        {"1000 objects, the innermost empty", objects(999, ""), true},
        {"1001 objects around a number", objects(1000, "{\"a\": 1}"), false},
        {"1001 objects, the innermost empty", objects(1000, ""), false},
        {"an object and 999 arrays around a number", "{\"v\": " + arrays(999, "1") + "}", true},
        {"an object and 1000 arrays, the innermost empty", "{\"v\": " + arrays(1000, "") + "}", false},
        {"1001 levels in a later member only", "{\"v\": 1, \"w\": " + arrays(999, "[]") + "}", false},
        {"2000 arrays left open", "{\"a\": " + std::string(2000, '['), false},
    };
    for (const nesting_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.accepted) {
            EXPECT_NO_THROW(parse(c.text));
            continue;
        }
        try {
            parse(c.text);
            ADD_FAILURE() << "parsed";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Cannot parse json: nested deeper than 1000 levels");
        }
    }
    // The deepest document accepted is read whole.
    const auto deepest = parse("{\"v\": " + arrays(999, "7") + "}");
    const cfg::value* level = &member(*deepest);
    for (int depth = 2; depth <= 1000; ++depth) {
        const auto elements_here = level->as_array();
        ASSERT_TRUE(elements_here) << depth;
        const std::vector<const cfg::value*> inner = elements(*elements_here);
        ASSERT_EQ(inner.size(), 1U) << depth;
        level = inner.front();
    }
    EXPECT_EQ(level->as_int(), 7);
}
