// A search window of grid cells, and the eligible candidates in it found by the cheaper plan:
// the cells' ids narrowed by the filter, or the filter's ids narrowed by the cells. Both give
// the same set, because a point's cell is computed from exactly its stored coordinates.
#pragma once

#include "spatial/search.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vesko::spatial {

// How many candidates ahead a search asks for coordinates: their loads then overlap with the
// distance or containment test of the candidates before them.
inline constexpr std::size_t coords_prefetch_distance = 16;

struct CellRange {
    std::uint32_t lo;
    std::uint32_t hi;
};

// Latitude cells [lat.lo, lat.hi] by the union of the longitude ranges.
struct CellWindow {
    CellRange lat;
    std::vector<CellRange> lon;

    bool holds(std::uint32_t lat_cell_no, std::uint32_t lon_cell_no) const;
};

// The eligible ids filed in the window's cells, plus the eligible ones of `extra` (may be
// null), ascending. Caller holds the index lock.
std::vector<std::uint32_t> window_candidates(const storage::CoreIndex& index,
                                             const CellWindow& window, const Eligible& eligible,
                                             const Bitmap* extra);

// Calls visit(int_id, lat, lon) for each candidate in order, with the coordinates of the
// candidates up to coords_prefetch_distance ahead already asked for. Caller holds the index lock.
template <class Visit>
void for_each_coords(const storage::CoreIndex& index, const std::vector<std::uint32_t>& candidates,
                     Visit&& visit) {
    for (std::size_t i = 0; i < std::min(coords_prefetch_distance, candidates.size()); ++i) {
        index.files.prefetch_coords(candidates[i]);
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i + coords_prefetch_distance < candidates.size()) {
            index.files.prefetch_coords(candidates[i + coords_prefetch_distance]);
        }
        const auto [lat, lon] = index.files.coords(candidates[i]);
        visit(candidates[i], lat, lon);
    }
}

}  // namespace vesko::spatial
