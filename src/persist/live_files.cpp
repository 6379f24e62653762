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

std::optional<std::string_view> LiveFiles::record(File file, std::uint64_t offset) const {
    const std::span<const unsigned char> records = bytes(file);
    if (offset > records.size() || records.size() - offset < 4) return std::nullopt;
    const std::uint32_t length = storage::load_u32(records.data() + offset);
    if (records.size() - offset - 4 < length) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(records.data() + offset + 4), length);
}

std::optional<std::string> LiveFiles::id_map_damage(const index::PersistedIndexes& indexes) const {
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
    // the mapped files (every live id has a slot in offsets.bin: snapshot_damage) and the ids
    // are shared out in parts with the helper thread.
    std::vector<std::uint64_t> hash_of(
        indexes.valid_ids.empty() ? 0 : std::size_t{indexes.valid_ids.maximum()} + 1);
    indexes.ext_to_int.for_each(
        [&](std::uint64_t hash, std::uint32_t int_id) { hash_of[int_id] = hash; });
    const std::vector<std::uint32_t> live = indexes.valid_ids.to_vector();
    const std::span<const unsigned char> offsets = bytes(Offsets);
    const std::span<const unsigned char> ids = bytes(Ids);
    auto matches = [&](std::uint32_t int_id) {
        const std::uint64_t offset =
            storage::load_u64(offsets.data() + std::size_t{int_id} * storage::slot_bytes);
        if (offset > ids.size() || ids.size() - offset < 4) return false;
        const std::uint32_t length = storage::load_u32(ids.data() + offset);
        if (ids.size() - offset - 4 < length) return false;
        const std::string_view ext_id(reinterpret_cast<const char*>(ids.data() + offset + 4),
                                      length);
        return index::hash_id(ext_id) == hash_of[int_id];
    };
    constexpr std::size_t part_ids = 1 << 16;
    SharedParts<std::optional<std::uint32_t>> parts(
        (live.size() + part_ids - 1) / part_ids,
        [&](std::size_t part, std::optional<std::uint32_t>& bad) {
            const std::size_t end = std::min(live.size(), (part + 1) * part_ids);
            for (std::size_t i = part * part_ids; i < end && !bad; ++i) {
                if (!matches(live[i])) bad = live[i];
            }
        },
        SharedParts<std::optional<std::uint32_t>>::HelperStart::Back);
    for (std::size_t part = 0; part < parts.size(); ++part) {
        if (const std::optional<std::uint32_t> bad = parts.get(part)) {
            return "the id map's entry for id " + std::to_string(*bad) +
                   " does not hold the hash of that id's record in ids.bin";
        }
    }
    return std::nullopt;
}

}  // namespace vesko::persist
