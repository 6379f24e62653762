#include "index/grid.h"

#include "tests/cpp/support/grid_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

namespace vesko::index {
namespace {

TEST(GridCells, CellNumbersTruncateAndSaturate) {
    struct Case {
        const char* name;
        float deg;
        bool latitude;
        std::uint32_t expected;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {"latitude 45", 45.0f, true, 13500},
        {"south pole", -90.0f, true, 0},
        {"north pole", 90.0f, true, 18000},
        {"12.34 stored as f32 lands in 10234", 12.34f, true, 10234},
        {"below the pole saturates to 0", -95.0f, true, 0},
        {"NaN gives 0", NAN, true, 0},
        {"infinity saturates high", inf, true, 4294967295u},
        {"longitude 180", 180.0f, false, 36000},
        {"longitude -180", -180.0f, false, 0},
        {"longitude 0", 0.0f, false, 18000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.latitude ? lat_cell(c.deg) : lon_cell(c.deg), c.expected);
    }
}

TEST(GridCells, KeyHoldsLatitudeCellHighAndLongitudeCellLow) {
    EXPECT_EQ(grid_cell_key(0.0f, 0.0f), 0x0000232800004650ULL);
}

GridIndex grid_with_points() {
    GridIndex grid;
    grid.file_point(1, 10.005f, 20.005f);  // cell (10000, 20000)
    grid.file_point(2, 10.015f, 20.005f);  // cell (10001, 20000)
    grid.file_point(3, 10.005f, 20.025f);  // cell (10000, 20002)
    grid.file_point(4, -89.999f, -179.999f);
    return grid;
}

TEST(CollectCells, UnitesExactlyTheCellsInsideTheInclusiveRange) {
    const GridIndex grid = grid_with_points();
    struct Case {
        const char* name;
        std::uint32_t lat_lo, lat_hi, lon_lo, lon_hi;
        std::vector<std::uint32_t> expected;
    };
    const Case cases[] = {
        {"one cell", 10000, 10000, 20000, 20000, {1}},
        {"two latitude cells", 10000, 10001, 20000, 20000, {1, 2}},
        {"inclusive longitude end", 10000, 10000, 20000, 20002, {1, 3}},
        {"empty latitude range", 10001, 10000, 0, 40000, {}},
        {"empty longitude range", 0, 20000, 20001, 20000, {}},
        // More cells than entries: the entries are scanned instead, with the same union.
        {"whole world", 0, 4294967295u, 0, 4294967295u, {1, 2, 3, 4}},
        {"wide band", 9000, 11000, 0, 36000, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(collect_cells(grid, c.lat_lo, c.lat_hi, c.lon_lo, c.lon_hi).to_vector(),
                  c.expected);
    }
}

TEST(GridIndex, BlocksListEveryOccupiedCellOnce) {
    const GridIndex grid = grid_with_points();
    std::size_t listed = 0;
    for (const auto& [key, block] : grid.blocks()) {
        std::size_t bits = 0;
        for (std::uint64_t word : block.occupied)
            bits += static_cast<std::size_t>(std::popcount(word));
        EXPECT_EQ(bits, block.cells.size());
        for (const GridIndex::Cell& cell : block.cells) {
            const std::uint64_t cell_key = cell_in(key, cell.local);
            EXPECT_EQ(block_of(cell_key), key);
            EXPECT_EQ(find_cell(grid, cell_key), &cell.ids);
            EXPECT_NE(find_cell(grid, cell_key), nullptr);
        }
        listed += block.cells.size();
    }
    EXPECT_EQ(listed, grid.size());
    EXPECT_EQ(grid.blocks().at(make_cell_key(100, 200)).cells.size(), 3u);
    EXPECT_EQ(find_cell(grid, make_cell_key(10000, 20001)), nullptr);
    EXPECT_EQ(find_cell(grid, make_cell_key(5000, 5000)), nullptr);
}

TEST(CollectCells, EmptyGridGivesEmptyUnion) {
    EXPECT_TRUE(collect_cells(GridIndex{}, 0, 10, 0, 10).empty());
}

TEST(GridIndex, IdsUnderCountAFewCellsThemselvesAndMoreByTheirBlocks) {
    GridIndex grid = grid_with_points();
    grid.file_point(1, 10.005f, 20.005f);  // already filed: counted once
    ASSERT_TRUE(grid.insert_cell(make_cell_key(10050, 20050), [] {
        CellIds ids;
        ids.add(7);
        ids.add(8);
        return ids;
    }()));
    struct Case {
        const char* name;
        std::uint32_t lat_lo, lat_hi, lon_lo, lon_hi;
        std::size_t expected;
    };
    const Case cases[] = {
        // Block (100, 200) holds ids 1, 2, 3 and the restored cell's 7 and 8.
        {"one cell counts its own ids", 10000, 10000, 20000, 20000, 1},
        {"a few cells count theirs", 10000, 10001, 20000, 20002, 3},
        {"the restored cell", 10050, 10050, 20050, 20050, 2},
        {"an empty cell of an occupied block", 10099, 10099, 20099, 20099, 0},
        {"81 cells count their whole block", 10000, 10008, 20000, 20008, 5},
        {"an empty block", 5000, 5000, 5000, 5000, 0},
        {"two blocks", 0, 10000, 0, 20000, 6},
        {"empty range", 10001, 10000, 0, 40000, 0},
        {"too many blocks to count: every id", 0, 4294967295u, 0, 4294967295u, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(grid.ids_under(c.lat_lo, c.lat_hi, c.lon_lo, c.lon_hi), c.expected);
    }
    EXPECT_EQ(filed_ids(grid), 6u);
}

// Walks over whole rows of blocks skip the rows without any: a row must count a block filed
// by any route (one point, a batch, a restored cell), and the count must follow the grid when
// it moves.
TEST(GridIndex, RowsOfBlocksKnowWhetherTheyHoldAny) {
    GridIndex grid;
    grid.file_point(1, 89.95f, 170.0f);  // block row 179
    std::vector<std::pair<std::uint64_t, std::uint32_t>> batch = {
        {grid_cell_key(-89.99f, -179.99f), 2}, {grid_cell_key(-89.99f, 0.0f), 3}};  // row 0
    grid.file_points(batch);
    CellIds restored;
    restored.add(4);
    ASSERT_TRUE(grid.insert_cell(make_cell_key(4000, 100), std::move(restored)));  // row 40
    const GridIndex moved = std::move(grid);
    struct Case {
        const char* name;
        std::uint32_t row;
        bool expected;
    };
    const Case cases[] = {
        {"a filed point's row", 179, true},        {"a batch's row", 0, true},
        {"a restored cell's row", 40, true},       {"an empty row", 1, false},
        {"the last chart row, empty", 180, false}, {"beyond the chart: always walked", 181, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(moved.row_may_have_blocks(c.row), c.expected);
    }
    EXPECT_EQ(moved.ids_under(100, 3999, 0, 1000), 0u);
    EXPECT_EQ(moved.ids_under(100, 4000, 0, 1000), 1u);
    std::vector<std::uint32_t> found;
    gather_cells(moved, 0, 18000, 0, 36000, found);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::uint32_t>{1, 2, 3, 4}));
}

// A band too wide to walk block by block over a small grid is walked over a grid of many
// blocks, through the chart's table: its union and its count must be those of the points under
// it, whichever route filed them (one point, a batch, a restored cell).
TEST(GridIndex, WideBandsOverManyBlocksGiveWhatTheyHold) {
    GridIndex grid;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> batch;
    std::uint32_t next = 0;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> every;  // (cell key, id)
    for (float lat = -60.0f; lat <= 60.0f; lat += 0.7f) {
        for (float lon = -180.0f; lon < 180.0f; lon += 1.3f) {
            const std::uint32_t id = next++;
            const std::uint64_t key = grid_cell_key(lat, lon);
            every.emplace_back(key, id);
            if (id % 3 == 0) {
                grid.file_point(id, lat, lon);
            } else if (id % 3 == 1) {
                batch.emplace_back(key, id);
            } else {
                CellIds ids;
                ids.add(id);
                // A cell a batch or a point already made keeps its ids; restoring is refused.
                if (!grid.insert_cell(key, std::move(ids))) batch.emplace_back(key, id);
            }
        }
    }
    grid.file_points(batch);
    ASSERT_GT(grid.blocks().size(), 10000u);
    struct Case {
        const char* name;
        std::uint32_t lat_lo, lat_hi, lon_lo, lon_hi;
    };
    const Case cases[] = {
        {"a band around the equator", 8700, 9300, 0, 36000},
        {"a band of whole block rows", 10000, 11099, 0, 36000},
        {"the whole chart", 0, 18000, 0, 36000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint32_t> expected;
        std::size_t in_block_rows = 0;
        for (const auto& [key, id] : every) {
            const std::uint32_t y = key_lat_cell(key);
            const std::uint32_t x = key_lon_cell(key);
            if (y >= c.lat_lo && y <= c.lat_hi && x >= c.lon_lo && x <= c.lon_hi)
                expected.push_back(id);
            if (y / 100 >= c.lat_lo / 100 && y / 100 <= c.lat_hi / 100) ++in_block_rows;
        }
        std::vector<std::uint32_t> found;
        gather_cells(grid, c.lat_lo, c.lat_hi, c.lon_lo, c.lon_hi, found);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, expected);
        EXPECT_EQ(grid.ids_under(c.lat_lo, c.lat_hi, c.lon_lo, c.lon_hi), in_block_rows);
    }
}

// A lookup finds a cell's place from the occupied bits and the counts before each word; after
// cells arrive in any order (word boundaries, first and last cell of a block, a full word),
// every occupied cell must still give its own ids and every other cell nothing, and a row's
// walk (ranges cut at word boundaries, reaching into the empty block east) each of its cells.
TEST(GridIndex, LookupsFindEveryCellWhateverOrderTheCellsArrived) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> locals;  // local cell numbers in one block, in arrival order
    };
    std::vector<std::uint16_t> shuffled;
    std::mt19937 rng(3);
    for (std::uint16_t local = 0; local < 10000; local = static_cast<std::uint16_t>(local + 7)) {
        shuffled.push_back(local);
    }
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    std::vector<std::uint16_t> full_word;
    for (std::uint16_t local = 127; local >= 64; --local) full_word.push_back(local);
    const Case cases[] = {
        {"descending across word boundaries", {130, 128, 127, 64, 63, 1, 0}},
        {"first and last cell of the block", {9999, 0}},
        {"one full word, descending", full_word},
        {"every seventh cell, shuffled", shuffled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GridIndex grid;
        const std::uint64_t block = make_cell_key(130, 200);
        for (std::size_t i = 0; i < c.locals.size(); ++i) {
            CellIds ids;
            ids.add(static_cast<std::uint32_t>(c.locals[i]) * 3);
            ASSERT_TRUE(grid.insert_cell(cell_in(block, c.locals[i]), std::move(ids)));
        }
        std::vector<bool> present(10000, false);
        for (std::uint16_t local : c.locals) present[local] = true;
        for (std::uint16_t local = 0; local < 10000; ++local) {
            const CellIds* ids = find_cell(grid, cell_in(block, local));
            if (!present[local]) {
                ASSERT_EQ(ids, nullptr) << "local " << local;
                continue;
            }
            ASSERT_NE(ids, nullptr) << "local " << local;
            ASSERT_EQ(ids->size(), 1u);
            EXPECT_EQ(*ids->begin(), std::uint32_t{local} * 3) << "local " << local;
        }
        const std::uint32_t west = key_lon_cell(block) * 100;
        const std::pair<std::uint32_t, std::uint32_t> ranges[] = {
            {0, 99}, {27, 64}, {63, 63}, {64, 127}, {50, 250}};
        for (std::uint32_t row = 0; row < 100; ++row) {
            for (const auto& [lo, hi] : ranges) {
                std::vector<std::uint32_t> expected;
                for (std::uint32_t col = lo; col <= std::min(hi, 99u); ++col) {
                    if (present[row * 100 + col]) expected.push_back((row * 100 + col) * 3);
                }
                std::vector<std::uint32_t> walked;
                grid.for_each_in_row(key_lat_cell(block) * 100 + row, west + lo, west + hi,
                                     [&](std::uint32_t lon_cell, const CellIds& ids) {
                                         ASSERT_EQ(ids.size(), 1u);
                                         EXPECT_EQ(*ids.begin(), (row * 100 + lon_cell - west) * 3);
                                         walked.push_back(*ids.begin());
                                     });
                ASSERT_EQ(walked, expected) << "row " << row << ", columns " << lo << ".." << hi;
            }
        }
    }
}

// Every cell with its ids, in key order, and the per-block counts: what two grids must share.
std::map<std::uint64_t, std::vector<std::uint32_t>> cells_of(const GridIndex& grid) {
    std::map<std::uint64_t, std::vector<std::uint32_t>> out;
    grid.for_each_cell(
        [&](std::uint64_t key, const CellIds& ids) { out[key].assign(ids.begin(), ids.end()); });
    return out;
}

TEST(GridIndex, FilingABatchGivesTheGridOfFilingEachPoint) {
    struct Case {
        const char* name;
        float spread_deg;  // points scatter this far around a few centres
        int batches;
    };
    const Case cases[] = {{"crowded cells", 0.02f, 3},
                          {"crowded blocks", 0.7f, 4},
                          {"whole chart", 90.0f, 2},
                          {"off the chart", 400.0f, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> offset(-c.spread_deg, c.spread_deg);
        GridIndex one;
        GridIndex many;
        std::uint32_t next_id = 0;
        for (int batch = 0; batch < c.batches; ++batch) {
            std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
            for (int i = 0; i < 3000; ++i) {
                const float lat_deg = (i % 3 == 0 ? 10.0f : -45.5f) + offset(rng);
                const float lon_deg = (i % 2 == 0 ? 100.0f : -3.25f) + offset(rng);
                one.file_point(next_id, lat_deg, lon_deg);
                keyed.emplace_back(grid_cell_key(lat_deg, lon_deg), next_id);
                ++next_id;
            }
            many.file_points(keyed);
        }
        EXPECT_EQ(cells_of(many), cells_of(one));
        EXPECT_EQ(many.size(), one.size());
        EXPECT_EQ(filed_ids(many), filed_ids(one));
        for (const auto& [key, block] : one.blocks()) {
            const GridIndex::Block* other = many.block(key);
            ASSERT_NE(other, nullptr);
            EXPECT_EQ(other->ids, block.ids);
            EXPECT_EQ(other->occupied, block.occupied);
            EXPECT_EQ(other->cells_before, block.cells_before);
        }
    }
}

}  // namespace
}  // namespace vesko::index
