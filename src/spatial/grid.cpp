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

void file_point(GridIndex& grid, std::uint32_t int_id, float lat_deg, float lon_deg) {
    grid[grid_cell_key(lat_deg, lon_deg)].add(int_id);
}

Bitmap collect_cells(const GridIndex& grid, std::uint32_t lat_lo, std::uint32_t lat_hi,
                     std::uint32_t lon_lo, std::uint32_t lon_hi) {
    if (lat_lo > lat_hi || lon_lo > lon_hi || grid.empty()) return Bitmap();
    std::vector<const Bitmap*> parts;
    const double cells =
        (static_cast<double>(lat_hi - lat_lo) + 1.0) * (static_cast<double>(lon_hi - lon_lo) + 1.0);
    if (cells > static_cast<double>(grid.size())) {
        for (const auto& [key, ids] : grid) {
            std::uint32_t y = key_lat_cell(key);
            std::uint32_t x = key_lon_cell(key);
            if (y >= lat_lo && y <= lat_hi && x >= lon_lo && x <= lon_hi) parts.push_back(&ids);
        }
    } else {
        for (std::uint64_t y = lat_lo; y <= lat_hi; ++y) {
            for (std::uint64_t x = lon_lo; x <= lon_hi; ++x) {
                auto it = grid.find(
                    make_cell_key(static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(x)));
                if (it != grid.end()) parts.push_back(&it->second);
            }
        }
    }
    return Bitmap::union_of(parts);
}

}  // namespace vesko::spatial
