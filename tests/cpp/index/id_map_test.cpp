#include "index/id_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace vesko::index {
namespace {

// Random inserts, reassignments and erasures against std::map, with keys crowded into few
// home slots so that probe runs wrap around the table and deletions shift entries back.
TEST(IdMap, AgreesWithAReferenceMapUnderRandomOperations) {
    for (std::uint64_t key_space : {64ULL, 5000ULL, 1ULL << 40}) {
        SCOPED_TRACE(key_space);
        std::mt19937_64 rng(key_space);
        IdMap map;
        std::map<std::uint64_t, std::uint32_t> reference;
        for (int step = 0; step < 40000; ++step) {
            const std::uint64_t key = (rng() % key_space) << 20;  // low bits all equal
            const std::uint32_t value = static_cast<std::uint32_t>(rng());
            switch (rng() % 4) {
                case 0:
                    EXPECT_EQ(map.insert(key, value), reference.emplace(key, value).second);
                    break;
                case 1:
                    map.assign(key, value);
                    reference[key] = value;
                    break;
                default:
                    EXPECT_EQ(map.erase(key), reference.erase(key) == 1);
            }
            ASSERT_EQ(map.size(), reference.size());
        }
        for (const auto& [key, value] : reference) {
            const std::uint32_t* found = map.find(key);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(*found, value);
        }
        std::size_t visited = 0;
        map.for_each([&](std::uint64_t key, std::uint32_t value) {
            ++visited;
            EXPECT_EQ(reference.at(key), value);
        });
        EXPECT_EQ(visited, reference.size());
        EXPECT_FALSE(map.contains(~0ULL));
    }
}

TEST(IdMap, EmptyMapFindsNothingAndErasesNothing) {
    IdMap map;
    EXPECT_EQ(map.find(0), nullptr);
    EXPECT_FALSE(map.erase(0));
    map.reserve(1000);
    EXPECT_TRUE(map.empty());
    EXPECT_TRUE(map.insert(0, 9));
    EXPECT_EQ(*map.find(0), 9u);
}

}  // namespace
}  // namespace vesko::index
