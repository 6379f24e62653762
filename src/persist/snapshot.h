// snapshot.bin: the in-memory indexes of a store as one SnapshotData record, with no header,
// version or checksum. Little-endian; strings as u64 length then UTF-8; maps as u64 count then
// entries (key, value) in whatever order the hash tables yield; bitmaps as in bitmap_codec.h.
//
//   1 str_index     map: field (string) -> map: value (string) -> bitmap
//   2 num_index     map: field (string) -> NumericBsiIndex:
//                     32 slice bitmaps (bit 0 first), existence bitmap, u32 min_encoded,
//                     u32 max_encoded, u8 top_bit
//   3 grid_index    map: cell key (u64, latitude cell high, longitude cell low) -> bitmap
//   4 valid_ids     bitmap
//   5 deleted       bitmap
//   6 ext_to_int    map: u64 hash_id -> u32 internal id
//   7 ids_file_len  u64
//   8 meta_file_len u64
//
// Coordinates, ids and metadata stay in the data files, which the record refers to by internal
// id and by the two used lengths. A store without points gives an 80-byte file.
#pragma once

#include "index/core_index.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vesko::persist {

inline constexpr const char* snapshot_file_name = "snapshot.bin";
inline constexpr const char* snapshot_tmp_file_name = "snapshot.bin.tmp";
// The encoder hands its output to the file in pieces of at least this size.
inline constexpr std::size_t snapshot_buffer_bytes = 1 << 20;

// One record: the indexes and the used lengths of ids.bin and meta.bin. Decoding gives one, and
// so does a vacuum (with `deleted` empty).
struct SnapshotData : index::PersistedIndexes {
    std::uint64_t ids_file_len = 0;
    std::uint64_t meta_file_len = 0;
};

// What a snapshot holds, by reference, so that it can be written straight from memory.
struct SnapshotView {
    const index::PersistedIndexes& indexes;
    std::uint64_t ids_file_len;
    std::uint64_t meta_file_len;
};

SnapshotView view_of(const index::CoreIndex& index);
SnapshotView view_of(const SnapshotData& data);

// Encodes the record, passing the bytes to `sink` whenever snapshot_buffer_bytes have gathered
// and once at the end. The viewed structures must not change during the call (for a
// CoreIndex: caller holds the index lock, shared is enough). Stops at the first error of the
// sink.
Result<void> encode_snapshot(const SnapshotView& view,
                             const std::function<Result<void>(std::string_view)>& sink);

// Writes the record to `path` (created or truncated) and forces it to disk.
Result<void> write_snapshot_file(const SnapshotView& view, const std::string& path);

// Decodes one record from the start of `bytes` (bytes after it are ignored); nothing when the
// bytes are short, a length or count runs past them, a bitmap is malformed, or a map repeats a
// key.
std::optional<SnapshotData> decode_snapshot(std::span<const unsigned char> bytes);

// Why a store could not work from this snapshot, or nothing when it can. A snapshot is refused
// only for what would make answers wrong or writes fail, never for ids with gaps or index
// entries of ids that are not live (every reader intersects with valid_ids):
//   - ext_to_int gives one internal id to two hashes, or points at an id that is not live
//     (a lookup by external id would find another point, or a live one would be lost);
//   - an index holds an id above every id in valid_ids and deleted (the next point to get
//     that id would inherit the stale entries);
//   - a numeric index has slice bits outside its existence set, or bounds that contradict
//     each other (range comparisons would skip bits);
//   - a used length is beyond the size of its file (`ids_size`, `meta_size`): the records it
//     counts are gone, and the next append would leave a hole.
//   - an id live or deleted has no slot in coords.bin, offsets.bin and meta_offsets.bin
//     (`slots`, the fewest any of them holds): the store never hands out an id without a slot,
//     so its position and records are gone, and opening would grow the files to reach it with
//     zeros (the point would show the first point's id or metadata; a damaged id near 2^32
//     asks for tens of gigabytes of disk).
// The grid is held against coords.bin apart (grid_check.h): it needs the coordinates, and a
// snapshot wrong only there can be repaired. Persist checks the state it is about to write with
// both, so that the store never writes a snapshot that its next open would refuse.
std::optional<std::string> snapshot_damage(const SnapshotView& view, std::uint64_t ids_size,
                                           std::uint64_t meta_size, std::uint64_t slots);

// Replaces the indexes and used lengths of `index` with the snapshot's (read from snapshot.bin
// or built by a vacuum). The caller rebuilds irregular_ids once the data files agree.
void install_snapshot(index::CoreIndex& index, SnapshotData data);

}  // namespace vesko::persist
