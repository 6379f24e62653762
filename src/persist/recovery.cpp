// Rebuilding the index state at open: the store's files judged first, then the snapshot
// loaded and the log replayed on top; and salvage's moves of damaged parts.
#include "persist/recovery.h"

#include "common/check.h"
#include "persist/grid_check.h"
#include "persist/live_files.h"
#include "persist/vacuum.h"
#include "storage/codec.h"
#include "storage/used_lengths.h"
#include "storage/wal.h"
#include "storage/wal_sums.h"

#include <array>
#include <limits>

namespace vesko::persist {

namespace {

// A failed write (a full disk) stops the open with its error.
Result<void> apply(index::CoreIndex& index, storage::WalEntry& entry) {
    if (entry.kind == storage::WalEntry::Kind::Delete) {
        (void)delete_in_mem(index, entry.ext_id);
        return {};
    }
    const text::Metadata meta = text::Metadata::from_object(std::move(entry.meta));
    const std::vector<std::string>* skip_index = entry.skip_index ? &*entry.skip_index : nullptr;
    const bool replacing = entry.kind == storage::WalEntry::Kind::Upsert;
    auto prepared = prepare_insert(index, entry.ext_id, meta.text(),
                                   storage::AppendMode::ReuseIdentical, replacing);
    if (!prepared) return prepared.error();
    if (replacing) {
        apply_upsert(index, entry.ext_id, *prepared, meta, skip_index, entry.lat_deg,
                     entry.lon_deg);
    } else {
        apply_insert(index, *prepared, meta, skip_index, entry.lat_deg, entry.lon_deg);
    }
    return {};
}

// Decodes the records of `bytes`, the part of the log to be judged, into `scan`.
void scan_records(std::span<const unsigned char> bytes, LogScan& scan) {
    storage::ByteReader reader(bytes);
    std::string why;
    while (!reader.at_end()) {
        const std::size_t start = reader.position();
        const storage::WalRead read = check_wal_entry(reader, &why);
        if (read == storage::WalRead::Record) {
            scan.valid_length = reader.position();
            continue;
        }
        if (read == storage::WalRead::Damaged) scan.damage = LogScan::Damage{start, why};
        break;
    }
}

// wal.bin's bytes judged against wal.crc's (when there is one).
LogScan scan_bytes(const std::optional<storage::FileBytes>& log,
                   const std::optional<storage::FileBytes>& sums) {
    LogScan scan;
    const std::span<const unsigned char> bytes =
        log ? log->bytes() : std::span<const unsigned char>();
    scan.file_length = bytes.size();
    if (!sums) {
        scan_records(bytes, scan);
        return scan;
    }
    // Only the bytes wal.crc vouches for are records; what follows them is a torn tail.
    const storage::LogSums vouched = storage::check_log_sums(bytes, sums->bytes());
    scan.sums_end = vouched.sums_end;
    scan_records(bytes.first(static_cast<std::size_t>(vouched.verified_end)), scan);
    if (!scan.damage && scan.valid_length < vouched.verified_end) {
        scan.damage = LogScan::Damage{scan.valid_length,
                                      "a record cut short inside the bytes wal.crc vouches for"};
    }
    if (!scan.damage && vouched.damage)
        scan.damage = LogScan::Damage{vouched.verified_end, *vouched.damage};
    return scan;
}

// `kept` receives the log's bytes when they are copied rather than mapped.
Result<LogScan> scan_log(const std::string& dir, LogBytes how,
                         std::optional<storage::FileBytes>& kept) {
    auto read = how == LogBytes::Copied ? &storage::FileBytes::copy : &storage::FileBytes::open;
    // wal.crc first: a writer appending meanwhile writes each record to wal.bin before its
    // entry in wal.crc, so the log read second holds at least what the sums read first
    // describe, and what it holds beyond them is a tail left unread.
    auto sums = read(storage::join_path(dir, storage::wal_sums_file_name));
    if (!sums) return sums.error();
    auto log = read(storage::join_path(dir, storage::wal_file_name));
    if (!log) return log.error();
    LogScan scan = scan_bytes(*log, *sums);
    if (how == LogBytes::Copied) kept = std::move(*log);
    return scan;
}

// Judges the snapshot's bytes into `found`: the decoded snapshot when it is sound or only its
// grid is damaged, and why it is refused otherwise.
Result<void> judge_snapshot(std::span<const unsigned char> bytes, Inspection& found) {
    if (bytes.empty()) {
        found.snapshot_damage = "it is empty";
        return {};
    }
    // The used lengths are held against the data files that the store will use.
    auto current = [&](const char* name) {
        return found.vacuum_pending ? committed_path(found.dir, name)
                                    : storage::join_path(found.dir, name);
    };
    // The id map's check is skipped when snapshot.crc says it passed on these very bytes. The
    // ranges it names are summed by the helper thread while this one decodes the snapshot, so
    // that the sums (about a sixth of the check's time) add little to the open's; whether they
    // are the ranges the check reads is settled once the snapshot is decoded. Unreadable is as
    // good as missing: the check is then made the long way.
    std::optional<CheckedSums> recorded;
    if (auto file =
            storage::FileBytes::open(storage::join_path(found.dir, snapshot_sums_file_name));
        file && *file) {
        recorded = decode_snapshot_sums((*file)->bytes());
    }
    std::optional<LiveFiles> files;
    std::optional<SumsInFlight> early_sums;
    if (recorded) {
        auto opened = LiveFiles::open(current);
        if (opened) {
            files = std::move(opened).value();
            const CheckedBytes named = files->recorded_bytes(bytes, recorded->lengths);
            if (named.complete) early_sums.emplace(named);
        }
    }
    std::optional<SnapshotData>& data = found.snapshot;
    data = decode_snapshot(bytes);
    if (!data) {
        found.snapshot_damage =
            "its bytes do not form a snapshot (cut short, a length beyond the file, a "
            "malformed bitmap or a repeated key)";
        return {};
    }
    auto ids_size = storage::file_size_at(current(storage::ids_file_name));
    if (!ids_size) return ids_size.error();
    auto meta_size = storage::file_size_at(current(storage::meta_file_name));
    if (!meta_size) return meta_size.error();
    // An id's slot must be in every slot file: opening would grow a cut one with zeros, and
    // the point would show the first point's id, metadata or position.
    std::uint64_t slot_file_bytes = std::numeric_limits<std::uint64_t>::max();
    for (const char* name :
         {storage::coords_file_name, storage::offsets_file_name, storage::meta_offsets_file_name}) {
        auto size = storage::file_size_at(current(name));
        if (!size) return size.error();
        slot_file_bytes = std::min(slot_file_bytes, *size);
    }
    const std::uint64_t slots = slot_file_bytes / storage::slot_bytes;
    found.snapshot_damage = snapshot_damage(view_of(*data), *ids_size, *meta_size, slots);
    if (found.snapshot_damage) {
        data.reset();
        return {};
    }
    // Every live id has a slot now (snapshot_damage), so the data files can be read for it.
    if (!files) {
        auto opened = LiveFiles::open(current);
        if (!opened) return opened.error();
        files = std::move(opened).value();
    }
    const CheckedBytes checked = files->checked_bytes(bytes, *data, data->ids_file_len);
    std::optional<CheckedSums> sums;
    if (checked.complete) {
        // The early sums are of prefixes of these same bytes: the same lengths, the same ranges.
        sums =
            early_sums && same_lengths(*recorded, checked) ? early_sums->get() : sums_of(checked);
    }
    const bool vouched = recorded && sums && sums_vouch(*recorded, *sums);
    if (!vouched) {
        found.snapshot_damage = files->live_record_damage(*data);
        if (found.snapshot_damage) {
            data.reset();
            return {};
        }
    }
    found.repairable_damage = records_damage(
        view_of(*data), files->records_end(data->valid_ids, false),
        files->records_end(data->valid_ids, true), files->coords(), &found.irregular_ids);
    if (!vouched && !found.repairable_damage) found.unrecorded_sums = sums;
    return {};
}

std::string free_aside_name(const std::string& path) {
    std::string candidate = path + ".damaged";
    for (int n = 1; storage::path_exists(candidate); ++n)
        candidate = path + ".damaged." + std::to_string(n);
    return candidate;
}

// Copies `name` in `dir` from `offset` on into a file named as set_aside names it, and forces
// the copy and the directory to disk; returns the copy's path.
Result<std::string> copy_aside(const std::string& dir, const char* name, std::uint64_t offset) {
    const std::string path = storage::join_path(dir, name);
    const std::string target = free_aside_name(path);
    {
        auto original = storage::FileBytes::open(path);
        if (!original) return original.error();
        const std::span<const unsigned char> bytes =
            *original ? (*original)->bytes() : std::span<const unsigned char>();
        VESKO_CHECK(offset <= bytes.size(), "a copy set aside from beyond the end of its file");
        const std::span<const unsigned char> tail = bytes.subspan(static_cast<std::size_t>(offset));
        auto copy = storage::FileDescriptor::open(target, storage::OpenMode::WriteTruncate);
        if (!copy) return copy.error();
        VESKO_TRY(copy->write_all(
            std::string_view(reinterpret_cast<const char*>(tail.data()), tail.size())));
        VESKO_TRY(copy->sync());
    }
    VESKO_TRY(storage::sync_directory(dir));
    return target;
}

}  // namespace

std::optional<std::string> records_damage(const SnapshotView& view, std::uint64_t ids_end,
                                          std::uint64_t meta_end, StoredCoords coords,
                                          Bitmap* irregular) {
    auto why = storage::used_length_damage(storage::ids_file_name, view.ids_file_len, ids_end);
    if (!why)
        why = storage::used_length_damage(storage::meta_file_name, view.meta_file_len, meta_end);
    if (!why) why = grid_damage(view.indexes, coords, irregular);
    return why;
}

Result<std::optional<std::string>> state_damage(const index::CoreIndex& index) {
    auto sizes = index.files.appended_sizes();
    if (!sizes) return sizes.error();
    const SnapshotView view = view_of(index);
    std::optional<std::string> why =
        snapshot_damage(view, sizes->first, sizes->second, index.files.capacity());
    if (why) return why;
    const auto [ids_end, meta_end] = index.files.live_records_ends(index.valid_ids);
    return records_damage(view, ids_end, meta_end, StoredCoords(index.files.coords_bytes()));
}

Result<Inspection> inspect_store(const std::string& dir, LogBytes log_bytes) {
    Inspection found;
    found.dir = dir;
    found.vacuum_pending = vacuum_committed(dir);
    found.snapshot_path = found.vacuum_pending ? committed_path(dir, snapshot_file_name)
                                               : storage::join_path(dir, snapshot_file_name);
    found.log_path = storage::join_path(dir, storage::wal_file_name);
    {
        auto snapshot = storage::FileBytes::open(found.snapshot_path);
        if (!snapshot) return snapshot.error();
        if (*snapshot) VESKO_TRY(judge_snapshot((*snapshot)->bytes(), found));
    }
    if (!found.vacuum_pending) {
        auto scan = scan_log(dir, log_bytes, found.log_bytes);
        if (!scan) return scan.error();
        found.log = std::move(scan).value();
    }
    return found;
}

std::optional<Error> damage_error(const Inspection& found) {
    const std::string salvage = "vesko.salvage(" + quoted_path(found.dir) + ")";
    if (found.snapshot_damage) {
        return storage::damaged_error(
            quoted_path(found.snapshot_path) + " is damaged: " + *found.snapshot_damage +
            ". Nothing in the store was changed; " + salvage +
            " moves the snapshot aside and opens the store from its log alone");
    }
    if (found.repairable_damage) {
        return storage::damaged_error(
            quoted_path(found.snapshot_path) + " is damaged: " + *found.repairable_damage +
            ". Nothing in the store was changed; " + salvage +
            " sets a copy of the snapshot aside and repairs it from the data "
            "files");
    }
    if (found.log.damage) {
        return storage::damaged_error(
            quoted_path(found.log_path) + " is damaged at byte " +
            std::to_string(found.log.damage->offset) + ": " + found.log.damage->why +
            ". Nothing in the store was changed; " + salvage +
            " moves the log from that byte on aside and opens the store with "
            "the records before it");
    }
    return std::nullopt;
}

Result<void> load_snapshot(index::CoreIndex& index, SnapshotData data, Bitmap irregular_ids) {
    install_snapshot(index, std::move(data));
    VESKO_TRY(index.files.ensure_capacity(index.valid_ids.empty() ? 0 : index.valid_ids.maximum()));
    index.irregular_ids = std::move(irregular_ids);
    return {};
}

Result<void> replay_log(index::CoreIndex& index, const std::string& path,
                        std::uint64_t valid_length) {
    if (valid_length == 0) return {};
    auto log = storage::FileBytes::open(path);
    if (!log) return log.error();
    VESKO_CHECK(*log && (*log)->bytes().size() >= valid_length,
                "wal.bin shrank while the store was opened");
    std::uint64_t applied = 0;
    auto whole = apply_records(index, (*log)->bytes().first(static_cast<std::size_t>(valid_length)),
                               applied);
    if (!whole) return whole.error();
    VESKO_CHECK(*whole, "wal.bin changed while the store was opened");
    return {};
}

Result<bool> apply_records(index::CoreIndex& index, std::span<const unsigned char> records,
                           std::uint64_t& applied) {
    storage::ByteReader reader(records);
    while (!reader.at_end()) {
        std::optional<storage::WalEntry> entry = decode_wal_entry(reader);
        if (!entry) return false;
        VESKO_TRY(apply(index, *entry));
        applied = reader.position();
    }
    return true;
}

Result<std::string> set_aside(const std::string& dir, const char* name) {
    const std::string target = free_aside_name(storage::join_path(dir, name));
    VESKO_TRY(storage::rename_path(storage::join_path(dir, name), target));
    VESKO_TRY(storage::sync_directory(dir));
    return target;
}

Result<std::string> replace_snapshot(const std::string& dir, const SnapshotView& view) {
    auto copy = copy_aside(dir, snapshot_file_name, 0);
    if (!copy) return copy.error();
    const std::string tmp_path = storage::join_path(dir, snapshot_tmp_file_name);
    VESKO_TRY(write_snapshot_file(view, tmp_path));
    VESKO_TRY(storage::rename_path(tmp_path, storage::join_path(dir, snapshot_file_name)));
    VESKO_TRY(storage::sync_directory(dir));
    return copy;
}

Result<std::string> repair_snapshot(Inspection& found) {
    VESKO_CHECK(found.repairable_damage && found.snapshot && !found.vacuum_pending,
                "only a snapshot whose damage the data files determine is repaired");
    SnapshotData& data = *found.snapshot;
    {
        auto files =
            LiveFiles::open([&](const char* name) { return storage::join_path(found.dir, name); });
        if (!files) return files.error();
        data.grid_index = grid_of_live_points(data.valid_ids, files->coords());
        // Raised only: bytes beyond a live record may hold deleted points' records, which a
        // used length left above them keeps.
        data.ids_file_len = std::max(data.ids_file_len, files->records_end(data.valid_ids, false));
        data.meta_file_len = std::max(data.meta_file_len, files->records_end(data.valid_ids, true));
    }
    return replace_snapshot(found.dir, view_of(data));
}

Result<std::string> set_aside_log_tail(const std::string& dir, std::uint64_t offset) {
    auto copy = copy_aside(dir, storage::wal_file_name, offset);
    if (!copy) return copy.error();
    // The copy is on disk: only now may the log lose those bytes.
    const std::string path = storage::join_path(dir, storage::wal_file_name);
    auto log = storage::FileDescriptor::open(path, storage::OpenMode::ReadWriteExisting);
    if (!log) return log.error();
    VESKO_TRY(log->truncate(offset));
    VESKO_TRY(log->sync());
    // wal.crc describes the bytes just moved aside: it goes aside too, and opening writes a
    // new one for the records that stay.
    if (storage::path_exists(storage::join_path(dir, storage::wal_sums_file_name))) {
        auto sums_copy = set_aside(dir, storage::wal_sums_file_name);
        if (!sums_copy) return sums_copy.error();
    }
    return copy;
}

}  // namespace vesko::persist
