#include "storage/data_files.h"

#include "common/check.h"
#include "common/utf8.h"
#include "storage/codec.h"
#include "storage/used_lengths.h"
#include "text/metadata.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace vesko::storage {

namespace {

// Most records are short: one positioned read of this many bytes usually brings the length and
// the whole record.
constexpr std::size_t speculative_read_bytes = 256;

}  // namespace

Result<DataFiles> DataFiles::open(const std::string& dir, OpenFailure on_failure) {
    // A file that cannot be opened, sized or mapped: an internal failure at once, or an error
    // for the caller, as it asked.
    auto failure = [on_failure](const std::string& what, const Error& error) {
        std::string message = what + ": " + error.message;
        if (on_failure == OpenFailure::Internal) fail_internal(message);
        return Error{ErrorKind::Os, std::move(message), error.os_errno};
    };
    DataFiles files;
    files.dir_ = dir;
    auto open_file = [&](FileDescriptor& file, const char* name) -> Result<void> {
        std::string path = join_path(dir, name);
        auto opened = FileDescriptor::open(path, OpenMode::ReadWriteCreate);
        if (!opened) return failure("cannot open " + path, opened.error());
        file = std::move(opened).value();
        return {};
    };
    VESKO_TRY(open_file(files.coords_.file, coords_file_name));
    VESKO_TRY(open_file(files.offsets_.file, offsets_file_name));
    VESKO_TRY(open_file(files.ids_.file, ids_file_name));
    VESKO_TRY(open_file(files.meta_offsets_.file, meta_offsets_file_name));
    VESKO_TRY(open_file(files.meta_.file, meta_file_name));

    auto size_of = [&](const FileDescriptor& file, const char* name) -> Result<std::uint64_t> {
        auto size = file.size();
        if (!size) return failure(std::string("cannot read the size of ") + name, size.error());
        return size;
    };
    auto coords_size = size_of(files.coords_.file, coords_file_name);
    if (!coords_size) return coords_size.error();
    for (auto [appended, name] :
         {std::pair{&files.ids_, ids_file_name}, std::pair{&files.meta_, meta_file_name}}) {
        auto size = size_of(appended->file, name);
        if (!size) return size.error();
        appended->used_len = appended->known_size = *size;
    }

    files.capacity_ = static_cast<std::uint32_t>(
        std::clamp<std::uint64_t>(*coords_size / slot_bytes, min_capacity_slots, 0xFFFFFFFFULL));
    const std::uint64_t wanted = static_cast<std::uint64_t>(files.capacity_) * slot_bytes;
    for (auto [slotted, name] : {std::pair{&files.coords_, coords_file_name},
                                 std::pair{&files.offsets_, offsets_file_name},
                                 std::pair{&files.meta_offsets_, meta_offsets_file_name}}) {
        // A longer file keeps its length, and is mapped whole. Blocks that cannot be reserved
        // (a full disk) are an ordinary error either way.
        VESKO_TRY(slotted->file.reserve(wanted));
        auto size = size_of(slotted->file, name);
        if (!size) return size.error();
        auto mapped = MappedRegion::map(slotted->file, *size, MapAccess::ReadWrite);
        if (!mapped) return failure(std::string("cannot map ") + name, mapped.error());
        slotted->map = std::move(mapped).value();
        slotted->map.advise_random();
        // Page tables for what the OS caches: the first searches after an open otherwise
        // spend more time taking page faults than searching.
        slotted->map.map_cached_pages(slotted->map.size());
    }
    files.ids_.refresh_view();
    files.meta_.refresh_view();
    return files;
}

Result<DataFiles> DataFiles::open_read_only(
    const std::function<std::string(const char*)>& path_of) {
    DataFiles files;
    files.read_only_ = true;
    for (auto [file, name] : {std::pair{&files.coords_.file, coords_file_name},
                              std::pair{&files.offsets_.file, offsets_file_name},
                              std::pair{&files.ids_.file, ids_file_name},
                              std::pair{&files.meta_offsets_.file, meta_offsets_file_name},
                              std::pair{&files.meta_.file, meta_file_name}}) {
        const std::string path = path_of(name);
        auto opened = FileDescriptor::open(path, OpenMode::ReadOnly);
        if (!opened) {
            Error error = opened.error();
            error.message = "cannot open " + path + ": " + error.message;
            return error;
        }
        *file = std::move(opened).value();
    }
    for (Appended* appended : {&files.ids_, &files.meta_}) {
        auto size = appended->file.size();
        if (!size) return size.error();
        appended->used_len = appended->known_size = *size;
        appended->refresh_view();
    }
    VESKO_TRY(files.remap_read_only());
    return files;
}

Result<void> DataFiles::remap_read_only() {
    std::uint64_t shortest = 0xFFFFFFFFULL * slot_bytes;
    for (Slotted* slotted : {&coords_, &offsets_, &meta_offsets_}) {
        auto size = slotted->file.size();
        if (!size) return size.error();
        // Never beyond the file's end: a page there would fault when read.
        if (*size > slotted->map.size() || slotted->map.data() == nullptr) {
            auto mapped = MappedRegion::map(slotted->file, *size, MapAccess::ReadOnly);
            if (!mapped) return mapped.error();
            mapped->advise_random();
            mapped->map_cached_pages(mapped->size());
            slotted->map = std::move(mapped).value();
        }
        shortest = std::min<std::uint64_t>(shortest, *size);
    }
    capacity_ = static_cast<std::uint32_t>(shortest / slot_bytes);
    return {};
}

Result<void> DataFiles::ensure_capacity(std::uint32_t int_id) {
    if (int_id < capacity_) return {};
    if (read_only_) {
        VESKO_TRY(remap_read_only());
        if (int_id < capacity_) return {};
        return Error{ErrorKind::Os, "the slot files end before slot " + std::to_string(int_id), 0};
    }
    const std::uint64_t new_capacity = std::min<std::uint64_t>(
        std::max<std::uint64_t>(std::uint64_t{capacity_} + growth_step_slots,
                                std::uint64_t{int_id} + growth_headroom_slots),
        0xFFFFFFFFULL);
    const std::uint64_t length = new_capacity * slot_bytes;
    for (Slotted* slotted : {&coords_, &offsets_, &meta_offsets_}) {
        // Each file is grown and mapped anew before its old mapping goes, so a failure leaves
        // every mapping valid for the old capacity.
        if (slotted->map.size() >= length) continue;
        VESKO_TRY(slotted->map.sync());
        VESKO_TRY(slotted->file.reserve(length));
        auto grown = MappedRegion::map(slotted->file, length, MapAccess::ReadWrite);
        if (!grown) {
            // The file goes back to the length of its mapping: a store is opened by mapping
            // its files whole, and one grown past what the address space holds (a 32-bit
            // machine) could not be opened again.
            (void)slotted->file.truncate(slotted->map.size());
            return grown.error();
        }
        grown->advise_random();
        grown->map_cached_pages(slotted->map.size());
        slotted->map = std::move(grown).value();
    }
    capacity_ = static_cast<std::uint32_t>(new_capacity);
    return {};
}

std::pair<float, float> DataFiles::coords(std::uint32_t int_id) const {
    const std::size_t at = std::size_t{int_id} * slot_bytes;
    VESKO_CHECK(at + slot_bytes <= coords_.map.size(), "coordinate slot outside coords.bin");
    const unsigned char* p = coords_.map.data() + at;
    return {std::bit_cast<float>(load_u32(p)), std::bit_cast<float>(load_u32(p + 4))};
}

void DataFiles::write_coords(std::uint32_t int_id, float lat_deg, float lon_deg) {
    if (read_only_) return;
    const std::size_t at = std::size_t{int_id} * slot_bytes;
    VESKO_CHECK(at + slot_bytes <= coords_.map.size(), "coordinate slot outside coords.bin");
    unsigned char* p = coords_.map.data() + at;
    store_u32(p, std::bit_cast<std::uint32_t>(lat_deg));
    store_u32(p + 4, std::bit_cast<std::uint32_t>(lon_deg));
}

std::pair<std::uint64_t, std::uint64_t> DataFiles::live_records_ends(
    const Bitmap& valid_ids) const {
    auto span_of = [](const MappedRegion& map, std::uint64_t limit) {
        return std::span<const unsigned char>(
            map.data(), static_cast<std::size_t>(std::min<std::uint64_t>(map.size(), limit)));
    };
    const std::uint64_t all = ~std::uint64_t{0};
    return {live_records_end(valid_ids, span_of(offsets_.map, all),
                             span_of(ids_.view, ids_.known_size)),
            live_records_end(valid_ids, span_of(meta_offsets_.map, all),
                             span_of(meta_.view, meta_.known_size))};
}

std::uint64_t DataFiles::slot_value(const MappedRegion& map, std::uint32_t int_id) const {
    return load_u64(map.data() + std::size_t{int_id} * slot_bytes);
}

void DataFiles::set_slot_value(MappedRegion& map, std::uint32_t int_id, std::uint64_t value) {
    const std::size_t at = std::size_t{int_id} * slot_bytes;
    VESKO_CHECK(at + slot_bytes <= map.size(), "offset slot outside its mapped file");
    store_u64(map.data() + at, value);
}

void DataFiles::Appended::refresh_view() {
    if (known_size <= view.size() && view.data() != nullptr) return;
    // Twice what the file holds, and at least 64 MiB: a new view is needed once per doubling.
    const std::uint64_t reserve = std::max<std::uint64_t>(2 * known_size, std::uint64_t{64} << 20);
    auto mapped = MappedRegion::map(file, reserve, MapAccess::ReadOnly);
    // Without a view every read goes through positioned reads, which is only slower.
    view = mapped ? std::move(mapped).value() : MappedRegion();
    view.map_cached_pages(known_size);
}

std::optional<std::string_view> DataFiles::record_view(const Appended& file, std::uint64_t offset,
                                                       std::uint64_t max_len, std::string& spill) {
    const std::uint64_t viewable = std::min<std::uint64_t>(file.known_size, file.view.size());
    if (offset <= viewable && viewable - offset >= 4) {
        const unsigned char* at = file.view.data() + offset;
        const std::uint64_t n = load_u32(at);
        if (n > max_len) return std::nullopt;
        if (n <= viewable - offset - 4) {
            const std::string_view bytes(reinterpret_cast<const char*>(at + 4),
                                         static_cast<std::size_t>(n));
            if (!is_valid_utf8(bytes)) return std::nullopt;
            return bytes;
        }
    }
    std::array<unsigned char, speculative_read_bytes> head;
    auto got = file.file.read_at(head, offset);
    if (!got || *got < 4) return std::nullopt;
    const std::uint64_t n = load_u32(head.data());
    if (n > max_len) return std::nullopt;
    // The stored length is not trusted beyond the bytes the file holds.
    if (offset + 4 + n > file.known_size) {
        auto size = file.file.size();
        if (!size || offset + 4 + n > *size) return std::nullopt;
    }
    const std::size_t have = std::min<std::size_t>(*got - 4, static_cast<std::size_t>(n));
    spill.assign(reinterpret_cast<const char*>(head.data() + 4), have);
    if (have < n) {
        spill.resize(static_cast<std::size_t>(n));
        auto rest = file.file.read_at(
            std::span<unsigned char>(reinterpret_cast<unsigned char*>(spill.data()) + have,
                                     static_cast<std::size_t>(n) - have),
            offset + 4 + have);
        if (!rest || *rest != n - have) return std::nullopt;
    }
    if (!is_valid_utf8(spill)) return std::nullopt;
    return std::string_view(spill);
}

std::optional<std::string> DataFiles::read_record(const Appended& file, std::uint64_t offset,
                                                  std::uint64_t max_len) {
    std::string spill;
    auto bytes = record_view(file, offset, max_len, spill);
    if (!bytes) return std::nullopt;
    return std::string(*bytes);
}

DataFiles::RecordOffsets DataFiles::record_offsets(std::uint32_t int_id) const {
    VESKO_CHECK((std::size_t{int_id} + 1) * slot_bytes <= offsets_.map.size(),
                "id slot outside offsets.bin");
    const bool has_meta_slot = (std::size_t{int_id} + 1) * slot_bytes <= meta_offsets_.map.size();
    return {slot_value(offsets_.map, int_id),
            has_meta_slot ? slot_value(meta_offsets_.map, int_id) : no_record};
}

std::optional<std::string_view> DataFiles::external_id_at(std::uint64_t offset,
                                                          std::string& spill) const {
    return record_view(ids_, offset, 0xFFFFFFFFULL, spill);
}

std::string_view DataFiles::metadata_at(std::uint64_t offset, std::string& spill) const {
    constexpr std::string_view unreadable = "{}";
    if (offset >= meta_.used_len) return unreadable;
    return record_view(meta_, offset, text::max_metadata_bytes, spill).value_or(unreadable);
}

void DataFiles::prefetch_records(const RecordOffsets& offsets) const {
    if (offsets.ext_id < ids_.view.size()) __builtin_prefetch(ids_.view.data() + offsets.ext_id);
    // A metadata record of a few members spans two cache lines more often than not.
    for (std::uint64_t at = offsets.metadata; at < meta_.view.size() && at < offsets.metadata + 128;
         at += 64) {
        __builtin_prefetch(meta_.view.data() + at);
    }
}

void DataFiles::prefetch_coords(std::uint32_t int_id) const {
    const std::size_t at = std::size_t{int_id} * slot_bytes;
    if (at < coords_.map.size()) __builtin_prefetch(coords_.map.data() + at);
}

std::optional<std::string> DataFiles::get_external_id(std::uint32_t int_id) const {
    std::string spill;
    auto bytes = external_id_at(record_offsets(int_id).ext_id, spill);
    if (!bytes) return std::nullopt;
    return std::string(*bytes);
}

std::string DataFiles::get_metadata(std::uint32_t int_id) const {
    if ((std::size_t{int_id} + 1) * slot_bytes > meta_offsets_.map.size()) return "{}";
    std::string spill;
    return std::string(metadata_at(slot_value(meta_offsets_.map, int_id), spill));
}

Result<StagedRecord> DataFiles::stage_record(Appended& file, const MappedRegion& slots,
                                             std::uint32_t int_id, std::string_view bytes,
                                             AppendMode mode, const char* what) {
    VESKO_CHECK(bytes.size() <= 0xFFFFFFFFULL, std::string("record too long for ") + what);
    VESKO_CHECK((std::size_t{int_id} + 1) * slot_bytes <= slots.size(),
                std::string("slot outside the offsets of ") + what);
    if (read_only_) return find_written_record(file, slots, int_id, bytes, what);
    if (mode == AppendMode::ReuseIdentical) {
        // Records below the used length are never rewritten, so a slot that already points
        // at an identical record there can keep it instead of appending a copy.
        const std::uint64_t offset = slot_value(slots, int_id);
        if (offset + 4 + bytes.size() <= file.used_len) {
            auto existing = read_record(file, offset, bytes.size());
            if (existing && *existing == bytes) return StagedRecord{offset, 4 + bytes.size()};
        }
    }
    scratch_.clear();
    put_u32(scratch_, static_cast<std::uint32_t>(bytes.size()));
    scratch_.append(bytes);
    const std::uint64_t offset = file.used_len;
    if (auto written = file.file.write_at(scratch_, offset); !written) {
        // The file may hold part of the record now; without a cut, a reopen would count it
        // into the used length as waste.
        (void)file.file.truncate(std::max(file.used_len, file.known_size));
        return written.error();
    }
    file.known_size = std::max(file.known_size, offset + scratch_.size());
    return StagedRecord{offset, scratch_.size()};
}

Result<StagedRecord> DataFiles::find_written_record(Appended& file, const MappedRegion& slots,
                                                    std::uint32_t int_id, std::string_view bytes,
                                                    const char* what) {
    // Read by a call, not through the view: a slot that does not point at this record may
    // point past the file's end, where a mapped page would fault.
    const std::uint64_t offset = slot_value(slots, int_id);
    scratch_.assign(4 + bytes.size(), '\0');
    auto got =
        file.file.read_at(std::span<unsigned char>(
                              reinterpret_cast<unsigned char*>(scratch_.data()), scratch_.size()),
                          offset);
    if (!got) return got.error();
    const auto* head = reinterpret_cast<const unsigned char*>(scratch_.data());
    if (*got == scratch_.size() && load_u32(head) == bytes.size() &&
        std::string_view(scratch_).substr(4) == bytes) {
        // Views reach the record from now on.
        file.known_size = std::max(file.known_size, offset + scratch_.size());
        file.refresh_view();
        return StagedRecord{offset, 4 + bytes.size()};
    }
    return Error{ErrorKind::Os,
                 std::string("slot ") + std::to_string(int_id) + " of " + what +
                     " does not hold the record the log names",
                 0};
}

Result<void> DataFiles::stage_records(Appended& file, std::span<const std::string_view> texts,
                                      std::vector<StagedRecord>& out, const char* what) {
    VESKO_CHECK(!read_only_, "a reader's files are never appended to");
    out.clear();
    out.reserve(texts.size());
    scratch_.clear();
    for (std::string_view bytes : texts) {
        VESKO_CHECK(bytes.size() <= 0xFFFFFFFFULL, std::string("record too long for ") + what);
        out.push_back(StagedRecord{file.used_len + scratch_.size(), 4 + bytes.size()});
        put_u32(scratch_, static_cast<std::uint32_t>(bytes.size()));
        scratch_.append(bytes);
    }
    if (scratch_.empty()) return {};
    if (auto written = file.file.write_at(scratch_, file.used_len); !written) {
        (void)file.file.truncate(std::max(file.used_len, file.known_size));
        return written.error();
    }
    file.known_size = std::max(file.known_size, file.used_len + scratch_.size());
    return {};
}

Result<void> DataFiles::stage_external_ids(std::span<const std::string_view> ext_ids,
                                           std::vector<StagedRecord>& out) {
    return stage_records(ids_, ext_ids, out, ids_file_name);
}

Result<void> DataFiles::stage_metadata_texts(std::span<const std::string_view> meta_texts,
                                             std::vector<StagedRecord>& out) {
    return stage_records(meta_, meta_texts, out, meta_file_name);
}

void DataFiles::commit_record(Appended& file, MappedRegion& slots, std::uint32_t int_id,
                              StagedRecord record) {
    if (!read_only_) set_slot_value(slots, int_id, record.offset);
    file.used_len = std::max(file.used_len, record.offset + record.length);
    // The common case, a view that still covers the file, without a call.
    if (file.known_size > file.view.size() || file.view.data() == nullptr) file.refresh_view();
}

Result<StagedRecord> DataFiles::stage_external_id(std::uint32_t int_id, std::string_view ext_id,
                                                  AppendMode mode) {
    return stage_record(ids_, offsets_.map, int_id, ext_id, mode, ids_file_name);
}

Result<StagedRecord> DataFiles::stage_metadata(std::uint32_t int_id, std::string_view meta_text,
                                               AppendMode mode) {
    return stage_record(meta_, meta_offsets_.map, int_id, meta_text, mode, meta_file_name);
}

void DataFiles::commit_external_id(std::uint32_t int_id, StagedRecord record) {
    commit_record(ids_, offsets_.map, int_id, record);
}

void DataFiles::commit_metadata(std::uint32_t int_id, StagedRecord record) {
    commit_record(meta_, meta_offsets_.map, int_id, record);
}

void DataFiles::release_buffers() {
    if (scratch_.capacity() > (std::size_t{1} << 20)) std::string().swap(scratch_);
}

void DataFiles::drop_staged() {
    if (read_only_) return;
    for (Appended* file : {&ids_, &meta_}) {
        // Readers never look beyond known_size, so it must not exceed the file once cut.
        if (file->file.valid() && file->known_size > file->used_len &&
            file->file.truncate(file->used_len)) {
            file->known_size = file->used_len;
        }
    }
}

Result<std::pair<std::uint64_t, std::uint64_t>> DataFiles::appended_sizes() const {
    auto ids_size = ids_.file.size();
    if (!ids_size) return ids_size.error();
    auto meta_size = meta_.file.size();
    if (!meta_size) return meta_size.error();
    return std::pair<std::uint64_t, std::uint64_t>(*ids_size, *meta_size);
}

Result<void> DataFiles::sync_all() const {
    VESKO_TRY(coords_.map.sync());
    VESKO_TRY(offsets_.map.sync());
    VESKO_TRY(meta_offsets_.map.sync());
    // msync writes the pages back but not a length the file grew to; the snapshot relies on
    // the slots it refers to existing after a power loss.
    VESKO_TRY(coords_.file.datasync());
    VESKO_TRY(offsets_.file.datasync());
    VESKO_TRY(meta_offsets_.file.datasync());
    VESKO_TRY(ids_.file.datasync());
    VESKO_TRY(meta_.file.datasync());
    return {};
}

}  // namespace vesko::storage
