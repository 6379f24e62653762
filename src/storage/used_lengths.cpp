#include "storage/used_lengths.h"

#include "storage/codec.h"
#include "storage/data_files.h"

#include <algorithm>

namespace vesko::storage {

std::uint64_t live_records_end(const Bitmap& valid_ids, std::span<const unsigned char> slots,
                               std::span<const unsigned char> records) {
    // Offsets from which a whole length field can be read.
    const std::uint64_t readable = records.size() < 4 ? 0 : records.size() - 3;
    std::optional<std::uint64_t> last;
    valid_ids.for_each([&](std::uint32_t int_id) {
        const std::size_t at = std::size_t{int_id} * slot_bytes;
        const std::uint64_t offset =
            at <= slots.size() && slots.size() - at >= slot_bytes ? load_u64(slots.data() + at) : 0;
        if (offset < readable && (!last || offset > *last)) last = offset;
    });
    if (!last) return 0;
    const std::uint64_t end = *last + 4 + load_u32(records.data() + *last);
    return end <= records.size() ? end : *last;
}

std::optional<std::string> used_length_damage(const char* file, std::uint64_t used_len,
                                              std::uint64_t live_end) {
    if (used_len >= live_end) return std::nullopt;
    std::string why = "the used length of ";
    why.append(file);
    why.append(" is ");
    why.append(std::to_string(used_len));
    why.append(" bytes, but a live point's record there ends at byte ");
    why.append(std::to_string(live_end));
    why.append(", which the next record appended would overwrite");
    return why;
}

}  // namespace vesko::storage
