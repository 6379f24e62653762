// Little-endian fixed-width encoding shared by the log and the snapshot: integers and floats of
// explicit width, strings as a u64 byte length then the bytes. Writers append to a std::string;
// ByteReader decodes from a byte span and never reads past it, so decoders can be handed any
// bytes at all (a torn log tail, a damaged snapshot, a fuzzer's input).
#pragma once

#include "common/utf8.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace vesko::storage {

inline void put_u8(std::string& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }

inline void put_u16(std::string& out, std::uint16_t v) {
    char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    out.append(b, 2);
}

inline void put_u32(std::string& out, std::uint32_t v) {
    char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    out.append(b, 4);
}

inline void put_u64(std::string& out, std::uint64_t v) {
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    out.append(b, 8);
}

inline void put_f32(std::string& out, float v) { put_u32(out, std::bit_cast<std::uint32_t>(v)); }
inline void put_f64(std::string& out, double v) { put_u64(out, std::bit_cast<std::uint64_t>(v)); }

inline void put_string(std::string& out, std::string_view s) {
    put_u64(out, s.size());
    out.append(s.data(), s.size());
}

inline std::uint32_t load_u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t load_u64(const unsigned char* p) {
    return static_cast<std::uint64_t>(load_u32(p)) | static_cast<std::uint64_t>(load_u32(p + 4))
                                                         << 32;
}

inline void store_u32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

inline void store_u64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

// Sequential reader over a byte span. Every getter returns false, and leaves the position
// unspecified, when the span ends before the value does.
class ByteReader {
  public:
    explicit ByteReader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }
    bool at_end() const { return pos_ == bytes_.size(); }

    bool u8(std::uint8_t& v) {
        if (remaining() < 1) return false;
        v = bytes_[pos_++];
        return true;
    }
    bool u16(std::uint16_t& v) {
        if (remaining() < 2) return false;
        v = static_cast<std::uint16_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8);
        pos_ += 2;
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (remaining() < 4) return false;
        v = load_u32(bytes_.data() + pos_);
        pos_ += 4;
        return true;
    }
    bool u64(std::uint64_t& v) {
        if (remaining() < 8) return false;
        v = load_u64(bytes_.data() + pos_);
        pos_ += 8;
        return true;
    }
    bool f32(float& v) {
        std::uint32_t bits;
        if (!u32(bits)) return false;
        v = std::bit_cast<float>(bits);
        return true;
    }
    bool f64(double& v) {
        std::uint64_t bits;
        if (!u64(bits)) return false;
        v = std::bit_cast<double>(bits);
        return true;
    }
    // A view of the next n bytes; n is checked against what is left before anything is read,
    // so a damaged length never causes an allocation.
    bool bytes(std::uint64_t n, std::string_view& out) {
        if (n > remaining()) return false;
        out = std::string_view(reinterpret_cast<const char*>(bytes_.data() + pos_),
                               static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return true;
    }
    // u64 length, then that many bytes.
    bool string(std::string_view& out) {
        std::uint64_t n;
        return u64(n) && bytes(n, out);
    }
    // A string whose bytes must be well-formed UTF-8 (ids, field names, values): everything
    // decoded here may be handed to Python as str.
    bool text(std::string& out) {
        std::string_view view;
        if (!string(view) || !is_valid_utf8(view)) return false;
        out.assign(view);
        return true;
    }

  private:
    std::span<const unsigned char> bytes_;
    std::size_t pos_ = 0;
};

}  // namespace vesko::storage
