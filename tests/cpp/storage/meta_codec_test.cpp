#include "storage/meta_codec.h"

#include <gtest/gtest.h>

#include <limits>

namespace vesko::storage {
namespace {

using text::Json;

Json round_trip(const Json& value) {
    std::string bytes;
    encode_meta_value(bytes, value);
    ByteReader reader(
        std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    Json out;
    EXPECT_TRUE(decode_meta_value(reader, out));
    EXPECT_TRUE(reader.at_end());
    return out;
}

TEST(MetaCodec, ValuesComeBackWithTheirNumberKind) {
    struct Case {
        const char* name;
        Json value;
    };
    const Case cases[] = {
        {"null", nullptr},
        {"true", true},
        {"false", false},
        {"unsigned", Json(std::numeric_limits<std::uint64_t>::max())},
        {"negative", Json(std::numeric_limits<std::int64_t>::min())},
        {"signed zero from -0", Json(std::int64_t{0})},
        {"float", Json(4.5)},
        {"negative zero float", Json(-0.0)},
        {"string with NUL and UTF-8", Json(std::string("a\0é", 4))},
        {"nested", Json::parse(R"({"b":[1,-2,3.5,{"c":null}],"a":{"d":"x"}})")},
        {"empty containers", Json::parse(R"({"a":[],"b":{}})")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Json back = round_trip(c.value);
        EXPECT_EQ(back, c.value);
        EXPECT_EQ(back.type(), c.value.type());
        EXPECT_EQ(back.dump(), c.value.dump());
    }
}

TEST(MetaCodec, EveryTruncationOfAValueFailsToDecode) {
    std::string bytes;
    encode_meta_value(bytes, Json::parse(R"({"k":[1,"two",3.0,null,true]})"));
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        ByteReader reader(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), cut));
        Json out;
        EXPECT_FALSE(decode_meta_value(reader, out));
    }
}

TEST(MetaCodec, DamagedBytesAreRefused) {
    std::string deep;  // 200 arrays, each holding the next
    for (int i = 0; i < 200; ++i) deep += std::string("\x07\x01\0\0\0\0\0\0\0", 9);
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"unknown tag", std::string("\x09", 1)},
        {"string of invalid UTF-8", std::string("\x06\x01\0\0\0\0\0\0\0\xFF", 10)},
        {"array count beyond the bytes", std::string("\x07\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 9)},
        {"nesting deeper than any accepted text", deep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteReader reader(
            std::span(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()));
        Json out;
        EXPECT_FALSE(decode_meta_value(reader, out));
    }
}

}  // namespace
}  // namespace vesko::storage
