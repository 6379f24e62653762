#include "storage/bitmap_codec.h"

#include "spatial/cell_ids.h"

#include <gtest/gtest.h>

#include <vector>

namespace vesko::storage {
namespace {

std::vector<std::uint32_t> ids_of(
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges) {
    std::vector<std::uint32_t> out;
    for (auto [lo, hi] : ranges) {
        for (std::uint32_t v = lo; v < hi; ++v) out.push_back(v);
    }
    return out;
}

// The direct writer must give exactly the bytes of the library's serialization: snapshots are
// compared byte for byte.
TEST(PutSortedIds, MatchesTheLibrarySerialization) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> ids;
    };
    const Case cases[] = {
        {"empty", {}},
        {"one id", {7}},
        {"one array container", {1, 5, 65535}},
        {"several containers", {3, 70000, 140000, 4000000000u}},
        {"bitset container", ids_of({{0, 5000}})},
        {"array beside bitset", ids_of({{100, 200}, {65536, 65536 + 4097}, {200000, 200001}})},
        {"exactly 4096 stays an array", ids_of({{0, 4096}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bitmap b;
        b.add_many(c.ids.data(), c.ids.size());
        std::string expected;
        put_bitmap(expected, b);
        std::string direct;
        put_sorted_ids(direct, c.ids.data(), c.ids.size());
        EXPECT_EQ(direct, expected);

        ByteReader reader(
            std::span(reinterpret_cast<const unsigned char*>(direct.data()), direct.size()));
        std::vector<std::uint32_t> back;
        ASSERT_TRUE(read_bitmap_ids(reader, [&back](std::uint32_t id) { back.push_back(id); }));
        EXPECT_EQ(back, c.ids);
    }
}

TEST(PortableBitmap, MalformedBytesAreRefused) {
    std::string good;
    const std::vector<std::uint32_t> ids = {1, 2, 3};
    put_sorted_ids(good, ids.data(), ids.size());
    auto refused = [](std::string bytes) {
        ByteReader reader(
            std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
        Bitmap b;
        return !read_bitmap(reader, b);
    };
    std::string unsorted = good;
    unsorted[good.size() - 2] = 0;  // last array value 3 -> 0, below its predecessor
    std::string wrong_offset = good;
    wrong_offset[8 + 12] = 99;
    std::string bad_cookie = good;
    bad_cookie[8] = 0;
    EXPECT_TRUE(refused(unsorted));
    EXPECT_TRUE(refused(wrong_offset));
    EXPECT_TRUE(refused(bad_cookie));
    EXPECT_TRUE(refused(good.substr(0, good.size() - 1)));
    EXPECT_FALSE(refused(good));
}

TEST(CellIds, KeepsIdsAscendingAndDistinctAcrossTheInlineLimit) {
    spatial::CellIds ids;
    for (std::uint32_t id : {5u, 9u, 9u, 1u, 7u, 20u, 5u}) ids.add(id);
    EXPECT_EQ(std::vector<std::uint32_t>(ids.begin(), ids.end()),
              (std::vector<std::uint32_t>{1, 5, 7, 9, 20}));
    spatial::CellIds moved = std::move(ids);
    EXPECT_EQ(moved.size(), 5u);
    EXPECT_TRUE(ids.empty());
}

}  // namespace
}  // namespace vesko::storage
