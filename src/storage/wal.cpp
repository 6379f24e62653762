#include "storage/wal.h"

#include "common/check.h"
#include "storage/meta_codec.h"
#include "storage/wal_sums.h"

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

namespace {

std::span<const unsigned char> bytes_of(std::string_view text) {
    return std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// Cuts `file` to `length` when it is longer, and forces the cut to disk.
Result<void> cut_file(const FileDescriptor& file, std::uint64_t length) {
    auto size = file.size();
    if (!size) return size.error();
    if (*size <= length) return {};
    VESKO_TRY(file.truncate(length));
    return file.datasync();
}

// wal.crc for a log that had none: one Written record for its first `length` bytes, written
// under another name and renamed into place, so that a crash never leaves a wal.crc that
// vouches for less than the log it was made for.
Result<void> create_sums(const std::string& dir, std::uint64_t length) {
    const std::string tmp_path = join_path(dir, wal_sums_tmp_file_name);
    auto sums = FileDescriptor::open(tmp_path, OpenMode::WriteTruncate);
    if (!sums) return sums.error();
    if (length > 0) {
        auto log = FileBytes::open(join_path(dir, wal_file_name));
        if (!log) return log.error();
        VESKO_CHECK(*log && (*log)->bytes().size() >= length, "wal.bin shrank while opened");
        std::string record;
        encode_written(record, length, (*log)->bytes().first(static_cast<std::size_t>(length)));
        VESKO_TRY(sums->write_all(record));
    }
    VESKO_TRY(sums->datasync());
    VESKO_TRY(rename_path(tmp_path, join_path(dir, wal_sums_file_name)));
    return sync_directory(dir);
}

}  // namespace

Result<WalWriter> WalWriter::open(const std::string& dir, std::uint64_t length,
                                  std::optional<std::uint64_t> sums_length) {
    // A log that cannot be opened is named in the error: the caller cannot tell which it was.
    auto open_named = [&dir](const char* name) -> Result<FileDescriptor> {
        const std::string path = join_path(dir, name);
        auto opened = FileDescriptor::open(path, OpenMode::AppendCreate);
        if (!opened) {
            Error failed = opened.error();
            failed.message = "cannot open " + path + ": " + failed.message;
            return failed;
        }
        return opened;
    };
    auto file = open_named(wal_file_name);
    if (!file) return file.error();
    WalWriter writer;
    writer.file_ = std::move(file).value();
    // Records appended after a torn tail would never be replayed: cut it.
    VESKO_TRY(cut_file(writer.file_, length));
    if (!sums_length) VESKO_TRY(create_sums(dir, length));
    auto sums = open_named(wal_sums_file_name);
    if (!sums) return sums.error();
    writer.sums_ = std::move(sums).value();
    if (sums_length) {
        VESKO_TRY(cut_file(writer.sums_, *sums_length));
        writer.sums_len_ = *sums_length;
    } else {
        writer.sums_len_ = length > 0 ? wal_sum_bytes : 0;
    }
    writer.committed_len_ = length;
    writer.staged_.reserve(wal_buffer_bytes);
    return writer;
}

Result<void> WalWriter::cut_back() {
    VESKO_TRY(file_.truncate(committed_len_));
    return sums_.truncate(sums_len_);
}

Result<void> WalWriter::write_out(std::string_view bytes) {
    if (tail_unclean_) {
        VESKO_TRY(cut_back());
        tail_unclean_ = false;
    }
    sum_record_.clear();
    encode_written(sum_record_, committed_len_ + bytes.size(), bytes_of(bytes));
    auto written = file_.write_all(bytes);
    if (written) written = sums_.write_all(sum_record_);
    if (!written) {
        // Part of the bytes may have reached either file: cut them off so that no partial
        // record (and no record of a change that is not applied) stays behind.
        tail_unclean_ = !cut_back();
        return written.error();
    }
    committed_len_ += bytes.size();
    sums_len_ += wal_sum_bytes;
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

Result<void> WalWriter::cut_to(WalMark mark) {
    VESKO_CHECK(staged_.empty() && mark.log_len <= committed_len_ && mark.sums_len <= sums_len_,
                "a log cut beyond its records");
    VESKO_TRY(sums_.truncate(mark.sums_len));
    VESKO_TRY(file_.truncate(mark.log_len));
    committed_len_ = mark.log_len;
    sums_len_ = mark.sums_len;
    tail_unclean_ = false;
    return {};
}

Result<void> WalWriter::sync() {
    VESKO_CHECK(staged_.empty(), "a sync with records staged");
    if (synced_len_ == committed_len_) return {};
    VESKO_TRY(file_.datasync());
    sum_record_.clear();
    encode_synced(sum_record_, committed_len_);
    if (auto written = sums_.write_all(sum_record_); !written) {
        tail_unclean_ = !cut_back();
        return written.error();
    }
    sums_len_ += wal_sum_bytes;
    VESKO_TRY(sums_.datasync());
    synced_len_ = committed_len_;
    return {};
}

Result<void> WalWriter::truncate_all() {
    VESKO_TRY(sums_.truncate(0));
    Result<void> emptied = sums_.datasync();
    if (emptied) emptied = file_.truncate(0);
    if (emptied) emptied = file_.datasync();
    if (!emptied) {
        Error failure = emptied.error();
        failure.failed_sync = true;
        return failure;
    }
    committed_len_ = 0;
    sums_len_ = 0;
    synced_len_ = 0;
    tail_unclean_ = false;
    return {};
}

Result<void> empty_log_files(const std::string& dir) {
    for (const char* name : {wal_sums_file_name, wal_file_name}) {
        const std::string path = join_path(dir, name);
        if (!path_exists(path)) continue;
        auto file = FileDescriptor::open(path, OpenMode::ReadWriteExisting);
        if (!file) return file.error();
        VESKO_TRY(file->truncate(0));
        VESKO_TRY(file->sync());
    }
    return {};
}

}  // namespace vesko::storage
