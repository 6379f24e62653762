// Bitmaps inside stored records: a u64 byte length, then the portable Roaring serialization.
// Written without run containers (cookie 12346); read in both forms (12346 and 12347). Bytes
// read from disk are checked for structure before the library sees them, so a damaged record
// is refused instead of yielding a bitmap that misbehaves later.
#pragma once

#include "common/bitmap.h"
#include "storage/codec.h"

#include <cstddef>
#include <functional>
#include <span>
#include <string>

namespace vesko::storage {

// u64 length, then the bytes of the portable serialization without run containers.
void put_bitmap(std::string& out, const Bitmap& bitmap);

// u64 length, then the portable serialization of ascending, distinct ids: the same bytes as
// put_bitmap of a bitmap holding them, without building one.
void put_sorted_ids(std::string& out, const std::uint32_t* ids, std::size_t n);
// The portable serialization alone, without the length: exactly the library's bytes for a
// bitmap of these ids that holds no run container.
void append_sorted_ids(std::string& out, const std::uint32_t* ids, std::size_t n);

// True when `bytes` hold exactly one well-formed portable bitmap: containers in ascending key
// order, arrays strictly ascending, runs sorted and disjoint, cardinalities that match, and
// offsets (where present) that point at the containers.
bool is_well_formed_portable(std::span<const unsigned char> bytes);

// Reads a u64 length and that many bytes as a bitmap; false on anything malformed.
bool read_bitmap(ByteReader& reader, Bitmap& out);
// The same, the ids handed to `emit` in ascending order instead (small sets, no bitmap built).
template <class Emit>
bool read_bitmap_ids(ByteReader& reader, Emit&& emit);

bool walk_portable(std::span<const unsigned char> bytes,
                   const std::function<void(std::uint32_t)>* emit);

template <class Emit>
bool read_bitmap_ids(ByteReader& reader, Emit&& emit) {
    std::uint64_t length;
    std::string_view bytes;
    if (!reader.u64(length) || !reader.bytes(length, bytes)) return false;
    const std::function<void(std::uint32_t)> sink = std::forward<Emit>(emit);
    return walk_portable(std::span<const unsigned char>(
                             reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
                         &sink);
}

}  // namespace vesko::storage
