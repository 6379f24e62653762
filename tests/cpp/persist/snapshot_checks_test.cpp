#include "persist/grid_check.h"
#include "storage/codec.h"
#include "storage/used_lengths.h"
#include "tests/cpp/support/grid_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesko::persist {
namespace {

// coords.bin bytes holding one slot per position, in id order.
std::string coords_bytes(const std::vector<std::pair<float, float>>& positions) {
    std::string out;
    for (const auto& [lat_deg, lon_deg] : positions) {
        storage::put_f32(out, lat_deg);
        storage::put_f32(out, lon_deg);
    }
    return out;
}

std::span<const unsigned char> as_bytes(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

TEST(StoredCoords, SlotsBeyondTheBytesReadAsTheOriginLikeTheZerosOpeningAppends) {
    const std::string bytes = coords_bytes({{1.5f, -2.5f}}) + std::string(5, '\x7f');
    const StoredCoords coords(as_bytes(bytes));
    EXPECT_EQ(coords.at(0), std::make_pair(1.5f, -2.5f));
    EXPECT_EQ(coords.at(1), std::make_pair(0.0f, 0.0f));  // only 5 of its 8 bytes exist
    EXPECT_EQ(coords.at(0xFFFFFFFFU), std::make_pair(0.0f, 0.0f));
}

// A store of four points: ids 0 and 1 share a cell, id 2 lies off the chart, id 3 is deleted.
struct Fixture {
    std::string coords =
        coords_bytes({{45.0f, 7.0f}, {45.001f, 7.001f}, {95.0f, 200.0f}, {-10.0f, -10.0f}});
    index::PersistedIndexes indexes;

    Fixture() {
        for (std::uint32_t id = 0; id < 4; ++id) {
            const auto [lat_deg, lon_deg] = StoredCoords(as_bytes(coords)).at(id);
            indexes.grid_index.file_point(id, lat_deg, lon_deg);
        }
        for (std::uint32_t id : {0U, 1U, 2U}) indexes.valid_ids.add(id);
        indexes.deleted.add(3);
    }
    static std::uint64_t key_of(float lat_deg, float lon_deg) {
        return index::grid_cell_key(lat_deg, lon_deg);
    }
};

TEST(GridDamage, SoundGridsPassAndGiveTheIdsOffTheChart) {
    Fixture f;
    Bitmap irregular;
    irregular.add(3);  // stale content must be replaced
    EXPECT_EQ(grid_damage(f.indexes, StoredCoords(as_bytes(f.coords)), &irregular), std::nullopt);
    EXPECT_EQ(irregular.to_vector(), std::vector<std::uint32_t>{2});

    // A rebuilt grid of the live points is sound too, and leaves the deleted id out.
    f.indexes.grid_index =
        grid_of_live_points(f.indexes.valid_ids, StoredCoords(as_bytes(f.coords)));
    EXPECT_EQ(grid_damage(f.indexes, StoredCoords(as_bytes(f.coords))), std::nullopt);
    EXPECT_EQ(index::filed_ids(f.indexes.grid_index), 3U);
    EXPECT_EQ(index::find_cell(f.indexes.grid_index, Fixture::key_of(-10.0f, -10.0f)), nullptr);
}

TEST(GridDamage, MisfiledLiveIdsAreFoundAndNamed) {
    struct Case {
        const char* name;
        void (*damage)(Fixture&);
        const char* fragment;
    };
    const Case cases[] = {
        {"live id in another cell",
         [](Fixture& f) {
             index::PersistedIndexes fresh;
             fresh.grid_index.file_point(0, 45.0f, 7.0f);
             fresh.grid_index.file_point(1, -10.0f, -10.0f);
             fresh.grid_index.file_point(2, 95.0f, 200.0f);
             f.indexes.grid_index = std::move(fresh.grid_index);
         },
         "the grid files id 1 under cell (8000, 17000), but its coordinates in coords.bin, "
         "(45.000999, 7.001), lie in cell (13500, 18700)"},
        {"live id under no cell",
         [](Fixture& f) {
             index::PersistedIndexes fresh;
             fresh.grid_index.file_point(0, 45.0f, 7.0f);
             fresh.grid_index.file_point(1, 45.001f, 7.001f);
             f.indexes.grid_index = std::move(fresh.grid_index);
         },
         "the grid files the live id 2 under no cell; its coordinates in coords.bin, (95, 200), "
         "lie in cell (18500, 38000)"},
        {"live id under two cells",
         [](Fixture& f) { f.indexes.grid_index.file_point(0, -10.0f, -10.0f); },
         "the grid files id 0 under more than one cell, cell (8000, 17000) and cell (13500, "
         "18700); its coordinates in coords.bin, (45, 7), lie in cell (13500, 18700)"},
        {"coordinates changed under a sound grid",
         [](Fixture& f) {
             f.coords = coords_bytes({{45.0f, 7.0f}, {45.0f, 7.025f}});
         },
         "the grid files id 1 under cell (13500, 18700), but its coordinates in coords.bin, "
         "(45, 7.025), lie in cell (13500, 18702)"},
        {"coordinates cut short read as the origin", [](Fixture& f) { f.coords.resize(16); },
         "the grid files id 2 under cell (18500, 38000), but its coordinates in coords.bin, (0, "
         "0), lie in cell (9000, 18000)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.damage(f);
        const std::optional<std::string> why =
            grid_damage(f.indexes, StoredCoords(as_bytes(f.coords)));
        ASSERT_TRUE(why.has_value());
        EXPECT_EQ(*why, c.fragment);
    }
}

TEST(GridDamage, IdsThatAreNotLiveMayBeFiledAnywhere) {
    Fixture f;
    f.indexes.grid_index.file_point(3, 45.0f, 7.0f);    // the deleted id twice, once misfiled
    f.indexes.grid_index.file_point(9, 95.0f, 200.0f);  // an id never handed out
    EXPECT_EQ(grid_damage(f.indexes, StoredCoords(as_bytes(f.coords))), std::nullopt);
}

// ids.bin-like records (u32 length, then the bytes) back to back, and slots pointing at them.
struct Records {
    std::string bytes;
    std::string slots;
    void add(const std::string& text) {
        storage::put_u64(slots, bytes.size());
        storage::put_u32(bytes, static_cast<std::uint32_t>(text.size()));
        bytes += text;
    }
};

TEST(UsedLengths, LiveRecordsEndWhereTheRecordStartingLastEnds) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> live;
        void (*edit)(Records&);
        std::uint64_t expected;
    };
    // Records of ids 0..3 at 0, 7, 15 and 24 ("one", "four", "seven", "x"), 29 bytes in all.
    const Case cases[] = {
        {"every id live", {0, 1, 2, 3}, [](Records&) {}, 29},
        {"the last records' ids deleted", {0, 1}, [](Records&) {}, 15},
        {"no id live", {}, [](Records&) {}, 0},
        {"a later id pointing at an earlier record",
         {0, 2, 3},
         [](Records& r) {
             storage::store_u64(reinterpret_cast<unsigned char*>(r.slots.data()) + 24, 0);
         },
         24},
        {"a slot beyond the slot file reads as offset 0", {0, 7}, [](Records&) {}, 7},
        {"a record whose length runs past the file counts to its start",
         {0, 1, 2, 3},
         [](Records& r) { r.bytes.resize(28); },
         24},
        {"a record starting past the file is not counted",
         {0, 1, 2},
         [](Records& r) {
             storage::store_u64(reinterpret_cast<unsigned char*>(r.slots.data()) + 16, 900);
         },
         15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Records r;
        for (const char* text : {"one", "four", "seven", "x"}) r.add(text);
        c.edit(r);
        Bitmap live;
        for (std::uint32_t id : c.live) live.add(id);
        EXPECT_EQ(storage::live_records_end(live, as_bytes(r.slots), as_bytes(r.bytes)),
                  c.expected);
    }
}

TEST(UsedLengths, OnlyALengthBelowTheLiveRecordsIsDamage) {
    EXPECT_EQ(storage::used_length_damage("meta.bin", 31, 31), std::nullopt);
    EXPECT_EQ(storage::used_length_damage("meta.bin", 40, 31), std::nullopt);
    EXPECT_EQ(storage::used_length_damage("meta.bin", 30, 31),
              "the used length of meta.bin is 30 bytes, but a live point's record there ends at "
              "byte 31, which the next record appended would overwrite");
}

}  // namespace
}  // namespace vesko::persist
