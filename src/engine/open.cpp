// Opening a store: the snapshot and the log judged before any file is touched, then an
// unfinished vacuum finished, the data files opened, the snapshot loaded, the log replayed and
// opened for appending. Salvage moves damaged parts aside first. Runs before the Store exists,
// so no lock is taken.
#include "engine/store.h"
#include "storage/recovery.h"
#include "storage/snapshot.h"
#include "storage/vacuum.h"

namespace vesko::engine {

using namespace storage;

Result<std::unique_ptr<Store>> Store::open(const std::string& dir) {
    VESKO_TRY(create_directories(dir));
    auto parts = open_parts(dir);
    if (!parts) return parts.error();
    return std::unique_ptr<Store>(
        new Store(dir, std::move(parts->first), std::move(parts->second)));
}

Result<std::unique_ptr<Store>> Store::salvage(const std::string& dir) {
    VESKO_TRY(require_directory(dir));
    auto found = inspect_store(dir);
    if (!found) return found.error();
    if (found->vacuum_pending) {
        // A sound vacuum snapshot holds every record of the log; a damaged one does not, so
        // the log then stays to be replayed over the vacuum's files.
        VESKO_TRY(finish_committed_vacuum(
            dir, found->snapshot_damage ? LogAfterCommit::Keep : LogAfterCommit::Empty));
        found = inspect_store(dir);
        if (!found) return found.error();
    }
    if (found->snapshot_damage) {
        auto moved = set_aside(dir, snapshot_file_name);
        if (!moved) return moved.error();
    }
    if (found->log.damage) {
        auto moved = set_aside_log_tail(dir, found->log.damage->offset);
        if (!moved) return moved.error();
    }
    return open(dir);
}

Result<std::pair<CoreIndex, WalWriter>> Store::open_parts(const std::string& dir) {
    // Nothing is written before the snapshot and the log are known to be sound: a damaged
    // store is refused exactly as it was found.
    auto found = inspect_store(dir);
    if (!found) return found.error();
    if (auto damage = damage_error(*found)) return *damage;
    // A vacuum that committed but did not finish is finished before anything is loaded.
    if (found->vacuum_pending) VESKO_TRY(finish_committed_vacuum(dir));
    CoreIndex index(DataFiles::open(dir));
    if (found->snapshot) load_snapshot(index, std::move(*found->snapshot));
    VESKO_TRY(replay_log(index, found->log_path, found->log.valid_length));
    auto wal = WalWriter::open(found->log_path, found->log.valid_length);
    if (!wal) return wal.error();
    // Records appended after a torn tail would never be replayed: cut it.
    if (found->log.valid_length < found->log.file_length)
        VESKO_TRY(wal->cut_to(found->log.valid_length));
    return std::pair<CoreIndex, WalWriter>(std::move(index), std::move(wal).value());
}

}  // namespace vesko::engine
