// The used lengths of ids.bin and meta.bin against the records the live points use. A record
// is appended at the used length, so the used length of a sound store lies at or beyond the end
// of every live point's record. snapshot.bin has no checksum: a damaged byte of a used length
// that lowers it below a live record decodes as a sound snapshot, and the next appends, those
// of the log's replay first, would overwrite the records of points persisted before.
#pragma once

#include "common/bitmap.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vesko::storage {

// Where the live points' records end in one appended file (ids.bin with the slots of
// offsets.bin, or meta.bin with those of meta_offsets.bin), as bytes that opening would see: a
// slot beyond `slots` reads as 0. Records never overlap, so the record that starts last ends
// last: one pass over the slots in id order finds it, and only its length is read. A record
// whose start or end lies beyond `records` cannot be read whatever the used length: its start
// counts as the end.
std::uint64_t live_records_end(const Bitmap& valid_ids, std::span<const unsigned char> slots,
                               std::span<const unsigned char> records);

// Why `used_len` would let the next append overwrite a live record of `file` that ends at
// `live_end`, or nothing.
std::optional<std::string> used_length_damage(const char* file, std::uint64_t used_len,
                                              std::uint64_t live_end);

}  // namespace vesko::storage
