// wal.ack: how far the writer's log is acknowledged, shared with reader processes. Not durable
// data: it is never forced to disk, and every writer's open rewrites it. 64 bytes, little-endian,
// each field naturally aligned so that it can be loaded and stored atomically in a shared mapping:
//   0   8 bytes  magic "VESKOACK"
//   8   u32      version, 1
//   12  u32      zero
//   16  u64      generation: bumped by every writer event that replaces or cuts files (a
//                writer's open, persist, vacuum's switch); odd while such an event runs
//   24  u64      acknowledged_log_end: wal.bin's length after the last change whose call
//                returned, its records, their wal.crc entry and its data-file records written
//   32  u64      snapshot_device  \  the snapshot mark: persist's claim that the snapshot
//   40  u64      snapshot_inode    |  file with this device, inode and modification time holds
//   48  i64      snapshot_mtime_ns |  the log's first snapshot_log_end bytes. Set inside
//   56  u64      snapshot_log_end  /  persist's event before the rename; cleared (log end 0)
//                                     once the log is emptied, and by a writer's open, which
//                                     replays the log itself
// A writer killed between persist's rename and the emptying of the log leaves a snapshot that
// holds a log the files still vouch for. A writer's open replays it anyway (upserts come out
// renumbered, their records written by that open), but a reader cannot write those records:
// it skips the prefix the mark names instead. A mark naming another file (the rename never
// happened, or wal.ack is older than snapshot.bin after a power loss) is ignored. wal.ack is
// never forced to disk, so a power loss in that window can take the mark with it: a reader
// then replays the whole log, finds a renumbered upsert's record missing and refuses to open
// (an OSError, never a wrong answer) until a writer has opened the store again.
// A writer holds an exclusive lock on the file's first byte (an open file description's lock)
// for the length of an event; a reader holds a shared one while it reads the files an event
// could replace, so it never reads half of one.
#pragma once

#include "common/result.h"
#include "storage/posix_file.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vesko::storage {

inline constexpr const char* log_ack_file_name = "wal.ack";

struct AckState {
    std::uint64_t generation = 0;
    std::uint64_t log_end = 0;
    bool operator==(const AckState&) const = default;
};

class LogAck {
  public:
    LogAck() = default;

    // The writer's: opens or creates wal.ack, keeping a valid file's generation so that it never
    // goes back for the readers that compare with it.
    static Result<LogAck> open_writer(const std::string& dir);
    // A reader's: nothing when the directory has no wal.ack with a valid header (a store no
    // writer of this version has opened, or one whose writer is creating it now).
    static Result<std::optional<LogAck>> open_reader(const std::string& dir);

    bool valid() const { return map_.data() != nullptr; }
    // Acquire loads; a reader compares them with what it applied.
    AckState load() const;

    // Writer: publishes the log's length after a change (release, after everything the change
    // wrote).
    void acknowledge(std::uint64_t log_end);
    // Writer: an event that replaces or cuts files. begin takes the exclusive lock and makes
    // the generation odd; end publishes the log's length and makes it even again, then lets go.
    // A lock that cannot be taken does not stop the event: readers also check that the
    // generation did not move while they read, so the lock only spares them retries.
    void begin_event();
    void end_event(std::optional<std::uint64_t> log_end);

    // Writer, inside an event: the mark, set before the rename that installs `snapshot`, and
    // cleared once no log the files vouch for holds what the snapshot holds.
    void mark_snapshot(const FileVersion& snapshot, std::uint64_t log_end);
    void clear_snapshot_mark() { mark_snapshot(FileVersion{}, 0); }
    // Reader, under the shared lock: how much of the log the snapshot whose file is `snapshot`
    // already holds (0 when the mark names another file or none).
    std::uint64_t log_held_by(const FileVersion& snapshot) const;

    // Reader: the shared lock, held while the files are read for a reload.
    Result<void> lock_shared() const;
    void unlock() const;

  private:
    FileDescriptor file_;
    MappedRegion map_;
};

// An event held for a scope: begun at construction (when there is a wal.ack), ended at
// destruction with the log length `log_end` then gives (nothing keeps the published one).
class AckEvent {
  public:
    AckEvent(LogAck& ack, std::function<std::optional<std::uint64_t>()> log_end)
        : ack_(ack), log_end_(std::move(log_end)) {
        if (ack_.valid()) ack_.begin_event();
    }
    ~AckEvent() {
        if (ack_.valid()) ack_.end_event(log_end_());
    }
    AckEvent(const AckEvent&) = delete;
    AckEvent& operator=(const AckEvent&) = delete;

  private:
    LogAck& ack_;
    std::function<std::optional<std::uint64_t>()> log_end_;
};

}  // namespace vesko::storage
