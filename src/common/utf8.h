// UTF-8 validation for text read back from the store's files: ids and metadata are handed to
// Python as str, so bytes that do not form UTF-8 must be caught before they leave the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesko {

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, <= U+10FFFF).
inline bool is_valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
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
        if (static_cast<std::size_t>(end - p) < len) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t i = 2; i < len; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += len;
    }
    return true;
}

}  // namespace vesko
