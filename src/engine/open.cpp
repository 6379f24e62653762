// Opening a store: directory, its lock, an unfinished vacuum finished, data files, snapshot,
// log replay, log opened for appending. Runs before the Store exists, so no index or log lock
// is taken; the directory's lock keeps every other Store away.
#include "engine/store.h"
#include "storage/recovery.h"
#include "storage/snapshot.h"
#include "storage/vacuum.h"

namespace vesko::engine {

using namespace storage;

Result<std::unique_ptr<Store>> Store::open(const std::string& dir) {
    VESKO_TRY(create_directories(dir));
    // Before anything in the directory is read: another Store may be changing it.
    auto lock = DirectoryLock::acquire(dir);
    if (!lock) {
        Error error = lock.error();
        if (would_block(error)) {
            error.message = "the store directory " + quoted_path(dir) +
                            " is open elsewhere (a Vesko object in this process or another "
                            "holds it); close that one first: " + error.message;
        }
        return error;
    }
    auto parts = open_parts(dir);
    if (!parts) return parts.error();
    return std::unique_ptr<Store>(new Store(dir, std::move(lock).value(),
                                            std::move(parts->first), std::move(parts->second)));
}

Result<std::pair<CoreIndex, WalWriter>> Store::open_parts(const std::string& dir) {
    // A vacuum that committed but did not finish is finished before anything is read.
    VESKO_TRY(finish_committed_vacuum(dir));
    auto files = DataFiles::open(dir);
    if (!files) return files.error();
    CoreIndex index(std::move(files).value());
    VESKO_TRY(load_snapshot(index, join_path(dir, snapshot_file_name)));
    const std::string wal_path = join_path(dir, wal_file_name);
    auto replay = replay_log(index, wal_path);
    if (!replay) return replay.error();
    auto wal = WalWriter::open(wal_path, replay->valid_length);
    if (!wal) return wal.error();
    // Records appended after a tail that does not decode would never be replayed: cut it.
    if (replay->valid_length < replay->file_length) VESKO_TRY(wal->cut_to(replay->valid_length));
    return std::pair<CoreIndex, WalWriter>(std::move(index), std::move(wal).value());
}

}  // namespace vesko::engine
