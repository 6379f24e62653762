// Opening a store: the directory's lock taken before anything in it is read, the snapshot and
// the log judged before any file is touched, then an unfinished vacuum finished, the data files
// opened, the snapshot loaded, the log replayed and opened for appending. Salvage moves damaged
// parts aside first, under the same lock. Runs before the Store exists, so no index or log lock
// is taken; the directory's lock keeps every other Store away.
#include "engine/store.h"
#include "persist/recovery.h"
#include "persist/salvage.h"
#include "persist/snapshot.h"
#include "persist/vacuum.h"
#include "storage/wal_sums.h"

#include <array>
#include <sstream>

namespace vesko::engine {

namespace {

// The directory that holds `path` ("." for a bare name).
std::string parent_directory(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The files an open creates when they are missing.
constexpr std::array<const char*, 8> created_file_names = {
    storage::coords_file_name,       storage::offsets_file_name, storage::ids_file_name,
    storage::meta_offsets_file_name, storage::meta_file_name,    storage::wal_file_name,
    storage::wal_sums_tmp_file_name, storage::wal_sums_file_name};

// `failure` with `what` (which names the file) in front of its message.
Error named(Error failure, const std::string& what) {
    failure.message = what + ": " + failure.message;
    return failure;
}

// An open refused for want of permission to write says what the process may still do.
Error with_read_only_hint(Error failure) {
    if (storage::permission_denied(failure)) {
        failure.message +=
            "; this process may not write the store: open it with read_only=True to read it";
    }
    return failure;
}

Result<std::unique_ptr<storage::LogAck>> open_log_ack(const std::string& dir) {
    auto ack = storage::LogAck::open_writer(dir);
    if (!ack) {
        return with_read_only_hint(
            named(ack.error(), "cannot open " + persist::quoted_path(storage::join_path(
                                                    dir, storage::log_ack_file_name))));
    }
    return std::make_unique<storage::LogAck>(std::move(ack).value());
}

}  // namespace

Result<storage::DirectoryLock> Store::lock_directory(const std::string& dir, double timeout_s) {
    auto lock = storage::DirectoryLock::acquire(dir, timeout_s);
    if (!lock && storage::would_block(lock.error())) {
        Error error = lock.error();
        std::string waited;
        if (timeout_s > 0) {
            std::ostringstream seconds;
            seconds << timeout_s;
            waited = " (waited " + seconds.str() + " s for it)";
        }
        error.message = "the store directory " + persist::quoted_path(dir) +
                        " is open elsewhere (a Vesko object in another process holds it)" + waited +
                        "; close that one first: " + error.message;
        return error;
    }
    if (!lock)
        return named(lock.error(), "cannot open the store directory " + persist::quoted_path(dir));
    return lock;
}

Result<std::unique_ptr<Store>> Store::open(const std::string& dir, double lock_timeout_s) {
    // The directories create_directories is about to make, deepest first: a power loss can
    // undo their entries until their parents are forced.
    std::vector<std::string> created;
    for (std::string missing = dir; !missing.empty() && !storage::path_exists(missing);
         missing = parent_directory(missing)) {
        created.push_back(missing);
    }
    if (auto made = storage::create_directories(dir); !made) {
        return named(made.error(),
                     "cannot create the store directory " + persist::quoted_path(dir));
    }
    auto lock = lock_directory(dir, lock_timeout_s);
    if (!lock) return lock.error();
    // Like every file an open creates, wal.ack goes again when the open fails, with an error
    // or an internal failure.
    struct RemoveCreatedAck {
        std::string path;
        bool existed;
        bool opened = false;
        ~RemoveCreatedAck() {
            if (!opened && !existed) (void)storage::remove_file(path);
        }
    } created_ack{storage::join_path(dir, storage::log_ack_file_name),
                  storage::path_exists(storage::join_path(dir, storage::log_ack_file_name))};
    auto ack = open_log_ack(dir);
    if (!ack) return ack.error();
    auto store = open_locked(dir, std::move(lock).value(), *ack);
    if (!store) return store.error();
    created_ack.opened = true;
    for (const std::string& made : created) {
        (*store)->unsynced_dirs_.push_back(parent_directory(made));
    }
    return store;
}

Result<std::unique_ptr<Store>> Store::open_locked(const std::string& dir,
                                                  storage::DirectoryLock lock,
                                                  std::unique_ptr<storage::LogAck>& ack) {
    auto parts = open_parts(dir, ack.get());
    if (!parts) return parts.error();
    return std::unique_ptr<Store>(
        new Store(dir, std::move(lock), std::move(parts).value(), std::move(ack)));
}

Result<std::unique_ptr<Store>> Store::salvage(const std::string& dir, bool rebuild) {
    VESKO_TRY(storage::require_directory(dir));
    auto lock = lock_directory(dir);
    if (!lock) return lock.error();
    auto ack = open_log_ack(dir);
    if (!ack) return ack.error();
    {
        // Readers read the store again after what salvage moves aside.
        const storage::AckEvent salvaging(**ack, [] { return std::optional<std::uint64_t>(); });
        VESKO_TRY(set_damage_aside(dir, rebuild));
    }
    return open_locked(dir, std::move(lock).value(), *ack);
}

Result<void> Store::set_damage_aside(const std::string& dir, bool rebuild) {
    auto found = persist::inspect_store(dir);
    if (!found) return found.error();
    if (found->vacuum_pending) {
        // A sound vacuum snapshot holds every record of the log; a damaged one does not, so
        // the log then stays to be replayed over the vacuum's files.
        VESKO_TRY(persist::finish_committed_vacuum(dir, found->snapshot_damage
                                                            ? persist::LogAfterCommit::Keep
                                                            : persist::LogAfterCommit::Empty));
        found = persist::inspect_store(dir);
        if (!found) return found.error();
    }
    if (found->snapshot_damage) VESKO_TRY(persist::salvage_snapshot(*found, rebuild));
    if (found->repairable_damage) {
        // What is wrong the data files determine, and the rest is sound: the points persisted
        // before the log began stay, which the log alone would lose.
        auto copied = persist::repair_snapshot(*found);
        if (!copied) return copied.error();
    }
    if (found->log.damage) {
        auto moved = persist::set_aside_log_tail(dir, found->log.damage->offset);
        if (!moved) return moved.error();
    }
    return {};
}

Result<Store::Parts> Store::open_parts(const std::string& dir, storage::LogAck* ack) {
    // An open that fails, with an error or an internal failure, leaves the directory as it
    // found it: the files it created go again. Best effort: the failure being reported
    // matters more than one that follows it.
    struct RemoveCreated {
        std::vector<std::string> missing;
        bool opened = false;
        ~RemoveCreated() {
            if (opened) return;
            for (const std::string& path : missing) {
                if (storage::path_exists(path)) (void)storage::remove_file(path);
            }
        }
    } created;
    for (const char* name : created_file_names) {
        const std::string path = storage::join_path(dir, name);
        if (!storage::path_exists(path)) created.missing.push_back(path);
    }
    auto parts = open_existing_parts(dir, ack);
    created.opened = static_cast<bool>(parts);
    return parts;
}

Result<Store::Parts> Store::open_existing_parts(const std::string& dir, storage::LogAck* ack) {
    // Nothing is written before the snapshot and the log are known to be sound: a damaged
    // store is refused exactly as it was found.
    auto found = persist::inspect_store(dir);
    if (!found) return found.error();
    if (auto damage = persist::damage_error(*found)) return *damage;
    // From here the open may finish a vacuum, cut a torn tail and rewrite records replayed
    // over a snapshot's used lengths: readers read the store again afterwards, up to the log
    // length it opened with (none when it failed, which leaves the published one).
    std::optional<std::uint64_t> opened_length;
    std::optional<storage::AckEvent> event;
    if (ack != nullptr) event.emplace(*ack, [&opened_length] { return opened_length; });
    // A vacuum that committed but did not finish is finished before anything is loaded.
    if (found->vacuum_pending) VESKO_TRY(persist::finish_committed_vacuum(dir));
    auto files = storage::DataFiles::open(dir, storage::DataFiles::OpenFailure::Reported);
    if (!files) return with_read_only_hint(files.error());
    index::CoreIndex index(std::move(files).value());
    const bool has_snapshot = found->snapshot.has_value();
    if (has_snapshot) {
        VESKO_TRY(persist::load_snapshot(index, std::move(*found->snapshot),
                                         std::move(found->irregular_ids)));
    }
    VESKO_TRY(persist::replay_log(index, found->log_path, found->log.valid_length));
    auto wal = storage::WalWriter::open(dir, found->log.valid_length, found->log.sums_end);
    if (!wal) return with_read_only_hint(wal.error());
    const bool snapshot_current = has_snapshot && found->log.valid_length == 0;
    opened_length = wal->length();
    // The log was replayed whole over the snapshot, as readers must now replay it too: their
    // state has to name the slots this open wrote.
    if (ack != nullptr) ack->clear_snapshot_mark();
    // Only a hint for the next open, so a failure to write it leaves the open as it is.
    if (found->unrecorded_sums) (void)persist::write_snapshot_sums(dir, *found->unrecorded_sums);
    return Parts{std::move(index), std::move(wal).value(), snapshot_current};
}

}  // namespace vesko::engine
