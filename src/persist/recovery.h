// Rebuilding the index state at open, in two stages: inspect_store reads the snapshot and the
// log and judges them without changing any file; only a store found sound is then loaded and
// replayed. Runs before the store object exists, so nothing else can see the state and no
// lock is taken. Salvage's moves of damaged parts live here too.
#pragma once

#include "common/result.h"
#include "index/core_index.h"
#include "persist/grid_check.h"
#include "persist/snapshot.h"
#include "persist/snapshot_sums.h"
#include "storage/posix_file.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vesko::persist {

// What a scan of wal.bin found. Bytes between valid_length and file_length are a torn tail,
// or, when `damage` is set, start with a record that is damaged (wal.h).
struct LogScan {
    std::uint64_t valid_length = 0;  // end of the last whole record before the tail
    std::uint64_t file_length = 0;
    struct Damage {
        std::uint64_t offset;  // where the damaged record starts
        std::string why;
    };
    std::optional<Damage> damage;
    // The bytes of wal.crc that describe the valid prefix; nothing when wal.crc does not
    // exist (a store made before it).
    std::optional<std::uint64_t> sums_end;
};

// What a store directory holds, judged before anything in it is changed.
struct Inspection {
    // A committed vacuum waits to be finished: its snapshot and data files are the ones judged,
    // and the log, which that snapshot already holds, is not scanned (finishing empties it).
    bool vacuum_pending = false;
    std::string dir;
    std::string snapshot_path;  // the snapshot that opening would load
    std::optional<SnapshotData> snapshot;
    std::optional<std::string> snapshot_damage;  // why the snapshot is refused
    // Why the snapshot disagrees with what the data files determine (the grid, which coords.bin
    // gives; the used lengths, which the live points' records bound), when that is all that
    // is wrong with it: `snapshot` then holds it, for salvage to repair from the data files.
    std::optional<std::string> repairable_damage;
    // The snapshot's live ids off the usual chart, gathered while its grid was checked.
    Bitmap irregular_ids;
    // What snapshot.crc should hold, when the id map's check was made the long way and the
    // snapshot passed every check: a writer's open records it (snapshot_sums.h).
    std::optional<CheckedSums> unrecorded_sums;
    std::string log_path;
    LogScan log;
    // wal.bin's bytes as scanned, when inspect_store was asked to copy them.
    std::optional<storage::FileBytes> log_bytes;
};

// How inspect_store reads wal.bin and wal.crc: mapped (the writer's open: nothing else can cut
// them meanwhile), or copied into memory (a reader: the writer may cut a failed write's bytes
// off while they are read, and a mapping would fault there).
enum class LogBytes { Mapped, Copied };

// The checks a snapshot whose ids all have slots (snapshot_damage) must pass as well, in one
// place for open and persist: its used lengths against the ends of its live points' records
// (`ids_end`, `meta_end`), then its grid against their coordinates. `irregular` as grid_damage.
std::optional<std::string> records_damage(const SnapshotView& view, std::uint64_t ids_end,
                                          std::uint64_t meta_end, StoredCoords coords,
                                          Bitmap* irregular = nullptr);

// Why `index`, written as a snapshot now, would be refused by the next open: snapshot_damage
// against its files as they stand, then records_damage. Caller holds the index lock.
Result<std::optional<std::string>> state_damage(const index::CoreIndex& index);

// Decodes the snapshot (checked with snapshot_damage against the data files it refers to, then
// its used lengths and grid against the records and coordinates of its live points) and every
// record of the log; changes no file. Errors are those of reading the files.
Result<Inspection> inspect_store(const std::string& dir, LogBytes log_bytes = LogBytes::Mapped);

// The error that refuses to open a store with damage: OSError EIO naming the file (and the
// byte offset of a damaged log record), with the way to recover. Nothing for a sound store.
std::optional<Error> damage_error(const Inspection& found);

// Installs a snapshot that inspect_store found sound, with the irregular ids it gathered,
// growing the slot files to its largest live id.
Result<void> load_snapshot(index::CoreIndex& index, SnapshotData data, Bitmap irregular_ids);

// Applies the records of wal.bin in its first `valid_length` bytes, all of which
// inspect_store found whole.
Result<void> replay_log(index::CoreIndex& index, const std::string& path,
                        std::uint64_t valid_length);

// Applies whole log records, as replay does; false when `records` do not decode as such.
// `applied` is the end of the last record applied: nothing is undone after a failure, and
// the records before it stay applied.
Result<bool> apply_records(index::CoreIndex& index, std::span<const unsigned char> records,
                           std::uint64_t& applied);

// Renames `name` in `dir` to the first of "<name>.damaged", "<name>.damaged.1", ... that does
// not exist, so that nothing set aside is ever overwritten, and forces the directory; returns
// the new path.
Result<std::string> set_aside(const std::string& dir, const char* name);

// Replaces snapshot.bin, found with repairable damage alone, with the same snapshot after its
// grid is rebuilt from coords.bin and its used lengths raised to the end of the live points'
// records, once a copy of the damaged file (named as set_aside names it) is on disk: a crash at
// any moment leaves one of the two snapshots in place, never none, which would open the store
// from its log alone. Returns the copy's path.
Result<std::string> repair_snapshot(Inspection& found);

// Replaces snapshot.bin in `dir` with the snapshot `view`, once a copy of the present one
// (named as set_aside names it) is on disk, so that a crash at any moment leaves one of the
// two in place. Returns the copy's path.
Result<std::string> replace_snapshot(const std::string& dir, const SnapshotView& view);

// Copies wal.bin from `offset` on into a file named as set_aside names it, forces that copy to
// disk, and only then cuts the log at `offset`; returns the copy's path.
Result<std::string> set_aside_log_tail(const std::string& dir, std::uint64_t offset);

}  // namespace vesko::persist
