// The four searches against a brute-force model. The input decodes into up to 64 points
// (mostly on the usual chart, with exact bounds, the antimeridian and raw float bits all
// reachable) and one query of each kind; a fresh store receives the points, and each search's
// answer must equal a scan over every point with the same distance function and the same
// inclusive tests: the same ids in the same order with bit-identical distances (k-nearest:
// the same distances, each hit's distance its own).
#include "engine/store.h"
#include "fuzz/fuzz_support.h"
#include "index/grid.h"
#include "spatial/distance.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

// "p" followed by the number (built by appending: gcc 12 warns falsely on "p" + string).
std::string point_id(std::size_t i) {
    std::string id = "p";
    id += std::to_string(i);
    return id;
}

using vesko::spatial::LatLon;

struct Point {
    std::string ext_id;
    float lat;
    float lon;
    bool in_group;
};

// One hit as the caller of a search sees it: its external id and, for the distance searches,
// its distance, in the answer's order.
struct Found {
    std::string ext_id;
    float dist_m = 0.0f;
};

// Readers that copy the answer out while the store holds it, as the binding builds its list.
vesko::engine::DistanceHitsReader into(std::vector<Found>& out) {
    return
        [&out](std::span<const vesko::spatial::DistanceHit> hits, vesko::engine::HitTexts& texts) {
            out.assign(hits.size(), Found{});
            for (std::size_t i = 0; i < hits.size(); ++i) {
                out[hits[i].place] = {std::string(texts.ext_id(i)), hits[i].dist_m};
            }
        };
}

vesko::engine::HitsReader into_area(std::vector<Found>& out) {
    return [&out](std::span<const std::uint32_t> int_ids, vesko::engine::HitTexts& texts) {
        out.assign(int_ids.size(), Found{});
        for (std::size_t i = 0; i < int_ids.size(); ++i) out[i].ext_id = texts.ext_id(i);
    };
}

bool same_float(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

LatLon draw_position(vesko::fuzz::Draw& draw) {
    const std::uint8_t where = draw.u8();
    const float lat = draw.in_range(-90.0f, 90.0f);
    // Near the antimeridian often enough that a mistake there is found quickly.
    const float lon = where < 64    ? draw.in_range(179.0f, 180.0f)
                      : where < 128 ? draw.in_range(-180.0f, -179.0f)
                                    : draw.in_range(-180.0f, 180.0f);
    return {lat, lon};
}

void check_radius(const vesko::engine::Store& store, const std::vector<Point>& points,
                  vesko::fuzz::Draw& draw, bool filtered) {
    const auto [lat, lon] = draw_position(draw);
    const float radius_m = draw.in_range(0.0f, 3.0e6f);
    const std::optional<std::string> filter =
        filtered ? std::optional<std::string>(R"({"g": true})") : std::nullopt;
    if (!(std::fabs(lat) <= 90.0f && std::fabs(lon) <= 180.0f)) {
        // Off the chart the window around the centre holds no cells (the distance formula may
        // still call far points near): the search only has to answer.
        std::vector<Found> ignored;
        FUZZ_CHECK(store.search_radius(lat, lon, radius_m, filter, into(ignored)),
                   "radius search failed");
        return;
    }
    const float cos_q = vesko::spatial::query_cos(lat);
    std::vector<std::pair<float, const Point*>> expected;
    for (const Point& p : points) {
        if (filtered && !p.in_group) continue;
        const float d = vesko::spatial::haversine_distance(lat, lon, cos_q, p.lat, p.lon);
        if (d <= radius_m) expected.emplace_back(d, &p);
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Found> hits;
    FUZZ_CHECK(store.search_radius(lat, lon, radius_m, filter, into(hits)), "radius search failed");
    FUZZ_CHECK(hits.size() == expected.size(), "radius: wrong number of hits");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        FUZZ_CHECK(hits[i].ext_id == expected[i].second->ext_id, "radius: wrong id");
        FUZZ_CHECK(same_float(hits[i].dist_m, expected[i].first), "radius: distance");
    }
}

void check_knn(const vesko::engine::Store& store, const std::vector<Point>& points,
               vesko::fuzz::Draw& draw) {
    const auto [lat, lon] = draw_position(draw);
    const std::uint32_t k = draw.u8() % 24;
    const float cos_q = vesko::spatial::query_cos(lat);
    std::map<std::string, float> dist_of;
    std::vector<float> all;
    for (const Point& p : points) {
        const float d = vesko::spatial::haversine_distance(lat, lon, cos_q, p.lat, p.lon);
        dist_of[p.ext_id] = d;
        all.push_back(d);
    }
    std::stable_sort(all.begin(), all.end(), [](float a, float b) {
        return std::isnan(b) ? !std::isnan(a) : a < b;  // NaN distances last
    });
    all.resize(std::min<std::size_t>(all.size(), k));
    std::vector<Found> hits;
    FUZZ_CHECK(store.search_knn(lat, lon, k, std::nullopt, into(hits)), "k-nearest search failed");
    FUZZ_CHECK(hits.size() == all.size(), "k-nearest: wrong number of hits");
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Found& hit = hits[i];
        FUZZ_CHECK(same_float(hit.dist_m, all[i]), "k-nearest: not the k smallest distances");
        FUZZ_CHECK(dist_of.count(hit.ext_id) == 1 && same_float(dist_of[hit.ext_id], hit.dist_m),
                   "k-nearest: a hit's distance is not its own");
    }
}

template <class Inside>
void check_area(const std::vector<Found>& hits, const std::vector<Point>& points, Inside&& inside,
                const char* what) {
    std::vector<std::string> expected;
    for (const Point& p : points) {
        if (inside(p)) expected.push_back(p.ext_id);
    }
    if (hits.size() != expected.size()) {
        // Name the points in question before failing, with their exact coordinates.
        for (const Point& p : points) {
            const bool found = std::any_of(hits.begin(), hits.end(),
                                           [&](const auto& h) { return h.ext_id == p.ext_id; });
            if (found != inside(p)) {
                std::fprintf(stderr, "%s at (%a, %a): model %d, search %d\n", p.ext_id.c_str(),
                             static_cast<double>(p.lat), static_cast<double>(p.lon), inside(p),
                             found);
            }
        }
    }
    FUZZ_CHECK(hits.size() == expected.size(), what);
    for (std::size_t i = 0; i < hits.size(); ++i) FUZZ_CHECK(hits[i].ext_id == expected[i], what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vesko::fuzz::Draw draw(std::span(data, size));
    const std::size_t n = draw.u8() % 65;
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) {
        const auto [lat, lon] = draw_position(draw);
        points.push_back({point_id(i), lat, lon, (draw.u8() & 1) != 0});
    }
    vesko::fuzz::ScratchDir dir;
    auto opened = vesko::engine::Store::open(dir.path());
    FUZZ_CHECK(opened, "opening a fresh store");
    const vesko::engine::Store& store = *opened.value();
    for (const Point& p : points) {
        FUZZ_CHECK(opened.value()->add(p.ext_id, p.lat, p.lon, p.in_group ? R"({"g": true})" : "{}",
                                       nullptr),
                   "adding a point");
    }

    check_radius(store, points, draw, false);
    check_radius(store, points, draw, true);
    check_knn(store, points, draw);

    const LatLon top_left = draw_position(draw);
    const LatLon bottom_right = draw_position(draw);
    const float north = top_left.first, west = top_left.second;
    const float south = bottom_right.first, east = bottom_right.second;
    std::vector<Found> box;
    FUZZ_CHECK(store.search_box(top_left, bottom_right, std::nullopt, into_area(box)),
               "box search failed");
    check_area(
        box, points,
        [&](const Point& p) {
            return south <= p.lat && p.lat <= north && west <= p.lon && p.lon <= east;
        },
        "box: not the points inside");

    // Vertices on the usual chart only: beyond it the crossing test overflows f32 (or meets a
    // NaN), can call points far outside the vertices' rectangle inside, and the search, which
    // looks only within that rectangle, rightly disagrees with it.
    std::vector<LatLon> polygon(3 + draw.u8() % 6);
    for (LatLon& vertex : polygon) {
        vertex = draw_position(draw);
        if (!(std::fabs(vertex.first) <= 90.0f)) vertex.first = 0.0f;
        if (!(std::fabs(vertex.second) <= 180.0f)) vertex.second = 0.0f;
    }
    // The crossing test alone is not the model: its f32 arithmetic cancels badly on a long edge
    // between far-apart latitudes, and can call a point just beyond the vertices' rectangle
    // inside. The search tests only the points in the cells under that rectangle, so a point
    // is a hit when its cell lies there and the crossing test calls it inside.
    float min_lat = std::numeric_limits<float>::max(), max_lat = -min_lat;
    float min_lon = min_lat, max_lon = max_lat;
    for (const auto& [lat, lon] : polygon) {
        min_lat = std::min(min_lat, lat), max_lat = std::max(max_lat, lat);
        min_lon = std::min(min_lon, lon), max_lon = std::max(max_lon, lon);
    }
    const auto under_rectangle = [&](const Point& p) {
        using vesko::index::lat_cell, vesko::index::lon_cell;
        return lat_cell(min_lat) <= lat_cell(p.lat) && lat_cell(p.lat) <= lat_cell(max_lat) &&
               lon_cell(min_lon) <= lon_cell(p.lon) && lon_cell(p.lon) <= lon_cell(max_lon);
    };
    std::vector<Found> inside;
    FUZZ_CHECK(store.search_polygon(polygon, std::nullopt, into_area(inside)),
               "polygon search failed");
    check_area(
        inside, points,
        [&](const Point& p) {
            return under_rectangle(p) && vesko::spatial::inside_polygon(polygon, p.lat, p.lon);
        },
        "polygon: not the points inside");
    return 0;
}
