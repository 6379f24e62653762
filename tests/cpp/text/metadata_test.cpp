#include "text/metadata.h"

#include "storage/data_files.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vesko::text {
namespace {

TEST(MetadataParse, RefusesWhatIsNotAStorableObject) {
    struct Case {
        const char* name;
        std::string text;
        ErrorKind kind;
        std::string message;
    };
    const std::string huge = "{\"a\":\"" + std::string(max_metadata_bytes, 'x') + "\"}";
    const Case cases[] = {
        {"not json", "{\"a\":", ErrorKind::InvalidJson, ""},
        {"array", "[1, 2]", ErrorKind::InvalidJson, "expected a JSON object, found an array"},
        {"string", "\"s\"", ErrorKind::InvalidJson, "expected a JSON object, found a string"},
        {"null", "null", ErrorKind::InvalidJson, "expected a JSON object, found null"},
        {"too long", huge, ErrorKind::InvalidArgument,
         "metadata is " + std::to_string(huge.size()) + " bytes as compact JSON; at most " +
             std::to_string(max_metadata_bytes) + " bytes can be stored"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto meta = Metadata::parse(c.text);
        ASSERT_FALSE(meta);
        EXPECT_EQ(meta.error().kind, c.kind);
        if (!c.message.empty()) {
            EXPECT_EQ(meta.error().message, c.message);
        }
    }
}

TEST(MetadataParse, TextIsTheCompactFormOfTheObject) {
    struct Case {
        const char* name;
        const char* text;
        const char* compact;
    };
    const Case cases[] = {
        {"empty", " { } ", "{}"},
        {"keys sorted, spaces dropped", "{ \"b\" : 1 , \"a\" : [true, null] }",
         "{\"a\":[true,null],\"b\":1}"},
        {"repeated key keeps the last", "{\"k\": 1, \"k\": \"two\"}", "{\"k\":\"two\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto meta = Metadata::parse(c.text);
        ASSERT_TRUE(meta);
        EXPECT_EQ(meta->text(), c.compact);
        EXPECT_EQ(meta->object().dump(), meta->text());
        // Rebuilt from its object (as log replay does), the same metadata comes back.
        EXPECT_EQ(Metadata::from_object(meta->object()).text(), meta->text());
    }
}

// What the general parser makes of the text: the object and its compact text, or its error.
void expect_as_general_parser(const std::string& text) {
    SCOPED_TRACE(text);
    auto meta = Metadata::parse(text);
    auto general = text::parse_json(text);
    if (!general || !general->is_object()) {
        ASSERT_FALSE(meta);
        if (!general) {
            EXPECT_EQ(meta.error().message, general.error().message);
        }
        return;
    }
    ASSERT_TRUE(meta) << meta.error().message;
    EXPECT_EQ(meta->text(), general->dump());
    ASSERT_EQ(meta->object().size(), general->size());
    for (const auto& [key, value] : general->items()) {
        ASSERT_TRUE(meta->object().contains(key)) << key;
        // The same kind of value too (an unsigned and a signed 1 compare equal).
        EXPECT_EQ(meta->object()[key].type(), value.type()) << key;
        EXPECT_EQ(meta->object()[key], value) << key;
    }
}

TEST(MetadataParse, FlatObjectsComeOutAsTheGeneralParserMakesThem) {
    const char* texts[] = {
        "{}",
        " {\n} ",
        R"({"a":1})",
        R"({"b": -7, "a": 0})",
        R"({"n": 123456789012345678})",
        R"({"n": 1234567890123456789})",
        R"({"n": 18446744073709551615})",
        R"({"n": 18446744073709551616})",
        R"({"n": -9223372036854775809})",
        R"({"n": -0})",
        R"({"n": 01})",
        R"({"n": 1.5})",
        R"({"n": 1e3})",
        R"({"n": 1E3})",
        R"({"n": -})",
        R"({"n": 3.40})",
        R"({"n": -0.0})",
        R"({"n": 0.1e-2})",
        R"({"n": 1e+2})",
        R"({"n": 1.})",
        R"({"n": .5})",
        R"({"n": 1e})",
        R"({"n": 1e999})",
        R"({"n": -1e999})",
        R"({"n": 1e-400})",
        R"({"n": 2.5E-3, "m": 7})",
        R"({"n": 0.30000000000000004})",
        R"({"n": 12345678901234567890.5})",
        R"({"n": 00.5})",
        R"({"n": -.5})",
        R"({"n": 1.5.5})",
        R"({"n": 1ee5})",
        R"({"n": +1})",
        R"({"t": true, "f": false, "z": null})",
        R"({"t": tru})",
        R"({"t": truex})",
        R"({"t": nul})",
        R"({"s": "a b~!"})",
        R"({"s": "\u0041"})",
        R"({"s": "caf\u00e9"})",
        "{\"s\": \"caf\xc3\xa9\"}",
        "{\"s\": \"\xff\"}",
        "{\"s\": \"\xc0\x80\"}",
        "{\"s\": \"\xed\xa0\x80\"}",
        "{\"s\": \"\xf4\x90\x80\x80\"}",
        "{\"s\": \"\x80\"}",
        "{\"s\": \"\xe6\x97\"}",
        "{\"s\": \"\xf0\x9f\x98\x80 \xe6\x97\xa5\"}",
        "{\"\xd0\xba\": 1, \"z\": \"\xc3\xa9\", \"\xc3\xa9\": 2}",
        "{\"\xc3\": 1}",
        "{\"s\": \"a\x7f\"}",
        "{\"s\": \"tab\there\"}",
        R"({"k": 1, "k": "two"})",
        R"({"k": "x", "a": 2, "k": null})",
        R"({"a": [1]})",
        R"({"a": {}})",
        R"({"a": 1,})",
        R"({"a" 1})",
        R"({"a": 1} x)",
        R"({"a": 1}})",
        R"({a: 1})",
        R"({"a": 1)",
        R"({"a":)",
        R"({"a")",
        "{",
        "",
        "  ",
        R"([1])",
        R"("s")",
        R"(null)",
        R"({"Z": 1, "a": 2, "_": 3})",
        "\t{\r\"a\"\n:\t\"b\"\r}\n",
    };
    for (const char* text : texts) expect_as_general_parser(text);
}

TEST(MetadataParse, RandomFlatObjectsComeOutAsTheGeneralParserMakesThem) {
    std::mt19937 rng(7);
    const std::vector<std::string> tokens = {
        R"("x")",
        R"("")",
        R"("a b")",
        "0",
        "7",
        "0.5",
        "-1.75e3",
        "3.40",
        "1e-7",
        "6.02214076e23",
        "-0.0",
        "1.",
        "-3",
        "42",
        "-0",
        "007",
        "1.25",
        "2e2",
        "true",
        "false",
        "null",
        "[]",
        "{}",
        R"("\n")",
        "123456789012345678",
        "-123456789012345678",
        "1234567890123456789",
    };
    const std::vector<std::string> keys = {"a", "b", "kind", "n", "A", "_k", "a b", "", "k\u00e9"};
    const std::vector<std::string> spaces = {"", " ", "\n", "\t "};
    for (int round = 0; round < 3000; ++round) {
        std::string text = spaces[rng() % spaces.size()] + "{";
        const std::size_t members = rng() % 5;
        for (std::size_t m = 0; m < members; ++m) {
            if (m > 0) text += ",";
            text += spaces[rng() % spaces.size()] + "\"" + keys[rng() % keys.size()] + "\"" +
                    spaces[rng() % spaces.size()] + ":" + spaces[rng() % spaces.size()] +
                    tokens[rng() % tokens.size()];
        }
        text += spaces[rng() % spaces.size()] + "}";
        expect_as_general_parser(text);
    }
}

}  // namespace
}  // namespace vesko::text
