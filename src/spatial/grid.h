// The grid: 0.01-degree cells keyed by (latitude cell << 32 | longitude cell), each holding the
// ids filed in it. The grid only proposes candidates; every search re-tests exact coordinates.
// A deleted id stays in its cell until compaction, so readers intersect with live ids.
#pragma once

#include "common/bitmap.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vesko::spatial {

// Cell numbers: (degrees widened to double + 90 or + 180) * 100, truncated toward zero and
// saturated to [0, 2^32 - 1]; NaN gives 0. No wrap at the antimeridian, no pole handling.
std::uint32_t lat_cell(float lat_deg);
std::uint32_t lon_cell(float lon_deg);

constexpr std::uint64_t make_cell_key(std::uint32_t lat_cell_no, std::uint32_t lon_cell_no) {
    return static_cast<std::uint64_t>(lat_cell_no) << 32 | lon_cell_no;
}
constexpr std::uint32_t key_lat_cell(std::uint64_t key) {
    return static_cast<std::uint32_t>(key >> 32);
}
constexpr std::uint32_t key_lon_cell(std::uint64_t key) { return static_cast<std::uint32_t>(key); }

std::uint64_t grid_cell_key(float lat_deg, float lon_deg);

// Block of 100 x 100 cells (one degree square) that holds a cell.
constexpr std::uint64_t block_of(std::uint64_t cell_key) {
    return make_cell_key(key_lat_cell(cell_key) / 100, key_lon_cell(cell_key) / 100);
}

// Occupied cells, and for each one-degree block the cells of it that are occupied, so that a
// search far from everything can visit blocks nearest first instead of cells one by one.
class GridIndex {
  public:
    using Cells = std::unordered_map<std::uint64_t, Bitmap>;
    struct Block {
        std::vector<std::uint64_t> cells;  // keys of its occupied cells
        Bitmap occupied;  // the same cells as (lat cell % 100) * 100 + lon cell % 100
    };
    using Blocks = std::unordered_map<std::uint64_t, Block>;

    // Adds the id to the cell of (lat, lon), creating the cell. The coordinates must be
    // exactly the f32 values stored for the id, so the cell agrees with the stored position.
    void file_point(std::uint32_t int_id, float lat_deg, float lon_deg);
    // Adds a whole cell (restoring a stored grid); false, changing nothing, when the cell
    // exists already.
    bool insert_cell(std::uint64_t cell_key, Bitmap ids);
    void reserve(std::size_t cells) { cells_.reserve(cells); }

    const Bitmap* find(std::uint64_t cell_key) const {
        auto it = cells_.find(cell_key);
        return it == cells_.end() ? nullptr : &it->second;
    }
    const Cells& cells() const { return cells_; }
    const Blocks& blocks() const { return blocks_; }
    const Block* block(std::uint64_t block_key) const {
        auto it = blocks_.find(block_key);
        return it == blocks_.end() ? nullptr : &it->second;
    }
    // Whether the cell holds ids, answered mostly from small per-block sets that stay in
    // cache, so that a walk over sparse regions rarely touches the large cell table.
    bool occupied(std::uint64_t cell_key) const;
    std::size_t size() const { return cells_.size(); }
    bool empty() const { return cells_.empty(); }

  private:
    Bitmap& cell(std::uint64_t cell_key);
    void note_new_cell(std::uint64_t cell_key);

    // Blocks of cells on the usual chart: latitude cells 0..18099, longitude cells 0..36099.
    static constexpr std::uint32_t block_rows = 181;
    static constexpr std::uint32_t block_cols = 361;

    Cells cells_;
    // Every key of cells_ appears exactly once, under its block_of.
    Blocks blocks_;
    // Bit per block of the chart, set once the block holds a cell; the block's entry in
    // blocks_ says which of its cells.
    std::vector<bool> occupied_ = std::vector<bool>(std::size_t{block_rows} * block_cols, false);
};

// Union of the bitmaps of all present cells with lat_lo <= lat cell <= lat_hi and
// lon_lo <= lon cell <= lon_hi; empty when either range is empty. The cells are found by the
// cheapest of three routes with the same union: looking up each cell of a small rectangle,
// going through the occupied cells of the one-degree blocks under a larger one, or scanning
// every entry when the rectangle holds more cells than the grid has entries (a search over a
// continent never walks millions of empty cells).
Bitmap collect_cells(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                     std::uint32_t lon_lo, std::uint32_t lon_hi);

}  // namespace vesko::spatial
