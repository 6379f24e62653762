#include "index/id_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
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

// SipHash-1-3 with a zero key, written from its definition one byte at a time: the reference
// the word-at-a-time hash_id must agree with.
std::uint64_t reference_hash(const std::string& id) {
    std::uint64_t v[4] = {0x736f6d6570736575ULL, 0x646f72616e646f6dULL, 0x6c7967656e657261ULL,
                          0x7465646279746573ULL};
    auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    auto round = [&] {
        v[0] += v[1], v[1] = rotl(v[1], 13), v[1] ^= v[0], v[0] = rotl(v[0], 32);
        v[2] += v[3], v[3] = rotl(v[3], 16), v[3] ^= v[2];
        v[0] += v[3], v[3] = rotl(v[3], 21), v[3] ^= v[0];
        v[2] += v[1], v[1] = rotl(v[1], 17), v[1] ^= v[2], v[2] = rotl(v[2], 32);
    };
    std::string message = id + '\xFF';
    const std::size_t whole = message.size() / 8 * 8;
    std::uint64_t last = static_cast<std::uint64_t>(message.size() & 0xFF) << 56;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const std::uint64_t byte = static_cast<unsigned char>(message[i]);
        if (i >= whole) last |= byte << (8 * (i - whole));
    }
    for (std::size_t i = 0; i < whole; i += 8) {
        std::uint64_t word = 0;
        for (std::size_t k = 0; k < 8; ++k)
            word |= std::uint64_t{static_cast<unsigned char>(message[i + k])} << (8 * k);
        v[3] ^= word, round(), v[0] ^= word;
    }
    v[3] ^= last, round(), v[0] ^= last;
    v[2] ^= 0xFF;
    round(), round(), round();
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

TEST(HashId, AgreesWithTheDefinitionForEveryLengthAndByte) {
    std::string id;
    for (int n = 0; n <= 300; ++n) {
        EXPECT_EQ(hash_id(id), reference_hash(id)) << n;
        id.push_back(static_cast<char>((n * 37 + 11) & 0xFF));
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
