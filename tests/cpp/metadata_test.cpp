#include "storage/metadata.h"

#include "storage/data_files.h"

#include <gtest/gtest.h>

#include <string>

namespace vesko::storage {
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

}  // namespace
}  // namespace vesko::storage
