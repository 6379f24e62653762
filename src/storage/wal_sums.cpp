#include "storage/wal_sums.h"

#include "storage/codec.h"
#include "storage/crc32c.h"

namespace vesko::storage {

namespace {

constexpr std::uint32_t kind_written = 1;
constexpr std::uint32_t kind_synced = 2;

void encode_record(std::string& out, std::uint32_t kind, std::uint64_t end, std::uint32_t crc) {
    const std::size_t start = out.size();
    put_u32(out, kind);
    put_u64(out, end);
    put_u32(out, crc);
    const auto* head = reinterpret_cast<const unsigned char*>(out.data() + start);
    put_u32(out, crc32c(std::span(head, wal_sum_bytes - 4)));
}

struct SumRecord {
    std::uint32_t kind;
    std::uint64_t end;
    std::uint32_t log_crc;
};

// The record at `p` (wal_sum_bytes of it), or nothing when its own checksum fails.
std::optional<SumRecord> read_record(const unsigned char* p) {
    if (crc32c(std::span(p, wal_sum_bytes - 4)) != load_u32(p + 16)) return std::nullopt;
    const SumRecord record{load_u32(p), load_u64(p + 4), load_u32(p + 12)};
    if (record.kind != kind_written && record.kind != kind_synced) return std::nullopt;
    return record;
}

// The largest end a readable Synced record from `from` on vouches for.
std::uint64_t synced_after(std::span<const unsigned char> sums, std::size_t from) {
    std::uint64_t synced = 0;
    for (std::size_t at = from; at + wal_sum_bytes <= sums.size(); at += wal_sum_bytes) {
        const auto record = read_record(sums.data() + at);
        if (record && record->kind == kind_synced) synced = std::max(synced, record->end);
    }
    return synced;
}

}  // namespace

void encode_written(std::string& out, std::uint64_t end, std::span<const unsigned char> written) {
    encode_record(out, kind_written, end, crc32c(written));
}

void encode_synced(std::string& out, std::uint64_t end) { encode_record(out, kind_synced, end, 0); }

LogSums check_log_sums(std::span<const unsigned char> log, std::span<const unsigned char> sums) {
    LogSums found;
    std::size_t at = 0;
    for (; at + wal_sum_bytes <= sums.size(); at += wal_sum_bytes) {
        const auto record = read_record(sums.data() + at);
        if (!record) break;
        if (record->kind == kind_synced) {
            if (record->end > found.verified_end) break;
            found.sums_end = at + wal_sum_bytes;
            continue;
        }
        const std::uint64_t start = found.verified_end;
        if (record->end <= start || record->end > log.size()) break;
        const auto written = log.subspan(static_cast<std::size_t>(start),
                                         static_cast<std::size_t>(record->end - start));
        if (crc32c(written) != record->log_crc) break;
        found.verified_end = record->end;
        found.sums_end = at + wal_sum_bytes;
    }
    // Whatever stopped the walk, a Synced record behind it claims those bytes were on disk.
    const std::uint64_t synced = synced_after(sums, at);
    if (synced > found.verified_end) {
        found.damage =
            "its bytes from there do not match what wal.crc records of the writes "
            "that were forced to disk up to byte " +
            std::to_string(synced);
    }
    return found;
}

}  // namespace vesko::storage
