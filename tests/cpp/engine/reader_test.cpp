// A reader Store beside its writer: after every kind of change (appends, persist, vacuum, a new
// writer that cuts a torn tail or finishes a vacuum) its answers are the writer's, and it never
// changes a byte or a modification time in the directory.
#include "engine/store.h"
#include "persist/vacuum.h"
#include "storage/log_ack.h"
#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;

// "p<n>", built in steps (a one-expression concatenation trips a false -Wrestrict of g++ 12).
std::string point_id(unsigned n) {
    std::string id = "p";
    id += std::to_string(n);
    return id;
}

// Every live point, as one call reads it.
std::map<std::string, std::string> everything(const Store& store) {
    auto chunk = store.points_after(std::nullopt, 1u << 20, std::nullopt);
    EXPECT_TRUE(chunk) << chunk.error().message;
    std::map<std::string, std::string> out;
    if (!chunk) return out;
    for (const StoredPoint& p : chunk->points) {
        std::ostringstream text;
        text << p.lat_deg << ',' << p.lon_deg << ',' << p.metadata;
        out[p.ext_id] = text.str();
    }
    return out;
}

// Each file's bytes and modification time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> files_of(const fs::path& dir) {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> out;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        out[entry.path().filename().string()] = {bytes.str(), fs::last_write_time(entry.path())};
    }
    return out;
}

class ReaderTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = fresh_test_dir("vesko-reader-"); }
    void TearDown() override { fs::remove_all(dir_); }
    std::unique_ptr<Store> writer() {
        auto store = Store::open(dir_.string());
        EXPECT_TRUE(store) << store.error().message;
        return store ? std::move(store).value() : nullptr;
    }
    std::unique_ptr<Store> reader() {
        auto store = Store::open_reader(dir_.string());
        EXPECT_TRUE(store) << store.error().message;
        return store ? std::move(store).value() : nullptr;
    }
    fs::path dir_;
};

// A seeded mix of every change, with the writer closed and reopened now and then (sometimes
// over a torn tail it must cut) and readers opened at any point: after each step every reader
// answers as the writer does.
TEST_F(ReaderTest, ReadersFollowEveryKindOfChange) {
    std::mt19937 rng(7);
    auto w = writer();
    std::vector<std::unique_ptr<Store>> readers;
    readers.push_back(reader());
    auto some_id = [&] { return point_id(static_cast<unsigned>(rng() % 60)); };
    for (int step = 0; step < 200; ++step) {
        const auto kind = static_cast<unsigned>(rng() % 20);
        const float lat = static_cast<float>(rng() % 170) - 85.0f;
        const float lon = static_cast<float>(rng() % 350) - 175.0f;
        std::string meta = R"({"n":)";
        meta += std::to_string(rng() % 10);
        meta += "}";
        if (kind < 7) {
            ASSERT_TRUE(w->add(some_id(), lat, lon, meta, nullptr));
        } else if (kind < 10) {
            ASSERT_TRUE(w->upsert(some_id(), lat, lon, meta, nullptr));
        } else if (kind < 13) {
            ASSERT_TRUE(w->remove(some_id()));
        } else if (kind == 13) {
            std::vector<std::string> ids{some_id(), some_id(), some_id()};
            std::vector<NewPoint> points;
            for (const std::string& id : ids) points.push_back({id, lat, lon, meta});
            ASSERT_TRUE(w->add_many(points, nullptr));
        } else if (kind == 14) {
            ASSERT_TRUE(w->delete_many(std::vector<std::string>{some_id(), some_id()}));
        } else if (kind == 15) {
            ASSERT_TRUE(w->delete_by_filter(R"({"n": 3})"));
        } else if (kind == 16) {
            ASSERT_TRUE(w->persist());
        } else if (kind == 17) {
            ASSERT_TRUE(w->vacuum());
        } else if (kind == 18) {
            w->close();
            if (rng() % 2 == 0) {
                std::ofstream(dir_ / storage::wal_file_name, std::ios::binary | std::ios::app)
                    << "torn";
            }
            w = writer();
        } else {
            readers.push_back(reader());
        }
        const auto expected = everything(*w);
        for (const auto& r : readers) ASSERT_EQ(everything(*r), expected) << "step " << step;
    }
}

// A vacuum committed by a writer that then died is read from the compacted files, and the next
// writer's open, which finishes it, is followed too.
TEST_F(ReaderTest, AnUnfinishedVacuumIsReadAsCommittedAndFollowedWhenFinished) {
    auto w = writer();
    for (unsigned i = 0; i < 20; ++i) ASSERT_TRUE(w->add(point_id(i), 1, 2, "{}", nullptr));
    for (unsigned i = 0; i < 20; i += 3) ASSERT_TRUE(w->remove(point_id(i)));
    const auto expected = everything(*w);
    auto early = reader();
    // What a writer killed between the commit and the renames leaves.
    w->close();
    fs::copy(dir_, dir_.string() + ".before", fs::copy_options::recursive);
    w = writer();
    ASSERT_TRUE(w->vacuum());
    w->close();
    fs::remove_all(dir_.string() + ".after");
    fs::rename(dir_, dir_.string() + ".after");
    fs::rename(dir_.string() + ".before", dir_);
    for (const char* name :
         {"coords.bin", "offsets.bin", "ids.bin", "meta_offsets.bin", "meta.bin", "snapshot.bin"}) {
        fs::copy_file(fs::path(dir_.string() + ".after") / name,
                      persist::vac_path(dir_.string(), name));
    }
    ASSERT_TRUE(persist::write_commit_marker(dir_.string()));
    fs::remove_all(dir_.string() + ".after");
    const auto files = files_of(dir_);
    auto r = reader();
    EXPECT_EQ(everything(*r), expected);
    EXPECT_EQ(files_of(dir_), files);
    w = writer();
    ASSERT_TRUE(w->add("new", 3, 4, "{}", nullptr));
    EXPECT_EQ(everything(*r), everything(*w));
    EXPECT_EQ(everything(*early), everything(*w));
}

// A reader changes nothing: not by its open, not by its answers, not by a refused change, not
// by following a writer's files, not by closing.
TEST_F(ReaderTest, AReaderWritesNothing) {
    {
        auto w = writer();
        ASSERT_TRUE(w->add("a", 1, 2, R"({"k":"v"})", nullptr));
        ASSERT_TRUE(w->persist());
        ASSERT_TRUE(w->add("b", 3, 4, "{}", nullptr));
        ASSERT_TRUE(w->remove("a"));
        std::ofstream(dir_ / storage::wal_file_name, std::ios::binary | std::ios::app) << "torn";
    }
    const auto files = files_of(dir_);
    auto r = reader();
    EXPECT_EQ(everything(*r).size(), 1u);
    EXPECT_EQ(r->add("c", 1, 1, "{}", nullptr).error().kind, ErrorKind::ReadOnly);
    EXPECT_EQ(r->sync().error().kind, ErrorKind::ReadOnly);
    EXPECT_EQ(r->persist().error().kind, ErrorKind::ReadOnly);
    EXPECT_EQ(r->vacuum().error().kind, ErrorKind::ReadOnly);
    EXPECT_EQ(r->delete_many({}).error().kind, ErrorKind::ReadOnly);
    EXPECT_TRUE(r->refresh());
    r->close();
    EXPECT_EQ(files_of(dir_), files);
}

// A store no writer of this kind has opened has no wal.ack: the reader watches the files, and
// follows the first writer that makes one.
TEST_F(ReaderTest, AStoreWithoutTheSharedFileIsWatched) {
    {
        auto w = writer();
        ASSERT_TRUE(w->add("a", 1, 2, "{}", nullptr));
    }
    fs::remove(dir_ / storage::log_ack_file_name);
    auto r = reader();
    EXPECT_EQ(everything(*r).size(), 1u);
    auto w = writer();
    ASSERT_TRUE(w->add("b", 1, 2, "{}", nullptr));
    EXPECT_EQ(everything(*r), everything(*w));
    ASSERT_TRUE(w->persist());
    ASSERT_TRUE(w->add("c", 1, 2, "{}", nullptr));
    EXPECT_EQ(everything(*r), everything(*w));
}

}  // namespace
}  // namespace vesko::engine
