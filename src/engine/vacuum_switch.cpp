// Vacuum's switch: the compacted files committed, renamed into place and installed as the
// object's state, or the object reopened from its directory after a failure past the commit.
// The index lock is held exclusive throughout.
#include "engine/store.h"
#include "persist/live_files.h"
#include "persist/snapshot.h"
#include "persist/vacuum.h"

#include <mutex>

namespace vesko::engine {

Result<void> Store::vacuum(Interrupt* interrupt) {
    auto index_guard = enter_exclusive();
    if (!index_guard) return index_guard.error();
    auto compacted = persist::write_compacted(index_, dir_, interrupt);
    if (!compacted) return poison_if_unflushed(compacted.error());
    if (auto written = persist::write_snapshot_file(
            persist::view_of(*compacted), persist::vac_path(dir_, persist::snapshot_file_name));
        !written) {
        return poison_if_unflushed(written.error());
    }
    // The last moment to stop: past the marker the directory holds the new store.
    if (interrupt != nullptr && interrupt->requested()) {
        return persist::vacuum_interrupted();
    }
    // From the commit on the files are replaced one by one: readers wait until the switch is
    // over (or read the committed files, as an open would, after a crash).
    const storage::AckEvent switched = event();
    if (auto committed = persist::write_commit_marker(dir_); !committed)
        return poison_if_unflushed(committed.error());

    // Committed: from here on the directory holds the new store, whatever happens to this call.
    Result<void> finished = [&]() -> Result<void> {
        std::unique_lock log_guard(log_lock_);
        // The vacuum's own snapshot holds the new state, but persist compares with a state
        // it saw written; the next persist rewrites it.
        changed_since_snapshot_ = true;
        return persist::finish_commit(dir_, &wal_);
    }();
    // The log is empty, and snapshot.bin another file: no mark can apply any more.
    if (finished) ack_->clear_snapshot_mark();
    if (!finished) return recover_after_failed_vacuum(poison_if_unflushed(finished.error()));
    auto files = storage::DataFiles::open(dir_, storage::DataFiles::OpenFailure::Reported);
    if (!files) return recover_after_failed_vacuum(poison_if_unflushed(files.error()));
    index::CoreIndex fresh(std::move(files).value());
    persist::install_snapshot(fresh, std::move(compacted).value());
    index::rebuild_irregular_ids(fresh);
    index_ = std::move(fresh);
    (void)storage::remove_file(
        storage::join_path(dir_, persist::vacuum_dummy_file_name));  // a leftover, if any
    record_snapshot_sums();
    return {};
}

void Store::record_snapshot_sums() const {
    // The new files hold what this object wrote, checked as persist checks its own, so that the
    // next open need not: snapshot.crc is only a hint, and anything amiss only leaves it out.
    auto files = persist::LiveFiles::open(
        [this](const char* name) { return storage::join_path(dir_, name); });
    if (!files || files->live_record_damage(index_)) return;
    auto snapshot = storage::FileBytes::open(storage::join_path(dir_, persist::snapshot_file_name));
    if (!snapshot || !*snapshot) return;
    const persist::CheckedBytes checked =
        files->checked_bytes((*snapshot)->bytes(), index_, index_.files.ids_file_len());
    if (checked.complete) (void)persist::write_snapshot_sums(dir_, persist::sums_of(checked));
}

Error Store::recover_after_failed_vacuum(const Error& failure) {
    // The object's files and indexes describe the store before the vacuum; the directory does
    // not. Reopen it from the directory (which finishes the vacuum when it can), or refuse
    // every later call. The directory's lock stays held throughout.
    // Inside the vacuum's event.
    auto reopened = open_parts(dir_, nullptr);
    if (reopened) {
        std::unique_lock log_guard(log_lock_);
        index_ = std::move(reopened->index);
        wal_ = std::move(reopened->wal);
        changed_since_snapshot_ = true;
        unsynced_dirs_.push_back(dir_);
        return failure;
    }
    broken_ = Error{ErrorKind::StoreBroken,
                    "the store at " + persist::quoted_path(dir_) +
                        " could not be reopened after a failed vacuum and must be reopened: " +
                        reopened.error().message,
                    reopened.error().os_errno};
    return failure;
}

}  // namespace vesko::engine
