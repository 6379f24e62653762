// Log decoder: any bytes decode into a run of records and then stop, never crash. Every
// decoded record, encoded again, decodes to a record with the same fields whose encoding is
// the same bytes again.
#include "fuzz/fuzz_support.h"
#include "storage/wal.h"

#include <bit>
#include <string>

namespace {

using vesko::storage::WalEntry;

std::string encode(const WalEntry& entry) {
    std::string out;
    if (entry.kind == WalEntry::Kind::Delete) {
        vesko::storage::encode_delete(out, entry.ext_id);
    } else {
        vesko::storage::encode_insert(out, entry.ext_id, entry.lat_deg, entry.lon_deg, entry.meta,
                                      entry.skip_index ? &*entry.skip_index : nullptr);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vesko::storage::ByteReader reader(std::span(data, size));
    while (auto entry = vesko::storage::decode_wal_entry(reader)) {
        const std::string first = encode(*entry);
        vesko::storage::ByteReader again_reader(
            std::span(reinterpret_cast<const unsigned char*>(first.data()), first.size()));
        auto again = vesko::storage::decode_wal_entry(again_reader);
        FUZZ_CHECK(again.has_value(), "a record the store wrote must decode");
        FUZZ_CHECK(again_reader.at_end(), "a written record decodes to its last byte");
        FUZZ_CHECK(again->kind == entry->kind && again->ext_id == entry->ext_id, "id changed");
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(again->lat_deg) ==
                           std::bit_cast<std::uint32_t>(entry->lat_deg) &&
                       std::bit_cast<std::uint32_t>(again->lon_deg) ==
                           std::bit_cast<std::uint32_t>(entry->lon_deg),
                   "coordinates changed");
        FUZZ_CHECK(again->skip_index == entry->skip_index, "skip list changed");
        FUZZ_CHECK(encode(*again) == first, "the second encoding differs");
    }
    return 0;
}
