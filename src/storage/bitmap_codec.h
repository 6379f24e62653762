// Bitmaps inside stored records: a u64 byte length, then the portable Roaring serialization.
// Written without run containers (cookie 12346); read in both forms (12346 and 12347). Bytes
// read from disk are checked for structure before the library sees them, so a damaged record
// is refused instead of yielding a bitmap that misbehaves later.
#pragma once

#include "common/bitmap.h"
#include "storage/codec.h"

#include <cstddef>
#include <span>
#include <string>

namespace vesko::storage {

// u64 length, then the bytes of the portable serialization without run containers.
void put_bitmap(std::string& out, const Bitmap& bitmap);

// True when `bytes` hold exactly one well-formed portable bitmap: containers in ascending key
// order, arrays strictly ascending, runs sorted and disjoint, cardinalities that match, and
// offsets (where present) that point at the containers.
bool is_well_formed_portable(std::span<const unsigned char> bytes);

// Reads a u64 length and that many bytes as a bitmap; false on anything malformed.
bool read_bitmap(ByteReader& reader, Bitmap& out);

}  // namespace vesko::storage
