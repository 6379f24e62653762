#include "persist/salvage.h"

#include "common/check.h"
#include "common/utf8.h"
#include "index/id_hash.h"
#include "persist/live_files.h"
#include "storage/data_files.h"
#include "text/metadata.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <vector>

namespace vesko::persist {

namespace {

using File = LiveFiles::File;

// The id text of slot `int_id`, when its record is whole and UTF-8.
std::optional<std::string_view> readable_id(const LiveFiles& files, std::uint32_t int_id) {
    const std::optional<std::uint64_t> offset = files.slot(File::Offsets, int_id);
    if (!offset) return std::nullopt;
    const std::optional<std::string_view> text = files.record(File::Ids, *offset);
    if (!text || !is_valid_utf8(*text)) return std::nullopt;
    return text;
}

// The metadata text of slot `int_id`, when its record is whole.
std::optional<std::string_view> metadata_record(const LiveFiles& files, std::uint32_t int_id) {
    const std::optional<std::uint64_t> offset = files.slot(File::MetaOffsets, int_id);
    if (!offset) return std::nullopt;
    return files.record(File::Meta, *offset);
}

// Why slot `int_id`'s point cannot be served from the data files; nothing when its records
// are whole. Coordinates are any floats the caller gave (NaN included), so only a missing
// slot tells that they are lost.
std::optional<std::string> records_lost(const LiveFiles& files, std::uint32_t int_id) {
    auto beyond = [](const char* file) {
        return std::string("its slot is beyond the end of ") + file;
    };
    if (int_id >= files.slots(File::Coords)) return beyond(storage::coords_file_name);
    if (int_id >= files.slots(File::Offsets)) return beyond(storage::offsets_file_name);
    if (int_id >= files.slots(File::MetaOffsets)) return beyond(storage::meta_offsets_file_name);
    if (!readable_id(files, int_id)) {
        return "its record in ids.bin runs past the end of the file or is not UTF-8";
    }
    const std::optional<std::string_view> meta = metadata_record(files, int_id);
    if (!meta) return std::string("its record in meta.bin runs past the end of the file");
    if (!text::Metadata::parse(*meta))
        return std::string("its record in meta.bin is not a JSON object");
    return std::nullopt;
}

// What the files still hold of slot `int_id`, as one line of salvage-lost.jsonl.
// `id_known` is false when the id record the slot points at may be another point's.
std::string lost_line(const LiveFiles& files, std::uint32_t int_id, const std::string& why,
                      bool id_known = true) {
    text::Json line = text::Json::object();
    line["slot"] = int_id;
    if (const auto ext_id = readable_id(files, int_id); ext_id && id_known)
        line["id"] = std::string(*ext_id);
    if (int_id < files.slots(File::Coords)) {
        const auto [lat_deg, lon_deg] = files.coords().at(int_id);
        auto number = [](float deg) {
            return std::isfinite(deg) ? text::Json(double{deg}) : text::Json(nullptr);
        };
        line["lat"] = number(lat_deg);
        line["lon"] = number(lon_deg);
    }
    if (const auto meta = metadata_record(files, int_id); meta && is_valid_utf8(*meta))
        line["metadata"] = std::string(*meta);
    line["why"] = why;
    return line.dump() + "\n";
}

// The slots the longest of coords.bin, offsets.bin and meta_offsets.bin holds: the slots
// handed out are below it, whichever of the files was cut.
std::uint64_t slots_of(const LiveFiles& files) {
    return std::max(
        {files.slots(File::Coords), files.slots(File::Offsets), files.slots(File::MetaOffsets)});
}

// The snapshot of `bytes` without its live points whose records are lost (their lines go to
// `lost`), when that makes it one that opening accepts once the slot files hold
// slots_of(files) slots; nothing otherwise.
std::optional<SnapshotData> without_lost_points(std::span<const unsigned char> bytes,
                                                const LiveFiles& files,
                                                std::vector<std::string>& lost) {
    std::optional<SnapshotData> data = decode_snapshot(bytes);
    if (!data) return std::nullopt;
    const std::uint64_t slots = slots_of(files);
    // An id beyond every slot file is not a cut file's doing, and keeping it would grow the
    // files to reach it: the snapshot itself is wrong.
    if ((!data->valid_ids.empty() && data->valid_ids.maximum() >= slots) ||
        (!data->deleted.empty() && data->deleted.maximum() >= slots)) {
        return std::nullopt;
    }
    // The id map's hash for each live id; an id the map names twice or never, or whose hash
    // is not its record's, cannot be told from a slot that points at another point's record,
    // so it goes aside rather than be served under a guessed id.
    std::unordered_map<std::uint32_t, std::uint64_t> hash_of;
    Bitmap named_twice;
    data->ext_to_int.for_each([&](std::uint64_t hash, std::uint32_t int_id) {
        if (!hash_of.emplace(int_id, hash).second) named_twice.add(int_id);
    });
    Bitmap dropped;
    data->valid_ids.for_each([&](std::uint32_t int_id) {
        std::optional<std::string> why = records_lost(files, int_id);
        if (!why) {
            auto entry = hash_of.find(int_id);
            if (entry == hash_of.end() || named_twice.contains(int_id) ||
                entry->second != index::hash_id(*readable_id(files, int_id))) {
                why = "the id map does not hold the hash of its id record";
            }
        }
        if (why) {
            lost.push_back(lost_line(files, int_id, *why));
            dropped.add(int_id);
        }
    });
    index::IdMap kept_ids;
    for (std::uint32_t int_id : data->valid_ids.to_vector()) {
        if (!dropped.contains(int_id)) (void)kept_ids.insert(hash_of.at(int_id), int_id);
    }
    data->ext_to_int = std::move(kept_ids);
    for (std::uint32_t int_id : dropped.to_vector()) {
        data->valid_ids.remove(int_id);
        data->deleted.add(int_id);
        for (auto& [field, bsi] : data->num_index) bsi.remove_id(int_id);
    }
    data->grid_index = grid_of_live_points(data->valid_ids, files.coords());
    // Bytes beyond the used lengths may hold deleted points' records, which lengths left above
    // them keep; a length beyond the file is held to it.
    data->ids_file_len = std::max(std::min(data->ids_file_len, files.size(File::Ids)),
                                  files.records_end(data->valid_ids, false));
    data->meta_file_len = std::max(std::min(data->meta_file_len, files.size(File::Meta)),
                                   files.records_end(data->valid_ids, true));
    if (snapshot_damage(view_of(*data), files.size(File::Ids), files.size(File::Meta), slots) ||
        files.live_record_damage(*data)) {
        lost.clear();
        return std::nullopt;
    }
    return data;
}

// The slots in use whose slot in `slots_file` (offsets.bin or meta_offsets.bin) points at a
// record that another slot in use points at too. Every slot is given records of its own,
// appended in the order of the slots (an upsert takes a new slot and new records), so a shared
// record means a damaged slot pointing at another point's record: served, it would put one
// point's id or metadata on another's coordinates. Of the slots sharing a record, the one whose
// offset lies between those of the slots in use around it keeps it; the others are returned
// (all of them when that does not single one out).
Bitmap misdirected_slots(const LiveFiles& files, File slots_file,
                         const std::vector<std::uint32_t>& used) {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> at;  // (slot, offset), slot order
    at.reserve(used.size());
    for (std::uint32_t int_id : used) {
        if (const auto offset = files.slot(slots_file, int_id)) at.emplace_back(int_id, *offset);
    }
    std::vector<std::uint64_t> offsets;
    offsets.reserve(at.size());
    for (const auto& entry : at) offsets.push_back(entry.second);
    std::sort(offsets.begin(), offsets.end());
    auto shared = [&](std::uint64_t offset) {
        const auto [first, last] = std::equal_range(offsets.begin(), offsets.end(), offset);
        return last - first > 1;
    };
    auto in_order = [&](std::size_t i) {
        const std::uint64_t offset = at[i].second;
        return (i == 0 || at[i - 1].second < offset) &&
               (i + 1 == at.size() || offset < at[i + 1].second);
    };
    Bitmap out;
    std::unordered_map<std::uint64_t, std::uint32_t> owners_in_order;
    for (std::size_t i = 0; i < at.size(); ++i) {
        if (!shared(at[i].second)) continue;
        out.add(at[i].first);
        if (in_order(i)) ++owners_in_order[at[i].second];
    }
    for (std::size_t i = 0; i < at.size(); ++i) {
        const auto owners = owners_in_order.find(at[i].second);
        if (owners != owners_in_order.end() && owners->second == 1 && in_order(i))
            out.remove(at[i].first);
    }
    return out;
}

// A snapshot built from the records alone. A slot is in use when it points at a record (slot
// 0, the one whose records start at offset 0, when the files hold any record); of the slots
// in use that name one id the last is its newest version (an upsert, or an add after a
// delete, takes a new slot), and the point is restored when that slot's records are whole.
// Older versions become deleted ids; newest versions that cannot be restored go to `lost`.
// Every metadata member is indexed: which ones an add skipped only the log recorded.
SnapshotData rebuilt_from_records(const LiveFiles& files, std::vector<std::string>& lost) {
    const std::uint64_t slots = std::min<std::uint64_t>(slots_of(files), 0xFFFFFFFFULL);
    const bool any_record = files.size(File::Ids) > 0 || files.size(File::Meta) > 0;
    auto in_use = [&](std::uint32_t int_id) {
        if (int_id == 0) return any_record;
        return files.slot(File::Offsets, int_id).value_or(0) != 0 ||
               files.slot(File::MetaOffsets, int_id).value_or(0) != 0;
    };
    std::vector<std::uint32_t> used;
    for (std::uint32_t int_id = 0; int_id < slots; ++int_id) {
        if (in_use(int_id)) used.push_back(int_id);
    }
    const Bitmap misdirected_ids = misdirected_slots(files, File::Offsets, used);
    Bitmap misdirected = misdirected_slots(files, File::MetaOffsets, used);
    misdirected |= misdirected_ids;
    index::StringMap<std::uint32_t> newest;
    for (std::uint32_t int_id : used) {
        // A slot whose metadata record is another's still names its own id: older versions
        // of that id stay deleted, and the newest is set aside below.
        if (misdirected_ids.contains(int_id)) continue;
        if (const auto ext_id = readable_id(files, int_id)) newest[std::string(*ext_id)] = int_id;
    }
    SnapshotData data;
    for (std::uint32_t int_id : used) {
        if (misdirected.contains(int_id)) {
            lost.push_back(lost_line(files, int_id,
                                     "its slot points at the record of another slot in use",
                                     !misdirected_ids.contains(int_id)));
            data.deleted.add(int_id);
            continue;
        }
        const std::optional<std::string_view> ext_id = readable_id(files, int_id);
        if (ext_id && newest.find(*ext_id)->second != int_id) {
            data.deleted.add(int_id);
            continue;
        }
        std::optional<std::string> why = records_lost(files, int_id);
        if (!why && !data.ext_to_int.insert(index::hash_id(*ext_id), int_id))
            why = "its id has the hash of another restored point's id";
        if (why) {
            lost.push_back(lost_line(files, int_id, *why));
            data.deleted.add(int_id);
            continue;
        }
        data.valid_ids.add(int_id);
        auto meta = text::Metadata::parse(*metadata_record(files, int_id));
        index::index_fields(data, meta->object(), nullptr, int_id);
    }
    data.grid_index = grid_of_live_points(data.valid_ids, files.coords());
    // Nothing the files hold is overwritten by the next append.
    data.ids_file_len = files.size(File::Ids);
    data.meta_file_len = files.size(File::Meta);
    return data;
}

Result<void> write_lost_points(const std::string& dir, const char* what,
                               const std::vector<std::string>& lines) {
    if (lines.empty()) return {};
    text::Json heading = text::Json::object();
    heading["salvage"] = what;
    heading["points"] = lines.size();
    std::string out = heading.dump() + "\n";
    for (const std::string& line : lines) out += line;
    const std::string path = storage::join_path(dir, lost_points_file_name);
    auto file = storage::FileDescriptor::open(path, storage::OpenMode::AppendCreate);
    if (!file) return file.error();
    VESKO_TRY(file->write_all(out));
    VESKO_TRY(file->sync());
    return storage::sync_directory(dir);
}

// Grows coords.bin, offsets.bin and meta_offsets.bin with zeros to `slots` slots each.
Result<void> extend_slot_files(const std::string& dir, std::uint64_t slots) {
    for (const char* name :
         {storage::coords_file_name, storage::offsets_file_name, storage::meta_offsets_file_name}) {
        const std::string path = storage::join_path(dir, name);
        auto size = storage::file_size_at(path);
        if (!size) return size.error();
        if (*size >= slots * storage::slot_bytes) continue;
        auto file = storage::FileDescriptor::open(path, storage::OpenMode::ReadWriteCreate);
        if (!file) return file.error();
        VESKO_TRY(file->reserve(slots * storage::slot_bytes));
        VESKO_TRY(file->sync());
    }
    return storage::sync_directory(dir);
}

}  // namespace

Result<void> salvage_snapshot(const Inspection& found, bool rebuild) {
    VESKO_CHECK(found.snapshot_damage && !found.vacuum_pending,
                "salvage replaces only a damaged snapshot of a store with no vacuum pending");
    std::vector<std::string> lost;
    std::optional<SnapshotData> kept;
    const char* what = "dropped from snapshot.bin: their records are lost";
    std::uint64_t slots = 0;
    {
        auto files =
            LiveFiles::open([&](const char* name) { return storage::join_path(found.dir, name); });
        if (!files) return files.error();
        auto snapshot = storage::FileBytes::open(found.snapshot_path);
        if (!snapshot) return snapshot.error();
        if (*snapshot) kept = without_lost_points((*snapshot)->bytes(), *files, lost);
        if (!kept && rebuild) {
            kept = rebuilt_from_records(*files, lost);
            what = "left out of snapshot.bin rebuilt from the data files: their records are lost";
        }
        slots = slots_of(*files);
    }
    if (!kept) {
        auto moved = set_aside(found.dir, snapshot_file_name);
        if (!moved) return moved.error();
        return {};
    }
    VESKO_TRY(write_lost_points(found.dir, what, lost));
    VESKO_TRY(extend_slot_files(found.dir, slots));
    auto copy = replace_snapshot(found.dir, view_of(*kept));
    if (!copy) return copy.error();
    return {};
}

}  // namespace vesko::persist
