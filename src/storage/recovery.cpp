// Rebuilding the index state at open: the store's files judged first, then the snapshot
// loaded and the log replayed on top; and salvage's moves of damaged parts.
#include "storage/recovery.h"

#include "common/check.h"
#include "storage/codec.h"
#include "storage/vacuum.h"
#include "storage/wal.h"

namespace vesko::storage {

namespace {

// A failed write (a full disk) stops the open with its error.
Result<void> apply(CoreIndex& index, WalEntry& entry) {
    if (entry.kind == WalEntry::Kind::Delete) {
        (void)delete_in_mem(index, entry.ext_id);
        return {};
    }
    const Metadata meta = Metadata::from_object(std::move(entry.meta));
    const std::vector<std::string>* skip_index = entry.skip_index ? &*entry.skip_index : nullptr;
    const bool replacing = entry.kind == WalEntry::Kind::Upsert;
    auto prepared =
        prepare_insert(index, entry.ext_id, meta.text(), AppendMode::ReuseIdentical, replacing);
    if (!prepared) return prepared.error();
    if (replacing) {
        apply_upsert(index, entry.ext_id, *prepared, meta, skip_index, entry.lat_deg,
                     entry.lon_deg);
    } else {
        apply_insert(index, *prepared, meta, skip_index, entry.lat_deg, entry.lon_deg);
    }
    return {};
}

Result<LogScan> scan_log(const std::string& path) {
    auto log = FileBytes::open(path);
    if (!log) return log.error();
    LogScan scan;
    if (!*log) return scan;
    const std::span<const unsigned char> bytes = (*log)->bytes();
    scan.file_length = bytes.size();
    ByteReader reader(bytes);
    std::string why;
    while (!reader.at_end()) {
        const std::size_t start = reader.position();
        const WalRead read = check_wal_entry(reader, &why);
        if (read == WalRead::Record) {
            scan.valid_length = reader.position();
            continue;
        }
        if (read == WalRead::Damaged) scan.damage = LogScan::Damage{start, why};
        break;
    }
    return scan;
}

// Why a snapshot is refused, or nothing when `data` holds a sound one.
Result<std::optional<std::string>> judge_snapshot(const std::string& dir, bool vacuum_pending,
                                                  std::span<const unsigned char> bytes,
                                                  std::optional<SnapshotData>& data) {
    if (bytes.empty()) return std::optional<std::string>("it is empty");
    data = decode_snapshot(bytes);
    if (!data) {
        return std::optional<std::string>(
            "its bytes do not form a snapshot (cut short, a length beyond the file, a "
            "malformed bitmap or a repeated key)");
    }
    // The used lengths are held against the data files that the store will use.
    auto current = [&](const char* name) {
        return vacuum_pending ? committed_path(dir, name) : join_path(dir, name);
    };
    auto ids_size = file_size_at(current(ids_file_name));
    if (!ids_size) return ids_size.error();
    auto meta_size = file_size_at(current(meta_file_name));
    if (!meta_size) return meta_size.error();
    auto coords_size = file_size_at(current(coords_file_name));
    if (!coords_size) return coords_size.error();
    auto offsets_size = file_size_at(current(offsets_file_name));
    if (!offsets_size) return offsets_size.error();
    // Opening sizes the slot files to at least min_capacity_slots whatever their length.
    const std::uint64_t slots = std::max<std::uint64_t>(
        std::min(*coords_size, *offsets_size) / slot_bytes, min_capacity_slots);
    std::optional<std::string> why = snapshot_damage(view_of(*data), *ids_size, *meta_size, slots);
    if (why) data.reset();
    return why;
}

std::string free_aside_name(const std::string& path) {
    std::string candidate = path + ".damaged";
    for (int n = 1; path_exists(candidate); ++n) candidate = path + ".damaged." + std::to_string(n);
    return candidate;
}

}  // namespace

Result<Inspection> inspect_store(const std::string& dir) {
    Inspection found;
    found.dir = dir;
    found.vacuum_pending = vacuum_committed(dir);
    found.snapshot_path = found.vacuum_pending ? committed_path(dir, snapshot_file_name)
                                               : join_path(dir, snapshot_file_name);
    found.log_path = join_path(dir, wal_file_name);
    {
        auto snapshot = FileBytes::open(found.snapshot_path);
        if (!snapshot) return snapshot.error();
        if (*snapshot) {
            auto why =
                judge_snapshot(dir, found.vacuum_pending, (*snapshot)->bytes(), found.snapshot);
            if (!why) return why.error();
            found.snapshot_damage = std::move(why).value();
        }
    }
    if (!found.vacuum_pending) {
        auto scan = scan_log(found.log_path);
        if (!scan) return scan.error();
        found.log = std::move(scan).value();
    }
    return found;
}

std::optional<Error> damage_error(const Inspection& found) {
    const std::string salvage = "vesko.salvage(" + quoted_path(found.dir) + ")";
    if (found.snapshot_damage) {
        return damaged_error(quoted_path(found.snapshot_path) +
                             " is damaged: " + *found.snapshot_damage +
                             ". Nothing in the store was changed; " + salvage +
                             " moves the snapshot aside and opens the store from its log alone");
    }
    if (found.log.damage) {
        return damaged_error(quoted_path(found.log_path) + " is damaged at byte " +
                             std::to_string(found.log.damage->offset) + ": " +
                             found.log.damage->why + ". Nothing in the store was changed; " +
                             salvage +
                             " moves the log from that byte on aside and opens the store with "
                             "the records before it");
    }
    return std::nullopt;
}

Result<void> load_snapshot(CoreIndex& index, SnapshotData data) {
    install_snapshot(index, std::move(data));
    VESKO_TRY(index.files.ensure_capacity(index.valid_ids.empty() ? 0 : index.valid_ids.maximum()));
    rebuild_irregular_ids(index);
    return {};
}

Result<void> replay_log(CoreIndex& index, const std::string& path, std::uint64_t valid_length) {
    if (valid_length == 0) return {};
    auto log = FileBytes::open(path);
    if (!log) return log.error();
    VESKO_CHECK(*log && (*log)->bytes().size() >= valid_length,
                "wal.bin shrank while the store was opened");
    ByteReader reader((*log)->bytes().first(static_cast<std::size_t>(valid_length)));
    while (!reader.at_end()) {
        std::optional<WalEntry> entry = decode_wal_entry(reader);
        VESKO_CHECK(entry.has_value(), "wal.bin changed while the store was opened");
        VESKO_TRY(apply(index, *entry));
    }
    return {};
}

Result<std::string> set_aside(const std::string& dir, const char* name) {
    const std::string target = free_aside_name(join_path(dir, name));
    VESKO_TRY(rename_path(join_path(dir, name), target));
    VESKO_TRY(sync_directory(dir));
    return target;
}

Result<std::string> set_aside_log_tail(const std::string& dir, std::uint64_t offset) {
    const std::string path = join_path(dir, wal_file_name);
    const std::string target = free_aside_name(path);
    {
        auto log = FileBytes::open(path);
        if (!log) return log.error();
        const std::span<const unsigned char> bytes =
            *log ? (*log)->bytes() : std::span<const unsigned char>();
        VESKO_CHECK(offset <= bytes.size(), "log tail set aside beyond the end of wal.bin");
        const std::span<const unsigned char> tail = bytes.subspan(static_cast<std::size_t>(offset));
        auto copy = FileDescriptor::open(target, OpenMode::WriteTruncate);
        if (!copy) return copy.error();
        VESKO_TRY(copy->write_all(
            std::string_view(reinterpret_cast<const char*>(tail.data()), tail.size())));
        VESKO_TRY(copy->sync());
    }
    VESKO_TRY(sync_directory(dir));
    // The copy is on disk: only now may the log lose those bytes.
    auto log = FileDescriptor::open(path, OpenMode::ReadWriteExisting);
    if (!log) return log.error();
    VESKO_TRY(log->truncate(offset));
    VESKO_TRY(log->sync());
    return target;
}

}  // namespace vesko::storage
