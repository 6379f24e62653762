// k-nearest search: square rings of cells walked outward from the query's cell, the best k
// kept in a bounded max-heap, then a scan of everything not examined when the rings cannot
// settle the answer.
//
// Examination order decides ties: rings by increasing r; within a ring, cells by increasing
// dy, then increasing dx; within a cell, ids ascending; the fallback scan last, ids ascending.
// A candidate displaces the farthest kept entry only when strictly nearer, and among kept
// entries at equal distance the one examined last is the one displaced, so the one examined
// first stays.
//
// The walk stops after a ring only when the farthest kept distance is no more than a lower
// bound on the distance from the query to anything outside the rings examined so far, so the
// answer is always the true k nearest. Rings wrap across longitude 180.
#include "spatial/distance.h"
#include "spatial/grid.h"
#include "spatial/search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace vesko::spatial {

namespace {

constexpr int max_rings = 200;
constexpr std::int64_t lon_cells = 36000;  // column 36000 (longitude 180) is column 0 again
constexpr std::int64_t top_lat_row = 18000;
constexpr double metres_per_degree = earth_radius_m * std::numbers::pi / 180.0;

struct Entry {
    float dist_m;
    std::uint64_t seq;  // examination order
    std::uint32_t int_id;
};

// Total order on distances with NaN above every number.
bool nearer(float a, float b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// Heap order: farther first; at equal distance, examined later first.
bool heap_before(const Entry& a, const Entry& b) {
    if (nearer(a.dist_m, b.dist_m)) return true;
    if (nearer(b.dist_m, a.dist_m)) return false;
    return a.seq < b.seq;
}

class BestK {
  public:
    explicit BestK(std::uint32_t k) : k_(k) {
        entries_.reserve(std::min<std::uint32_t>(k, 1U << 16));
    }

    bool full() const { return entries_.size() == k_; }
    float worst() const { return entries_.front().dist_m; }

    void offer(float dist_m, std::uint32_t int_id) {
        const Entry e{dist_m, seq_++, int_id};
        if (entries_.size() < k_) {
            entries_.push_back(e);
            std::push_heap(entries_.begin(), entries_.end(), heap_before);
        } else if (nearer(dist_m, entries_.front().dist_m)) {
            std::pop_heap(entries_.begin(), entries_.end(), heap_before);
            entries_.back() = e;
            std::push_heap(entries_.begin(), entries_.end(), heap_before);
        }
    }

    std::vector<Entry> take_sorted() {
        std::sort_heap(entries_.begin(), entries_.end(), heap_before);
        return std::move(entries_);
    }

  private:
    std::uint32_t k_;
    std::uint64_t seq_ = 0;
    std::vector<Entry> entries_;
};

std::int32_t cell_i32(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(v);
}

// Shortest distance (metres) from the query to any regular position outside the cells
// examined after ring r: the rows cy-r..cy+r and the columns cx-r..cx+r (wrapping).
double unexamined_bound_m(double lat_q, double lon_q, std::int64_t cx, std::int64_t cy, int r) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Cell c spans [c / 100 - offset, (c + 1) / 100 - offset) degrees.
    auto edge = [](std::int64_t cell, double offset) {
        return static_cast<double>(cell) / 100.0 - offset;
    };
    double bound_deg = inf;
    if (cy + r < top_lat_row) bound_deg = std::min(bound_deg, edge(cy + r + 1, 90.0) - lat_q);
    if (cy - r > 0) bound_deg = std::min(bound_deg, lat_q - edge(cy - r, 90.0));
    double bound_m = bound_deg * metres_per_degree;
    if (2 * static_cast<std::int64_t>(r) + 1 < lon_cells) {
        // Distance to a meridian at dlon degrees: asin(cos(lat) sin(dlon)) below 90 degrees,
        // beyond that the nearer pole.
        const double cos_lat = std::cos(lat_q * std::numbers::pi / 180.0);
        auto to_meridian_m = [&](double dlon_deg) {
            if (dlon_deg >= 90.0) return (90.0 - std::fabs(lat_q)) * metres_per_degree;
            return std::asin(cos_lat * std::sin(dlon_deg * std::numbers::pi / 180.0)) *
                   static_cast<double>(earth_radius_m);
        };
        const double west = lon_q - edge(cx - r, 180.0);
        const double east = edge(cx + r + 1, 180.0) - lon_q;
        bound_m = std::min({bound_m, to_meridian_m(west), to_meridian_m(east)});
    }
    // The f32 distances of the store may fall a little below the exact ones (most near
    // longitude 180, where the longitude difference is rounded): leave room for that.
    return bound_m * (1.0 - 1e-5) - 4.0;
}

class RingWalk {
  public:
    RingWalk(const storage::CoreIndex& index, float lat_deg, float lon_deg,
             const Bitmap& restrict_set, BestK& best)
        : index_(index),
          lat_(lat_deg),
          lon_(lon_deg),
          cos_lat_q_(query_cos(lat_deg)),
          restrict_(restrict_set),
          best_(best),
          cx_(cell_i32((static_cast<double>(lon_deg) + 180.0) * 100.0)),
          cy_(cell_i32((static_cast<double>(lat_deg) + 90.0) * 100.0)),
          wraps_(storage::regular_position(lat_deg, lon_deg)) {}

    // Walks the rings; returns true when the lower bound settled the answer.
    bool run() {
        for (int r = 0; r < max_rings; ++r) {
            walk_ring(r);
            if (wraps_ && best_.full() &&
                static_cast<double>(best_.worst()) <= unexamined_bound_m(lat_, lon_, cx_, cy_, r)) {
                return true;
            }
        }
        return false;
    }

    // Offers every id of `ids` not examined by the rings, ascending.
    void scan(const Bitmap& ids) {
        for (std::uint32_t int_id : (ids - seen_).to_vector()) examine(int_id);
    }

  private:
    void walk_ring(int r) {
        for (std::int64_t dy = -r; dy <= r; ++dy) {
            const bool edge_row = dy == -r || dy == r;
            for (std::int64_t dx = -r; dx <= r; dx += edge_row || r == 0 ? 1 : 2 * r) {
                visit(cx_ + dx, cy_ + dy);
            }
        }
    }

    void visit(std::int64_t x, std::int64_t y) {
        if (y < 0) return;
        if (wraps_) {
            if (x < 0) x += lon_cells;
            if (x >= lon_cells) x -= lon_cells;
        } else if (x < 0) {
            return;
        }
        examine_cell(x, y);
        // Longitude 180 has a column of its own; it is the same meridian as column 0.
        if (wraps_ && x == 0) examine_cell(lon_cells, y);
    }

    void examine_cell(std::int64_t x, std::int64_t y) {
        if (x > 0xFFFFFFFFLL || y > 0xFFFFFFFFLL) return;
        auto it = index_.grid_index.find(
            make_cell_key(static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(x)));
        if (it == index_.grid_index.end()) return;
        const Bitmap candidates = it->second & restrict_;
        for (std::uint32_t int_id : candidates.to_vector()) {
            seen_.add(int_id);
            examine(int_id);
        }
    }

    void examine(std::uint32_t int_id) {
        const auto [lat, lon] = index_.files.coords(int_id);
        best_.offer(haversine_distance(lat_, lon_, cos_lat_q_, lat, lon), int_id);
    }

    const storage::CoreIndex& index_;
    const float lat_;
    const float lon_;
    const float cos_lat_q_;
    const Bitmap& restrict_;
    BestK& best_;
    const std::int64_t cx_;
    const std::int64_t cy_;
    // Only a query on the usual chart has a meaningful neighbourhood of cells: its rings wrap
    // across longitude 180 and the lower bound holds for it.
    const bool wraps_;
    Bitmap seen_;
};

}  // namespace

std::vector<DistanceHit> search_knn(const storage::CoreIndex& index, float lat_deg, float lon_deg,
                                    std::uint32_t k, const Bitmap& restrict_set) {
    if (k == 0 || restrict_set.empty()) return {};
    BestK best(k);
    RingWalk walk(index, lat_deg, lon_deg, restrict_set, best);
    if (walk.run()) {
        // The bound covers positions on the usual chart only; points stored off it are
        // examined on their own.
        walk.scan(index.irregular_ids & restrict_set);
    } else {
        walk.scan(restrict_set);
    }
    std::vector<DistanceHit> hits;
    for (const Entry& e : best.take_sorted()) {
        hits.push_back({hit_ext_id(index, e.int_id), e.dist_m, index.files.get_metadata(e.int_id)});
    }
    return hits;
}

}  // namespace vesko::spatial
