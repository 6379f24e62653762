// UTF-8 validation for text read back from the store's files: ids and metadata are handed to
// Python as str, so bytes that do not form UTF-8 must be caught before they leave the engine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vesko {

namespace detail {

// Walks the bytes as UTF-8. With `cut_allowed`, a character that the end of the bytes cuts
// short is accepted when the bytes it does have could begin a well-formed character.
inline bool utf8_walk(std::string_view text, bool cut_allowed) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        // Ids and metadata are mostly ASCII: eight bytes at a time while no high bit is set.
        std::uint64_t eight;
        while (end - p >= 8 && (std::memcpy(&eight, p, 8), (eight & 0x8080808080808080ULL) == 0)) {
            p += 8;
        }
        if (p == end) break;
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        const std::size_t have = std::min(len, static_cast<std::size_t>(end - p));
        if (have < len && !cut_allowed) return false;
        if (have > 1 && (p[1] < lo || p[1] > hi)) return false;
        for (std::size_t i = 2; i < have; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += have;
    }
    return true;
}

}  // namespace detail

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, <= U+10FFFF).
inline bool is_valid_utf8(std::string_view text) { return detail::utf8_walk(text, false); }

// True when the bytes are the start of some well-formed UTF-8 text: well-formed, except that
// the last character may be cut short by the end of the bytes.
inline bool is_valid_utf8_prefix(std::string_view text) { return detail::utf8_walk(text, true); }

// True when every byte is below 0x80, so the text is ASCII (and so UTF-8) as it stands.
inline bool is_ascii(std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    std::uint64_t high = 0;
    for (std::uint64_t eight; end - p >= 8; p += 8) {
        std::memcpy(&eight, p, 8);
        high |= eight;
    }
    for (; p < end; ++p) high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080ULL) == 0;
}

}  // namespace vesko
