// Snapshot decoder: any bytes either decode or are refused, never crash. A record that decodes
// is encoded again (bitmaps read in the run form are written back without runs), and that
// encoding must decode to a record that encodes to the same length.
#include "fuzz/fuzz_support.h"
#include "persist/snapshot.h"

#include <string>

namespace {

std::string encode(const vesko::persist::SnapshotData& data) {
    std::string out;
    auto done = vesko::persist::encode_snapshot(vesko::persist::view_of(data),
                                                [&out](std::string_view bytes) {
                                                    out.append(bytes);
                                                    return vesko::Result<void>();
                                                });
    FUZZ_CHECK(done, "encoding into memory cannot fail");
    return out;
}

std::span<const unsigned char> bytes_of(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = vesko::persist::decode_snapshot(std::span(data, size));
    if (!decoded) return 0;
    // The damage rules must judge any decodable snapshot without crashing.
    (void)vesko::persist::snapshot_damage(vesko::persist::view_of(*decoded), decoded->ids_file_len,
                                          decoded->meta_file_len, size);
    const std::string first = encode(*decoded);
    auto again = vesko::persist::decode_snapshot(bytes_of(first));
    FUZZ_CHECK(again.has_value(), "a snapshot the store wrote must decode");
    FUZZ_CHECK(again->valid_ids == decoded->valid_ids, "valid_ids changed on the way");
    FUZZ_CHECK(again->deleted == decoded->deleted, "deleted changed on the way");
    FUZZ_CHECK(again->ids_file_len == decoded->ids_file_len, "ids_file_len changed");
    FUZZ_CHECK(again->meta_file_len == decoded->meta_file_len, "meta_file_len changed");
    FUZZ_CHECK(encode(*again).size() == first.size(), "the second encoding differs in length");
    return 0;
}
