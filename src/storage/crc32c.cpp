#include "storage/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define VESKO_CRC32C_SSE42 1
#endif

namespace vesko::storage {

namespace {

constexpr std::uint32_t reflected_polynomial = 0x82F63B78U;

// table[k][b]: the CRC of byte b followed by k zero bytes, so that eight bytes are folded
// with eight lookups.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> table{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1U) ? reflected_polynomial : 0U);
        table[0][b] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t b = 0; b < 256; ++b)
            table[k][b] = (table[k - 1][b] >> 8) ^ table[0][table[k - 1][b] & 0xFFU];
    }
    return table;
}

constexpr auto tables = make_tables();

std::uint64_t load_le64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::uint32_t crc_tables(const unsigned char* p, std::size_t n, std::uint32_t crc) {
    for (; n >= 8; p += 8, n -= 8) {
        const std::uint64_t v = load_le64(p) ^ crc;
        const auto byte = [v](int shift) { return static_cast<std::uint8_t>(v >> shift); };
        crc = tables[7][byte(0)] ^ tables[6][byte(8)] ^ tables[5][byte(16)] ^ tables[4][byte(24)] ^
              tables[3][byte(32)] ^ tables[2][byte(40)] ^ tables[1][byte(48)] ^ tables[0][byte(56)];
    }
    for (; n > 0; ++p, --n) crc = (crc >> 8) ^ tables[0][(crc ^ *p) & 0xFFU];
    return crc;
}

#ifdef VESKO_CRC32C_SSE42
// The instruction takes three cycles but can start one every cycle: one stream of it uses a
// third of the unit. Large inputs are taken as blocks of three streams of `stream_bytes` each,
// and the three registers joined: the register after bytes A then B is the register after A
// moved past |B| zero bytes, xor the register of B alone from zero (the CRC is linear).
constexpr std::size_t stream_bytes = 8192;

// The operator "move a register past `stream_bytes` zero bytes", as a table per byte of the
// register, built from the one-bit operator by squaring (GF(2) matrices of 32 columns).
struct ZerosShift {
    std::uint32_t table[4][256];

    static std::uint32_t times(const std::uint32_t* matrix, std::uint32_t vector) {
        std::uint32_t sum = 0;
        for (int column = 0; vector != 0; ++column, vector >>= 1) {
            if (vector & 1U) sum ^= matrix[column];
        }
        return sum;
    }

    ZerosShift() {
        std::uint32_t op[32];
        std::uint32_t squared[32];
        op[0] = reflected_polynomial;  // one zero bit
        for (int n = 1; n < 32; ++n) op[n] = 1U << (n - 1);
        auto square = [&] {
            for (int n = 0; n < 32; ++n) squared[n] = times(op, op[n]);
            std::memcpy(op, squared, sizeof op);
        };
        for (int bits = 1; bits < 8; bits *= 2) square();  // one zero byte
        for (std::size_t bytes = 1; bytes < stream_bytes; bytes *= 2) square();
        for (int k = 0; k < 4; ++k) {
            for (std::uint32_t b = 0; b < 256; ++b) table[k][b] = times(op, b << (8 * k));
        }
    }

    std::uint32_t operator()(std::uint32_t crc) const {
        return table[0][crc & 0xFFU] ^ table[1][(crc >> 8) & 0xFFU] ^
               table[2][(crc >> 16) & 0xFFU] ^ table[3][crc >> 24];
    }
};

__attribute__((target("sse4.2"))) std::uint32_t crc_sse42(const unsigned char* p, std::size_t n,
                                                          std::uint32_t crc) {
    std::uint64_t wide = crc;
    if (n >= 3 * stream_bytes) {
        static const ZerosShift shift;
        for (; n >= 3 * stream_bytes; p += 3 * stream_bytes, n -= 3 * stream_bytes) {
            std::uint64_t second = 0;
            std::uint64_t third = 0;
            for (std::size_t i = 0; i < stream_bytes; i += 8) {
                std::uint64_t v[3];
                std::memcpy(&v[0], p + i, 8);
                std::memcpy(&v[1], p + stream_bytes + i, 8);
                std::memcpy(&v[2], p + 2 * stream_bytes + i, 8);
                wide = _mm_crc32_u64(wide, v[0]);
                second = _mm_crc32_u64(second, v[1]);
                third = _mm_crc32_u64(third, v[2]);
            }
            const std::uint32_t joined =
                shift(static_cast<std::uint32_t>(wide)) ^ static_cast<std::uint32_t>(second);
            wide = shift(joined) ^ static_cast<std::uint32_t>(third);
        }
    }
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        wide = _mm_crc32_u64(wide, v);
    }
    auto narrow = static_cast<std::uint32_t>(wide);
    for (; n > 0; ++p, --n) narrow = _mm_crc32_u8(narrow, *p);
    return narrow;
}

const bool has_sse42 = __builtin_cpu_supports("sse4.2");
#endif

}  // namespace

std::uint32_t crc32c(std::span<const unsigned char> bytes, std::uint32_t crc) {
    crc = ~crc;
#ifdef VESKO_CRC32C_SSE42
    if (has_sse42) return ~crc_sse42(bytes.data(), bytes.size(), crc);
#endif
    return ~crc_tables(bytes.data(), bytes.size(), crc);
}

}  // namespace vesko::storage
