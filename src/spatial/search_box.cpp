// Box search: the cells under the box, then the inclusive f32 test on each candidate.
#include "filter/filter_eval.h"
#include "spatial/grid.h"
#include "spatial/search.h"

namespace vesko::spatial {

Bitmap Eligible::narrow(const Bitmap& candidates) const {
    if (filter_ == nullptr) return candidates & index_.valid_ids;
    const Bitmap live = candidates & index_.valid_ids;
    return filter::evaluate_filter(index_, *filter_, &live);
}

const Bitmap& Eligible::all() const {
    if (filter_ == nullptr) return index_.valid_ids;
    if (!all_) all_ = filter::evaluate_filter(index_, *filter_);
    return *all_;
}

std::string hit_ext_id(const storage::CoreIndex& index, std::uint32_t int_id) {
    auto ext_id = index.files.get_external_id(int_id);
    return ext_id ? std::move(*ext_id) : std::string();
}

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
