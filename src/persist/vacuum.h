// Vacuum's files and its commit protocol. A vacuum writes every new file under a temporary
// name (the data files as "<name>.vac", the snapshot as "snapshot.bin.vac") and forces them to
// disk; creating vacuum.commit is the commit point. Only then are the files renamed into
// place and the log emptied, and the marker removed last. Opening a store that holds the
// marker finishes that work before reading anything, so a store killed at any moment opens
// either as it was before the vacuum or as after it. Temporary files without the marker are
// ignored, and truncated by the next vacuum.
#pragma once

#include "common/interrupt.h"
#include "common/result.h"
#include "persist/snapshot.h"
#include "storage/wal.h"

#include <array>
#include <string>

namespace vesko::persist {

inline constexpr const char* vacuum_suffix = ".vac";
inline constexpr const char* vacuum_commit_file_name = "vacuum.commit";
inline constexpr const char* vacuum_dummy_file_name = "vacuum_dummy.tmp";
// Attempts per file before a replacement gives up, 50 ms apart.
inline constexpr int replace_retries = 21;

// The files a vacuum replaces, in the order it replaces them.
const std::array<const char*, 6>& vacuum_replaced_files();

// Replaces `destination` by `source`: deletes the destination when it exists, then renames;
// each step is retried. The errors carry "Failed to remove old DB file <path> after retries"
// or "Failed to rename <path> to <path>", paths quoted.
Result<void> replace_file(const std::string& source, const std::string& destination);

// What finishing a committed vacuum does with the log. Emptying it is right when the
// vacuum's snapshot holds its records; salvage keeps it when that snapshot is damaged.
enum class LogAfterCommit { Empty, Keep };

// True when `dir` holds a committed vacuum that was not finished.
bool vacuum_committed(const std::string& dir);

// Finishes a committed vacuum in `dir`, if there is one: renames the remaining temporary
// files, empties the log (unless told to keep it) and removes the marker.
Result<void> finish_committed_vacuum(const std::string& dir,
                                     LogAfterCommit log_after = LogAfterCommit::Empty);

// The file that holds `name` once a committed vacuum is finished: "<name>.vac" while it
// waits to be renamed, else `name` itself.
std::string committed_path(const std::string& dir, const char* name);

// "<dir>/<name>.vac": where a vacuum writes the new version of `name`.
std::string vac_path(const std::string& dir, const char* name);

// Phases up to the commit: the five new data files written and forced to disk under their
// temporary names, and the indexes that describe them returned (with `deleted` empty). Caller
// holds the index lock exclusive. `interrupt` (may be null) is polled every
// vacuum_interrupt_points points; when it asks, an Interrupted error comes back and the
// temporary files are left for the next vacuum to truncate.
inline constexpr std::uint32_t vacuum_interrupt_points = 8192;
inline Error vacuum_interrupted() {
    return make_error(ErrorKind::Interrupted,
                      "vacuum interrupted before its commit: the store is unchanged");
}
Result<SnapshotData> write_compacted(const index::CoreIndex& index, const std::string& dir,
                                     Interrupt* interrupt = nullptr);

// The commit point: vacuum.commit written and forced to disk under a temporary name, then
// renamed into place. An error means no commit: the marker is not there.
Result<void> write_commit_marker(const std::string& dir);

// After the commit: renames the temporary files into place, empties the log (through `wal`
// when the store is open, else by path) and removes the marker.
Result<void> finish_commit(const std::string& dir, storage::WalWriter* wal,
                           LogAfterCommit log_after = LogAfterCommit::Empty);

// A path in double quotes, with a double quote, a backslash and control characters escaped.
std::string quoted_path(const std::string& path);

}  // namespace vesko::persist
