#include "storage/wal.h"

#include "storage/meta_codec.h"

namespace vesko::storage {

namespace {

constexpr std::uint32_t variant_insert = 0;
constexpr std::uint32_t variant_delete = 1;

}  // namespace

void encode_insert(std::string& out, std::string_view ext_id, float lat_deg, float lon_deg,
                   const filter::Json& meta, const std::vector<std::string>* skip_index) {
    put_u32(out, variant_insert);
    put_string(out, ext_id);
    put_f32(out, lat_deg);
    put_f32(out, lon_deg);
    encode_meta_object(out, meta);
    if (skip_index == nullptr) {
        put_u8(out, 0);
        return;
    }
    put_u8(out, 1);
    put_u64(out, skip_index->size());
    for (const std::string& name : *skip_index) put_string(out, name);
}

void encode_delete(std::string& out, std::string_view ext_id) {
    put_u32(out, variant_delete);
    put_string(out, ext_id);
}

std::optional<WalEntry> decode_wal_entry(ByteReader& reader) {
    std::uint32_t variant;
    if (!reader.u32(variant)) return std::nullopt;
    WalEntry entry;
    if (variant == variant_delete) {
        entry.kind = WalEntry::Kind::Delete;
        if (!reader.text(entry.ext_id)) return std::nullopt;
        return entry;
    }
    if (variant != variant_insert) return std::nullopt;
    entry.kind = WalEntry::Kind::Insert;
    if (!reader.text(entry.ext_id) || !reader.f32(entry.lat_deg) || !reader.f32(entry.lon_deg) ||
        !decode_meta_object(reader, entry.meta)) {
        return std::nullopt;
    }
    std::uint8_t has_skip;
    if (!reader.u8(has_skip) || has_skip > 1) return std::nullopt;
    if (has_skip == 1) {
        std::uint64_t count;
        // Each name takes at least its 8-byte length.
        if (!reader.u64(count) || count > reader.remaining() / 8) return std::nullopt;
        std::vector<std::string> names(static_cast<std::size_t>(count));
        for (std::string& name : names) {
            if (!reader.text(name)) return std::nullopt;
        }
        entry.skip_index = std::move(names);
    }
    return entry;
}

Result<WalWriter> WalWriter::open(const std::string& path, std::uint64_t length) {
    auto file = FileDescriptor::open(path, OpenMode::AppendCreate);
    if (!file) return file.error();
    WalWriter writer;
    writer.file_ = std::move(file).value();
    writer.committed_len_ = length;
    writer.staged_.reserve(wal_buffer_bytes);
    return writer;
}

Result<void> WalWriter::flush() {
    if (staged_.empty()) return {};
    if (tail_unclean_) {
        if (auto cut = file_.truncate(committed_len_); !cut) {
            staged_.clear();
            return cut.error();
        }
        tail_unclean_ = false;
    }
    auto written = file_.write_all(staged_);
    if (!written) {
        // Part of the bytes may have reached the file: cut them off so that no partial record
        // (and no record of a change that is not applied) stays behind.
        tail_unclean_ = !file_.truncate(committed_len_);
        staged_.clear();
        return written.error();
    }
    committed_len_ += staged_.size();
    staged_.clear();
    // One huge record must not pin its memory for the life of the store.
    if (staged_.capacity() > 64 * wal_buffer_bytes) {
        staged_.shrink_to_fit();
        staged_.reserve(wal_buffer_bytes);
    }
    return {};
}

Result<void> WalWriter::cut_to(std::uint64_t length) {
    VESKO_TRY(file_.truncate(length));
    committed_len_ = length;
    return {};
}

Result<void> WalWriter::truncate_all() {
    VESKO_TRY(file_.truncate(0));
    committed_len_ = 0;
    tail_unclean_ = false;
    VESKO_TRY(file_.seek(0));
    return {};
}

}  // namespace vesko::storage
