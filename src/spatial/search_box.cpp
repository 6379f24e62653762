// Box search: the cells under the box, then the inclusive f32 test on each candidate.
#include "spatial/grid.h"
#include "spatial/search.h"

namespace vesko::spatial {

std::vector<Hit> search_box(const storage::CoreIndex& index, LatLon top_left, LatLon bottom_right,
                            const Eligible& eligible) {
    const auto [north, west] = top_left;
    const auto [south, east] = bottom_right;
    const Bitmap candidates = eligible.narrow(collect_cells(
        index.grid_index, lat_cell(south), lat_cell(north), lon_cell(west), lon_cell(east)));
    std::vector<Hit> hits;
    for (std::uint32_t int_id : candidates.to_vector()) {
        const auto [lat, lon] = index.files.coords(int_id);
        if (south <= lat && lat <= north && west <= lon && lon <= east) {
            hits.push_back({hit_ext_id(index, int_id), index.files.get_metadata(int_id)});
        }
    }
    return hits;
}

}  // namespace vesko::spatial
