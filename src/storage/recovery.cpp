// Opening a store: directory, data files, log replay, log opened for appending. Runs before
// the Store exists, so nothing else can see the state and no lock is taken.
#include "storage/snapshot.h"
#include "storage/store.h"
#include "storage/vacuum.h"

#include <optional>

namespace vesko::storage {

namespace {

struct Replay {
    std::uint64_t valid_length = 0;  // bytes up to the end of the last record that decoded
    std::uint64_t file_length = 0;
};

void apply(CoreIndex& index, const WalEntry& entry) {
    if (entry.kind == WalEntry::Kind::Delete) {
        delete_in_mem(index, entry.ext_id);
        return;
    }
    const std::string meta_text = entry.meta.dump();
    insert_in_mem(index, entry.ext_id, entry.meta, meta_text,
                  entry.skip_index ? &*entry.skip_index : nullptr, entry.lat_deg, entry.lon_deg,
                  AppendMode::ReuseIdentical);
}

// Applies every record of wal.bin up to the first one that does not decode (the clean end, a
// torn tail, or bytes that are not a record).
Result<Replay> replay_log(CoreIndex& index, const std::string& path) {
    auto log = FileBytes::open(path);
    if (!log) return log.error();
    Replay replay;
    if (!*log) return replay;
    const std::span<const unsigned char> bytes = (*log)->bytes();
    replay.file_length = bytes.size();
    ByteReader reader(bytes);
    while (!reader.at_end()) {
        std::optional<WalEntry> entry = decode_wal_entry(reader);
        if (!entry) break;
        apply(index, *entry);
        replay.valid_length = reader.position();
    }
    return replay;
}

// Loads snapshot.bin when it exists and is sound; a damaged one is ignored and the store is
// rebuilt from the log alone.
Result<void> load_snapshot(CoreIndex& index, const std::string& path) {
    auto snapshot = FileBytes::open(path);
    if (!snapshot) return snapshot.error();
    if (!*snapshot) return {};
    std::optional<SnapshotData> data = decode_snapshot((*snapshot)->bytes());
    if (!data || !internally_consistent(*data)) return {};
    install_snapshot(index, std::move(*data));
    index.files.ensure_capacity(index.valid_ids.empty() ? 0 : index.valid_ids.maximum());
    rebuild_irregular_ids(index);
    return {};
}

}  // namespace

Result<std::unique_ptr<Store>> Store::open(const std::string& dir) {
    VESKO_TRY(create_directories(dir));
    auto parts = open_parts(dir);
    if (!parts) return parts.error();
    return std::unique_ptr<Store>(
        new Store(dir, std::move(parts->first), std::move(parts->second)));
}

Result<std::pair<CoreIndex, WalWriter>> Store::open_parts(const std::string& dir) {
    // A vacuum that committed but did not finish is finished before anything is read.
    VESKO_TRY(finish_committed_vacuum(dir));
    CoreIndex index(DataFiles::open(dir));
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

}  // namespace vesko::storage
