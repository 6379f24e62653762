#include "spatial/grid.h"

#include <cmath>
#include <vector>

namespace vesko::spatial {

namespace {

// Truncating, saturating double -> u32 conversion (NaN and negatives give 0).
std::uint32_t saturate_u32(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return 4294967295U;
    return static_cast<std::uint32_t>(v);
}

// Rectangles up to this many cells are looked up cell by cell; larger ones under at most
// max_walked_blocks blocks go through the blocks' occupied cells; the rest scan the entries.
constexpr double small_rectangle_cells = 64;
constexpr double max_walked_blocks = 4096;

}  // namespace

std::uint32_t lat_cell(float lat_deg) {
    return saturate_u32((static_cast<double>(lat_deg) + 90.0) * 100.0);
}

std::uint32_t lon_cell(float lon_deg) {
    return saturate_u32((static_cast<double>(lon_deg) + 180.0) * 100.0);
}

std::uint64_t grid_cell_key(float lat_deg, float lon_deg) {
    return make_cell_key(lat_cell(lat_deg), lon_cell(lon_deg));
}

Bitmap& GridIndex::cell(std::uint64_t cell_key) {
    auto [it, created] = cells_.try_emplace(cell_key);
    if (created) note_new_cell(cell_key);
    return it->second;
}

void GridIndex::note_new_cell(std::uint64_t cell_key) {
    {
        Block& block = blocks_[block_of(cell_key)];
        block.cells.push_back(cell_key);
        block.occupied.add(key_lat_cell(cell_key) % 100 * 100 + key_lon_cell(cell_key) % 100);
        const std::uint32_t by = key_lat_cell(cell_key) / 100;
        const std::uint32_t bx = key_lon_cell(cell_key) / 100;
        if (by < block_rows && bx < block_cols) occupied_[std::size_t{by} * block_cols + bx] = true;
    }
}

void GridIndex::file_point(std::uint32_t int_id, float lat_deg, float lon_deg) {
    cell(grid_cell_key(lat_deg, lon_deg)).add(int_id);
}

bool GridIndex::occupied(std::uint64_t cell_key) const {
    const std::uint32_t y = key_lat_cell(cell_key);
    const std::uint32_t x = key_lon_cell(cell_key);
    if (y / 100 >= block_rows || x / 100 >= block_cols) return cells_.contains(cell_key);
    if (!occupied_[std::size_t{y / 100} * block_cols + x / 100]) return false;
    return blocks_.at(block_of(cell_key)).occupied.contains(y % 100 * 100 + x % 100);
}

bool GridIndex::insert_cell(std::uint64_t cell_key, Bitmap ids) {
    auto [it, created] = cells_.try_emplace(cell_key, std::move(ids));
    if (created) note_new_cell(cell_key);
    return created;
}

Bitmap collect_cells(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                     std::uint32_t lon_lo, std::uint32_t lon_hi) {
    if (lat_lo > lat_hi || lon_lo > lon_hi || grid.empty()) return Bitmap();
    auto in_rectangle = [&](std::uint64_t key) {
        const std::uint32_t y = key_lat_cell(key);
        const std::uint32_t x = key_lon_cell(key);
        return y >= lat_lo && y <= lat_hi && x >= lon_lo && x <= lon_hi;
    };
    const double cells =
        (static_cast<double>(lat_hi - lat_lo) + 1.0) * (static_cast<double>(lon_hi - lon_lo) + 1.0);
    const double blocks = (static_cast<double>(lat_hi / 100 - lat_lo / 100) + 1.0) *
                          (static_cast<double>(lon_hi / 100 - lon_lo / 100) + 1.0);
    std::vector<const Bitmap*> parts;
    if (cells <= small_rectangle_cells) {
        for (std::uint64_t y = lat_lo; y <= lat_hi; ++y) {
            for (std::uint64_t x = lon_lo; x <= lon_hi; ++x) {
                const std::uint64_t key =
                    make_cell_key(static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(x));
                if (grid.occupied(key)) parts.push_back(grid.find(key));
            }
        }
    } else if (blocks <= max_walked_blocks) {
        for (std::uint64_t by = lat_lo / 100; by <= lat_hi / 100; ++by) {
            for (std::uint64_t bx = lon_lo / 100; bx <= lon_hi / 100; ++bx) {
                const GridIndex::Block* block = grid.block(
                    make_cell_key(static_cast<std::uint32_t>(by), static_cast<std::uint32_t>(bx)));
                if (block == nullptr) continue;
                for (std::uint64_t key : block->cells) {
                    if (in_rectangle(key)) parts.push_back(grid.find(key));
                }
            }
        }
    } else {
        for (const auto& [key, ids] : grid.cells()) {
            if (in_rectangle(key)) parts.push_back(&ids);
        }
    }
    return Bitmap::union_of(parts);
}

}  // namespace vesko::spatial
