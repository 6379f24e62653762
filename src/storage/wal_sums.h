// wal.crc: the companion of wal.bin, which says which of the log's bytes the writer wrote, as
// which writes, and how far it had forced the log to disk. wal.bin keeps its own format; this
// file lets opening tell a whole, written record from bytes that only decode as one (a
// zero-filled or half-written tail after a power loss). Records of 20 bytes, little-endian:
//
//   u32 kind        1 Written: one write of the log, from where the previous Written record
//                     ended (0 for the first) to `end`
//                   2 Synced: the log's first `end` bytes were forced to disk before this
//                     record was written (`end` is where the last Written record ended)
//   u64 end         a length of wal.bin
//   u32 log_crc     Written: CRC-32C (crc32c.h) of the write's bytes; Synced: 0
//   u32 record_crc  CRC-32C of the 16 bytes above
//
// Appended with every write of the log (after it), and forced to disk by every sync after
// the log is; emptied before the log is. Judging at open (check_log_sums): the log's valid
// prefix ends where the first Written record whose bytes do not match (or that is itself
// unreadable) begins. Bytes past it are a torn tail, cut, unless a readable Synced record says
// they had been forced to disk: that is damage, and opening refuses the store. A store whose
// wal.crc does not exist (made before this file) is judged by wal.h's rules alone.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vesko::storage {

inline constexpr const char* wal_sums_file_name = "wal.crc";
// Where a wal.crc made for a log without one is written before it is renamed into place.
inline constexpr const char* wal_sums_tmp_file_name = "wal.crc.tmp";
inline constexpr std::size_t wal_sum_bytes = 20;

// Appends a Written record for the log bytes `written`, which end the log at `end`.
void encode_written(std::string& out, std::uint64_t end, std::span<const unsigned char> written);
// Appends a Synced record: the log's first `end` bytes are on disk.
void encode_synced(std::string& out, std::uint64_t end);

// What wal.crc vouches for in wal.bin.
struct LogSums {
    // wal.bin's first `verified_end` bytes are whole writes whose checksums match.
    std::uint64_t verified_end = 0;
    // The bytes of wal.crc that describe them: where opening cuts it.
    std::uint64_t sums_end = 0;
    // Set when bytes a Synced record vouches for do not match (or wal.crc contradicts
    // itself); the damage starts at verified_end.
    std::optional<std::string> damage;
};

LogSums check_log_sums(std::span<const unsigned char> log, std::span<const unsigned char> sums);

}  // namespace vesko::storage
