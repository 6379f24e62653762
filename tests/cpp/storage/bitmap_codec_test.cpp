#include "storage/bitmap_codec.h"

#include "index/cell_ids.h"

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

// The run form (cookie 12347) of a bitmap whose every container is one run container, with
// the u64 length in front as a snapshot stores it. `runs` are [first, last] pairs, ascending.
std::string run_form(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& runs) {
    std::vector<std::pair<std::uint16_t, std::vector<std::pair<std::uint16_t, std::uint16_t>>>>
        containers;
    for (auto [first, last] : runs) {
        const auto key = static_cast<std::uint16_t>(first >> 16);
        if (containers.empty() || containers.back().first != key) containers.push_back({key, {}});
        containers.back().second.emplace_back(static_cast<std::uint16_t>(first & 0xFFFF),
                                              static_cast<std::uint16_t>(last - first));
    }
    const auto n = static_cast<std::uint32_t>(containers.size());
    std::string body;
    put_u32(body, 12347u | (n - 1) << 16);
    body.append((n + 7) / 8, '\0');
    for (std::uint32_t i = 0; i < n; ++i) body[4 + i / 8] |= static_cast<char>(1 << (i % 8));
    for (const auto& [key, spans] : containers) {
        std::uint32_t cardinality = 0;
        for (auto [start, length_minus_one] : spans) cardinality += length_minus_one + 1u;
        put_u16(body, key);
        put_u16(body, static_cast<std::uint16_t>(cardinality - 1));
    }
    std::string payload;
    std::vector<std::uint32_t> offsets;
    const std::size_t payload_at = body.size() + (n >= 4 ? 4 * n : 0);
    for (const auto& [key, spans] : containers) {
        offsets.push_back(static_cast<std::uint32_t>(payload_at + payload.size()));
        put_u16(payload, static_cast<std::uint16_t>(spans.size()));
        for (auto [start, length_minus_one] : spans) {
            put_u16(payload, start);
            put_u16(payload, length_minus_one);
        }
    }
    if (n >= 4) {
        for (std::uint32_t offset : offsets) put_u32(body, offset);
    }
    std::string out;
    put_u64(out, body.size() + payload.size());
    return out + body + payload;
}

// A bitmap read in the run form is written back run-free, byte for byte what the same ids give
// without runs. Flattening through the library would write out of bounds for a run that ends at
// 65535 on the 0.2 series (a crash at the next persist), so this runs under the sanitizers too.
TEST(PutBitmap, RunContainersAreWrittenBackRunFree) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    };
    const Case cases[] = {
        {"run ending at 65535", {{65000, 65535}}},
        {"whole first container", {{0, 65535}}},
        {"runs ending at each container's top", {{10, 20}, {65530, 65535}, {131070, 131071}}},
        {"run into the last id", {{4294967040u, 4294967295u}}},
        {"bitset-sized run beside small ones",
         {{5, 5}, {65536, 65536 + 5000}, {196600, 196607}, {262143, 262143}, {300000, 300001}}},
        {"exactly 4096 ids stay an array", {{1000, 5095}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string stored = run_form(c.runs);
        ByteReader reader(
            std::span(reinterpret_cast<const unsigned char*>(stored.data()), stored.size()));
        Bitmap loaded;
        ASSERT_TRUE(read_bitmap(reader, loaded));

        std::vector<std::uint32_t> ids;
        for (auto [first, last] : c.runs) {
            for (std::uint64_t v = first; v <= last; ++v)
                ids.push_back(static_cast<std::uint32_t>(v));
        }
        std::string expected;
        put_sorted_ids(expected, ids.data(), ids.size());
        std::string written;
        put_bitmap(written, loaded);
        EXPECT_EQ(written, expected);

        // A set derived from a loaded one keeps its run containers; it is flattened the same way.
        Bitmap derived = loaded;
        derived.remove(ids.front());
        Bitmap plain;
        plain.add(ids.front());
        derived |= plain;
        std::string written_again;
        put_bitmap(written_again, derived);
        EXPECT_EQ(written_again, expected);
    }
}

TEST(CellIds, KeepsIdsAscendingAndDistinctAcrossTheInlineLimit) {
    index::CellIds ids;
    for (std::uint32_t id : {5u, 9u, 9u, 1u, 7u, 20u, 5u}) ids.add(id);
    EXPECT_EQ(std::vector<std::uint32_t>(ids.begin(), ids.end()),
              (std::vector<std::uint32_t>{1, 5, 7, 9, 20}));
    index::CellIds moved = std::move(ids);
    EXPECT_EQ(moved.size(), 5u);
    EXPECT_TRUE(ids.empty());
}

}  // namespace
}  // namespace vesko::storage
