// Radius search: a window of cells around the circle, then the exact f32 distance test.
//
// The latitude half-height of the window is (radius / 111000) * 1.1 degrees in f32. The
// longitude half-width is the widest the circle can reach east or west of the centre at its
// latitude, asin(sin(margin) / cos(lat)), plus a little slack for f32 rounding across
// longitude 180; a circle that reaches a pole spans every longitude, and a window that crosses
// longitude 180 takes the cells on both sides.
#include "spatial/distance.h"
#include "spatial/grid.h"
#include "spatial/search.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vesko::spatial {

namespace {

constexpr double degrees_per_radian = 180.0 / std::numbers::pi;
constexpr double lon_slack_deg = 0.0005;
constexpr std::uint32_t all_cells = 0xFFFFFFFFU;

// Longitude cell of a double-precision bound; monotonic like lon_cell, so every stored point
// between two bounds lies between their cells.
std::uint32_t lon_cell_of(double lon_deg) {
    const double v = (lon_deg + 180.0) * 100.0;
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return all_cells;
    return static_cast<std::uint32_t>(v);
}

struct LonRange {
    std::uint32_t lo;
    std::uint32_t hi;
};

// The longitude cell ranges that can hold points of the circle.
std::vector<LonRange> longitude_ranges(float lat_deg, float lon_deg, float margin_deg) {
    const double lat = lat_deg;
    const double lon = lon_deg;
    const double m = margin_deg;
    if (!storage::regular_position(lat_deg, lon_deg) || std::fabs(lat) + m >= 90.0) {
        return {{0, all_cells}};
    }
    const double s = std::sin(m / degrees_per_radian) / std::cos(lat / degrees_per_radian);
    if (!(s < 1.0)) return {{0, all_cells}};
    const double half_width = std::asin(s) * degrees_per_radian + lon_slack_deg;
    if (half_width >= 180.0) return {{0, all_cells}};
    const double west = lon - half_width;
    const double east = lon + half_width;
    std::vector<LonRange> ranges = {{lon_cell_of(west), lon_cell_of(east)}};
    if (west < -180.0) ranges.push_back({lon_cell_of(west + 360.0), lon_cell_of(180.0)});
    if (east > 180.0) ranges.push_back({lon_cell_of(-180.0), lon_cell_of(east - 360.0)});
    return ranges;
}

}  // namespace

std::vector<DistanceHit> search_radius(const storage::CoreIndex& index, float lat_deg,
                                       float lon_deg, float radius_m, const Eligible& eligible) {
    const float margin = (radius_m / 111000.0f) * 1.1f;
    const std::uint32_t lat_lo = lat_cell(lat_deg - margin);
    const std::uint32_t lat_hi = lat_cell(lat_deg + margin);
    if (lat_lo > lat_hi || !(margin >= 0.0f)) return {};

    Bitmap candidates;
    for (const LonRange& range : longitude_ranges(lat_deg, lon_deg, margin)) {
        candidates |= collect_cells(index.grid_index, lat_lo, lat_hi, range.lo, range.hi);
    }
    // Points stored off the usual chart can be near the centre whatever their cell says.
    candidates |= index.irregular_ids;
    candidates = eligible.narrow(candidates);

    const float cos_lat_q = query_cos(lat_deg);
    struct Found {
        float dist_m;
        std::uint32_t int_id;
    };
    std::vector<Found> found;
    for (std::uint32_t int_id : candidates.to_vector()) {
        const auto [lat, lon] = index.files.coords(int_id);
        const float d = haversine_distance(lat_deg, lon_deg, cos_lat_q, lat, lon);
        if (d <= radius_m) found.push_back({d, int_id});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.dist_m < b.dist_m; });
    std::vector<DistanceHit> hits;
    hits.reserve(found.size());
    for (const Found& f : found) {
        hits.push_back({hit_ext_id(index, f.int_id), f.dist_m, index.files.get_metadata(f.int_id)});
    }
    return hits;
}

}  // namespace vesko::spatial
