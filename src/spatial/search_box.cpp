// Box search: the cells under the box, then the inclusive f32 test on each candidate.
#include "index/grid.h"
#include "spatial/search.h"
#include "spatial/window.h"

namespace vesko::spatial {

std::vector<std::uint32_t> search_box(const index::CoreIndex& index, LatLon top_left,
                                      LatLon bottom_right, const Eligible& eligible) {
    // Plain names, not structured bindings: clang before 16 cannot capture those in a lambda.
    const float north = top_left.first, west = top_left.second;
    const float south = bottom_right.first, east = bottom_right.second;
    const CellWindow window{{index::lat_cell(south), index::lat_cell(north)},
                            {{index::lon_cell(west), index::lon_cell(east)}}};
    const std::vector<std::uint32_t> candidates =
        window_candidates(index, window, eligible, nullptr);
    return collect_kept<std::uint32_t>(
        index, candidates,
        [=](std::uint32_t int_id, float lat, float lon, std::vector<std::uint32_t>& out) {
            if (south <= lat && lat <= north && west <= lon && lon <= east) out.push_back(int_id);
        });
}

}  // namespace vesko::spatial
