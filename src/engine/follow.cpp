// A reader Store: opened without the directory's lock, it reads the store as a writer's open
// would find it and then follows the writer, applying the log records acknowledged since, or
// reading the whole store again after an event replaced or cut its files (storage/log_ack.h).
#include "engine/store.h"
#include "persist/recovery.h"
#include "persist/vacuum.h"

#include <cerrno>
#include <utility>

namespace vesko::engine {

namespace {

// Of the watched files, in Follower::watched's order.
constexpr std::array<const char*, 4> watched_names = {
    storage::log_ack_file_name, persist::snapshot_file_name, storage::wal_file_name,
    storage::coords_file_name};

Result<std::array<std::optional<storage::FileVersion>, 4>> watch(const std::string& dir) {
    std::array<std::optional<storage::FileVersion>, 4> out;
    for (std::size_t i = 0; i < watched_names.size(); ++i) {
        auto found = storage::version_at(storage::join_path(dir, watched_names[i]));
        if (!found) return found.error();
        out[i] = *found;
    }
    return out;
}

Error not_a_store(const std::string& dir, const std::string& why) {
    return Error{ErrorKind::Os,
                 "cannot open " + persist::quoted_path(dir) + " read-only: " + why + ": " +
                     storage::os_error_message(ENOENT),
                 ENOENT};
}

// A shared lock on wal.ack for a scope, when the reader has one.
struct SharedAckLock {
    const storage::LogAck* ack = nullptr;
    ~SharedAckLock() {
        if (ack != nullptr) ack->unlock();
    }
};

}  // namespace

bool follower_current(const Follower& follower) {
    if (follower.ack) {
        const storage::AckState now = follower.ack->load();
        return now.generation == follower.applied.generation &&
               now.log_end <= follower.applied.log_end;
    }
    auto now = watch(follower.dir);
    return now && *now == follower.watched;
}

Result<std::unique_ptr<Store>> Store::open_reader(const std::string& dir) {
    if (auto is_dir = storage::require_directory(dir); !is_dir) {
        Error error = is_dir.error();
        error.message = "cannot open " + persist::quoted_path(dir) + " read-only: " + error.message;
        return error;
    }
    // A writer makes coords.bin at its first open, and a vacuum only ever renames another over
    // it: a directory without one never held a store.
    if (!storage::path_exists(storage::join_path(dir, storage::coords_file_name)))
        return not_a_store(dir, "it holds no store (no coords.bin)");
    auto loaded = load_reader(dir);
    if (!loaded) return loaded.error();
    return std::unique_ptr<Store>(
        new Store(dir, std::move(loaded->first), std::move(loaded->second)));
}

Store::Store(std::string dir, index::CoreIndex index, std::unique_ptr<Follower> follower)
    : dir_(std::move(dir)),
      process_generation_(storage::process_generation()),
      index_(std::move(index)),
      ack_(std::make_unique<storage::LogAck>()),
      follower_(std::move(follower)) {}

Result<std::pair<index::CoreIndex, std::unique_ptr<Follower>>> Store::load_reader(
    const std::string& dir) {
    auto follower = std::make_unique<Follower>();
    follower->dir = dir;
    for (;;) {
        auto ack = storage::LogAck::open_reader(dir);
        if (!ack) return ack.error();
        follower->ack = std::move(ack).value();
        // Taken before anything is read: a change after this point is noticed by the next call.
        auto watched = watch(dir);
        if (!watched) return watched.error();
        follower->watched = *watched;
        // The files an event replaces or cuts are read under the shared lock, and whatever
        // is kept of them after it is copied or holds a whole inode of its own (renames never
        // change a file that is open).
        std::optional<persist::Inspection> found;
        std::optional<storage::DataFiles> files;
        std::uint64_t log_in_snapshot = 0;
        {
            SharedAckLock locked;
            if (follower->ack) {
                VESKO_TRY(follower->ack->lock_shared());
                locked.ack = &*follower->ack;
                follower->applied = follower->ack->load();
            }
            auto inspected = persist::inspect_store(dir, persist::LogBytes::Copied);
            if (!inspected) return inspected.error();
            found = std::move(inspected).value();
            if (auto damage = persist::damage_error(*found)) return *damage;
            if (follower->ack && !found->vacuum_pending) {
                auto snapshot = storage::version_at(found->snapshot_path);
                if (!snapshot) return snapshot.error();
                if (*snapshot) log_in_snapshot = follower->ack->log_held_by(**snapshot);
            }
            // A committed vacuum is read from its compacted files, which finishing it would
            // rename into place.
            const bool committed = found->vacuum_pending;
            auto opened = storage::DataFiles::open_read_only([&](const char* name) {
                return committed ? persist::committed_path(dir, name)
                                 : storage::join_path(dir, name);
            });
            if (!opened) return opened.error();
            files = std::move(opened).value();
            auto log = storage::FileDescriptor::open(
                storage::join_path(dir, storage::wal_file_name), storage::OpenMode::ReadOnly);
            if (!log && log.error().os_errno != ENOENT) return log.error();
            follower->log = log ? std::move(log).value() : storage::FileDescriptor();
            // A writer that could not take its lock may have moved the files meanwhile.
            if (follower->ack && follower->ack->load().generation != follower->applied.generation) {
                continue;
            }
        }
        index::CoreIndex index(std::move(*files));
        if (found->snapshot) {
            VESKO_TRY(persist::load_snapshot(index, std::move(*found->snapshot),
                                             std::move(found->irregular_ids)));
        }
        // What the writer acknowledged, when it says: records past it belong to a call that
        // has not returned (or never will, when it failed and cuts them off again).
        std::uint64_t replayed = found->log.valid_length;
        if (follower->ack) replayed = std::min(replayed, follower->applied.log_end);
        // A log that a killed persist left beside the snapshot holding it: only what follows
        // that prefix is new (log_ack.h).
        const std::uint64_t from = std::min(log_in_snapshot, replayed);
        if (replayed > from) {
            std::uint64_t applied = 0;
            auto ok = persist::apply_records(
                index,
                found->log_bytes->bytes().subspan(static_cast<std::size_t>(from),
                                                  static_cast<std::size_t>(replayed - from)),
                applied);
            if (!ok) return ok.error();
            if (!*ok)
                return storage::damaged_error(persist::quoted_path(found->log_path) +
                                              " changed while it was read");
        }
        if (!follower->ack) follower->applied.log_end = found->log.valid_length;
        return std::pair(std::move(index), std::move(follower));
    }
}

Result<void> Store::catch_up() {
    Follower& follower = *follower_;
    while (!follower_current(follower)) {
        if (follower.ack) {
            const storage::AckState now = follower.ack->load();
            if (now.generation == follower.applied.generation && follower.log.valid()) {
                // Only appended: the records between what was applied and what is now
                // acknowledged are whole. They are read by a call (the writer may cut the
                // file meanwhile, in an event), and used only when no event began since.
                std::string bytes(static_cast<std::size_t>(now.log_end - follower.applied.log_end),
                                  '\0');
                auto got = follower.log.read_at(
                    std::span(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()),
                    follower.applied.log_end);
                if (got && *got == bytes.size() &&
                    follower.ack->load().generation == now.generation) {
                    std::uint64_t applied = 0;
                    auto ok = persist::apply_records(
                        index_,
                        std::span(reinterpret_cast<const unsigned char*>(bytes.data()),
                                  bytes.size()),
                        applied);
                    follower.applied.log_end += applied;
                    if (ok && *ok) continue;
                }
                // Records that do not apply as written: the files moved under the reader,
                // which reads them all again.
            }
        }
        auto loaded = load_reader(dir_);
        if (!loaded) return loaded.error();
        {
            // The old index is freed whole before the heap is trimmed: without the trim, glibc
            // keeps its pages (a 1 M-point reader grew by half after each reload).
            index::CoreIndex old = std::exchange(index_, std::move(loaded->first));
        }
        follower_ = std::move(loaded->second);
        storage::return_free_memory();
        return {};
    }
    return {};
}

}  // namespace vesko::engine
