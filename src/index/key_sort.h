// A stable sort by a 32-bit unsigned key in time linear in the input, for the large
// candidate lists and answers of the searches: least-significant digit first, 11 bits a pass,
// a pass skipped when every element shares its digit. Equal keys keep their input order,
// which the searches rely on (ties stay in ascending internal id).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesko::index {

// Below this many elements a comparison sort costs less than the passes' bucket counts.
inline constexpr std::size_t key_sort_min_radix = 512;

// Sorts `items` by key_of(item) (a std::uint32_t), stably.
template <class T, class KeyOf>
void stable_sort_by_key(std::vector<T>& items, KeyOf key_of) {
    const std::size_t n = items.size();
    if (n < key_sort_min_radix) {
        std::stable_sort(items.begin(), items.end(),
                         [&key_of](const T& a, const T& b) { return key_of(a) < key_of(b); });
        return;
    }
    constexpr unsigned digit_bits = 11;
    constexpr std::size_t buckets = std::size_t{1} << digit_bits;
    constexpr std::uint32_t mask = buckets - 1;
    constexpr unsigned passes = (32 + digit_bits - 1) / digit_bits;
    auto digit = [&key_of](const T& item, unsigned pass) {
        return (key_of(item) >> (pass * digit_bits)) & mask;
    };

    std::vector<std::size_t> counts(passes * buckets, 0);
    for (const T& item : items) {
        for (unsigned pass = 0; pass < passes; ++pass) ++counts[pass * buckets + digit(item, pass)];
    }
    std::vector<T> moved(n);
    for (unsigned pass = 0; pass < passes; ++pass) {
        std::size_t* at = counts.data() + pass * buckets;
        if (at[digit(items[0], pass)] == n) continue;
        std::size_t start = 0;
        for (std::size_t b = 0; b < buckets; ++b) {
            const std::size_t here = at[b];
            at[b] = start;
            start += here;
        }
        for (const T& item : items) moved[at[digit(item, pass)]++] = item;
        items.swap(moved);
    }
}

// A key whose unsigned order is the order of `<` on floats that are not NaN, with -0 and +0
// equal.
inline std::uint32_t float_order_key(float value) {
    const float v = value == 0.0f ? 0.0f : value;
    const auto bits = std::bit_cast<std::uint32_t>(v);
    return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

}  // namespace vesko::index
