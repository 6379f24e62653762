#include "storage/wal.h"

#include "common/check.h"
#include "storage/meta_codec.h"

namespace vesko::storage {

namespace {

constexpr std::uint32_t variant_insert = 0;
constexpr std::uint32_t variant_delete = 1;
constexpr std::uint32_t variant_upsert = 2;

// Fields of an Insert or Upsert after its variant; false with `why` set on failure.
bool decode_point(ByteReader& reader, WalEntry& entry, const char*& why, bool keep_meta) {
    why = "an id that is not UTF-8 text (or claims 2^32 bytes or more)";
    if (!read_log_text(reader, entry.ext_id)) return false;
    why = "a cut coordinate";
    if (!reader.f32(entry.lat_deg) || !reader.f32(entry.lon_deg)) return false;
    why = "metadata that does not decode";
    if (!(keep_meta ? decode_meta_object(reader, entry.meta) : skip_meta_object(reader)))
        return false;
    std::uint8_t has_skip;
    why = "a skip_index flag other than 0 or 1";
    if (!reader.u8(has_skip) || has_skip > 1) return false;
    if (has_skip == 0) return true;
    std::uint64_t count;
    why = "a skip_index count of 2^32 or more";
    if (!reader.u64(count) || count > max_log_length) return false;
    // Names are decoded one by one, so a damaged count reserves nothing.
    std::vector<std::string> names;
    why = "a skip_index name that is not UTF-8 text (or claims 2^32 bytes or more)";
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!read_log_text(reader, names.emplace_back())) return false;
    }
    entry.skip_index = std::move(names);
    return true;
}

bool decode_delete(ByteReader& reader, WalEntry& entry, const char*& why) {
    entry.kind = WalEntry::Kind::Delete;
    why = "an id that is not UTF-8 text (or claims 2^32 bytes or more)";
    return read_log_text(reader, entry.ext_id);
}

// Insert and Upsert share their fields: these come before the metadata, and after it.
void encode_point_head(std::string& out, std::uint32_t variant, std::string_view ext_id,
                       float lat_deg, float lon_deg) {
    put_u32(out, variant);
    put_string(out, ext_id);
    put_f32(out, lat_deg);
    put_f32(out, lon_deg);
}

void encode_skip_index(std::string& out, const std::vector<std::string>* skip_index) {
    if (skip_index == nullptr) {
        put_u8(out, 0);
        return;
    }
    put_u8(out, 1);
    put_u64(out, skip_index->size());
    for (const std::string& name : *skip_index) put_string(out, name);
}

void encode_point(std::string& out, std::uint32_t variant, std::string_view ext_id, float lat_deg,
                  float lon_deg, const text::Json& meta,
                  const std::vector<std::string>* skip_index) {
    encode_point_head(out, variant, ext_id, lat_deg, lon_deg);
    encode_meta_object(out, meta);
    encode_skip_index(out, skip_index);
}

}  // namespace

void encode_insert(std::string& out, std::string_view ext_id, float lat_deg, float lon_deg,
                   const text::Json& meta, const std::vector<std::string>* skip_index) {
    encode_point(out, variant_insert, ext_id, lat_deg, lon_deg, meta, skip_index);
}

void encode_flat_insert(std::string& out, std::string_view ext_id, float lat_deg, float lon_deg,
                        std::span<const text::FlatMember> meta,
                        const std::vector<std::string>* skip_index) {
    encode_point_head(out, variant_insert, ext_id, lat_deg, lon_deg);
    encode_flat_meta_object(out, meta);
    encode_skip_index(out, skip_index);
}

void encode_upsert(std::string& out, std::string_view ext_id, float lat_deg, float lon_deg,
                   const text::Json& meta, const std::vector<std::string>* skip_index) {
    encode_point(out, variant_upsert, ext_id, lat_deg, lon_deg, meta, skip_index);
}

void encode_delete(std::string& out, std::string_view ext_id) {
    put_u32(out, variant_delete);
    put_string(out, ext_id);
}

namespace {

// Decodes one record; without keep_meta the metadata is checked but not built.
WalRead decode_record(ByteReader& reader, WalEntry& entry, std::string* why, bool keep_meta) {
    entry = WalEntry();
    std::uint32_t variant;
    if (!reader.u32(variant)) return WalRead::TornTail;
    const char* failure = nullptr;
    bool decoded = false;
    switch (variant) {
        case variant_insert:
            entry.kind = WalEntry::Kind::Insert;
            decoded = decode_point(reader, entry, failure, keep_meta);
            break;
        case variant_upsert:
            entry.kind = WalEntry::Kind::Upsert;
            decoded = decode_point(reader, entry, failure, keep_meta);
            break;
        case variant_delete:
            decoded = decode_delete(reader, entry, failure);
            break;
        default:
            if (why != nullptr) *why = "unknown record variant " + std::to_string(variant);
            return WalRead::Damaged;
    }
    if (decoded) return WalRead::Record;
    // Running out of bytes is only reported when everything read before the end was sound.
    if (reader.exhausted()) return WalRead::TornTail;
    if (why != nullptr) *why = failure;
    return WalRead::Damaged;
}

}  // namespace

WalRead decode_wal_entry(ByteReader& reader, WalEntry& entry, std::string* why) {
    return decode_record(reader, entry, why, true);
}

WalRead check_wal_entry(ByteReader& reader, std::string* why) {
    WalEntry scratch;
    return decode_record(reader, scratch, why, false);
}

std::optional<WalEntry> decode_wal_entry(ByteReader& reader) {
    WalEntry entry;
    if (decode_wal_entry(reader, entry) != WalRead::Record) return std::nullopt;
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

Result<void> WalWriter::write_out(std::string_view bytes) {
    if (tail_unclean_) {
        VESKO_TRY(file_.truncate(committed_len_));
        tail_unclean_ = false;
    }
    if (auto written = file_.write_all(bytes); !written) {
        // Part of the bytes may have reached the file: cut them off so that no partial record
        // (and no record of a change that is not applied) stays behind.
        tail_unclean_ = !file_.truncate(committed_len_);
        return written.error();
    }
    committed_len_ += bytes.size();
    return {};
}

Result<void> WalWriter::flush() {
    if (staged_.empty()) return {};
    auto written = write_out(staged_);
    staged_.clear();
    // One huge record must not pin its memory for the life of the store.
    if (staged_.capacity() > 64 * wal_buffer_bytes) {
        staged_.shrink_to_fit();
        staged_.reserve(wal_buffer_bytes);
    }
    return written;
}

Result<void> WalWriter::write_records(std::string_view records) {
    VESKO_CHECK(staged_.empty(), "records written around staged ones");
    if (records.empty()) return {};
    return write_out(records);
}

Result<void> WalWriter::cut_to(std::uint64_t length) {
    VESKO_TRY(file_.truncate(length));
    committed_len_ = length;
    tail_unclean_ = false;
    return {};
}

Result<void> WalWriter::sync() {
    VESKO_TRY(flush());
    return file_.datasync();
}

Result<void> WalWriter::truncate_all() {
    VESKO_TRY(file_.truncate(0));
    committed_len_ = 0;
    tail_unclean_ = false;
    VESKO_TRY(file_.seek(0));
    return {};
}

}  // namespace vesko::storage
