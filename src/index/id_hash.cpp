#include "index/id_hash.h"

#include "storage/codec.h"

#include <bit>

namespace vesko::index {

namespace {

struct SipState {
    std::uint64_t v0 = 0x736f6d6570736575ULL;
    std::uint64_t v1 = 0x646f72616e646f6dULL;
    std::uint64_t v2 = 0x6c7967656e657261ULL;
    std::uint64_t v3 = 0x7465646279746573ULL;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }
    void compress(std::uint64_t word) {
        v3 ^= word;
        round();
        v0 ^= word;
    }
};

}  // namespace

std::uint64_t hash_id(std::string_view ext_id) {
    // The message is the id's bytes plus a trailing 0xFF, read as little-endian words; the
    // last word carries the message's length in its top byte. Every open of a persisted store
    // hashes every live id, so whole words are loaded at once rather than byte by byte.
    SipState s;
    const auto* p = reinterpret_cast<const unsigned char*>(ext_id.data());
    const std::size_t n = ext_id.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) s.compress(storage::load_u64(p + i));
    const std::size_t rest = n - i;  // 0..7 id bytes, then the 0xFF
    std::uint64_t tail = std::uint64_t{0xFF} << (8 * rest);
    for (std::size_t k = 0; k < rest; ++k) tail |= std::uint64_t{p[i + k]} << (8 * k);
    const std::uint64_t length = static_cast<std::uint64_t>((n + 1) & 0xFF) << 56;
    if (rest == 7) {
        // The 0xFF completes a word: the length goes in a word of its own.
        s.compress(tail);
        s.compress(length);
    } else {
        s.compress(tail | length);
    }
    s.v2 ^= 0xFF;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace vesko::index
