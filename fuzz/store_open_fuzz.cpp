// Opening a store from arbitrary snapshot.bin and wal.bin bytes. The input is a u32 length n
// (little-endian; all ones means "no snapshot file"), n bytes of snapshot.bin (fewer when the
// input ends), and the rest as wal.bin. The open either refuses, leaving both files as they
// were, or gives a store that answers every kind of call, persists, and opens again with the
// same points.
#include "engine/store.h"
#include "fuzz/fuzz_support.h"
#include "tests/cpp/support/answers.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void exercise(const vesko::engine::Store& store) {
    const std::optional<std::string> none;
    const std::optional<std::string> filter = std::string(R"({"c": "x"})");
    (void)store.exists("{}");
    (void)store.exists(R"({"n": {"$gte": 1}})");
    (void)vesko::engine::box_answer(store, {90.0f, -180.0f}, {-90.0f, 180.0f}, none);
    (void)vesko::engine::box_answer(store, {10.0f, -10.0f}, {-10.0f, 10.0f}, filter);
    (void)vesko::engine::radius_answer(store, 0.0f, 0.0f, 2.0e6f, none);
    (void)vesko::engine::knn_answer(store, 45.0f, 179.9f, 5, none);
    (void)vesko::engine::knn_answer(store, 0.0f, 0.0f, 3, filter);
    const std::vector<vesko::spatial::LatLon> triangle = {{0, 0}, {0, 50}, {50, 50}};
    (void)vesko::engine::polygon_answer(store, triangle, none);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vesko::fuzz::Draw draw(std::span(data, size));
    const std::uint32_t n = draw.u32();
    const std::size_t header = std::min<std::size_t>(size, 4);
    const std::size_t snapshot_len = n == 0xFFFFFFFFu ? 0 : std::min<std::size_t>(n, size - header);
    const std::span<const unsigned char> snapshot(data + header, snapshot_len);
    const std::span<const unsigned char> wal(data + header + snapshot_len,
                                             size - header - snapshot_len);

    vesko::fuzz::ScratchDir dir;
    if (n != 0xFFFFFFFFu) dir.write("snapshot.bin", snapshot);
    dir.write("wal.bin", wal);
    auto opened = vesko::engine::Store::open(dir.path());
    if (!opened) {
        if (n != 0xFFFFFFFFu) {
            FUZZ_CHECK(read_file(dir.path() + "/snapshot.bin") ==
                           std::vector<unsigned char>(snapshot.begin(), snapshot.end()),
                       "a refused open changed snapshot.bin");
        }
        FUZZ_CHECK(read_file(dir.path() + "/wal.bin") ==
                       std::vector<unsigned char>(wal.begin(), wal.end()),
                   "a refused open changed wal.bin");
        return 0;
    }
    std::unique_ptr<vesko::engine::Store> store = std::move(opened).value();
    exercise(*store);
    auto count = store->count();
    FUZZ_CHECK(count, "count of an open store");
    auto persisted = store->persist();
    FUZZ_CHECK(persisted, persisted ? "" : persisted.error().message.c_str());
    store.reset();

    auto reopened = vesko::engine::Store::open(dir.path());
    FUZZ_CHECK(reopened, "a store that persisted must open again");
    auto count_again = reopened.value()->count();
    FUZZ_CHECK(count_again && count_again.value() == count.value(),
               "persist and reopen changed the number of points");
    exercise(*reopened.value());
    return 0;
}
