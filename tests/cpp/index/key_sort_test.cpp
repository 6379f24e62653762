#include "index/key_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace vesko::index {
namespace {

struct Tagged {
    std::uint32_t key;
    std::uint32_t tag;  // input position, to check that ties keep it
    bool operator==(const Tagged&) const = default;
};

// Keys drawn from `key_of_draw`, tagged with their position; the sort must agree exactly with
// std::stable_sort, ties included.
TEST(StableSortByKey, AgreesWithStableSortAcrossSizesAndKeyShapes) {
    struct Case {
        const char* name;
        std::size_t n;
        std::uint32_t key_mask;  // keys are draws & mask (few distinct keys force ties)
        std::uint32_t key_bias;  // added after masking (digits every key shares skip a pass)
    };
    const Case cases[] = {
        {"empty", 0, 0xFFFFFFFFu, 0},
        {"one", 1, 0xFFFFFFFFu, 0},
        {"below the radix threshold", key_sort_min_radix - 1, 0xFFFFFFFFu, 0},
        {"at the radix threshold", key_sort_min_radix, 0xFFFFFFFFu, 0},
        {"large, full 32-bit keys", 20000, 0xFFFFFFFFu, 0},
        {"large, many ties", 20000, 0x7u, 0},
        {"large, all keys equal", 5000, 0x0u, 0x12345678u},
        {"large, high digits shared", 20000, 0x7FFu, 0xABC00000u},
        {"large, only the middle digit varies", 20000, 0x3FF800u, 0},
        {"large, keys near the top", 20000, 0xFFFFu, 0xFFFF0000u},
    };
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Tagged> items(c.n);
        for (std::size_t i = 0; i < c.n; ++i) {
            items[i] = {(static_cast<std::uint32_t>(rng()) & c.key_mask) + c.key_bias,
                        static_cast<std::uint32_t>(i)};
        }
        std::vector<Tagged> expected = items;
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Tagged& a, const Tagged& b) { return a.key < b.key; });
        stable_sort_by_key(items, [](const Tagged& t) { return t.key; });
        EXPECT_EQ(items, expected);
    }
}

TEST(StableSortByKey, SortsBareIdsAscending) {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 3000; ++i) ids.push_back((i * 2654435761u) % 100003u);
    std::vector<std::uint32_t> expected = ids;
    std::sort(expected.begin(), expected.end());
    stable_sort_by_key(ids, [](std::uint32_t v) { return v; });
    EXPECT_EQ(ids, expected);
}

// The key's unsigned order must be the order of `<` on the floats, with -0 == +0.
TEST(FloatOrderKey, OrdersAsLessThanDoesOnNonNanFloats) {
    const float inf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float values[] = {-inf, -3.0e38f, -1.0f,   -tiny,           -0.0f, 0.0f,    tiny, 1e-30f,
                            0.5f, 1.0f,     1.0001f, 111194.9296875f, 2e7f,  3.4e38f, inf};
    for (float a : values) {
        for (float b : values) {
            SCOPED_TRACE(testing::Message() << a << " vs " << b);
            EXPECT_EQ(float_order_key(a) < float_order_key(b), a < b);
            EXPECT_EQ(float_order_key(a) == float_order_key(b), a == b);
        }
    }
}

}  // namespace
}  // namespace vesko::index
