#include "index/id_hash.h"

#include <gtest/gtest.h>

#include <string>

namespace vesko::index {
namespace {

// Reference values of SipHash-1-3 (zero key) over the id's bytes plus a trailing 0xFF; they
// are stored in snapshots, so any change here breaks every existing store.
TEST(HashId, MatchesStoredValues) {
    struct Case {
        const char* name;
        std::string id;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {"abc", "abc", 0xef09e0f4895a251dULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hash_id(c.id), c.expected);
    }
}

TEST(HashId, EveryMessageLengthAroundAWordBoundaryGivesDistinctHashes) {
    // Ids of 0..24 bytes cross the 8-byte word boundaries of the compression loop; a slip in
    // the tail handling shows up as equal hashes or a crash.
    std::string id;
    std::uint64_t previous = hash_id(id);
    for (int n = 1; n <= 24; ++n) {
        id.push_back('x');
        std::uint64_t h = hash_id(id);
        EXPECT_NE(h, previous) << n;
        previous = h;
    }
}

TEST(HashId, EmptyIdHashesTheSingleTerminatorByte) {
    EXPECT_NE(hash_id(""), hash_id(std::string(1, '\xFF')));
}

}  // namespace
}  // namespace vesko::index
