#include "storage/snapshot.h"

#include "storage/bitmap_codec.h"

namespace vesko::storage {

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

bool read_numeric(ByteReader& reader, filter::NumericBsiIndex& out) {
    std::array<Bitmap, filter::NumericBsiIndex::slice_count> slices;
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
    out = filter::NumericBsiIndex::from_parts(std::move(slices), std::move(existence), min_encoded,
                                              max_encoded, top_bit);
    return true;
}

bool decode_into(ByteReader& reader, SnapshotData& data) {
    std::uint64_t count;
    if (!reader.u64(count)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string field;
        std::uint64_t values;
        if (!reader.text(field) || !reader.u64(values)) return false;
        StringMap<Bitmap> inner;
        for (std::uint64_t j = 0; j < values; ++j) {
            std::string value;
            Bitmap ids;
            if (!reader.text(value) || !read_bitmap(reader, ids)) return false;
            if (!inner.emplace(std::move(value), std::move(ids)).second) return false;
        }
        if (!data.str_index.emplace(std::move(field), std::move(inner)).second) return false;
    }
    if (!reader.u64(count)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string field;
        filter::NumericBsiIndex bsi;
        if (!reader.text(field) || !read_numeric(reader, bsi)) return false;
        if (!data.num_index.emplace(std::move(field), std::move(bsi)).second) return false;
    }
    if (!reader.u64(count)) return false;
    // Each cell takes at least 24 bytes; the check keeps a damaged count from reserving memory.
    if (count > reader.remaining() / 24) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t key;
        spatial::CellIds ids;
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

SnapshotView view_of(const CoreIndex& index) {
    return SnapshotView{
        index.str_index, index.num_index,  index.grid_index,           index.valid_ids,
        index.deleted,   index.ext_to_int, index.files.ids_file_len(), index.files.meta_file_len()};
}

Result<void> write_snapshot_file(const SnapshotView& view, const std::string& path) {
    auto file = FileDescriptor::open(path, OpenMode::WriteTruncate);
    if (!file) return file.error();
    VESKO_TRY(
        encode_snapshot(view, [&](std::string_view bytes) { return file->write_all(bytes); }));
    return file->sync();
}

Result<void> encode_snapshot(const SnapshotView& index,
                             const std::function<Result<void>(std::string_view)>& sink) {
    Encoder enc(sink);
    std::string& out = enc.out();
    put_u64(out, index.str_index.size());
    for (const auto& [field, values] : index.str_index) {
        put_string(out, field);
        put_u64(out, values.size());
        for (const auto& [value, ids] : values) {
            put_string(out, value);
            put_bitmap(out, ids);
            VESKO_TRY(enc.spill_if_full());
        }
    }
    put_u64(out, index.num_index.size());
    for (const auto& [field, bsi] : index.num_index) {
        put_string(out, field);
        for (const Bitmap& slice : bsi.slices()) put_bitmap(out, slice);
        put_bitmap(out, bsi.existence());
        put_u32(out, bsi.min_encoded());
        put_u32(out, bsi.max_encoded());
        put_u8(out, bsi.top_bit());
        VESKO_TRY(enc.spill_if_full());
    }
    put_u64(out, index.grid_index.size());
    for (const auto& [block_key, block] : index.grid_index.blocks()) {
        for (const spatial::GridIndex::Cell& cell : block.cells) {
            put_u64(out, spatial::cell_in(block_key, cell.local));
            put_sorted_ids(out, cell.ids.begin(), cell.ids.size());
            VESKO_TRY(enc.spill_if_full());
        }
    }
    put_bitmap(out, index.valid_ids);
    put_bitmap(out, index.deleted);
    put_u64(out, index.ext_to_int.size());
    Result<void> spilled;
    index.ext_to_int.for_each([&](std::uint64_t hash, std::uint32_t int_id) {
        put_u64(out, hash);
        put_u32(out, int_id);
        if (spilled) spilled = enc.spill_if_full();
    });
    VESKO_TRY(spilled);
    put_u64(out, index.ids_file_len);
    put_u64(out, index.meta_file_len);
    return enc.spill();
}

std::optional<SnapshotData> decode_snapshot(std::span<const unsigned char> bytes) {
    ByteReader reader(bytes);
    SnapshotData data;
    if (!decode_into(reader, data)) return std::nullopt;
    return data;
}

bool internally_consistent(const SnapshotData& data) {
    if (data.valid_ids.intersects(data.deleted)) return false;
    const Bitmap inserted = data.valid_ids | data.deleted;
    if (!inserted.empty() && inserted.cardinality() != std::uint64_t{inserted.maximum()} + 1)
        return false;
    bool ids_live = true;
    data.ext_to_int.for_each([&](std::uint64_t, std::uint32_t int_id) {
        ids_live = ids_live && data.valid_ids.contains(int_id);
    });
    if (!ids_live) return false;
    auto only_inserted = [&](const Bitmap& ids) {
        return ids.and_cardinality(inserted) == ids.cardinality();
    };
    bool cells_ok = true;
    data.grid_index.for_each_cell([&](std::uint64_t, const spatial::CellIds& ids) {
        for (std::uint32_t id : ids) cells_ok = cells_ok && inserted.contains(id);
    });
    if (!cells_ok) return false;
    for (const auto& [field, values] : data.str_index) {
        for (const auto& [value, ids] : values) {
            if (!only_inserted(ids)) return false;
        }
    }
    for (const auto& [field, bsi] : data.num_index) {
        if (!(bsi.existence() - data.valid_ids).empty()) return false;
        for (const Bitmap& slice : bsi.slices()) {
            if (!(slice - bsi.existence()).empty()) return false;
        }
        const bool never_recorded = bsi.min_encoded() == 0xFFFFFFFFU && bsi.max_encoded() == 0;
        if (!never_recorded && bsi.min_encoded() > bsi.max_encoded()) return false;
        if (filter::highest_bit(bsi.max_encoded()) != bsi.top_bit()) return false;
        if (never_recorded && !bsi.existence().empty()) return false;
    }
    return true;
}

void install_snapshot(CoreIndex& index, SnapshotData data) {
    index.str_index = std::move(data.str_index);
    index.num_index = std::move(data.num_index);
    index.grid_index = std::move(data.grid_index);
    index.valid_ids = std::move(data.valid_ids);
    index.deleted = std::move(data.deleted);
    index.ext_to_int = std::move(data.ext_to_int);
    index.files.set_used_lengths(data.ids_file_len, data.meta_file_len);
}

}  // namespace vesko::storage
