// Polygon search: the cells under the polygon's bounding rectangle, then the even-odd crossing
// test in f32, with latitude as the ray's axis.
#include "index/grid.h"
#include "spatial/search.h"
#include "spatial/window.h"

#include <limits>

namespace vesko::spatial {

// The operations run in f32 in exactly this order; the build keeps them from fusing.
bool inside_polygon(std::span<const LatLon> polygon, float p_lat, float p_lon) {
    bool inside = false;
    const std::size_t n = polygon.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto [lat_i, lon_i] = polygon[i];
        const auto [lat_j, lon_j] = polygon[i == 0 ? n - 1 : i - 1];
        if ((lon_i > p_lon) != (lon_j > p_lon)) {
            const float t = lat_i + ((p_lon - lon_i) * (lat_j - lat_i)) / (lon_j - lon_i);
            if (p_lat < t) inside = !inside;
        }
    }
    return inside;
}

std::vector<std::uint32_t> search_polygon(const index::CoreIndex& index,
                                          std::span<const LatLon> polygon,
                                          const Eligible& eligible) {
    float min_lat = std::numeric_limits<float>::max();
    float min_lon = std::numeric_limits<float>::max();
    float max_lat = -std::numeric_limits<float>::max();
    float max_lon = -std::numeric_limits<float>::max();
    // NaN compares false, so a NaN vertex never moves the rectangle.
    for (const auto& [lat, lon] : polygon) {
        if (lon < min_lon) min_lon = lon;
        if (lon > max_lon) max_lon = lon;
        if (lat > max_lat) max_lat = lat;
        if (lat < min_lat) min_lat = lat;
    }
    const CellWindow window{{index::lat_cell(min_lat), index::lat_cell(max_lat)},
                            {{index::lon_cell(min_lon), index::lon_cell(max_lon)}}};
    const std::vector<std::uint32_t> candidates =
        window_candidates(index, window, eligible, nullptr);
    return collect_kept<std::uint32_t>(
        index, candidates,
        [&polygon](std::uint32_t int_id, float lat, float lon, std::vector<std::uint32_t>& out) {
            if (inside_polygon(polygon, lat, lon)) out.push_back(int_id);
        });
}

}  // namespace vesko::spatial
