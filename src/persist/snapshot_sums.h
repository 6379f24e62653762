// snapshot.crc: what the last passed check of the id map against ids.bin was made on, so that an
// open of the very same bytes need not make it again. The check (LiveFiles::live_record_damage)
// hashes every live id's record, nearly a third of the time of opening a persisted store; it reads
// nothing but snapshot.bin, the live ids' slots of offsets.bin and meta_offsets.bin, the records
// of ids.bin below the snapshot's used length, and meta.bin's size. This file holds a CRC-32C of
// each of those byte ranges; when all of them match, the check's inputs are what they were when
// it passed, and so is its answer. 68 bytes, little-endian:
//
//   u64 magic                "vksums01"
//   for snapshot.bin (whole), offsets.bin, ids.bin and meta_offsets.bin (their first bytes):
//     u64 length, u32 CRC-32C of the file's first `length` bytes
//   u64 meta.bin's size then (the check asks only that each live id's record starts within it:
//       a file at least as long answers the same)
//   u32 CRC-32C of the bytes above
//
// A missing, short or torn file, or any mismatch, means only that the check is made the long
// way (never damage): the file is never forced to disk, and may be lost or stale after a power
// loss. Written only where the check has just passed on the bytes it names (a writer's open;
// persist and vacuum, which check the state they wrote); readers only read it.
#pragma once

#include "common/result.h"
#include "common/shared_parts.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vesko::persist {

inline constexpr const char* snapshot_sums_file_name = "snapshot.crc";
inline constexpr const char* snapshot_sums_tmp_file_name = "snapshot.crc.tmp";

// The byte ranges the id map's check reads, as a snapshot names them; `complete` is false when
// a file is shorter than the range the snapshot needs of it (the check then finds the damage).
struct CheckedBytes {
    std::span<const unsigned char> snapshot;
    std::span<const unsigned char> offsets;
    std::span<const unsigned char> ids;
    std::span<const unsigned char> meta_offsets;
    std::uint64_t meta_size = 0;
    bool complete = true;
};

// The CRC-32C of each range, and meta.bin's size.
struct CheckedSums {
    std::uint64_t lengths[4] = {};
    std::uint32_t crcs[4] = {};
    std::uint64_t meta_size = 0;
};

// The sums of `bytes`' ranges, begun by the helper thread at construction while the caller does
// other work (an open decodes the snapshot meanwhile); get() gives them, computing itself any
// range the helper has not begun. The bytes must outlive the object.
class SumsInFlight {
  public:
    explicit SumsInFlight(const CheckedBytes& bytes);
    CheckedSums get();

  private:
    std::span<const unsigned char> ranges_[4];
    std::uint64_t meta_size_;
    SharedParts<std::uint32_t> parts_;
};

inline CheckedSums sums_of(const CheckedBytes& bytes) { return SumsInFlight(bytes).get(); }

std::string encode_snapshot_sums(const CheckedSums& sums);
// What a whole snapshot.crc holds; nothing when `file` is not one (short, torn, another file).
std::optional<CheckedSums> decode_snapshot_sums(std::span<const unsigned char> file);
// True when `bytes`' ranges are as long as those `sums` are of.
bool same_lengths(const CheckedSums& sums, const CheckedBytes& bytes);
// True when `recorded` vouches for the bytes summed in `now`: the same ranges, the same CRCs,
// and meta.bin no shorter than it was.
bool sums_vouch(const CheckedSums& recorded, const CheckedSums& now);

// Replaces `dir`'s snapshot.crc with one holding `sums` (written beside it, then renamed over
// it, so that a reader never reads half of one). Not forced to disk.
Result<void> write_snapshot_sums(const std::string& dir, const CheckedSums& sums);

}  // namespace vesko::persist
