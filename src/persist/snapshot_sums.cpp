#include "persist/snapshot_sums.h"

#include "common/shared_parts.h"
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

CheckedSums sums_of(const CheckedBytes& bytes) {
    const std::span<const unsigned char> range[ranges] = {bytes.snapshot, bytes.offsets, bytes.ids,
                                                          bytes.meta_offsets};
    CheckedSums sums;
    sums.meta_size = bytes.meta_size;
    // A range to a thread: the caller takes snapshot.bin and ids.bin, the larger ones, from the
    // front, the helper the slot files from the back.
    SharedParts<std::uint32_t> parts(
        ranges, [&](std::size_t k, std::uint32_t& crc) { crc = storage::crc32c(range[k]); },
        SharedParts<std::uint32_t>::HelperStart::Back);
    for (std::size_t k = 0; k < ranges; ++k) {
        sums.lengths[k] = range[k].size();
        sums.crcs[k] = parts.get(k);
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

bool snapshot_sums_match(std::span<const unsigned char> file, const CheckedSums& sums) {
    if (file.size() != file_bytes || std::memcmp(file.data(), magic, 8) != 0 ||
        storage::load_u32(file.data() + body_bytes) != storage::crc32c(file.first(body_bytes))) {
        return false;
    }
    const unsigned char* p = file.data() + 8;
    for (std::size_t k = 0; k < ranges; ++k, p += 12) {
        if (storage::load_u64(p) != sums.lengths[k] || storage::load_u32(p + 8) != sums.crcs[k])
            return false;
    }
    return storage::load_u64(p) <= sums.meta_size;
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
