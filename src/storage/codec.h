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
// unspecified, when the span ends before the value does; exhausted() then tells a decoder
// that its input ran out, as opposed to holding bytes it refused.
class ByteReader {
  public:
    explicit ByteReader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }
    bool at_end() const { return pos_ == bytes_.size(); }
    // True once a getter asked for more bytes than were left.
    bool exhausted() const { return exhausted_; }
    // The bytes not read yet.
    std::string_view rest() const {
        return std::string_view(reinterpret_cast<const char*>(bytes_.data() + pos_), remaining());
    }

    bool u8(std::uint8_t& v) {
        if (remaining() < 1) return ran_out();
        v = bytes_[pos_++];
        return true;
    }
    bool u16(std::uint16_t& v) {
        if (remaining() < 2) return ran_out();
        v = static_cast<std::uint16_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8);
        pos_ += 2;
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (remaining() < 4) return ran_out();
        v = load_u32(bytes_.data() + pos_);
        pos_ += 4;
        return true;
    }
    bool u64(std::uint64_t& v) {
        if (remaining() < 8) return ran_out();
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
        if (n > remaining()) return ran_out();
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

  private:
    bool ran_out() {
        exhausted_ = true;
        return false;
    }

    std::span<const unsigned char> bytes_;
    std::size_t pos_ = 0;
    bool exhausted_ = false;
};

// Lengths and counts in the log stay below 2^32: no writer produces more (an id record holds a
// u32 length, metadata is at most ten million bytes), and a 32-bit platform could not hold it.
inline constexpr std::uint64_t max_log_length = 0xFFFFFFFFULL;

// Reads a u64 length, then that many bytes of UTF-8 text. When the bytes end before the text
// does, the reader is left exhausted only if what is there could begin such a text; a length
// of 2^32 or more, or bytes that are not UTF-8, are refused with the reader not exhausted.
inline bool read_log_text(ByteReader& reader, std::string_view& out) {
    std::uint64_t n;
    if (!reader.u64(n)) return false;
    if (n > max_log_length) return false;
    if (n > reader.remaining() && !is_valid_utf8_prefix(reader.rest())) return false;
    return reader.bytes(n, out) && is_valid_utf8(out);
}

// The same, copied out: ids, field names and values that may be handed to Python as str.
inline bool read_log_text(ByteReader& reader, std::string& out) {
    std::string_view view;
    if (!read_log_text(reader, view)) return false;
    out.assign(view);
    return true;
}

}  // namespace vesko::storage
