#include "persist/snapshot.h"

#include "storage/bitmap_codec.h"

#include <algorithm>
#include <string>
#include <vector>

namespace vesko::persist {

namespace {

class Encoder {
  public:
    explicit Encoder(const std::function<Result<void>(std::string_view)>& sink) : sink_(sink) {
        buffer_.reserve(snapshot_buffer_bytes + (snapshot_buffer_bytes >> 2));
    }

    std::string& out() { return buffer_; }
    // Hands the buffer on once it is full; call between entries.
    Result<void> spill_if_full() {
        if (buffer_.size() < snapshot_buffer_bytes) return {};
        return spill();
    }
    Result<void> spill() {
        if (buffer_.empty()) return {};
        VESKO_TRY(sink_(buffer_));
        buffer_.clear();
        return {};
    }

  private:
    const std::function<Result<void>(std::string_view)>& sink_;
    std::string buffer_;
};

bool read_numeric(storage::ByteReader& reader, index::NumericBsiIndex& out) {
    std::array<Bitmap, index::NumericBsiIndex::slice_count> slices;
    for (Bitmap& slice : slices) {
        if (!read_bitmap(reader, slice)) return false;
    }
    Bitmap existence;
    std::uint32_t min_encoded;
    std::uint32_t max_encoded;
    std::uint8_t top_bit;
    if (!read_bitmap(reader, existence) || !reader.u32(min_encoded) || !reader.u32(max_encoded) ||
        !reader.u8(top_bit) || top_bit > 31) {
        return false;
    }
    out = index::NumericBsiIndex::from_parts(std::move(slices), std::move(existence), min_encoded,
                                             max_encoded, top_bit);
    return true;
}

bool decode_into(storage::ByteReader& reader, SnapshotData& data) {
    std::uint64_t count;
    if (!reader.u64(count)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string field;
        std::uint64_t values;
        if (!read_log_text(reader, field) || !reader.u64(values)) return false;
        index::StringMap<index::ValueIds> inner;
        for (std::uint64_t j = 0; j < values; ++j) {
            std::string value;
            index::ValueIds ids;
            if (!read_log_text(reader, value) || !index::ValueIds::read(reader, ids)) return false;
            if (!inner.emplace(std::move(value), std::move(ids)).second) return false;
        }
        if (!data.str_index.emplace(std::move(field), std::move(inner)).second) return false;
    }
    if (!reader.u64(count)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string field;
        index::NumericBsiIndex bsi;
        if (!read_log_text(reader, field) || !read_numeric(reader, bsi)) return false;
        if (!data.num_index.emplace(std::move(field), std::move(bsi)).second) return false;
    }
    if (!reader.u64(count)) return false;
    // Each cell takes at least 24 bytes; the check keeps a damaged count from reserving memory.
    if (count > reader.remaining() / 24) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t key;
        index::CellIds ids;
        if (!reader.u64(key) ||
            !read_bitmap_ids(reader, [&ids](std::uint32_t id) { ids.add(id); })) {
            return false;
        }
        if (!data.grid_index.insert_cell(key, std::move(ids))) return false;
    }
    if (!read_bitmap(reader, data.valid_ids) || !read_bitmap(reader, data.deleted)) return false;
    if (!reader.u64(count)) return false;
    // Each entry takes 12 bytes; the check keeps a damaged count from reserving memory.
    if (count > reader.remaining() / 12) return false;
    data.ext_to_int.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t hash;
        std::uint32_t int_id;
        if (!reader.u64(hash) || !reader.u32(int_id)) return false;
        if (!data.ext_to_int.insert(hash, int_id)) return false;
    }
    return reader.u64(data.ids_file_len) && reader.u64(data.meta_file_len);
}

}  // namespace

SnapshotView view_of(const index::CoreIndex& index) {
    return SnapshotView{index, index.files.ids_file_len(), index.files.meta_file_len()};
}

SnapshotView view_of(const SnapshotData& data) {
    return SnapshotView{data, data.ids_file_len, data.meta_file_len};
}

Result<void> write_snapshot_file(const SnapshotView& view, const std::string& path) {
    auto file = storage::FileDescriptor::open(path, storage::OpenMode::WriteTruncate);
    if (!file) return file.error();
    VESKO_TRY(
        encode_snapshot(view, [&](std::string_view bytes) { return file->write_all(bytes); }));
    return file->sync();
}

Result<void> encode_snapshot(const SnapshotView& view,
                             const std::function<Result<void>(std::string_view)>& sink) {
    const index::PersistedIndexes& index = view.indexes;
    Encoder enc(sink);
    std::string& out = enc.out();
    storage::put_u64(out, index.str_index.size());
    for (const auto& [field, values] : index.str_index) {
        storage::put_string(out, field);
        storage::put_u64(out, values.size());
        for (const auto& [value, ids] : values) {
            storage::put_string(out, value);
            ids.put(out);
            VESKO_TRY(enc.spill_if_full());
        }
    }
    storage::put_u64(out, index.num_index.size());
    for (const auto& [field, bsi] : index.num_index) {
        storage::put_string(out, field);
        for (const Bitmap& slice : bsi.slices()) storage::put_bitmap(out, slice);
        storage::put_bitmap(out, bsi.existence());
        storage::put_u32(out, bsi.min_encoded());
        storage::put_u32(out, bsi.max_encoded());
        storage::put_u8(out, bsi.top_bit());
        VESKO_TRY(enc.spill_if_full());
    }
    storage::put_u64(out, index.grid_index.size());
    for (const auto& [block_key, block] : index.grid_index.blocks()) {
        for (const index::GridIndex::Cell& cell : block.cells) {
            storage::put_u64(out, index::cell_in(block_key, cell.local));
            storage::put_sorted_ids(out, cell.ids.begin(), cell.ids.size());
            VESKO_TRY(enc.spill_if_full());
        }
    }
    storage::put_bitmap(out, index.valid_ids);
    storage::put_bitmap(out, index.deleted);
    storage::put_u64(out, index.ext_to_int.size());
    Result<void> spilled;
    index.ext_to_int.for_each([&](std::uint64_t hash, std::uint32_t int_id) {
        storage::put_u64(out, hash);
        storage::put_u32(out, int_id);
        if (spilled) spilled = enc.spill_if_full();
    });
    VESKO_TRY(spilled);
    storage::put_u64(out, view.ids_file_len);
    storage::put_u64(out, view.meta_file_len);
    return enc.spill();
}

std::optional<SnapshotData> decode_snapshot(std::span<const unsigned char> bytes) {
    storage::ByteReader reader(bytes);
    SnapshotData data;
    if (!decode_into(reader, data)) return std::nullopt;
    return data;
}

namespace {

// Each check of snapshot_damage, in the order they run; each names what it found first.

std::optional<std::string> used_lengths_damage(const SnapshotView& view, std::uint64_t ids_size,
                                               std::uint64_t meta_size) {
    auto beyond = [](const char* what, std::uint64_t used, const char* file, std::uint64_t size) {
        return std::string(what) + " is " + std::to_string(used) + " bytes, but " + file +
               " holds " + std::to_string(size);
    };
    if (view.ids_file_len > ids_size)
        return beyond("the used length of ids.bin", view.ids_file_len, "ids.bin", ids_size);
    if (view.meta_file_len > meta_size)
        return beyond("the used length of meta.bin", view.meta_file_len, "meta.bin", meta_size);
    return std::nullopt;
}

// The largest id ever handed out (live or deleted); nothing when no id ever was.
std::optional<std::uint32_t> top_id(const index::PersistedIndexes& indexes) {
    std::optional<std::uint32_t> top;
    if (!indexes.valid_ids.empty()) top = indexes.valid_ids.maximum();
    if (!indexes.deleted.empty()) top = std::max(top.value_or(0), indexes.deleted.maximum());
    return top;
}

std::string not_live(std::uint32_t int_id) {
    return "the id map points at id " + std::to_string(int_id) + ", which is not live";
}

std::string mapped_twice(std::uint32_t int_id) {
    return "the id map gives id " + std::to_string(int_id) + " to two external ids";
}

// Every entry of the id map must name a live id, and no id twice: checked in the map's order,
// so that the first bad entry is the one reported. With every id below `top` + 1 (a sound
// snapshot), live and seen ids are bits of two flat arrays of that size, a few operations per
// entry.
std::optional<std::string> id_map_damage_flat(const index::PersistedIndexes& indexes,
                                              std::optional<std::uint32_t> top) {
    const std::size_t words = top ? (std::size_t{*top} >> 6) + 1 : 0;
    std::vector<std::uint64_t> live(words, 0);
    std::vector<std::uint64_t> seen(words, 0);
    indexes.valid_ids.for_each(
        [&](std::uint32_t int_id) { live[int_id >> 6] |= std::uint64_t{1} << (int_id & 63); });
    std::optional<std::string> bad;
    indexes.ext_to_int.for_each([&](std::uint64_t, std::uint32_t int_id) {
        if (bad) return;
        const std::size_t w = int_id >> 6;
        const std::uint64_t bit = std::uint64_t{1} << (int_id & 63);
        if (w >= words || (live[w] & bit) == 0) {
            bad = not_live(int_id);
        } else if ((seen[w] & bit) != 0) {
            bad = mapped_twice(int_id);
        } else {
            seen[w] |= bit;
        }
    });
    return bad;
}

// The same through bitmaps, which any id fits (a damaged id near 2^32 would ask for flat arrays
// of half a gigabyte).
std::optional<std::string> id_map_damage_sparse(const index::PersistedIndexes& indexes) {
    std::optional<std::string> bad;
    Bitmap mapped;
    indexes.ext_to_int.for_each([&](std::uint64_t, std::uint32_t int_id) {
        if (bad) return;
        if (!indexes.valid_ids.contains(int_id)) {
            bad = not_live(int_id);
        } else if (mapped.contains(int_id)) {
            bad = mapped_twice(int_id);
        } else {
            mapped.add(int_id);
        }
    });
    return bad;
}

std::string stale(const std::string& where, std::uint32_t int_id) {
    return where + " holds id " + std::to_string(int_id) + ", above every id handed out";
}

// No string index or grid cell may hold an id above every id handed out.
std::optional<std::string> stale_entries_damage(const index::PersistedIndexes& indexes,
                                                std::optional<std::uint32_t> top) {
    auto never_handed_out = [&](std::uint32_t largest) { return !top || largest > *top; };
    for (const auto& [field, values] : indexes.str_index) {
        for (const auto& [value, ids] : values) {
            if (!ids.empty() && never_handed_out(ids.maximum()))
                return stale("the string index of field \"" + field + "\"", ids.maximum());
        }
    }
    std::optional<std::string> bad_cell;
    indexes.grid_index.for_each_cell([&](std::uint64_t, const index::CellIds& ids) {
        // Cell ids are kept in ascending order.
        if (!bad_cell && !ids.empty() && never_handed_out(ids.end()[-1]))
            bad_cell = stale("a grid cell", ids.end()[-1]);
    });
    return bad_cell;
}

// Each numeric index: no id above every id handed out, slice bits only within the existence
// set, and bounds that agree with each other.
std::optional<std::string> numeric_damage(const index::PersistedIndexes& indexes,
                                          std::optional<std::uint32_t> top) {
    for (const auto& [field, bsi] : indexes.num_index) {
        const std::string where = "the numeric index of field \"" + field + "\"";
        if (!bsi.existence().empty() && (!top || bsi.existence().maximum() > *top))
            return stale(where, bsi.existence().maximum());
        for (const Bitmap& slice : bsi.slices()) {
            if (!(slice - bsi.existence()).empty())
                return where + " has slice bits for an id without a value";
        }
        const bool never_recorded = bsi.min_encoded() == 0xFFFFFFFFU && bsi.max_encoded() == 0;
        if ((!never_recorded && bsi.min_encoded() > bsi.max_encoded()) ||
            index::highest_bit(bsi.max_encoded()) != bsi.top_bit() ||
            (never_recorded && !bsi.existence().empty())) {
            return where + " has bounds that contradict each other";
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> snapshot_damage(const SnapshotView& view, std::uint64_t ids_size,
                                           std::uint64_t meta_size, std::uint64_t slots) {
    if (auto why = used_lengths_damage(view, ids_size, meta_size)) return why;
    const std::optional<std::uint32_t> top = top_id(view.indexes);
    const bool top_has_slot = !top || *top < slots;
    auto bad_map =
        top_has_slot ? id_map_damage_flat(view.indexes, top) : id_map_damage_sparse(view.indexes);
    if (bad_map) return bad_map;
    if (!top_has_slot) {
        return "it names id " + std::to_string(*top) +
               ", but coords.bin, offsets.bin and meta_offsets.bin hold slots for " +
               std::to_string(slots) + " ids";
    }
    if (auto why = stale_entries_damage(view.indexes, top)) return why;
    return numeric_damage(view.indexes, top);
}

void install_snapshot(index::CoreIndex& index, SnapshotData data) {
    index.files.set_used_lengths(data.ids_file_len, data.meta_file_len);
    static_cast<index::PersistedIndexes&>(index) = std::move(data);
}

}  // namespace vesko::persist
