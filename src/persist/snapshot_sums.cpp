#include "persist/snapshot_sums.h"

#include "storage/codec.h"
#include "storage/crc32c.h"
#include "storage/posix_file.h"

#include <cstring>

namespace vesko::persist {

namespace {

constexpr char magic[] = "vksums01";
constexpr std::size_t ranges = 4;
constexpr std::size_t body_bytes = 8 + ranges * 12 + 8;
constexpr std::size_t file_bytes = body_bytes + 4;

}  // namespace

SumsInFlight::SumsInFlight(const CheckedBytes& bytes)
    : ranges_{bytes.snapshot, bytes.offsets, bytes.ids, bytes.meta_offsets},
      meta_size_(bytes.meta_size),
      // The helper from the front (snapshot.bin, then the slot files), the caller, when it
      // comes to it, from the back.
      parts_(
          ranges, [this](std::size_t k, std::uint32_t& crc) { crc = storage::crc32c(ranges_[k]); },
          SharedParts<std::uint32_t>::HelperStart::Front) {}

CheckedSums SumsInFlight::get() {
    CheckedSums sums;
    sums.meta_size = meta_size_;
    for (std::size_t k = ranges; k-- > 0;) {
        sums.lengths[k] = ranges_[k].size();
        sums.crcs[k] = parts_.get(k);
    }
    return sums;
}

std::string encode_snapshot_sums(const CheckedSums& sums) {
    std::string out(magic, 8);
    for (std::size_t k = 0; k < ranges; ++k) {
        storage::put_u64(out, sums.lengths[k]);
        storage::put_u32(out, sums.crcs[k]);
    }
    storage::put_u64(out, sums.meta_size);
    storage::put_u32(out, storage::crc32c(std::span(
                              reinterpret_cast<const unsigned char*>(out.data()), out.size())));
    return out;
}

std::optional<CheckedSums> decode_snapshot_sums(std::span<const unsigned char> file) {
    if (file.size() != file_bytes || std::memcmp(file.data(), magic, 8) != 0 ||
        storage::load_u32(file.data() + body_bytes) != storage::crc32c(file.first(body_bytes))) {
        return std::nullopt;
    }
    CheckedSums sums;
    const unsigned char* p = file.data() + 8;
    for (std::size_t k = 0; k < ranges; ++k, p += 12) {
        sums.lengths[k] = storage::load_u64(p);
        sums.crcs[k] = storage::load_u32(p + 8);
    }
    sums.meta_size = storage::load_u64(p);
    return sums;
}

bool same_lengths(const CheckedSums& sums, const CheckedBytes& bytes) {
    return sums.lengths[0] == bytes.snapshot.size() && sums.lengths[1] == bytes.offsets.size() &&
           sums.lengths[2] == bytes.ids.size() && sums.lengths[3] == bytes.meta_offsets.size();
}

bool sums_vouch(const CheckedSums& recorded, const CheckedSums& now) {
    for (std::size_t k = 0; k < ranges; ++k) {
        if (recorded.lengths[k] != now.lengths[k] || recorded.crcs[k] != now.crcs[k]) return false;
    }
    return recorded.meta_size <= now.meta_size;
}

Result<void> write_snapshot_sums(const std::string& dir, const CheckedSums& sums) {
    const std::string tmp_path = storage::join_path(dir, snapshot_sums_tmp_file_name);
    Result<void> written = [&]() -> Result<void> {
        auto file = storage::FileDescriptor::open(tmp_path, storage::OpenMode::WriteTruncate);
        if (!file) return file.error();
        return file->write_all(encode_snapshot_sums(sums));
    }();
    if (written)
        written = storage::rename_path(tmp_path, storage::join_path(dir, snapshot_sums_file_name));
    // A file left half written would only be written over next time, but it would show.
    if (!written) (void)storage::remove_file(tmp_path);
    return written;
}

}  // namespace vesko::persist
