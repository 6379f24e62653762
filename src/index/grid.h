// The grid: 0.01-degree cells keyed by (latitude cell << 32 | longitude cell), each holding the
// ids filed in it. The grid only proposes candidates; every search re-tests exact coordinates.
// A deleted id stays in its cell until compaction, so readers intersect with live ids.
#pragma once

#include "common/bitmap.h"
#include "common/bits.h"
#include "index/cell_ids.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vesko::index {

// The one conversion from degrees to a cell number, shared by the grid and every search: a
// search is right only if it computes the cell the grid filed a point in. (degrees + offset)
// * 100 in double precision, truncated toward zero and saturated to [0, 2^32 - 1]; NaN gives
// 0. A stored f32 widened to double converts exactly as it was filed; a bound a search computed
// in double converts monotonically, so every point between two bounds lies between their
// cells. No wrap at the antimeridian, no pole handling.
std::uint32_t cell_number(double deg, double offset_deg);
inline std::uint32_t lat_cell(double lat_deg) { return cell_number(lat_deg, 90.0); }
inline std::uint32_t lon_cell(double lon_deg) { return cell_number(lon_deg, 180.0); }

// Cells on the usual chart: latitude cells 0..18000, longitude cells 0..36000, where column
// 36000 (longitude 180) is the meridian of column 0.
inline constexpr std::uint32_t chart_lat_cells = 18001;
inline constexpr std::uint32_t chart_lon_cells = 36000;

constexpr std::uint64_t make_cell_key(std::uint32_t lat_cell_no, std::uint32_t lon_cell_no) {
    return static_cast<std::uint64_t>(lat_cell_no) << 32 | lon_cell_no;
}
constexpr std::uint32_t key_lat_cell(std::uint64_t key) {
    return static_cast<std::uint32_t>(key >> 32);
}
constexpr std::uint32_t key_lon_cell(std::uint64_t key) { return static_cast<std::uint32_t>(key); }

std::uint64_t grid_cell_key(float lat_deg, float lon_deg);

// Block of 100 x 100 cells (one degree square) that holds a cell, and the cell's number in it.
constexpr std::uint64_t block_of(std::uint64_t cell_key) {
    return make_cell_key(key_lat_cell(cell_key) / 100, key_lon_cell(cell_key) / 100);
}
constexpr std::uint16_t local_of(std::uint64_t cell_key) {
    return static_cast<std::uint16_t>(key_lat_cell(cell_key) % 100 * 100 +
                                      key_lon_cell(cell_key) % 100);
}
constexpr std::uint64_t cell_in(std::uint64_t block_key, std::uint16_t local) {
    return make_cell_key(key_lat_cell(block_key) * 100 + local / 100,
                         key_lon_cell(block_key) * 100 + local % 100);
}

// The occupied cells, grouped by one-degree block. A block keeps a bit per cell and its
// occupied cells sorted by their number, so a lookup touches one small block instead of a
// table of every cell, and a walk over sparse regions skips empty cells and blocks cheaply.
class GridIndex {
  public:
    struct Cell {
        std::uint16_t local;
        CellIds ids;
    };
    struct Block {
        static constexpr std::size_t words = 157;
        std::array<std::uint64_t, words> occupied{};  // bit per local cell number (10000 bits)
        // Occupied cells in the words before each word: a cell's place in `cells` is
        // cells_before[w] plus the occupied bits below it in its word w. A lookup then
        // touches this array and one cell instead of a binary search over every cell.
        std::array<std::uint16_t, words> cells_before{};
        std::vector<Cell> cells;  // sorted by local, each occupied bit once
        std::size_t ids = 0;      // sum of the cells' sizes

        bool has(std::uint16_t local) const {
            return (occupied[local >> 6] >> (local & 63) & 1) != 0;
        }
        // The place in `cells` of an occupied local cell, or the place a new one goes.
        std::size_t place(std::uint16_t local) const {
            const std::uint64_t below =
                occupied[local >> 6] & ((std::uint64_t{1} << (local & 63)) - 1);
            return cells_before[local >> 6] + count_bits(below);
        }
        const CellIds* find(std::uint16_t local) const;
        // Recomputes cells_before from occupied, after cells were set in bulk in words
        // `from` on (the counts before it still hold).
        void recount(std::size_t from = 0) {
            if (from >= words) return;
            auto n = static_cast<std::uint16_t>(cells_before[from]);
            for (std::size_t w = from; w < words; ++w) {
                cells_before[w] = n;
                n = static_cast<std::uint16_t>(n + count_bits(occupied[w]));
            }
        }
    };
    using Blocks = std::unordered_map<std::uint64_t, Block>;

    GridIndex() = default;
    GridIndex(GridIndex&&) = default;
    GridIndex& operator=(GridIndex&&) = default;

    // Adds the id to the cell of (lat, lon), creating the cell. The coordinates must be
    // exactly the f32 values stored for the id, so the cell agrees with the stored position.
    void file_point(std::uint32_t int_id, float lat_deg, float lon_deg);
    // Files many points at once, given as (grid_cell_key of the stored coordinates, id): the
    // same grid as filing each, reached in cell order so that points of one block are filed
    // together (the cost of filing is fetching the block's memory). Reorders `keyed`.
    void file_points(std::span<std::pair<std::uint64_t, std::uint32_t>> keyed);
    // Adds a whole cell (restoring a stored grid); false, changing nothing, when the cell
    // exists already.
    bool insert_cell(std::uint64_t cell_key, CellIds ids);

    const Block* block(std::uint64_t block_key) const;
    // Whether a row of blocks (block_key's latitude part) may hold any block: false only for
    // a row of the chart where none exists, which walks over a polar cap or a wide band skip.
    bool row_may_have_blocks(std::uint32_t block_row) const {
        return block_row >= block_rows || chart_blocks_in_row_[block_row] != 0;
    }
    const Blocks& blocks() const { return blocks_; }
    std::size_t size() const { return cells_; }
    bool empty() const { return cells_ == 0; }
    // An upper bound on the ids the cells of the rectangle hold, cheap to compute: for a
    // rectangle of a few cells their own ids, else the ids of the one-degree blocks it meets,
    // or of the whole grid when it meets too many to count.
    std::size_t ids_under(std::uint32_t lat_lo, std::uint32_t lat_hi, std::uint32_t lon_lo,
                          std::uint32_t lon_hi) const;
    // The ids the cells of the rectangle hold, counted cell by cell where a block lies only
    // partly inside it (a range of a row's cells is found from the occupied bits, so the cost
    // follows the rows and the occupied cells, never the ids); every id when the rectangle
    // meets too many blocks to walk. What a search's window costs before it is gathered.
    std::size_t ids_in(std::uint32_t lat_lo, std::uint32_t lat_hi, std::uint32_t lon_lo,
                       std::uint32_t lon_hi) const;

    // Calls fn(cell key, ids) for every occupied cell.
    template <class Fn>
    void for_each_cell(Fn&& fn) const {
        for (const auto& [key, b] : blocks_) {
            for (const Cell& c : b.cells) fn(cell_in(key, c.local), c.ids);
        }
    }

    // Calls fn(longitude cell, ids) for the occupied cells of row `lat_cell` whose longitude
    // cells lie in lon_lo..lon_hi, ascending: in each block they are consecutive in `cells`,
    // found from the occupied bits, so an empty cell costs nothing and an empty block one
    // lookup. Returns how many blocks it looked up.
    template <class Fn>
    std::size_t for_each_in_row(std::uint32_t lat_cell, std::uint32_t lon_lo, std::uint32_t lon_hi,
                                Fn&& fn) const {
        std::size_t looked_up = 0;
        const std::uint32_t row_start = lat_cell % 100 * 100;
        for (std::uint32_t column = lon_lo / 100; column <= lon_hi / 100; ++column) {
            ++looked_up;
            const Block* b = block(make_cell_key(lat_cell / 100, column));
            if (b == nullptr) continue;
            // In 64 bits: the last block column of the saturated cells ends past 2^32.
            const std::uint64_t first = std::uint64_t{column} * 100;
            const auto lo = static_cast<std::uint16_t>(
                row_start + std::max<std::uint64_t>(lon_lo, first) - first);
            const auto hi = static_cast<std::uint16_t>(
                row_start + std::min<std::uint64_t>(lon_hi, first + 99) - first);
            const std::size_t end = b->place(static_cast<std::uint16_t>(hi + 1));
            for (std::size_t i = b->place(lo); i < end; ++i) {
                fn(static_cast<std::uint32_t>(first + b->cells[i].local % 100), b->cells[i].ids);
            }
        }
        return looked_up;
    }

  private:
    CellIds& cell(std::uint64_t cell_key);
    // Adds a cell the block does not have yet.
    CellIds& add_cell(Block& b, std::uint16_t local, CellIds ids);
    // Blocks of cells on the usual chart: latitude cells 0..18099, longitude cells 0..36099.
    static constexpr std::uint32_t block_rows = 181;
    static constexpr std::uint32_t block_cols = 361;
    static bool on_chart(std::uint64_t block_key) {
        return key_lat_cell(block_key) < block_rows && key_lon_cell(block_key) < block_cols;
    }
    static std::size_t chart_slot(std::uint64_t block_key) {
        return std::size_t{key_lat_cell(block_key)} * block_cols + key_lon_cell(block_key);
    }
    // The block of a key, created empty when missing.
    Block& block_for(std::uint64_t block_key);
    // Records that `added` ids were filed in block b, of key block_key.
    void count_ids(std::uint64_t block_key, Block& b, std::size_t added);

    Blocks blocks_;
    std::size_t cells_ = 0;
    std::size_t ids_ = 0;
    // The chart's blocks by their place in it (null where none exists yet), so that finding
    // one is a single load instead of a hash lookup: searches find a block for every few
    // cells they visit. Blocks are never erased, and the map's nodes never move, so the
    // pointers stay valid; moving the grid moves both together.
    std::vector<Block*> chart_blocks_ =
        std::vector<Block*>(std::size_t{block_rows} * block_cols, nullptr);
    std::vector<std::uint32_t> chart_blocks_in_row_ = std::vector<std::uint32_t>(block_rows, 0);
    // Each chart block's `ids`, by its place in the chart, so that counting the ids under a
    // large rectangle reads one contiguous table instead of every block's memory.
    std::vector<std::uint32_t> chart_ids_ = std::vector<std::uint32_t>(chart_blocks_.size(), 0);
};

// Appends to `out` the ids of all present cells with lat_lo <= lat cell <= lat_hi and
// lon_lo <= lon cell <= lon_hi, cell by cell (so not in order overall); nothing when either
// range is empty. The cells are found by the cheapest of three routes with the same union:
// looking up each cell of a small rectangle, going through the occupied cells of the
// one-degree blocks under a larger one, or scanning every entry when the rectangle holds more
// cells than the grid has entries (a search over a continent never walks millions of empty
// cells).
void gather_cells(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                  std::uint32_t lon_lo, std::uint32_t lon_hi, std::vector<std::uint32_t>& out);

// Sorts gathered ids ascending and drops repeats.
void sort_unique(std::vector<std::uint32_t>& ids);

}  // namespace vesko::index
