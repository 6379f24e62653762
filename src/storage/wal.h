// The write-ahead log, wal.bin: every change is appended here, and reaches the file, before it
// is applied. The file is the concatenation of records, with no header, framing or checksum:
//
//   u32 variant: 0 Insert, 1 Delete, 2 Upsert
//   Insert: id (u64 length, UTF-8), f32 lat, f32 lon,
//           meta (u64 entry count, then per entry in ascending key order: key as u64 length
//                 and UTF-8, value as encoded in meta_codec.h),
//           skip_index (u8 0 = absent | u8 1, u64 count, each name as u64 length and UTF-8)
//   Delete: id (u64 length, UTF-8)
//   Upsert: the fields of Insert. Replay deletes the id's live point, if any, and inserts the
//           new one as a single step, so a log cut anywhere holds either the whole
//           replacement or none of it. Stores written before it hold no such record.
//
// All integers and floats little-endian. Records are only appended; persist empties the file.
//
// Torn tail or damage. A crash can leave the file ending inside a record: a prefix of the
// bytes the writer meant to write. So a record that does not decode is a torn tail exactly
// when its decoding needed bytes beyond the end of the file and every byte before that end was
// one the writer could have written: a known variant, a skip byte of 0 or 1, known metadata
// tags, lengths and counts below 2^32, and well-formed UTF-8 up to the end (a character that
// the end cuts short included). Opening cuts a torn tail. Any other record that does not
// decode -- an unknown variant, text that is not UTF-8, a bad skip byte or tag, a length or
// count no writer produces, even when the end of the file follows it -- is damage: opening
// refuses the store rather than drop the records behind it.
#pragma once

#include "storage/codec.h"
#include "storage/posix_file.h"
#include "text/flat_metadata.h"
#include "text/json_text.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::storage {

inline constexpr const char* wal_file_name = "wal.bin";
// Records of one delete_by_filter reach the file whenever this many bytes have gathered.
inline constexpr std::size_t wal_buffer_bytes = 8192;

struct WalEntry {
    enum class Kind { Insert, Delete, Upsert };
    Kind kind = Kind::Delete;
    std::string ext_id;
    float lat_deg = 0.0f;
    float lon_deg = 0.0f;
    text::Json meta;  // an object, for Insert and Upsert
    std::optional<std::vector<std::string>> skip_index;
};

void encode_insert(std::string& out, std::string_view ext_id, float lat_deg, float lon_deg,
                   const text::Json& meta, const std::vector<std::string>* skip_index);
// An Insert whose metadata is flat: the same bytes as encode_insert with the object.
void encode_flat_insert(std::string& out, std::string_view ext_id, float lat_deg, float lon_deg,
                        std::span<const text::FlatMember> meta,
                        const std::vector<std::string>* skip_index);
void encode_upsert(std::string& out, std::string_view ext_id, float lat_deg, float lon_deg,
                   const text::Json& meta, const std::vector<std::string>* skip_index);
void encode_delete(std::string& out, std::string_view ext_id);

// What decoding one record found.
enum class WalRead {
    Record,    // a whole record; the reader stands after it
    TornTail,  // the bytes end inside a record that was sound so far
    Damaged,   // bytes the writer never writes (see the top of this file)
};

// Decodes the record at the reader's position into `entry`. For Damaged, `why` (when given)
// receives a short description such as "unknown record variant 7".
WalRead decode_wal_entry(ByteReader& reader, WalEntry& entry, std::string* why = nullptr);

// Judges the record at the reader's position as decode_wal_entry does, building nothing of its
// metadata: the cheap pass that checks a whole log before any of it is applied.
WalRead check_wal_entry(ByteReader& reader, std::string* why = nullptr);

// The record at the reader's position when it is whole; nothing for a torn tail or damage.
std::optional<WalEntry> decode_wal_entry(ByteReader& reader);

// Appending side of the log. Records are staged in memory and written by flush(); a write
// that fails cuts the file back to the end of its last complete record and drops what was
// staged, so the file only ever holds whole records of changes that were applied, and later
// records stay replayable. Guarded by the log lock.
class WalWriter {
  public:
    WalWriter() = default;
    // Opens wal.bin for appending; `length` is the size of its valid prefix.
    static Result<WalWriter> open(const std::string& path, std::uint64_t length);

    // Where callers encode records. Nothing staged reaches the file before flush().
    std::string& staging() { return staged_; }
    bool staging_full() const { return staged_.size() >= wal_buffer_bytes; }
    // Writes everything staged. On failure nothing of it stays in the file or in memory.
    Result<void> flush();
    // Writes whole records encoded elsewhere (a batch's), as flush() writes staged ones,
    // without copying them into the staging buffer. Nothing may be staged.
    Result<void> write_records(std::string_view records);
    // Length of the file up to the end of its last complete record.
    std::uint64_t length() const { return committed_len_; }
    // Cuts the file to its first `length` bytes (a torn tail found at open, or the records of
    // a call that failed after writing some of them). Nothing may be staged.
    Result<void> cut_to(std::uint64_t length);
    // Empties the log file (after a snapshot that holds its records is in place).
    Result<void> truncate_all();
    // Writes what is staged, then forces the file's data and length to disk, so that every
    // record written so far survives a power loss (its directory entry is the caller's).
    Result<void> sync();

  private:
    // Appends the bytes after the last complete record; on failure the file is cut back.
    Result<void> write_out(std::string_view bytes);

    FileDescriptor file_;
    std::string staged_;
    // Length of the file up to the end of its last complete record.
    std::uint64_t committed_len_ = 0;
    // A failed write could not be cut back; the next flush must cut before it writes.
    bool tail_unclean_ = false;
};

}  // namespace vesko::storage
