#include "storage/bitmap_codec.h"

#include "common/bits.h"

#include <array>
#include <bit>
#include <vector>

namespace vesko::storage {

namespace {

constexpr std::uint32_t cookie_no_runs = 12346;
constexpr std::uint32_t cookie_with_runs = 12347;
constexpr std::uint32_t max_array_cardinality = 4096;
constexpr std::size_t bitset_bytes = 8192;
// With runs, the offset header is present only from this many containers on.
constexpr std::uint32_t offsets_threshold = 4;

struct Header {
    std::uint16_t key;
    std::uint32_t cardinality;
    bool run;
};

using Emit = const std::function<void(std::uint32_t)>*;

bool check_array(ByteReader& reader, std::uint32_t cardinality, std::uint32_t high, Emit emit) {
    std::int32_t previous = -1;
    for (std::uint32_t i = 0; i < cardinality; ++i) {
        std::uint16_t v;
        if (!reader.u16(v) || static_cast<std::int32_t>(v) <= previous) return false;
        previous = v;
        if (emit != nullptr) (*emit)(high | v);
    }
    return true;
}

bool check_runs(ByteReader& reader, std::uint32_t cardinality, std::uint32_t high, Emit emit) {
    std::uint16_t runs;
    if (!reader.u16(runs) || runs == 0) return false;
    std::int32_t previous_end = -1;
    std::uint32_t total = 0;
    for (std::uint16_t i = 0; i < runs; ++i) {
        std::uint16_t start;
        std::uint16_t length_minus_one;
        if (!reader.u16(start) || !reader.u16(length_minus_one)) return false;
        const std::int32_t end = static_cast<std::int32_t>(start) + length_minus_one;
        if (static_cast<std::int32_t>(start) <= previous_end || end > 0xFFFF) return false;
        previous_end = end;
        total += static_cast<std::uint32_t>(length_minus_one) + 1;
        if (emit != nullptr) {
            for (std::int32_t v = start; v <= end; ++v)
                (*emit)(high | static_cast<std::uint32_t>(v));
        }
    }
    return total == cardinality;
}

bool check_bitset(ByteReader& reader, std::uint32_t cardinality, std::uint32_t high, Emit emit) {
    std::string_view words;
    if (!reader.bytes(bitset_bytes, words)) return false;
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < bitset_bytes; i += 8) {
        std::uint64_t w = load_u64(reinterpret_cast<const unsigned char*>(words.data() + i));
        count += count_bits(w);
        while (emit != nullptr && w != 0) {
            (*emit)(high | static_cast<std::uint32_t>(
                               i * 8 + static_cast<std::size_t>(std::countr_zero(w))));
            w &= w - 1;
        }
    }
    return count == cardinality && cardinality > max_array_cardinality;
}

}  // namespace

void put_bitmap(std::string& out, const Bitmap& bitmap) {
    const std::size_t length_at = out.size();
    put_u64(out, 0);
    if (!bitmap.append_portable(out)) {
        // A bitmap with run containers (only ever read from a snapshot, or derived from one)
        // is written again from its ids: the same bytes as the run-free bitmap would give.
        out.resize(length_at + 8);
        const std::vector<std::uint32_t> ids = bitmap.to_vector();
        append_sorted_ids(out, ids.data(), ids.size());
    }
    std::string length;
    put_u64(length, out.size() - length_at - 8);
    out.replace(length_at, 8, length);
}

bool is_well_formed_portable(std::span<const unsigned char> bytes) {
    return walk_portable(bytes, nullptr);
}

bool walk_portable(std::span<const unsigned char> bytes,
                   const std::function<void(std::uint32_t)>* emit) {
    ByteReader reader(bytes);
    std::uint32_t cookie;
    if (!reader.u32(cookie)) return false;
    std::uint32_t containers;
    std::vector<bool> run_flags;
    bool has_offsets;
    if ((cookie & 0xFFFF) == cookie_with_runs) {
        containers = (cookie >> 16) + 1;
        std::string_view flags;
        if (!reader.bytes((containers + 7) / 8, flags)) return false;
        run_flags.resize(containers);
        for (std::uint32_t i = 0; i < containers; ++i) {
            run_flags[i] = (static_cast<unsigned char>(flags[i / 8]) >> (i % 8) & 1) != 0;
        }
        has_offsets = containers >= offsets_threshold;
    } else if (cookie == cookie_no_runs) {
        if (!reader.u32(containers) || containers > 65536) return false;
        run_flags.assign(containers, false);
        has_offsets = true;
    } else {
        return false;
    }
    std::vector<Header> headers(containers);
    std::int32_t previous_key = -1;
    for (std::uint32_t i = 0; i < containers; ++i) {
        std::uint16_t key;
        std::uint16_t cardinality_minus_one;
        if (!reader.u16(key) || !reader.u16(cardinality_minus_one)) return false;
        if (static_cast<std::int32_t>(key) <= previous_key) return false;
        previous_key = key;
        headers[i] = {key, static_cast<std::uint32_t>(cardinality_minus_one) + 1, run_flags[i]};
    }
    std::vector<std::uint32_t> offsets;
    if (has_offsets) {
        offsets.resize(containers);
        for (auto& offset : offsets) {
            if (!reader.u32(offset)) return false;
        }
    }
    for (std::uint32_t i = 0; i < containers; ++i) {
        if (has_offsets && offsets[i] != reader.position()) return false;
        const Header& h = headers[i];
        const std::uint32_t high = static_cast<std::uint32_t>(h.key) << 16;
        const bool ok = h.run ? check_runs(reader, h.cardinality, high, emit)
                        : h.cardinality <= max_array_cardinality
                            ? check_array(reader, h.cardinality, high, emit)
                            : check_bitset(reader, h.cardinality, high, emit);
        if (!ok) return false;
    }
    return reader.at_end();
}

void put_sorted_ids(std::string& out, const std::uint32_t* ids, std::size_t n) {
    const std::size_t length_at = out.size();
    put_u64(out, 0);
    append_sorted_ids(out, ids, n);
    std::string length;
    put_u64(length, out.size() - length_at - 8);
    out.replace(length_at, 8, length);
}

void append_sorted_ids(std::string& out, const std::uint32_t* ids, std::size_t n) {
    // Containers: runs of ids sharing their high 16 bits.
    std::vector<std::pair<std::size_t, std::size_t>> groups;  // [begin, end) into ids
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && (ids[j] >> 16) == (ids[i] >> 16)) ++j;
        groups.emplace_back(i, j);
        i = j;
    }
    put_u32(out, cookie_no_runs);
    put_u32(out, static_cast<std::uint32_t>(groups.size()));
    for (auto [b, e] : groups) {
        put_u16(out, static_cast<std::uint16_t>(ids[b] >> 16));
        put_u16(out, static_cast<std::uint16_t>(e - b - 1));
    }
    std::uint32_t offset = static_cast<std::uint32_t>(8 + 8 * groups.size());
    for (auto [b, e] : groups) {
        put_u32(out, offset);
        offset +=
            static_cast<std::uint32_t>(e - b > max_array_cardinality ? bitset_bytes : 2 * (e - b));
    }
    for (auto [b, e] : groups) {
        if (e - b > max_array_cardinality) {
            std::array<std::uint64_t, bitset_bytes / 8> words{};
            for (std::size_t i = b; i < e; ++i)
                words[(ids[i] & 0xFFFF) >> 6] |= std::uint64_t{1} << (ids[i] & 63);
            for (std::uint64_t w : words) put_u64(out, w);
        } else {
            for (std::size_t i = b; i < e; ++i)
                put_u16(out, static_cast<std::uint16_t>(ids[i] & 0xFFFF));
        }
    }
}

bool read_bitmap(ByteReader& reader, Bitmap& out) {
    std::uint64_t length;
    std::string_view bytes;
    if (!reader.u64(length) || !reader.bytes(length, bytes)) return false;
    const std::span<const unsigned char> span(reinterpret_cast<const unsigned char*>(bytes.data()),
                                              bytes.size());
    return is_well_formed_portable(span) && Bitmap::read_portable_bounded(span, out);
}

}  // namespace vesko::storage
