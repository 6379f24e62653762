// A persist that stops between its steps (here by a failing call, which leaves the files as a
// writer killed there would, and keeps the writer's state to compare with): readers opened then,
// and after the next writer's open, answer as the writer does.
#include "engine/store.h"
#include "storage/fault_hook.h"
#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;
namespace fault = storage::fault;

std::map<std::string, std::string> everything(const Store& store) {
    auto chunk = store.points_after(std::nullopt, 1u << 20, std::nullopt);
    EXPECT_TRUE(chunk) << chunk.error().message;
    std::map<std::string, std::string> out;
    if (!chunk) return out;
    for (const StoredPoint& p : chunk->points)
        out[p.ext_id] = std::to_string(p.lat_deg) + p.metadata;
    return out;
}

// "p<n>", built in steps (a one-expression concatenation trips a false -Wrestrict of g++ 12).
std::string point_id(unsigned n) {
    std::string id = "p";
    id += std::to_string(n);
    return id;
}

std::unique_ptr<Store> opened(Result<std::unique_ptr<Store>> store) {
    EXPECT_TRUE(store) << store.error().message;
    return store ? std::move(store).value() : nullptr;
}

TEST(ReaderFaultTest, APersistStoppedAtAnyStepIsReadAsTheWriterHoldsIt) {
    struct Case {
        fault::Call call;
        std::uint64_t nth;
        bool renamed;  // snapshot.bin is the new snapshot when the persist stops
    };
    // The rename, the emptying of wal.crc, the emptying of wal.bin.
    for (const Case& c : {Case{fault::Call::Rename, 1, false}, Case{fault::Call::Truncate, 1, true},
                          Case{fault::Call::Truncate, 2, true}}) {
        SCOPED_TRACE(std::string(fault::call_name(c.call)) + " " + std::to_string(c.nth));
        const fs::path dir = fresh_test_dir("vesko-reader-fault-");
        auto w = opened(Store::open(dir.string()));
        ASSERT_TRUE(w);
        // Upserts and removals: replayed over a snapshot that holds them, they take new slots.
        for (unsigned i = 0; i < 10; ++i)
            ASSERT_TRUE(w->add(point_id(i), static_cast<float>(i), 2, R"({"v":0})", nullptr));
        ASSERT_TRUE(w->persist());
        for (unsigned i = 0; i < 6; ++i)
            ASSERT_TRUE(w->upsert(point_id(i), 3, 4, R"({"v":1})", nullptr));
        ASSERT_TRUE(w->remove("p7"));
        ASSERT_TRUE(w->add("p7", 5, 6, R"({"v":2})", nullptr));
        const auto expected = everything(*w);
        auto before = opened(Store::open_reader(dir.string()));
        const auto snapshot_before = fs::last_write_time(dir / "snapshot.bin");

        fault::reset();
        fault::arm(c.call, c.nth, EIO);
        ASSERT_FALSE(w->persist());
        ASSERT_EQ(fault::fired(), c.call);
        fault::reset();
        ASSERT_EQ(fs::last_write_time(dir / "snapshot.bin") != snapshot_before, c.renamed);
        if (c.nth == 1) {
            ASSERT_GT(fs::file_size(dir / "wal.bin"), 0u);
        }

        auto after = opened(Store::open_reader(dir.string()));
        ASSERT_TRUE(after);
        EXPECT_EQ(everything(*after), expected);
        EXPECT_EQ(everything(*before), expected);
        // The next writer replays the log over the snapshot itself; readers follow it.
        w->close();
        w = opened(Store::open(dir.string()));
        ASSERT_TRUE(w);
        EXPECT_EQ(everything(*w), expected);
        ASSERT_TRUE(w->upsert("p8", 7, 8, R"({"v":3})", nullptr));
        auto last = opened(Store::open_reader(dir.string()));
        ASSERT_TRUE(last);
        for (const Store* r : {before.get(), after.get(), last.get()})
            EXPECT_EQ(everything(*r), everything(*w));
        ASSERT_TRUE(w->persist());
        ASSERT_TRUE(w->upsert("p9", 9, 9, "{}", nullptr));
        for (const Store* r : {before.get(), after.get(), last.get()})
            EXPECT_EQ(everything(*r), everything(*w));
        w->close();
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace vesko::engine
