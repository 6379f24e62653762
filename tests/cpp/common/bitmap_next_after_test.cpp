#include "common/bitmap.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace vesko {
namespace {

Bitmap of(const std::vector<std::uint32_t>& ids) {
    Bitmap out;
    out.add_many(ids.data(), ids.size());
    return out;
}

TEST(BitmapNextAfter, TakesAtMostLimitIdsAfterTheGivenOne) {
    const Bitmap ids = of({0, 3, 4, 70000, 70001, 4000000000u});
    struct Case {
        const char* name;
        std::optional<std::uint32_t> after;
        std::uint32_t limit;
        std::vector<std::uint32_t> expected;
    };
    const Case cases[] = {
        {"from the start", std::nullopt, 2, {0, 3}},
        {"after a member", 3, 2, {4, 70000}},
        {"after a gap", 5, 3, {70000, 70001, 4000000000u}},
        {"limit beyond the end", 4, 100, {70000, 70001, 4000000000u}},
        {"after the last", 4000000000u, 5, {}},
        {"after the largest id", 0xFFFFFFFFu, 5, {}},
        {"zero limit", std::nullopt, 0, {}},
        {"whole set", std::nullopt, 6, {0, 3, 4, 70000, 70001, 4000000000u}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ids.next_after(c.after, c.limit).to_vector(), c.expected);
    }
}

TEST(BitmapNextAfter, EmptySetGivesNothing) {
    EXPECT_TRUE(Bitmap().next_after(std::nullopt, 10).empty());
    EXPECT_TRUE(Bitmap().next_after(7, 10).empty());
}

}  // namespace
}  // namespace vesko
