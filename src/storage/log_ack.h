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
//   32  32 bytes zero
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
