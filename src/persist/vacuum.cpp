// Vacuum: the live points copied densely, in their order, into new data files, every index
// rebuilt for the new numbering, a snapshot of the result, and the switch to it committed by
// one marker file (see vacuum.h). Runs with the index lock held exclusively throughout.
#include "persist/vacuum.h"

#include "index/id_hash.h"
#include "persist/snapshot.h"
#include "storage/codec.h"
#include "storage/wal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace vesko::persist {

namespace {

constexpr std::uint32_t not_kept = 0xFFFFFFFFU;
constexpr std::size_t write_buffer_bytes = 1 << 20;
constexpr std::uint64_t min_coords_bytes = 800000;
constexpr std::uint64_t min_offsets_bytes = 792000;
constexpr std::uint64_t offsets_headroom_bytes = 8000;

// A file written front to back through a buffer.
class BufferedFile {
  public:
    static Result<BufferedFile> create(const std::string& path) {
        auto file = storage::FileDescriptor::open(path, storage::OpenMode::WriteTruncate);
        if (!file) return file.error();
        BufferedFile out;
        out.file_ = std::move(file).value();
        out.buffer_.reserve(write_buffer_bytes + 4096);
        return out;
    }

    std::string& buffer() { return buffer_; }
    std::uint64_t length() const { return written_ + buffer_.size(); }

    Result<void> spill_if_full() {
        return buffer_.size() >= write_buffer_bytes ? spill() : Result<void>();
    }

    // Writes what is buffered, extends the file to at least min_length with its blocks
    // reserved, forces it to disk.
    Result<void> finish(std::uint64_t min_length) {
        VESKO_TRY(spill());
        // Reserved, not just extended: the file becomes a mapped slot file, and a hole there
        // would turn a later full disk into SIGBUS.
        if (written_ < min_length) VESKO_TRY(file_.reserve(min_length));
        return file_.sync();
    }

  private:
    Result<void> spill() {
        VESKO_TRY(file_.write_all(buffer_));
        written_ += buffer_.size();
        buffer_.clear();
        return {};
    }

    storage::FileDescriptor file_;
    std::string buffer_;
    std::uint64_t written_ = 0;
};

}  // namespace

std::string vac_path(const std::string& dir, const char* name) {
    return storage::join_path(dir, std::string(name) + vacuum_suffix);
}

namespace {

void put_record(std::string& out, std::string_view bytes) {
    storage::put_u32(out, static_cast<std::uint32_t>(bytes.size()));
    out.append(bytes);
}

// Every numeric field survives, with bounds recomputed from the surviving values: each
// value's code is rebuilt from the slices in one pass over them, then recorded for the new id.
void copy_numeric(const index::NumIndex& old_index, const std::vector<std::uint32_t>& table,
                  index::NumIndex& out) {
    for (const auto& [field, bsi] : old_index) {
        index::NumericBsiIndex& fresh = out[field];
        if (bsi.existence().empty()) continue;
        const std::vector<std::uint32_t> codes = bsi.decode_codes(table.size());
        bsi.existence().for_each([&](std::uint32_t old_id) {
            if (old_id >= table.size() || table[old_id] == not_kept) return;
            const float value = index::from_sortable_bits(codes[old_id]);
            if (!std::isnan(value)) fresh.set_value(table[old_id], value);
        });
    }
}

// Values and fields left without ids disappear.
void copy_strings(const index::StrIndex& old_index, const std::vector<std::uint32_t>& table,
                  index::StrIndex& out) {
    for (const auto& [field, values] : old_index) {
        index::StringMap<index::ValueIds> fresh;
        for (const auto& [value, ids] : values) {
            index::ValueIds renumbered;
            ids.for_each([&](std::uint32_t old_id) {
                if (old_id < table.size() && table[old_id] != not_kept)
                    renumbered.add(table[old_id]);
            });
            if (!renumbered.empty()) fresh.emplace(value, std::move(renumbered));
        }
        if (!fresh.empty()) out.emplace(field, std::move(fresh));
    }
}

}  // namespace

Result<SnapshotData> write_compacted(const index::CoreIndex& index, const std::string& dir,
                                     Interrupt* interrupt) {
    auto coords = BufferedFile::create(vac_path(dir, storage::coords_file_name));
    if (!coords) return coords.error();
    auto offsets = BufferedFile::create(vac_path(dir, storage::offsets_file_name));
    if (!offsets) return offsets.error();
    auto ids = BufferedFile::create(vac_path(dir, storage::ids_file_name));
    if (!ids) return ids.error();
    auto meta_offsets = BufferedFile::create(vac_path(dir, storage::meta_offsets_file_name));
    if (!meta_offsets) return meta_offsets.error();
    auto meta = BufferedFile::create(vac_path(dir, storage::meta_file_name));
    if (!meta) return meta.error();

    SnapshotData out;
    const std::vector<std::uint32_t> live = index.valid_ids.to_vector();
    std::vector<std::uint32_t> table(live.empty() ? 1 : static_cast<std::size_t>(live.back()) + 1,
                                     not_kept);
    for (std::uint32_t k = 0; k < live.size(); ++k) {
        if (k % vacuum_interrupt_points == 0 && interrupt != nullptr && interrupt->requested()) {
            return vacuum_interrupted();
        }
        const std::uint32_t old_id = live[k];
        table[old_id] = k;
        const auto [lat, lon] = index.files.coords(old_id);
        storage::put_f32(coords->buffer(), lat);
        storage::put_f32(coords->buffer(), lon);
        // An unreadable record is written as the readers' fallback: an empty id, "{}".
        const std::string ext_id = index.files.get_external_id(old_id).value_or(std::string());
        storage::put_u64(offsets->buffer(), ids->length());
        put_record(ids->buffer(), ext_id);
        const std::string text = index.files.get_metadata(old_id);
        storage::put_u64(meta_offsets->buffer(), meta->length());
        put_record(meta->buffer(), text);
        out.ext_to_int.assign(index::hash_id(ext_id), k);
        out.valid_ids.add(k);
        out.grid_index.file_point(k, lat, lon);
        for (BufferedFile* f : {&*coords, &*offsets, &*ids, &*meta_offsets, &*meta}) {
            VESKO_TRY(f->spill_if_full());
        }
    }
    copy_numeric(index.num_index, table, out.num_index);
    copy_strings(index.str_index, table, out.str_index);
    out.ids_file_len = ids->length();
    out.meta_file_len = meta->length();

    const std::uint64_t n_bytes = std::uint64_t{live.size()} * storage::slot_bytes;
    const std::uint64_t offsets_bytes =
        std::max(n_bytes, min_offsets_bytes) + offsets_headroom_bytes;
    VESKO_TRY(coords->finish(std::max(n_bytes, min_coords_bytes)));
    VESKO_TRY(ids->finish(0));
    VESKO_TRY(offsets->finish(offsets_bytes));
    VESKO_TRY(meta->finish(0));
    VESKO_TRY(meta_offsets->finish(offsets_bytes));
    return out;
}

Result<void> write_commit_marker(const std::string& dir) {
    // The marker appears by a rename, all at once: created in place, it would exist (and
    // commit the vacuum for the next open) even when this call failed to write it, while the
    // caller carries on with the old files.
    const std::string staged =
        storage::join_path(dir, std::string(vacuum_commit_file_name) + ".tmp");
    Result<void> written = [&]() -> Result<void> {
        auto marker = storage::FileDescriptor::open(staged, storage::OpenMode::WriteTruncate);
        if (!marker) return marker.error();
        VESKO_TRY(marker->write_all("vacuum\n"));
        return marker->sync();
    }();
    if (written)
        written = storage::rename_path(staged, storage::join_path(dir, vacuum_commit_file_name));
    if (!written) {
        (void)storage::remove_file(staged);  // never read; a leftover is overwritten next time
        return written;
    }
    // Renamed: committed. Forcing the directory makes it last through a power loss; should
    // that fail, finishing the commit forces it again.
    (void)storage::sync_directory(dir);
    return {};
}

namespace {

// Renames every temporary file still present into place; an absent one was renamed already.
Result<void> rename_into_place(const std::string& dir) {
    for (const char* name : vacuum_replaced_files()) {
        const std::string source = vac_path(dir, name);
        if (!storage::path_exists(source)) continue;
        VESKO_TRY(replace_file(source, storage::join_path(dir, name)));
    }
    return {};
}

}  // namespace

Result<void> finish_commit(const std::string& dir, storage::WalWriter* wal,
                           LogAfterCommit log_after) {
    VESKO_TRY(rename_into_place(dir));
    VESKO_TRY(storage::sync_directory(dir));
    if (log_after == LogAfterCommit::Keep) {
        // The records stay to be replayed.
    } else if (wal != nullptr) {
        VESKO_TRY(wal->truncate_all());
    } else {
        VESKO_TRY(storage::empty_log_files(dir));
    }
    VESKO_TRY(storage::remove_file(storage::join_path(dir, vacuum_commit_file_name)));
    return storage::sync_directory(dir);
}

const std::array<const char*, 6>& vacuum_replaced_files() {
    static const std::array<const char*, 6> names = {
        storage::coords_file_name,       storage::offsets_file_name, storage::ids_file_name,
        storage::meta_offsets_file_name, storage::meta_file_name,    snapshot_file_name};
    return names;
}

std::string quoted_path(const std::string& path) {
    std::string out = "\"";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out + "\"";
}

Result<void> replace_file(const std::string& source, const std::string& destination) {
    for (int attempt = 0;; ++attempt) {
        if (storage::path_exists(destination) && !storage::remove_file(destination)) {
            if (attempt >= replace_retries) {
                return make_error(
                    ErrorKind::Vacuum,
                    "Failed to remove old DB file " + quoted_path(destination) + " after retries");
            }
            storage::sleep_milliseconds(50);
            continue;
        }
        if (storage::rename_path(source, destination)) return {};
        if (attempt >= replace_retries) {
            return make_error(ErrorKind::Vacuum, "Failed to rename " + quoted_path(source) +
                                                     " to " + quoted_path(destination));
        }
        storage::sleep_milliseconds(50);
    }
}

bool vacuum_committed(const std::string& dir) {
    return storage::path_exists(storage::join_path(dir, vacuum_commit_file_name));
}

Result<void> finish_committed_vacuum(const std::string& dir, LogAfterCommit log_after) {
    if (!vacuum_committed(dir)) return {};
    return finish_commit(dir, nullptr, log_after);
}

std::string committed_path(const std::string& dir, const char* name) {
    std::string pending = vac_path(dir, name);
    return storage::path_exists(pending) ? pending : storage::join_path(dir, name);
}

}  // namespace vesko::persist
