// Rebuilding the index state at open: the snapshot loaded, then the log replayed on top.
#include "storage/recovery.h"

#include "storage/codec.h"
#include "storage/snapshot.h"
#include "storage/wal.h"

#include <optional>

namespace vesko::storage {

namespace {

void apply(CoreIndex& index, WalEntry& entry) {
    if (entry.kind == WalEntry::Kind::Delete) {
        delete_in_mem(index, entry.ext_id);
        return;
    }
    insert_in_mem(index, entry.ext_id, Metadata::from_object(std::move(entry.meta)),
                  entry.skip_index ? &*entry.skip_index : nullptr, entry.lat_deg, entry.lon_deg,
                  AppendMode::ReuseIdentical);
}

}  // namespace

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

}  // namespace vesko::storage
