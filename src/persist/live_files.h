// LiveFiles: the five data files as opening will see them, read-only, for the checks that hold
// a snapshot against the records it refers to and for salvage, which reads what the records
// still hold. Nothing here changes a file.
#pragma once

#include "common/result.h"
#include "index/core_index.h"
#include "persist/grid_check.h"
#include "persist/snapshot_sums.h"
#include "storage/posix_file.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vesko::persist {

class LiveFiles {
  public:
    enum File : std::size_t { Coords, Offsets, Ids, MetaOffsets, Meta };

    // `path_of(name)` gives the path of the data file `name`; a file that does not exist reads
    // as empty (opening creates it empty).
    static Result<LiveFiles> open(const std::function<std::string(const char*)>& path_of);

    StoredCoords coords() const { return StoredCoords(bytes(Coords)); }
    std::uint64_t records_end(const Bitmap& valid_ids, bool metadata) const;
    std::uint64_t size(File file) const { return bytes(file).size(); }
    // Whole slots that coords.bin, offsets.bin or meta_offsets.bin holds.
    std::uint64_t slots(File file) const { return size(file) / storage::slot_bytes; }
    // Slot `int_id` of a slot file; nothing when the file ends before it.
    std::optional<std::uint64_t> slot(File file, std::uint32_t int_id) const;
    // The payload of the record of ids.bin or meta.bin at `offset`; nothing when its length
    // or its bytes run past the end of the file.
    std::optional<std::string_view> record(File file, std::uint64_t offset) const;

    // Why the id map does not name every live id by the hash of its record in ids.bin, or a
    // live id's metadata record runs past the end of meta.bin; nothing when neither. Caller has
    // made sure with snapshot_damage that the entries name distinct live ids, each with a slot.
    std::optional<std::string> live_record_damage(const index::PersistedIndexes& indexes) const;
    // The bytes live_record_damage reads for `indexes` (with ids.bin's used length `ids_len`),
    // beside the snapshot's own bytes.
    CheckedBytes checked_bytes(std::span<const unsigned char> snapshot,
                               const index::PersistedIndexes& indexes, std::uint64_t ids_len) const;
    // The ranges of the lengths a snapshot.crc names (snapshot.bin, offsets.bin, ids.bin,
    // meta_offsets.bin), before the snapshot is decoded.
    CheckedBytes recorded_bytes(std::span<const unsigned char> snapshot,
                                const std::uint64_t (&lengths)[4]) const;

  private:
    std::span<const unsigned char> bytes(std::size_t file) const {
        return files_[file] ? files_[file]->bytes() : std::span<const unsigned char>();
    }

    // In the order of File.
    std::array<std::optional<storage::FileBytes>, 5> files_;
};

}  // namespace vesko::persist
