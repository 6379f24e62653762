#include "persist/live_files.h"

#include "common/shared_parts.h"
#include "index/id_hash.h"
#include "storage/codec.h"
#include "storage/data_files.h"
#include "storage/used_lengths.h"

#include <algorithm>
#include <vector>

namespace vesko::persist {

Result<LiveFiles> LiveFiles::open(const std::function<std::string(const char*)>& path_of) {
    LiveFiles out;
    const char* names[] = {storage::coords_file_name, storage::offsets_file_name,
                           storage::ids_file_name, storage::meta_offsets_file_name,
                           storage::meta_file_name};
    for (std::size_t i = 0; i < out.files_.size(); ++i) {
        auto file = storage::FileBytes::open(path_of(names[i]));
        if (!file) return file.error();
        out.files_[i] = std::move(file).value();
    }
    return out;
}

std::uint64_t LiveFiles::records_end(const Bitmap& valid_ids, bool metadata) const {
    return metadata ? storage::live_records_end(valid_ids, bytes(MetaOffsets), bytes(Meta))
                    : storage::live_records_end(valid_ids, bytes(Offsets), bytes(Ids));
}

std::optional<std::uint64_t> LiveFiles::slot(File file, std::uint32_t int_id) const {
    if (int_id >= slots(file)) return std::nullopt;
    return storage::load_u64(bytes(file).data() + std::size_t{int_id} * storage::slot_bytes);
}

namespace {

// The payload of the record at `offset` of `records`, when its length and bytes are within.
std::optional<std::string_view> whole_record(std::span<const unsigned char> records,
                                             std::uint64_t offset) {
    if (offset > records.size() || records.size() - offset < 4) return std::nullopt;
    const std::uint32_t length = storage::load_u32(records.data() + offset);
    if (records.size() - offset - 4 < length) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(records.data() + offset + 4), length);
}

}  // namespace

std::optional<std::string_view> LiveFiles::record(File file, std::uint64_t offset) const {
    return whole_record(bytes(file), offset);
}

std::optional<std::string> LiveFiles::live_record_damage(
    const index::PersistedIndexes& indexes) const {
    // The entries name distinct live ids (snapshot_damage), so one entry per live id is a
    // matter of counting; then each entry's hash must be the hash of the id record its slot
    // points at (a point whose entry does not match could never be found by id, deleted, or
    // told apart from a new point of the same id).
    if (indexes.ext_to_int.size() != indexes.valid_ids.cardinality()) {
        return "the id map holds " + std::to_string(indexes.ext_to_int.size()) + " entries for " +
               std::to_string(indexes.valid_ids.cardinality()) + " live ids";
    }
    // Hashes by id first, so that the records are then read in the order of the file. Every
    // open of a persisted store pays for this check, so the records are read straight from
    // the mapped files (every live id has a slot in each slot file: snapshot_damage) and the
    // ids are shared out in parts with the helper thread. The same pass makes sure that each
    // live id's metadata record starts within meta.bin: a slot pointing past its end would
    // otherwise serve the point with metadata it never had.
    std::vector<std::uint64_t> hash_of(
        indexes.valid_ids.empty() ? 0 : std::size_t{indexes.valid_ids.maximum()} + 1);
    indexes.ext_to_int.for_each(
        [&](std::uint64_t hash, std::uint32_t int_id) { hash_of[int_id] = hash; });
    const std::vector<std::uint32_t> live = indexes.valid_ids.to_vector();
    auto slot_at = [](std::span<const unsigned char> slots, std::uint32_t int_id) {
        return storage::load_u64(slots.data() + std::size_t{int_id} * storage::slot_bytes);
    };
    auto damage_of = [&](std::uint32_t int_id) -> std::optional<std::string> {
        const std::optional<std::string_view> ext_id =
            whole_record(bytes(Ids), slot_at(bytes(Offsets), int_id));
        if (!ext_id || index::hash_id(*ext_id) != hash_of[int_id]) {
            return "the id map's entry for id " + std::to_string(int_id) +
                   " does not hold the hash of that id's record in ids.bin";
        }
        // Only the record's start: reading every length would bring all of meta.bin in, and
        // a length running past the end is the last record's, which the used length's check
        // reads.
        const std::uint64_t meta_offset = slot_at(bytes(MetaOffsets), int_id);
        if (meta_offset > size(Meta) || size(Meta) - meta_offset < 4) {
            return "the metadata record of live id " + std::to_string(int_id) +
                   " starts past the end of meta.bin";
        }
        return std::nullopt;
    };
    using Found = std::optional<std::string>;
    constexpr std::size_t part_ids = 1 << 16;
    SharedParts<Found> parts((live.size() + part_ids - 1) / part_ids,
                             [&](std::size_t part, Found& found) {
                                 const std::size_t end =
                                     std::min(live.size(), (part + 1) * part_ids);
                                 for (std::size_t i = part * part_ids; i < end && !found; ++i)
                                     found = damage_of(live[i]);
                             },
                             SharedParts<Found>::HelperStart::Back);
    for (std::size_t part = 0; part < parts.size(); ++part) {
        if (const Found& found = parts.get(part)) return found;
    }
    return std::nullopt;
}

CheckedBytes LiveFiles::checked_bytes(std::span<const unsigned char> snapshot,
                                      const index::PersistedIndexes& indexes,
                                      std::uint64_t ids_len) const {
    // Slots are written once, when their id is given out, so the live ids' slots lie in a
    // prefix that later adds leave alone; so do the records below ids.bin's used length.
    const std::uint64_t slots_len =
        indexes.valid_ids.empty()
            ? 0
            : (std::uint64_t{indexes.valid_ids.maximum()} + 1) * storage::slot_bytes;
    return recorded_bytes(snapshot, {snapshot.size(), slots_len, ids_len, slots_len});
}

CheckedBytes LiveFiles::recorded_bytes(std::span<const unsigned char> snapshot,
                                       const std::uint64_t (&lengths)[4]) const {
    CheckedBytes out;
    out.meta_size = size(Meta);
    auto prefix = [&](std::span<const unsigned char> whole, std::uint64_t length) {
        if (length > whole.size()) {
            out.complete = false;
            return std::span<const unsigned char>();
        }
        return whole.first(static_cast<std::size_t>(length));
    };
    out.snapshot = prefix(snapshot, lengths[0]);
    out.offsets = prefix(bytes(Offsets), lengths[1]);
    out.ids = prefix(bytes(Ids), lengths[2]);
    out.meta_offsets = prefix(bytes(MetaOffsets), lengths[3]);
    return out;
}

}  // namespace vesko::persist
