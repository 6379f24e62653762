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
// Which bytes were written as records, and which were forced to disk, wal.crc says
// (wal_sums.h); the rules below judge a store without it, and the bytes wal.crc vouches for.
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

// The lengths of wal.bin and wal.crc at the end of one write.
struct WalMark {
    std::uint64_t log_len = 0;
    std::uint64_t sums_len = 0;
};

// Appending side of the log and its companion wal.crc (wal_sums.h). Records are staged in
// memory and written by flush(); each write of the log is followed by its Written record in
// wal.crc. A write that fails cuts both files back to the end of their last complete record and
// drops what was staged, so the files only ever hold whole records of changes that were
// applied, and later records stay replayable. Guarded by the log lock.
class WalWriter {
  public:
    WalWriter() = default;
    // Opens wal.bin and wal.crc in `dir` for appending, cutting wal.bin to `length` (its valid
    // prefix) and wal.crc to `sums_length` (the records that describe that prefix), and forcing
    // both to disk when that cut anything. Without `sums_length` (a store made before wal.crc,
    // or a new one) wal.crc is first made holding one Written record for the prefix, through
    // wal.crc.tmp renamed into place, and forced to disk with its directory entry.
    static Result<WalWriter> open(const std::string& dir, std::uint64_t length,
                                  std::optional<std::uint64_t> sums_length);

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
    // Where the log and wal.crc end now, for cut_to.
    WalMark mark() const { return WalMark{committed_len_, sums_len_}; }
    // Cuts both files back to a mark taken earlier (the records of a call that failed after
    // writing some of them). Nothing may be staged.
    Result<void> cut_to(WalMark mark);
    // Empties wal.crc and then the log, forcing each to disk, after a snapshot that holds the
    // log's records is in place: a power loss in between leaves log bytes that wal.crc no
    // longer vouches for, which opening cuts instead of replaying them on the new snapshot.
    // A failure after wal.crc was emptied comes back with `failed_sync` set: the two files are
    // then out of step, and only a reopen, which judges them afresh, may write to them.
    Result<void> truncate_all();
    // Forces the written records to disk: the log, then a Synced record in wal.crc and wal.crc,
    // so that every record written so far survives a power loss (the directory entries are
    // the caller's). Staged records must be flushed first. Does nothing when nothing was
    // written since the last sync. After a failed write of the Synced record a later sync
    // tries again.
    Result<void> sync();

  private:
    // Appends the bytes after the last complete record; on failure the file is cut back.
    Result<void> write_out(std::string_view bytes);
    // Cuts both files back to their last complete record.
    Result<void> cut_back();

    FileDescriptor file_;
    FileDescriptor sums_;
    std::string staged_;
    std::string sum_record_;
    // Length of the file up to the end of its last complete record.
    std::uint64_t committed_len_ = 0;
    // Length of wal.crc up to the record of the last complete write (or Synced record).
    std::uint64_t sums_len_ = 0;
    // The log length the last Synced record names; nothing before the first sync.
    std::optional<std::uint64_t> synced_len_;
    // A failed write could not be cut back; the next flush must cut before it writes.
    bool tail_unclean_ = false;
};

// Empties wal.crc and wal.bin in `dir` when they exist, as WalWriter::truncate_all does.
Result<void> empty_log_files(const std::string& dir);

}  // namespace vesko::storage
