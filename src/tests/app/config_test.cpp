#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include <core/exception.hpp>

#include "app/config.hpp"

namespace fs = std::filesystem;

namespace {

struct key_info {
    std::string section;
    std::string key;
    std::string type_name;
};

// The keys in the order in which their reasons are reported.
const std::vector<key_info>& reported_keys() {
    static const std::vector<key_info> keys = {
        {"system", "persistent_data_dir", "string"},
        {"system", "pidfile", "string"},
        {"system", "timer", "int"},
        {"system", "maximum_piece", "int"},
        {"system", "activities_maximum_piece", "int"},
        {"system", "debug_port", "string"},
        {"system", "local_debug", "bool"},
        {"dw", "host", "string"},
        {"dw", "user", "string"},
        {"dw", "password", "string"},
        {"dw", "database", "string"},
        {"dw", "port", "int"},
        {"prod", "host", "string"},
        {"prod", "database", "string"},
        {"prod", "port", "int"},
        {"prod", "user", "string"},
        {"prod", "password", "string"},
    };
    return keys;
}

std::string field_reason(const key_info& _key) {
    return "Can not find field <" + _key.type_name + ">: " + _key.section + "." + _key.key;
}

std::string object_reason(const key_info& _key) {
    return "Can not find object <object>: " + _key.section + ", path: " + _key.section + "." + _key.key;
}

std::string invalid(const std::vector<std::string>& _reasons) {
    std::string message = "Config file is invalid: ";
    for (std::size_t i = 0; i < _reasons.size(); ++i) {
        message += (i ? "\n" : "") + _reasons[i];
    }
    return message;
}

// Every key with a value distinct from all others, so that crossed members show.
Json::Value valid_document() {
    Json::Value document(Json::objectValue);
    Json::Value& system = document["system"];
    system["persistent_data_dir"] = "/var/lib/lomvera/journals/";
    system["pidfile"] = "/run/lomvera/lomvera.pid";
    system["timer"] = 61;
    system["maximum_piece"] = 5002;
    system["activities_maximum_piece"] = 703;
    system["debug_port"] = "tcp://127.0.0.1:5561";
    system["local_debug"] = true;
    Json::Value& dw = document["dw"];
    dw["host"] = "dw.example";
    dw["user"] = "dw_user";
    dw["password"] = "dw_secret";
    dw["database"] = "dw_store";
    dw["port"] = 3308;
    Json::Value& prod = document["prod"];
    prod["host"] = "prod.example";
    prod["user"] = "prod_user";
    prod["password"] = "prod_secret";
    prod["database"] = "prod_runtime";
    prod["port"] = 3307;
    return document;
}

void expect_valid_values(const qvd::config& _config) {
    EXPECT_EQ(_config.system.persistent_data_dir, "/var/lib/lomvera/journals/");
    EXPECT_EQ(_config.system.pidfile_path, "/run/lomvera/lomvera.pid");
    EXPECT_EQ(_config.system.timer, 61U);
    EXPECT_EQ(_config.system.maximum_piece, 5002U);
    EXPECT_EQ(_config.system.activities_maximum_piece, 703U);
    EXPECT_EQ(_config.system.debug_port, "tcp://127.0.0.1:5561");
    EXPECT_TRUE(_config.system.local_debug);
    EXPECT_EQ(_config.dw.host, "dw.example");
    EXPECT_EQ(_config.dw.user, "dw_user");
    EXPECT_EQ(_config.dw.password, "dw_secret");
    EXPECT_EQ(_config.dw.database, "dw_store");
    EXPECT_EQ(_config.dw.port, 3308U);
    EXPECT_EQ(_config.prod.host, "prod.example");
    EXPECT_EQ(_config.prod.user, "prod_user");
    EXPECT_EQ(_config.prod.password, "prod_secret");
    EXPECT_EQ(_config.prod.database, "prod_runtime");
    EXPECT_EQ(_config.prod.port, 3307U);
    // The one optional key, left out.
    EXPECT_EQ(_config.system.database_timeout, 300U);
}

// A value of the wrong JSON type for the key.
Json::Value mistyped(const key_info& _key) {
    if (_key.type_name == "string") {
        return 5;
    }
    if (_key.type_name == "int") {
        return "60";
    }
    return 1;
}

enum class outcome { ok, invalid, parse_failure };

struct config_case {
    std::string name;
    // Writes the file into the directory and returns the path to open.
    std::function<fs::path(const fs::path&)> make_file;
    outcome expected;
    // The exception text for a refused file; a fragment of it for a parse failure.
    std::string message;
    std::function<void(const qvd::config&)> check;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const config_case& _case, std::ostream* _out) { *_out << _case.name; }

std::function<fs::path(const fs::path&)> text_file(const std::string& _name, const std::string& _text) {
    return [_name, _text](const fs::path& _dir) {
        const fs::path path = _dir / (_name + ".json");
        std::ofstream(path) << _text;
        return path;
    };
}

std::function<fs::path(const fs::path&)> json_file(const std::string& _name, const Json::Value& _document) {
    return text_file(_name, Json::writeString(Json::StreamWriterBuilder(), _document));
}

Json::Value with(const std::string& _section, const std::string& _key, const Json::Value& _value) {
    Json::Value document = valid_document();
    document[_section][_key] = _value;
    return document;
}

Json::Value without(const std::string& _section, const std::string& _key) {
    Json::Value document = valid_document();
    document[_section].removeMember(_key);
    return document;
}

config_case refused(const std::string& _name, const Json::Value& _document, const std::vector<std::string>& _reasons) {
    return {_name, json_file(_name, _document), outcome::invalid, invalid(_reasons), nullptr};
}

config_case unparsable(const std::string& _name, std::function<fs::path(const fs::path&)> _make_file,
                       const std::string& _fragment) {
    return {_name, std::move(_make_file), outcome::parse_failure, _fragment, nullptr};
}

const std::string empty_document_error = "Syntax error: value, object or array expected.";

std::vector<config_case> config_cases() {
    std::vector<config_case> cases;
    cases.push_back({"valid", json_file("valid", valid_document()), outcome::ok, "", expect_valid_values});

    Json::Value extras = valid_document();
    extras["system"]["timer"] = 60.0;
    extras["system"]["maximum_piece"] = 1e3;
    extras["system"]["local_debug"] = false;
    extras["system"]["unknown"] = "ignored";
    extras["dw"]["extra"] = Json::Value(Json::arrayValue);
    extras["other_section"]["host"] = "elsewhere";
    cases.push_back({"whole_reals_negatives_and_extra_keys", json_file("extras", extras), outcome::ok, "",
                     [](const qvd::config& _config) {
                         EXPECT_EQ(_config.system.timer, 60U);
                         EXPECT_EQ(_config.system.maximum_piece, 1000U);
                         EXPECT_FALSE(_config.system.local_debug);
                         EXPECT_EQ(_config.dw.host, "dw.example");
                         EXPECT_EQ(_config.prod.host, "prod.example");
                     }});

    cases.push_back({"hand_written_with_comments", text_file("comments", R"(// demo settings
{
    "prod": { "port": 3307, "host": "prod.example", "user": "prod_user",
              "password": "prod_secret", "database": "prod_runtime" },
    /* the column store */
    "dw": { "database": "dw_store", "password": "dw_secret", "user": "dw_user",
            "host": "dw.example", "port": 3308 },
    "system": {
        "local_debug": true, "debug_port": "tcp://127.0.0.1:5561",
        "activities_maximum_piece": 703, "maximum_piece": 5002, "timer": 61,
        "pidfile": "/run/lomvera/lomvera.pid", "persistent_data_dir": "/var/lib/lomvera/journals/"
    }
}
)"),
                     outcome::ok, "", expect_valid_values});

    // The example shipped with the program must stay a complete, usable file.
    cases.push_back({"shipped_example", [](const fs::path&) { return fs::path(LOMVERA_EXAMPLE_CONFIG); }, outcome::ok,
                     "",
                     [](const qvd::config& _config) {
                         const std::string& dir = _config.system.persistent_data_dir;
                         EXPECT_TRUE(!dir.empty() && dir.back() == '/') << dir;
                         EXPECT_GE(_config.system.timer, 1U);
                         EXPECT_EQ(_config.system.database_timeout, 300U);
                         EXPECT_EQ(_config.prod.host, "127.0.0.1");
                         EXPECT_EQ(_config.dw.host, "127.0.0.1");
                         EXPECT_NE(_config.prod.database, _config.dw.database);
                     }});

    for (const key_info& key : reported_keys()) {
        const std::string stem = key.section + "_" + key.key;
        cases.push_back(refused(stem + "_missing", without(key.section, key.key), {field_reason(key)}));
        cases.push_back(refused(stem + "_mistyped", with(key.section, key.key, mistyped(key)), {field_reason(key)}));
    }
    const key_info& timer = reported_keys()[2];
    const key_info& local_debug = reported_keys()[6];
    cases.push_back(refused("system_timer_with_fraction", with("system", "timer", 60.5), {field_reason(timer)}));
    cases.push_back(
        refused("system_local_debug_as_text", with("system", "local_debug", "true"), {field_reason(local_debug)}));
    // Optional, but when given it must be an integer; its reason comes last.
    Json::Value timeout_as_text = with("system", "database_timeout", "60");
    timeout_as_text["system"].removeMember("pidfile");
    cases.push_back(refused("system_database_timeout_as_text", timeout_as_text,
                            {field_reason(reported_keys()[1]), "Can not find field <int>: system.database_timeout"}));
    cases.push_back(
        refused("system_local_debug_null", with("system", "local_debug", Json::Value()), {field_reason(local_debug)}));

    // A section that is missing or not an object fails every one of its keys.
    const std::vector<std::pair<std::string, Json::Value>> not_objects = {
        {"system", "x"}, {"dw", Json::Value(Json::arrayValue)}, {"prod", 5}};
    for (const auto& [section, replacement] : not_objects) {
        std::vector<std::string> reasons;
        for (const key_info& key : reported_keys()) {
            if (key.section == section) {
                reasons.push_back(object_reason(key));
            }
        }
        Json::Value missing = valid_document();
        missing.removeMember(section);
        cases.push_back(refused(section + "_section_missing", missing, reasons));
        Json::Value replaced = valid_document();
        replaced[section] = replacement;
        cases.push_back(refused(section + "_section_not_an_object", replaced, reasons));
    }

    const std::string every_key_missing = invalid({
        "Can not find object <object>: system, path: system.persistent_data_dir",
        "Can not find object <object>: system, path: system.pidfile",
        "Can not find object <object>: system, path: system.timer",
        "Can not find object <object>: system, path: system.maximum_piece",
        "Can not find object <object>: system, path: system.activities_maximum_piece",
        "Can not find object <object>: system, path: system.debug_port",
        "Can not find object <object>: system, path: system.local_debug",
        "Can not find object <object>: dw, path: dw.host",
        "Can not find object <object>: dw, path: dw.user",
        "Can not find object <object>: dw, path: dw.password",
        "Can not find object <object>: dw, path: dw.database",
        "Can not find object <object>: dw, path: dw.port",
        "Can not find object <object>: prod, path: prod.host",
        "Can not find object <object>: prod, path: prod.database",
        "Can not find object <object>: prod, path: prod.port",
        "Can not find object <object>: prod, path: prod.user",
        "Can not find object <object>: prod, path: prod.password",
    });
    cases.push_back({"empty_object", text_file("empty_object", "{}"), outcome::invalid, every_key_missing, nullptr});
    cases.push_back(
        {"root_is_an_array",
         text_file("root_array", "[" + Json::writeString(Json::StreamWriterBuilder(), valid_document()) + "]"),
         outcome::invalid, every_key_missing, nullptr});

    // Integers in range, at the bounds and beyond them: zero stops a kind or the timer, a negative
    // number would be read as a huge unsigned one, a number beyond 32 bits names its key too.
    struct bound {
        std::string section;
        std::string key;
        Json::Value value;
        std::string reason; // empty: accepted
    };
    const Json::Value beyond_32_bits = Json::UInt64(18446744073709551615ULL);
    const std::vector<bound> bounds = {
        {"system", "timer", 0, "system.timer must be at least 1"},
        {"system", "timer", 0.0, "system.timer must be at least 1"},
        {"system", "timer", -1, "system.timer must be at least 1"},
        {"system", "timer", 1, ""},
        {"system", "timer", 2147483647, ""},
        {"system", "timer", Json::Int64(2147483648), "system.timer must be at most 2147483647"},
        {"system", "maximum_piece", 0, "system.maximum_piece must be at least 1"},
        {"system", "maximum_piece", -1, "system.maximum_piece must be at least 1"},
        {"system", "maximum_piece", Json::Int64(-2147483649), "system.maximum_piece must be at least 1"},
        {"system", "maximum_piece", beyond_32_bits, "system.maximum_piece must be at most 2147483647"},
        {"system", "activities_maximum_piece", 0, "system.activities_maximum_piece must be at least 1"},
        {"system", "activities_maximum_piece", 1e10, "system.activities_maximum_piece must be at most 2147483647"},
        {"prod", "port", 0, "prod.port must be at least 1"},
        {"prod", "port", 1, ""},
        {"prod", "port", 65535, ""},
        {"prod", "port", 65536, "prod.port must be at most 65535"},
        {"dw", "port", -3306, "dw.port must be at least 1"},
        {"dw", "port", Json::Int64(4294970602), "dw.port must be at most 65535"},
        {"system", "database_timeout", 0, "system.database_timeout must be at least 1"},
        {"system", "database_timeout", 2, ""},
        {"system", "database_timeout", 86400, ""},
        {"system", "database_timeout", 86401, "system.database_timeout must be at most 86400"},
    };
    for (const bound& b : bounds) {
        std::string name = b.section + "_" + b.key + "_" + Json::writeString(Json::StreamWriterBuilder(), b.value);
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        if (b.reason.empty()) {
            const std::string section = b.section;
            const std::string key = b.key;
            const unsigned int expected = b.value.asUInt();
            cases.push_back({name, json_file(name, with(b.section, b.key, b.value)), outcome::ok, "",
                             [section, key, expected](const qvd::config& _config) {
                                 const unsigned int got = key == "timer"              ? _config.system.timer
                                                          : key == "database_timeout" ? _config.system.database_timeout
                                                          : section == "dw"           ? _config.dw.port
                                                                                      : _config.prod.port;
                                 EXPECT_EQ(got, expected);
                             }});
        } else {
            cases.push_back(refused(name, with(b.section, b.key, b.value), {b.reason}));
        }
    }

    Json::Value several = with("system", "timer", 0);
    several["system"].removeMember("pidfile");
    several["dw"].removeMember("host");
    several["prod"]["port"] = "3307";
    several["prod"]["user"] = false;
    cases.push_back(
        refused("several_failures_in_report_order", several,
                {field_reason(reported_keys()[1]), "system.timer must be at least 1", field_reason(reported_keys()[7]),
                 field_reason(reported_keys()[14]), field_reason(reported_keys()[15])}));

    // Integers beyond 32 bits are reasons in the list, in report order, not a failure of their own.
    Json::Value both_ports = with("dw", "port", Json::Int64(3000000000));
    both_ports["prod"]["port"] = 1e10;
    both_ports["system"].removeMember("pidfile");
    both_ports["system"]["activities_maximum_piece"] = Json::Int64(-5000000000);
    cases.push_back(refused("out_of_range_integers_among_other_reasons", both_ports,
                            {field_reason(reported_keys()[1]), "system.activities_maximum_piece must be at least 1",
                             "dw.port must be at most 65535", "prod.port must be at most 65535"}));

    Json::Value no_prod = with("system", "timer", "60");
    no_prod.removeMember("prod");
    cases.push_back(refused("prod_missing_and_timer_as_text", no_prod,
                            {field_reason(timer), object_reason(reported_keys()[12]),
                             object_reason(reported_keys()[13]), object_reason(reported_keys()[14]),
                             object_reason(reported_keys()[15]), object_reason(reported_keys()[16])}));

    // A NUL byte would cut the value wherever it is used (one journal path for every kind, another
    // pid file), so it is refused, escaped (the writer gives \u0000) or raw, among the other reasons
    // in report order.
    const std::string nul(1, '\0');
    Json::Value escaped_nul = with("system", "persistent_data_dir", "/var/lib/lomvera/journals/" + nul + "x/");
    escaped_nul["system"]["pidfile"] = "/run/lomvera/lomvera.pid" + nul + "/x";
    escaped_nul["system"]["timer"] = 0;
    escaped_nul["prod"]["user"] = nul;
    const std::string escaped_text = Json::writeString(Json::StreamWriterBuilder(), escaped_nul);
    cases.push_back(
        {"nul_escaped_in_strings", text_file("escaped_nul", escaped_text), outcome::invalid,
         invalid({"system.persistent_data_dir must not hold a NUL byte", "system.pidfile must not hold a NUL byte",
                  "system.timer must be at least 1", "prod.user must not hold a NUL byte"}),
         nullptr});
    std::string raw_nul = Json::writeString(Json::StreamWriterBuilder(), valid_document());
    raw_nul.replace(raw_nul.find("dw_secret"), 9, "dw_se" + nul + "cret");
    cases.push_back({"nul_raw_in_a_string", text_file("raw_nul", raw_nul), outcome::invalid,
                     invalid({"dw.password must not hold a NUL byte"}), nullptr});

    // A tcp:// endpoint must end in a port that a connection can use; ZeroMQ would take these
    // and connect nowhere. Anything else about the endpoint is ZeroMQ's to refuse.
    for (const std::string endpoint : {"tcp://127.0.0.1:99999", "tcp://127.0.0.1:45390x", "tcp://127.0.0.1:0",
                                       "tcp://127.0.0.1:", "tcp://127.0.0.1:65536", "tcp://127.0.0.1:-1",
                                       "tcp://127.0.0.1:*", "tcp://127.0.0.1", "tcp://"}) {
        std::string name = "debug_port_" + endpoint;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        cases.push_back(refused(name, with("system", "debug_port", endpoint),
                                {"system.debug_port must end in a port from 1 to 65535: \"" + endpoint + "\""}));
    }
    for (const std::string endpoint :
         {"tcp://127.0.0.1:1", "tcp://127.0.0.1:65535", "tcp://[::1]:5557", "tcp://127.0.0.1:0;127.0.0.1:5557",
          "tcp://localhost:05557", "ipc:///run/lomvera/log"}) {
        std::string name = "debug_port_" + endpoint;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        cases.push_back({name, json_file(name, with("system", "debug_port", endpoint)), outcome::ok, "",
                         [endpoint](const qvd::config& _config) { EXPECT_EQ(_config.system.debug_port, endpoint); }});
    }
    Json::Value port_among_others = with("system", "debug_port", "tcp://127.0.0.1:99999");
    port_among_others["system"].removeMember("timer");
    port_among_others["dw"]["port"] = 0;
    cases.push_back(refused("debug_port_among_other_reasons", port_among_others,
                            {field_reason(reported_keys()[2]),
                             "system.debug_port must end in a port from 1 to 65535: \"tcp://127.0.0.1:99999\"",
                             "dw.port must be at least 1"}));

    std::string repeated = Json::writeString(Json::StreamWriterBuilder(), with("dw", "host", "first.example"));
    repeated.replace(repeated.find("\"host\" : \"first.example\""), std::string("\"host\" : \"first.example\"").size(),
                     "\"host\" : \"first.example\", \"host\" : \"dw.example\"");
    cases.push_back(
        {"key_given_twice_keeps_the_later", text_file("repeated", repeated), outcome::ok, "", expect_valid_values});

    cases.push_back(unparsable("empty_file", text_file("empty", ""), empty_document_error));
    cases.push_back(unparsable("blank_file", text_file("blank", " \n\t\n"), empty_document_error));
    // A file that cannot be opened or read says so, with its path and the system's reason.
    cases.push_back(unparsable(
        "missing_file", [](const fs::path& _dir) { return _dir / "does-not-exist.json"; },
        "Cannot parse json: cannot open PATH: No such file or directory"));
    // Only a regular file is read: a directory, a device that never ends and a FIFO that would
    // block the open until a writer comes are refused at once.
    cases.push_back(unparsable(
        "directory_instead_of_file",
        [](const fs::path& _dir) {
            fs::create_directories(_dir / "a-directory");
            return _dir / "a-directory";
        },
        "Cannot parse json: cannot read PATH: not a regular file"));
    cases.push_back(unparsable(
        "endless_device", [](const fs::path&) { return fs::path("/dev/zero"); },
        "Cannot parse json: cannot read PATH: not a regular file"));
    cases.push_back(unparsable(
        "fifo_without_writer",
        [](const fs::path& _dir) {
            const fs::path path = _dir / "config.fifo";
            if (!fs::exists(path) && ::mkfifo(path.c_str(), 0600) != 0) {
                throw std::runtime_error("mkfifo failed");
            }
            return path;
        },
        "Cannot parse json: cannot read PATH: not a regular file"));
    // The bound, 16 MiB, is far above any configuration: a valid document padded to it is read,
    // one byte more is refused before it is parsed.
    const std::size_t limit = 16 * 1024 * 1024;
    const auto padded = [](const std::string& _name, std::size_t _size) {
        return [_name, _size](const fs::path& _dir) {
            std::string text = Json::writeString(Json::StreamWriterBuilder(), valid_document());
            text.resize(_size, ' ');
            const fs::path path = _dir / (_name + ".json");
            std::ofstream(path) << text;
            return path;
        };
    };
    cases.push_back({"padded_to_the_bound", padded("at_bound", limit), outcome::ok, "", expect_valid_values});
    cases.push_back(unparsable("one_byte_beyond_the_bound", padded("beyond_bound", limit + 1),
                               "Cannot parse json: cannot read PATH: larger than 16 MiB"));
    cases.push_back(unparsable(
        "nested_too_deep", text_file("deep", "{\"system\": " + std::string(1500, '[') + std::string(1500, ']') + "}"),
        "Cannot parse json: nested deeper than 1000 levels"));
    const std::string valid_text = Json::writeString(Json::StreamWriterBuilder(), valid_document());
    cases.push_back(unparsable("truncated", text_file("truncated", valid_text.substr(0, valid_text.size() / 2)),
                               "Cannot parse json: "));
    cases.push_back(unparsable("single_quotes", text_file("single_quotes", "{'system': {}}"), "Line 1, Column 2"));
    return cases;
}

class config_record : public ::testing::TestWithParam<config_case> {
protected:
    static void SetUpTestSuite() {
        s_dir = fs::temp_directory_path() / ("lomvera-config-test-" + std::to_string(::getpid()));
        fs::create_directories(s_dir);
    }
    static void TearDownTestSuite() { fs::remove_all(s_dir); }

    static fs::path s_dir;
};

fs::path config_record::s_dir;

// The file as the daemon reads it.
TEST_P(config_record, reads_or_refuses_the_file) {
    const config_case& c = GetParam();
    const fs::path path = c.make_file(s_dir);
    switch (c.expected) {
    case outcome::ok: {
        const qvd::config config = qvd::config::from_file(path.string());
        c.check(config);
        break;
    }
    case outcome::invalid:
        try {
            const qvd::config config = qvd::config::from_file(path.string());
            FAIL() << "accepted";
        } catch (const qvd::libs::core::exception& error) {
            EXPECT_EQ(error.get_string_error(), c.message);
            EXPECT_EQ(std::string(error.get_source_location().function()), "qvd::config::config(std::istream&)");
        }
        break;
    case outcome::parse_failure:
        try {
            const qvd::config config = qvd::config::from_file(path.string());
            FAIL() << "accepted";
        } catch (const qvd::libs::core::exception& error) {
            FAIL() << "parse failure reported as invalid keys: " << error.what();
        } catch (const std::runtime_error& error) {
            const std::string what = error.what();
            EXPECT_EQ(what.rfind("Cannot parse json: ", 0), 0U) << what;
            std::string fragment = c.message;
            const std::size_t at = fragment.find("PATH");
            if (at != std::string::npos) {
                fragment.replace(at, 4, path.string());
            }
            EXPECT_NE(what.find(fragment), std::string::npos) << what;
        }
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(files, config_record, ::testing::ValuesIn(config_cases()),
                         [](const ::testing::TestParamInfo<config_case>& _info) { return _info.param.name; });

} // namespace
