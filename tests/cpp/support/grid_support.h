// Questions about a grid that only tests ask: one cell's ids, every id filed, the ids under a
// rectangle as a bitmap. Not part of the library.
#pragma once

#include "common/bitmap.h"
#include "index/grid.h"

#include <cstdint>
#include <vector>

namespace vesko::index {

// The ids filed in a cell; null when the cell is empty.
inline const CellIds* find_cell(const GridIndex& grid, std::uint64_t cell_key) {
    const GridIndex::Block* block = grid.block(block_of(cell_key));
    return block == nullptr ? nullptr : block->find(local_of(cell_key));
}

// Ids filed in all cells (deleted ones included until compaction), by the blocks' own counts.
inline std::size_t filed_ids(const GridIndex& grid) {
    std::size_t n = 0;
    for (const auto& [key, block] : grid.blocks()) n += block.ids;
    return n;
}

// gather_cells' ids, ascending and without repeats.
inline Bitmap collect_cells(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                            std::uint32_t lon_lo, std::uint32_t lon_hi) {
    std::vector<std::uint32_t> ids;
    gather_cells(grid, lat_lo, lat_hi, lon_lo, lon_hi, ids);
    sort_unique(ids);
    Bitmap out;
    out.add_many(ids.data(), ids.size());
    return out;
}

}  // namespace vesko::index
