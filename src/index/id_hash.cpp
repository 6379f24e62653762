#include "index/id_hash.h"

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
    SipState s;
    const auto* p = reinterpret_cast<const unsigned char*>(ext_id.data());
    const std::size_t n = ext_id.size();
    // The message is the id's bytes plus a trailing 0xFF; words are read little-endian.
    const std::size_t total = n + 1;
    std::size_t i = 0;
    auto byte_at = [&](std::size_t k) -> std::uint64_t { return k < n ? p[k] : 0xFF; };
    for (; i + 8 <= total; i += 8) {
        std::uint64_t word = 0;
        for (std::size_t k = 0; k < 8; ++k) word |= byte_at(i + k) << (8 * k);
        s.compress(word);
    }
    std::uint64_t last = static_cast<std::uint64_t>(total & 0xFF) << 56;
    for (std::size_t k = 0; i + k < total; ++k) last |= byte_at(i + k) << (8 * k);
    s.compress(last);
    s.v2 ^= 0xFF;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace vesko::index
