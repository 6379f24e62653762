// Radius search: a window of cells around the circle, then the exact f32 distance test.
//
// The latitude half-height of the window is (radius / 111000) * 1.1 degrees in f32. The
// longitude half-width is the widest the circle can reach east or west of the centre at its
// latitude, asin(sin(margin) / cos(lat)), plus a little slack for f32 rounding across
// longitude 180; a circle that reaches a pole spans every longitude, and a window that crosses
// longitude 180 takes the cells on both sides.
#include "index/grid.h"
#include "index/key_sort.h"
#include "spatial/distance.h"
#include "spatial/search.h"
#include "spatial/window.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace vesko::spatial {

namespace {

constexpr double degrees_per_radian = 180.0 / std::numbers::pi;
constexpr double lon_slack_deg = 0.0005;
// Cells beyond the chart hold only points off it, which the search examines on their own.
constexpr CellRange chart_columns = {0, index::chart_lon_cells};

// The longitude cell ranges that can hold points of the circle.
std::vector<CellRange> longitude_ranges(float lat_deg, float lon_deg, float margin_deg) {
    const double lat = lat_deg;
    const double lon = lon_deg;
    const double m = margin_deg;
    if (!index::regular_position(lat_deg, lon_deg) || std::fabs(lat) + m >= 90.0) {
        return {chart_columns};
    }
    const double s = std::sin(m / degrees_per_radian) / std::cos(lat / degrees_per_radian);
    if (!(s < 1.0)) return {chart_columns};
    const double half_width = std::asin(s) * degrees_per_radian + lon_slack_deg;
    if (half_width >= 180.0) return {chart_columns};
    const double west = lon - half_width;
    const double east = lon + half_width;
    auto on_chart = [](std::uint32_t lo, std::uint32_t hi) {
        return CellRange{lo, std::min(hi, index::chart_lon_cells)};
    };
    std::vector<CellRange> ranges = {on_chart(index::lon_cell(west), index::lon_cell(east))};
    if (west < -180.0)
        ranges.push_back(on_chart(index::lon_cell(west + 360.0), index::lon_cell(180.0)));
    if (east > 180.0)
        ranges.push_back(on_chart(index::lon_cell(-180.0), index::lon_cell(east - 360.0)));
    return ranges;
}

// A haversine term above which a point cannot be within `radius_m`: the term of the radius
// itself, in double, raised by a relative 1e-3. The distance grows at least as fast as the
// square root of the term, so such a point's exact distance exceeds the radius by a relative
// 5e-4 or more, which the single-precision rounding of the term-to-distance step (a few parts
// in 1e7) cannot undo. Infinite when no such bound is below the largest term.
float term_beyond(float radius_m) {
    const double half_angle = static_cast<double>(radius_m) / (2.0 * earth_radius_m);
    if (!(half_angle < std::numbers::pi / 2)) return std::numeric_limits<float>::infinity();
    const double s = std::sin(half_angle);
    const double bound = s * s * (1.0 + 1e-3);
    return bound < 1.0 ? static_cast<float>(bound) : std::numeric_limits<float>::infinity();
}

}  // namespace

std::vector<DistanceHit> search_radius(const index::CoreIndex& index, float lat_deg, float lon_deg,
                                       float radius_m, const Eligible& eligible) {
    const float margin = (radius_m / 111000.0f) * 1.1f;
    const std::uint32_t lat_lo = index::lat_cell(lat_deg - margin);
    const std::uint32_t lat_hi = index::lat_cell(lat_deg + margin);
    if (lat_lo > lat_hi || !(margin >= 0.0f)) return {};

    const CellWindow window{{lat_lo, std::min(lat_hi, index::chart_lat_cells - 1)},
                            longitude_ranges(lat_deg, lon_deg, margin)};
    // Points stored off the usual chart can be near the centre whatever their cell says.
    const std::vector<std::uint32_t> candidates =
        window_candidates(index, window, eligible, &index.irregular_ids);

    const float cos_lat_q = query_cos(lat_deg);
    // The window's corners hold about a third of its candidates: their distances, the costly
    // step, are never computed. A NaN term fails the test and goes on to give a NaN distance.
    const float beyond = term_beyond(radius_m);
    std::vector<DistanceHit> hits = collect_kept<DistanceHit>(
        index, candidates,
        [=](std::uint32_t int_id, float lat, float lon, std::vector<DistanceHit>& out) {
            const float term = haversine_term(lat_deg, lon_deg, cos_lat_q, lat, lon);
            if (term > beyond) return;
            const float d = distance_of_term(term);
            if (d <= radius_m) out.push_back({int_id, d, 0});
        });
    // Places by distance, equal distances in ascending id: the hits are in id order, and the
    // sort is stable. No distance here is NaN (it passed the radius test).
    struct Ranked {
        std::uint32_t key;
        std::uint32_t hit;
    };
    std::vector<Ranked> order(hits.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = {index::float_order_key(hits[i].dist_m), static_cast<std::uint32_t>(i)};
    }
    index::stable_sort_by_key(order, [](const Ranked& r) { return r.key; });
    for (std::size_t place = 0; place < order.size(); ++place) {
        hits[order[place].hit].place = static_cast<std::uint32_t>(place);
    }
    return hits;
}

}  // namespace vesko::spatial
