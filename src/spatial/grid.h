// The grid: 0.01-degree cells keyed by (latitude cell << 32 | longitude cell), each holding the
// ids filed in it. The grid only proposes candidates; every search re-tests exact coordinates.
// A deleted id stays in its cell until compaction, so readers intersect with live ids.
#pragma once

#include "common/bitmap.h"

#include <cstdint>
#include <unordered_map>

namespace vesko::spatial {

using GridIndex = std::unordered_map<std::uint64_t, Bitmap>;

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

// Adds the id to the cell of (lat, lon), creating the cell. The coordinates must be exactly
// the f32 values stored for the id, so the cell always agrees with the stored position.
void file_point(GridIndex& grid, std::uint32_t int_id, float lat_deg, float lon_deg);

// Union of the bitmaps of all present cells with lat_lo <= lat cell <= lat_hi and
// lon_lo <= lon cell <= lon_hi; empty when either range is empty. When the rectangle holds more
// cells than the grid has entries, the entries are scanned instead of the cells, so a search
// over a continent never walks millions of empty cells.
Bitmap collect_cells(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                     std::uint32_t lon_lo, std::uint32_t lon_hi);

}  // namespace vesko::spatial
