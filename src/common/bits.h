// Counting the set bits of a word. The build assumes no popcount instruction (x86-64's
// baseline lacks it), and the compiler's fallback is a library call that looks bytes up in a
// table; the grid counts bits on every cell lookup, so this does it inline.
#pragma once

#include <bit>
#include <cstdint>

namespace vesko {

inline unsigned count_bits(std::uint64_t w) {
#if defined(__POPCNT__) || !defined(__x86_64__)
    return static_cast<unsigned>(std::popcount(w));
#else
    w -= (w >> 1) & 0x5555555555555555ULL;
    w = (w & 0x3333333333333333ULL) + ((w >> 2) & 0x3333333333333333ULL);
    w = (w + (w >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<unsigned>((w * 0x0101010101010101ULL) >> 56);
#endif
}

}  // namespace vesko
