#include "index/grid.h"

#include "index/key_sort.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

namespace vesko::index {

namespace {

// Rectangles up to this many cells are looked up cell by cell; larger ones go through the
// occupied cells of the one-degree blocks under them (walks_blocks), or scan every block.
constexpr double small_rectangle_cells = 64;
constexpr double max_walked_blocks = 4096;
// Finding a block of the chart is a load from a contiguous table, while scanning reaches each
// block of the grid through a node of its map, a wait on memory that costs as much as a few
// dozen table loads.
constexpr double table_loads_per_scanned_block = 32;

// How many cells and one-degree blocks the rectangle spans, in double: a rectangle may span
// the whole range of cell numbers.
double cells_spanned(std::uint32_t lat_lo, std::uint32_t lat_hi, std::uint32_t lon_lo,
                     std::uint32_t lon_hi) {
    return (static_cast<double>(lat_hi - lat_lo) + 1.0) *
           (static_cast<double>(lon_hi - lon_lo) + 1.0);
}
double blocks_spanned(std::uint32_t lat_lo, std::uint32_t lat_hi, std::uint32_t lon_lo,
                      std::uint32_t lon_hi) {
    return (static_cast<double>(lat_hi / 100 - lat_lo / 100) + 1.0) *
           (static_cast<double>(lon_hi / 100 - lon_lo / 100) + 1.0);
}

// Calls take(ids) for each occupied cell of a rectangle of at most small_rectangle_cells
// cells, row by row.
template <class Take>
void probe_each_cell(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                     std::uint32_t lon_lo, std::uint32_t lon_hi, Take&& take) {
    for (std::uint64_t y = lat_lo; y <= lat_hi; ++y) {
        grid.for_each_in_row(static_cast<std::uint32_t>(y), lon_lo, lon_hi,
                             [&](std::uint32_t, const CellIds& ids) { take(ids); });
    }
}

// Calls fn(block key) for every one-degree block the rectangle meets, row by row, skipping the
// rows of the chart that hold no block.
template <class Fn>
void for_each_block_key(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                        std::uint32_t lon_lo, std::uint32_t lon_hi, Fn&& fn) {
    for (std::uint64_t by = lat_lo / 100; by <= lat_hi / 100; ++by) {
        if (!grid.row_may_have_blocks(static_cast<std::uint32_t>(by))) continue;
        for (std::uint64_t bx = lon_lo / 100; bx <= lon_hi / 100; ++bx) {
            fn(make_cell_key(static_cast<std::uint32_t>(by), static_cast<std::uint32_t>(bx)));
        }
    }
}

// Calls visit(block key, block) for every block under the rectangle's one-degree blocks, row
// by row. Blocks are scattered over the heap and a sparse region has few cells in each, so a
// plain walk waits on memory at every block, for its header and then its cells. The blocks are
// listed first (the chart's table is contiguous), then each one's header and cells are asked
// for a few visits ahead, so those loads overlap.
template <class Visit>
void for_each_block_under(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                          std::uint32_t lon_lo, std::uint32_t lon_hi, Visit&& visit) {
    struct Found {
        std::uint64_t key;
        const GridIndex::Block* block;
    };
    std::vector<Found> found;
    for_each_block_key(grid, lat_lo, lat_hi, lon_lo, lon_hi, [&](std::uint64_t key) {
        if (const GridIndex::Block* b = grid.block(key)) found.push_back({key, b});
    });
    // Distances in blocks: a header must have arrived before its cells can be asked for.
    constexpr std::size_t header_ahead = 32;
    constexpr std::size_t cells_ahead = 16;
    constexpr std::size_t cells_lines = 16;  // asked for per block, from its first cell
    constexpr std::size_t line_bytes = 64;
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (i + header_ahead < found.size())
            __builtin_prefetch(&found[i + header_ahead].block->cells);
        if (i + cells_ahead < found.size()) {
            const auto& cells = found[i + cells_ahead].block->cells;
            const char* at = reinterpret_cast<const char*>(cells.data());
            const std::size_t bytes =
                std::min(cells.size() * sizeof(GridIndex::Cell), cells_lines * line_bytes);
            for (std::size_t off = 0; off < bytes; off += line_bytes) __builtin_prefetch(at + off);
        }
        visit(found[i].key, *found[i].block);
    }
}

// Whether the rectangle's cells are cheaper to reach through its blocks than by scanning all
// of the grid's blocks. A rectangle on the chart walks its blocks by the table, cheaply even
// when it spans a whole band of latitudes, unless the grid holds only a few blocks; one off the
// chart finds each block by a hash lookup, so only a small one walks.
bool walks_blocks(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                  std::uint32_t lon_lo, std::uint32_t lon_hi) {
    const double spanned = blocks_spanned(lat_lo, lat_hi, lon_lo, lon_hi);
    if (spanned <= max_walked_blocks) return true;
    const bool on_chart = lat_hi < chart_lat_cells && lon_hi <= chart_lon_cells;
    return on_chart &&
           spanned <= table_loads_per_scanned_block * static_cast<double>(grid.blocks().size());
}

// Calls fn(cell) for each occupied cell of block `key` inside the rectangle, row by row: a
// row's cells from one column to another are consecutive in `cells`, found from the occupied
// bits, so the cost follows the rectangle's occupied cells, never the block's (a city's block
// holds thousands of occupied cells, a 10 km window a few hundred of them).
template <class Fn>
void for_each_cell_within(std::uint64_t key, const GridIndex::Block& b, std::uint32_t lat_lo,
                          std::uint32_t lat_hi, std::uint32_t lon_lo, std::uint32_t lon_hi,
                          Fn&& fn) {
    const std::uint32_t y0 = key_lat_cell(key) * 100;
    const std::uint32_t x0 = key_lon_cell(key) * 100;
    const std::uint32_t row_lo = std::max(lat_lo, y0) - y0;
    const std::uint32_t row_hi = std::min<std::uint32_t>(lat_hi - y0, 99);
    const std::uint32_t col_lo = std::max(lon_lo, x0) - x0;
    const std::uint32_t col_hi = std::min<std::uint32_t>(lon_hi - x0, 99);
    for (std::uint32_t row = row_lo; row <= row_hi; ++row) {
        const std::size_t end = b.place(static_cast<std::uint16_t>(row * 100 + col_hi + 1));
        for (std::size_t i = b.place(static_cast<std::uint16_t>(row * 100 + col_lo)); i < end; ++i)
            fn(b.cells[i]);
    }
}

}  // namespace

std::uint32_t cell_number(double deg, double offset_deg) {
    const double v = (deg + offset_deg) * 100.0;
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return 4294967295U;
    return static_cast<std::uint32_t>(v);
}

std::uint64_t grid_cell_key(float lat_deg, float lon_deg) {
    return make_cell_key(lat_cell(lat_deg), lon_cell(lon_deg));
}

const CellIds* GridIndex::Block::find(std::uint16_t local) const {
    if (!has(local)) return nullptr;
    return &cells[place(local)].ids;
}

const GridIndex::Block* GridIndex::block(std::uint64_t block_key) const {
    if (on_chart(block_key)) return chart_blocks_[chart_slot(block_key)];
    auto it = blocks_.find(block_key);
    return it == blocks_.end() ? nullptr : &it->second;
}

void GridIndex::count_ids(std::uint64_t block_key, Block& b, std::size_t added) {
    b.ids += added;
    ids_ += added;
    if (on_chart(block_key)) chart_ids_[chart_slot(block_key)] += static_cast<std::uint32_t>(added);
}

GridIndex::Block& GridIndex::block_for(std::uint64_t block_key) {
    auto [it, created] = blocks_.try_emplace(block_key);
    if (created && on_chart(block_key)) {
        chart_blocks_[chart_slot(block_key)] = &it->second;
        ++chart_blocks_in_row_[key_lat_cell(block_key)];
    }
    return it->second;
}

CellIds& GridIndex::cell(std::uint64_t cell_key) {
    Block& b = block_for(block_of(cell_key));
    const std::uint16_t local = local_of(cell_key);
    if (!b.has(local)) return add_cell(b, local, CellIds());
    return b.cells[b.place(local)].ids;
}

CellIds& GridIndex::add_cell(Block& b, std::uint16_t local, CellIds ids) {
    const auto at = static_cast<std::ptrdiff_t>(b.place(local));
    b.cells.insert(b.cells.begin() + at, Cell{local, std::move(ids)});
    b.occupied[local >> 6] |= std::uint64_t{1} << (local & 63);
    for (std::size_t w = (local >> 6) + 1; w < Block::words; ++w) ++b.cells_before[w];
    ++cells_;
    return b.cells[static_cast<std::size_t>(at)].ids;
}

void GridIndex::file_point(std::uint32_t int_id, float lat_deg, float lon_deg) {
    const std::uint64_t key = grid_cell_key(lat_deg, lon_deg);
    if (cell(key).add(int_id)) {
        const std::uint64_t block_key = block_of(key);
        count_ids(block_key, block_for(block_key), 1);
    }
}

void GridIndex::file_points(std::span<std::pair<std::uint64_t, std::uint32_t>> keyed) {
    // Block by block, and within a block in cell order and ascending id (each cell's ids are
    // then appended in order).
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        const std::uint64_t block_a = block_of(a.first);
        const std::uint64_t block_b = block_of(b.first);
        if (block_a != block_b) return block_a < block_b;
        return a < b;
    });
    std::vector<Cell> fresh;
    std::vector<Cell> merged;
    for (std::size_t run = 0; run < keyed.size();) {
        const std::uint64_t block_key = block_of(keyed[run].first);
        Block& b = block_for(block_key);
        // Ids of cells the block has are added in place; new cells are gathered (in ascending
        // order, as the run is sorted) and merged in once, so a block with many cells is
        // rewritten once per batch rather than shifted once per new cell.
        fresh.clear();
        std::size_t added = 0;
        for (; run < keyed.size() && block_of(keyed[run].first) == block_key; ++run) {
            const std::uint16_t local = local_of(keyed[run].first);
            const std::uint32_t int_id = keyed[run].second;
            bool is_new = false;
            if (b.has(local)) {
                is_new = b.cells[b.place(local)].ids.add(int_id);
            } else {
                if (fresh.empty() || fresh.back().local != local)
                    fresh.push_back(Cell{local, CellIds()});
                is_new = fresh.back().ids.add(int_id);
            }
            added += is_new ? 1 : 0;
        }
        if (!fresh.empty()) {
            for (const Cell& c : fresh)
                b.occupied[c.local >> 6] |= std::uint64_t{1} << (c.local & 63);
            cells_ += fresh.size();
            merged.clear();
            merged.reserve(b.cells.size() + fresh.size());
            std::merge(std::make_move_iterator(b.cells.begin()),
                       std::make_move_iterator(b.cells.end()),
                       std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()),
                       std::back_inserter(merged),
                       [](const Cell& x, const Cell& y) { return x.local < y.local; });
            b.cells.swap(merged);
            // Counts before the first new cell's word are unchanged.
            b.recount(fresh.front().local >> 6);
        }
        count_ids(block_key, b, added);
    }
}

bool GridIndex::insert_cell(std::uint64_t cell_key, CellIds ids) {
    Block& b = block_for(block_of(cell_key));
    const std::uint16_t local = local_of(cell_key);
    if (b.has(local)) return false;
    const std::size_t n = ids.size();
    add_cell(b, local, std::move(ids));
    count_ids(block_of(cell_key), b, n);
    return true;
}

std::size_t GridIndex::ids_under(std::uint32_t lat_lo, std::uint32_t lat_hi, std::uint32_t lon_lo,
                                 std::uint32_t lon_hi) const {
    if (lat_lo > lat_hi || lon_lo > lon_hi) return 0;
    std::size_t n = 0;
    if (cells_spanned(lat_lo, lat_hi, lon_lo, lon_hi) <= small_rectangle_cells) {
        // A crowded block holds far more than a small search's few cells: counted by blocks,
        // every search there would look large.
        probe_each_cell(*this, lat_lo, lat_hi, lon_lo, lon_hi,
                        [&n](const CellIds& ids) { n += ids.size(); });
        return n;
    }
    if (!walks_blocks(*this, lat_lo, lat_hi, lon_lo, lon_hi)) return ids_;
    for_each_block_key(*this, lat_lo, lat_hi, lon_lo, lon_hi, [&](std::uint64_t key) {
        if (on_chart(key)) {
            n += chart_ids_[chart_slot(key)];
        } else if (const Block* b = block(key)) {
            n += b->ids;
        }
    });
    return n;
}

std::size_t GridIndex::ids_in(std::uint32_t lat_lo, std::uint32_t lat_hi, std::uint32_t lon_lo,
                              std::uint32_t lon_hi) const {
    if (lat_lo > lat_hi || lon_lo > lon_hi || empty()) return 0;
    if (!walks_blocks(*this, lat_lo, lat_hi, lon_lo, lon_hi)) return ids_;
    std::size_t n = 0;
    for_each_block_key(*this, lat_lo, lat_hi, lon_lo, lon_hi, [&](std::uint64_t key) {
        const std::uint32_t y0 = key_lat_cell(key) * 100;
        const std::uint32_t x0 = key_lon_cell(key) * 100;
        // The block meets the rectangle, so y0 <= lat_hi and x0 <= lon_hi.
        const bool whole = lat_lo <= y0 && lat_hi - y0 >= 99 && lon_lo <= x0 && lon_hi - x0 >= 99;
        if (whole && on_chart(key)) {
            n += chart_ids_[chart_slot(key)];
            return;
        }
        const Block* b = block(key);
        if (b == nullptr) return;
        if (whole) {
            n += b->ids;
            return;
        }
        for_each_cell_within(key, *b, lat_lo, lat_hi, lon_lo, lon_hi,
                             [&n](const Cell& c) { n += c.ids.size(); });
    });
    return n;
}

void gather_cells(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                  std::uint32_t lon_lo, std::uint32_t lon_hi, std::vector<std::uint32_t>& out) {
    if (lat_lo > lat_hi || lon_lo > lon_hi || grid.empty()) return;
    auto in_rectangle = [&](std::uint64_t key) {
        const std::uint32_t y = key_lat_cell(key);
        const std::uint32_t x = key_lon_cell(key);
        return y >= lat_lo && y <= lat_hi && x >= lon_lo && x <= lon_hi;
    };
    auto take = [&out](const CellIds& ids) { out.insert(out.end(), ids.begin(), ids.end()); };
    if (cells_spanned(lat_lo, lat_hi, lon_lo, lon_hi) <= small_rectangle_cells) {
        probe_each_cell(grid, lat_lo, lat_hi, lon_lo, lon_hi, take);
    } else if (walks_blocks(grid, lat_lo, lat_hi, lon_lo, lon_hi)) {
        for_each_block_under(grid, lat_lo, lat_hi, lon_lo, lon_hi,
                             [&](std::uint64_t block_key, const GridIndex::Block& block) {
                                 for_each_cell_within(
                                     block_key, block, lat_lo, lat_hi, lon_lo, lon_hi,
                                     [&](const GridIndex::Cell& c) { take(c.ids); });
                             });
    } else {
        grid.for_each_cell([&](std::uint64_t key, const CellIds& ids) {
            if (in_rectangle(key)) take(ids);
        });
    }
}

void sort_unique(std::vector<std::uint32_t>& ids) {
    stable_sort_by_key(ids, [](std::uint32_t int_id) { return int_id; });
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

}  // namespace vesko::index
