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

#include "storage/posix_file.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
// Longest metadata record the reader hands back; longer ones read as "{}".
inline constexpr std::uint32_t max_metadata_bytes = 10000000;

// What an append does when the slot already points at an identical record below the used
// length (log replay re-inserting a point whose records the previous run already wrote).
enum class AppendMode { Always, ReuseIdentical };

class DataFiles {
  public:
    // Opens or creates the five files in `dir` (never truncating), extends the three slot
    // files to the capacity and maps them. Any failure is an internal failure.
    static DataFiles open(const std::string& dir);
    // The same, with failures as errors.
    static Result<DataFiles> try_open(const std::string& dir);

    std::uint32_t capacity() const { return capacity_; }
    // Makes slot int_id addressable in the three mapped files, growing them in large steps.
    // Failure is an internal failure; a file already grown keeps its length.
    void ensure_capacity(std::uint32_t int_id);

    // Caller guarantees int_id < capacity() (ensure_capacity) or that the slot was inserted.
    std::pair<float, float> coords(std::uint32_t int_id) const;
    void write_coords(std::uint32_t int_id, float lat_deg, float lon_deg);

    // Writes the record at the used length, points slot int_id at it and advances the used
    // length. A failed write is an internal failure.
    void append_external_id(std::uint32_t int_id, std::string_view ext_id, AppendMode mode);
    void append_metadata(std::uint32_t int_id, std::string_view meta_text, AppendMode mode);

    // The id's external id; nothing when its record cannot be read, is longer than the file
    // holds, or is not UTF-8. A slot outside the offsets mapping is an internal failure.
    std::optional<std::string> get_external_id(std::uint32_t int_id) const;
    // The id's metadata text; "{}" when it cannot be read back.
    std::string get_metadata(std::uint32_t int_id) const;

    std::uint64_t ids_file_len() const { return ids_.used_len; }
    std::uint64_t meta_file_len() const { return meta_.used_len; }
    // Used lengths restored from a snapshot; may be below the file sizes.
    void set_used_lengths(std::uint64_t ids_len, std::uint64_t meta_len) {
        ids_.used_len = ids_len;
        meta_.used_len = meta_len;
    }

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
    void append_record(Appended& file, MappedRegion& slots, std::uint32_t int_id,
                       std::string_view bytes, AppendMode mode, const char* what);

    std::string dir_;
    Slotted coords_;
    Slotted offsets_;
    Appended ids_;
    Slotted meta_offsets_;
    Appended meta_;
    // Slots the three mapped files hold (each mapping is at least capacity_ * 8 bytes).
    std::uint32_t capacity_ = 0;
    std::string scratch_;
};

}  // namespace vesko::storage
