// DataFiles: the five files that hold each point's data, addressed by internal id.
//   coords.bin        slot i at byte 8i: f32 latitude, f32 longitude (little-endian), mapped
//   offsets.bin       slot i at byte 8i: u64 offset of id i's record in ids.bin, mapped
//   ids.bin           records back to back: u32 length N, then N bytes of the external id
//   meta_offsets.bin  slot i at byte 8i: u64 offset of id i's record in meta.bin, mapped
//   meta.bin          records back to back: u32 length N, then N bytes of metadata JSON
// No headers or checksums. A slot means something only for ids that were inserted. Readers
// run under the shared index lock, writers under the exclusive one; ids.bin and meta.bin are
// read and written with positioned calls, so readers never share a file position.
#pragma once

#include "common/bitmap.h"
#include "storage/posix_file.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesko::storage {

inline constexpr const char* coords_file_name = "coords.bin";
inline constexpr const char* offsets_file_name = "offsets.bin";
inline constexpr const char* ids_file_name = "ids.bin";
inline constexpr const char* meta_offsets_file_name = "meta_offsets.bin";
inline constexpr const char* meta_file_name = "meta.bin";

inline constexpr std::uint32_t min_capacity_slots = 100000;
inline constexpr std::uint32_t growth_step_slots = 500000;
inline constexpr std::uint32_t growth_headroom_slots = 100000;
inline constexpr std::size_t slot_bytes = 8;

// What an append does when the slot already points at an identical record below the used
// length (log replay re-inserting a point whose records the previous run already wrote).
enum class AppendMode { Always, ReuseIdentical };

// A record of ids.bin or meta.bin written (or found) by a staging call, not yet committed.
struct StagedRecord {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // 4 + the payload's bytes
};

class DataFiles {
  public:
    // What open does with a file it cannot open, size or map: at a store's open that is an
    // internal failure; after a vacuum replaced the files it is the vacuum's error.
    enum class OpenFailure { Internal, Reported };
    // Opens or creates the five files in `dir` (never truncating), extends the three slot
    // files to the capacity with their blocks reserved (FileDescriptor::reserve) and maps
    // them. Blocks that cannot be reserved (a full disk) come back as an Os error.
    static Result<DataFiles> open(const std::string& dir,
                                  OpenFailure on_failure = OpenFailure::Internal);
    // A reader's view of the five files, which never writes: each opened read-only at the path
    // `path_of` gives for its name, the slot files mapped to their current lengths. Staging a
    // record finds the one the slot already points at (anything else is an Os error, EAGAIN:
    // the files changed under the reader); committing and coordinate writes change nothing;
    // ensure_capacity maps the slot files anew at their current lengths, never growing them.
    // The writer's records and slots of an id never change until a vacuum replaces the files
    // (by rename, so these descriptors and mappings keep the old ones whole).
    static Result<DataFiles> open_read_only(const std::function<std::string(const char*)>& path_of);
    // A DataFiles holding no file and no slot: what a closed store keeps.
    static DataFiles none() { return DataFiles(); }

    std::uint32_t capacity() const { return capacity_; }
    // Makes slot int_id addressable in the three mapped files, growing them in large steps
    // with their blocks reserved, so that writes through the mappings cannot meet a full
    // disk. On failure capacity() is unchanged and the mappings stay valid; a file already
    // grown keeps its length (harmless: a longer slot file is never wrong).
    Result<void> ensure_capacity(std::uint32_t int_id);

    // Caller guarantees int_id < capacity() (ensure_capacity) or that the slot was inserted.
    std::pair<float, float> coords(std::uint32_t int_id) const;
    void write_coords(std::uint32_t int_id, float lat_deg, float lon_deg);
    // The mapped bytes of coords.bin, capacity() slots or more. Valid until the next
    // ensure_capacity: caller holds the index lock.
    std::span<const unsigned char> coords_bytes() const {
        return {coords_.map.data(), coords_.map.size()};
    }

    // Writing a record is split in two so that every write that can fail happens before a
    // change is logged: staging writes the record at the used length (or, with
    // ReuseIdentical, finds the identical record slot int_id already points at) and leaves
    // the slot and the used length alone; committing points the slot at it and advances the
    // used length, and cannot fail. A failed write comes back as an error, with the file cut
    // back to its used length where it can be (bytes left beyond it are overwritten by the
    // next record). Caller holds the index lock exclusively and commits what it staged before
    // staging again in the same file. Caller guarantees int_id < capacity().
    Result<StagedRecord> stage_external_id(std::uint32_t int_id, std::string_view ext_id,
                                           AppendMode mode);
    Result<StagedRecord> stage_metadata(std::uint32_t int_id, std::string_view meta_text,
                                        AppendMode mode);
    // Many records staged with one write each to ids.bin or meta.bin, back to back from the
    // used length, for a batch of insertions (AppendMode::Always). `out` receives one record
    // per text, in order; committing them in that order leaves the files as that many
    // stage-and-commit pairs would. On failure, as for one record, and `out` is unspecified.
    Result<void> stage_external_ids(std::span<const std::string_view> ext_ids,
                                    std::vector<StagedRecord>& out);
    Result<void> stage_metadata_texts(std::span<const std::string_view> meta_texts,
                                      std::vector<StagedRecord>& out);
    // Frees the buffer that batches are staged through, kept from one batch to the next so
    // that a run of batches reuses it; call when the run is over, so that it does not stay
    // pinned for the life of the store.
    void release_buffers();
    void commit_external_id(std::uint32_t int_id, StagedRecord record);
    void commit_metadata(std::uint32_t int_id, StagedRecord record);
    // Cuts ids.bin and meta.bin back to their used lengths: what was staged and not committed
    // (best effort; a failure leaves bytes that the next records overwrite).
    void drop_staged();

    // The id's external id; nothing when its record cannot be read, is longer than the file
    // holds, or is not UTF-8. A slot outside the offsets mapping is an internal failure.
    std::optional<std::string> get_external_id(std::uint32_t int_id) const;
    // The id's metadata text; "{}" when it cannot be read back.
    std::string get_metadata(std::uint32_t int_id) const;

    // The same records without a copy, in two steps so that many can be read with their
    // memory fetched in parallel: first the offsets from the slot files, then the records, as
    // views into the mapped bytes of ids.bin or meta.bin. A view is valid while the caller
    // holds the index lock (shared is enough: only a writer maps a new view of a file). A
    // record the mapping does not reach is read into `spill`, and the view then points there,
    // valid until `spill` changes.
    struct RecordOffsets {
        std::uint64_t ext_id;
        std::uint64_t metadata;  // no_record when the slot lies outside meta_offsets.bin
    };
    static constexpr std::uint64_t no_record = ~std::uint64_t{0};
    // A slot outside offsets.bin is an internal failure, as for get_external_id.
    RecordOffsets record_offsets(std::uint32_t int_id) const;
    std::optional<std::string_view> external_id_at(std::uint64_t offset, std::string& spill) const;
    // "{}" when the record cannot be read back.
    std::string_view metadata_at(std::uint64_t offset, std::string& spill) const;
    // Hints that the records, or a point's coordinates, will be read soon.
    void prefetch_records(const RecordOffsets& offsets) const;
    void prefetch_coords(std::uint32_t int_id) const;

    std::uint64_t ids_file_len() const { return ids_.used_len; }
    std::uint64_t meta_file_len() const { return meta_.used_len; }
    // Used lengths restored from a snapshot; may be below the file sizes.
    void set_used_lengths(std::uint64_t ids_len, std::uint64_t meta_len) {
        ids_.used_len = ids_len;
        meta_.used_len = meta_len;
    }

    // Where the live points' records end in ids.bin and in meta.bin (live_records_end), as far
    // as the read-only views reach: a record beyond them is not counted. Caller holds the index
    // lock (shared is enough).
    std::pair<std::uint64_t, std::uint64_t> live_records_ends(const Bitmap& valid_ids) const;

    // The sizes of ids.bin and meta.bin as the files report them.
    Result<std::pair<std::uint64_t, std::uint64_t>> appended_sizes() const;

    // Forces the three mappings (and their files' lengths), then ids.bin and meta.bin, to disk.
    Result<void> sync_all() const;

  private:
    DataFiles() = default;

    struct Slotted {
        FileDescriptor file;
        MappedRegion map;
    };

    // ids.bin or meta.bin.
    struct Appended {
        FileDescriptor file;
        // Offset at which the next record is written: the file's size unless a snapshot set
        // it lower, in which case the bytes beyond it are rewritten by the records replayed
        // next.
        std::uint64_t used_len = 0;
        // Size the file is known to have at least (set at open, raised by appends); a read
        // whose record would end beyond it asks the file for its size before giving up.
        std::uint64_t known_size = 0;
        // Read-only view of the file, reserved beyond its end so that appends rarely need a
        // new one; only the first known_size bytes are ever read through it. Records beyond
        // it are read with positioned reads.
        MappedRegion view;

        // Maps a new view when the file has outgrown the current one. Caller holds the index
        // lock exclusively (readers use the view).
        void refresh_view();
    };

    std::uint64_t slot_value(const MappedRegion& map, std::uint32_t int_id) const;
    void set_slot_value(MappedRegion& map, std::uint32_t int_id, std::uint64_t value);
    // Reads the record at offset: u32 length, then that many bytes, the length bounded by
    // `max_len` and by the file's size.
    static std::optional<std::string> read_record(const Appended& file, std::uint64_t offset,
                                                  std::uint64_t max_len);
    // The same record as a view into the file's mapping, or into `spill` when read by calls.
    static std::optional<std::string_view> record_view(const Appended& file, std::uint64_t offset,
                                                       std::uint64_t max_len, std::string& spill);
    Result<void> stage_records(Appended& file, std::span<const std::string_view> texts,
                               std::vector<StagedRecord>& out, const char* what);
    Result<StagedRecord> stage_record(Appended& file, const MappedRegion& slots,
                                      std::uint32_t int_id, std::string_view bytes, AppendMode mode,
                                      const char* what);
    // A reader's staging: the record slot int_id already points at, when it holds `bytes`.
    Result<StagedRecord> find_written_record(Appended& file, const MappedRegion& slots,
                                             std::uint32_t int_id, std::string_view bytes,
                                             const char* what);
    void commit_record(Appended& file, MappedRegion& slots, std::uint32_t int_id,
                       StagedRecord record);

    std::string dir_;
    Slotted coords_;
    Slotted offsets_;
    Appended ids_;
    Slotted meta_offsets_;
    Appended meta_;
    // Maps the slot files anew at their lengths now; capacity_ follows the shortest.
    Result<void> remap_read_only();

    // Slots the three mapped files hold (each mapping is at least capacity_ * 8 bytes).
    std::uint32_t capacity_ = 0;
    bool read_only_ = false;
    std::string scratch_;
};

}  // namespace vesko::storage
