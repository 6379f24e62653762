// k-nearest search.
//
// The answer is the k eligible points with the smallest (distance, rank), where the rank is
// the order in which a walk of square rings of cells outward from the query's cell meets
// them: rings by increasing r up to ring 199; within a ring, cells by increasing dy, then
// increasing dx (the column of longitude 180 right after column 0, the same meridian); within
// a cell, ids ascending; everything beyond ring 199 after that, ids ascending. So among points
// at equal distance the one met first wins and comes first. NaN distances rank after every
// number.
//
// How the points are found does not change the answer, because the rank is a function of a
// point's cell and id alone. The first rings are walked cell by cell (skipping cells of empty
// one-degree blocks), which settles most searches; the walk stops as soon as the farthest kept
// distance is within a lower bound on the distance to every cell not yet walked. A search that
// the rings do not settle within a budget of cell lookups goes on by rings of one-degree blocks
// around the query's block, then over the remaining blocks nearest first. Near a pole, where
// meridians converge and a square of cells never settles, whole rows of blocks are walked
// outward by latitude instead. A filter that leaves few points is cheaper to rank directly:
// its points are all examined and no cell is walked. Rings wrap across longitude 180. Points
// stored off the usual chart (outside [-90, 90] x [-180, 180], or NaN) have no meaningful
// cell, so they are always examined (after the walk, which leaves them), and a query off the
// chart examines everything.
//
// Once k points are kept, the farthest kept distance bounds where a point that could still be
// kept may lie (Reach): cells outside are not looked up, and points outside are left without
// computing their distance. Most of a search's work is in the last rings, where this leaves
// most cells and points.
#include "index/grid.h"
#include "spatial/distance.h"
#include "spatial/search.h"
#include "spatial/window.h"

#ifdef VESKO_FAULT_HOOKS
#include "index/forced_plan.h"
#endif

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <unordered_set>

namespace vesko::spatial {

namespace {

constexpr std::int64_t ring_limit = 200;
// Rings of one-degree blocks walked before the remaining blocks are visited nearest first.
constexpr std::int64_t max_block_rings = 24;
// Work the ring walk may spend before the search goes on by blocks: a block looked up for a
// row of cells costs block_lookup_cost units, an occupied cell ten.
constexpr std::size_t ring_walk_budget = 6000;
constexpr std::size_t block_lookup_cost = 4;
// Queries at least this far from the equator walk rows of blocks (see the file comment).
constexpr double polar_cap_lat_deg = 85.0;
// A filter's points are ranked directly when there are few of them for the walk to find:
// a walk meets about k * live / matching points before it has k matches, examining the
// matching ones costs one distance each.
constexpr double direct_ranking_factor = 4.0;
constexpr std::int64_t lon_cells = index::chart_lon_cells;  // column 36000 is column 0 again
constexpr std::int64_t block_rows = index::chart_lat_cells / 100 + 1;  // rows 0..180
constexpr std::int64_t block_cols = lon_cells / 100 + 1;               // columns 0..360
constexpr double metres_per_degree = earth_radius_m * std::numbers::pi / 180.0;
constexpr double radians_per_degree = std::numbers::pi / 180.0;
constexpr std::uint64_t beyond_rings = 1ULL << 62;

struct Entry {
    float dist_m;
    std::uint64_t rank;
    std::uint32_t int_id;
    float term;  // the haversine term dist_m was computed from
};

// How much larger than the worst kept entry's haversine term a point's term must be for the
// point to be left without computing its distance: far above the few last-place roundings by
// which the term-to-distance step can stray from monotone, so such a point's distance is
// certainly larger, and it could never be kept (not even on a tie of distances).
constexpr double term_margin = 1.0 + 1e-4;

// Total order on distances with NaN above every number.
bool nearer(float a, float b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

bool before(const Entry& a, const Entry& b) {
    if (nearer(a.dist_m, b.dist_m)) return true;
    if (nearer(b.dist_m, a.dist_m)) return false;
    return a.rank < b.rank;
}

// The k best entries so far, in a max-heap whose top is the entry that would leave first.
class BestK {
  public:
    explicit BestK(std::uint32_t k) : k_(k) {
        entries_.reserve(std::min<std::uint32_t>(k, 1U << 16));
    }

    bool full() const { return entries_.size() == k_; }
    float worst() const { return entries_.front().dist_m; }
    // True when a point whose haversine term is `term` cannot be kept. A worst entry whose
    // distance is NaN decides nothing: a NaN point may still win it on rank.
    bool beyond(float term) const {
        return full() && !std::isnan(worst()) &&
               static_cast<double>(term) > static_cast<double>(entries_.front().term) * term_margin;
    }

    void offer(const Entry& e) {
        if (entries_.size() < k_) {
            entries_.push_back(e);
            std::push_heap(entries_.begin(), entries_.end(), before);
        } else if (before(e, entries_.front())) {
            std::pop_heap(entries_.begin(), entries_.end(), before);
            entries_.back() = e;
            std::push_heap(entries_.begin(), entries_.end(), before);
        }
    }

    std::vector<Entry> take_sorted() {
        std::sort_heap(entries_.begin(), entries_.end(), before);
        return std::move(entries_);
    }

  private:
    std::uint32_t k_;
    std::vector<Entry> entries_;
};

// Calls fn(dx, dy) for the units on the border of the square ring r around a unit (ring 0 is
// the unit itself), rows by increasing dy, then units by increasing dx: the walk's order.
template <class Fn>
void for_each_in_ring(std::int64_t r, Fn&& fn) {
    for (std::int64_t dy = -r; dy <= r; ++dy) {
        const bool edge_row = dy == -r || dy == r;
        for (std::int64_t dx = -r; dx <= r; dx += edge_row || r == 0 ? 1 : 2 * r) fn(dx, dy);
    }
}

// Lower bounds on distance.
//
// Each gives, in metres, a distance that no stored point of the region named can be nearer
// to the query than, as the store computes distances: the f32 distances may fall a little
// below the exact ones (most near longitude 180, where the longitude difference is rounded),
// so every bound goes through with_rounding_room before it is compared with a kept distance.
// A walk may stop once the farthest kept distance is within the bound of everything not yet
// walked. lat_q is the query's latitude; cos_lat_q its cosine.

double with_rounding_room(double bound_m) { return bound_m * (1.0 - 1e-5) - 4.0; }

// To any meridian dlon_deg away: the distance to its great circle, asin(cos(lat) sin(dlon)),
// up to 90 degrees, beyond that to the nearer pole.
double to_meridian_m(double lat_q, double cos_lat_q, double dlon_deg) {
    if (dlon_deg <= 0.0) return 0.0;
    if (dlon_deg >= 90.0) return (90.0 - std::fabs(lat_q)) * metres_per_degree;
    return std::asin(cos_lat_q * std::sin(dlon_deg * radians_per_degree)) *
           static_cast<double>(earth_radius_m);
}

// To a latitude: at least the difference in latitude along the meridian.
double to_latitude_m(double lat_q, double lat_deg) {
    return std::fabs(lat_q - lat_deg) * metres_per_degree;
}

// To a one-degree block, its west edge at west_deg and its south edge at south_deg. Longitude
// gaps are measured the short way round, so block column 360 (longitude 180) is as near as
// column 0. asin(x) >= x: one sine gives a bound that is only a little weaker.
double to_block_m(double lat_q, double lon_q, double cos_lat_q, double south_deg, double west_deg) {
    const double lat_gap = std::max({0.0, south_deg - lat_q, lat_q - (south_deg + 1.0)});
    // The query's longitude east of the block's west edge, in [0, 360).
    const double east_of_west = std::fmod(std::fmod(lon_q - west_deg, 360.0) + 360.0, 360.0);
    const double lon_gap =
        east_of_west <= 1.0 ? 0.0 : std::min(east_of_west - 1.0, 360.0 - east_of_west);
    double lon_bound_m = 0.0;
    if (lon_gap >= 90.0) {
        lon_bound_m = (90.0 - std::fabs(lat_q)) * metres_per_degree;
    } else if (lon_gap > 0.0) {
        lon_bound_m = cos_lat_q * std::sin(lon_gap * radians_per_degree) *
                      static_cast<double>(earth_radius_m);
    }
    return std::max(lat_gap * metres_per_degree, lon_bound_m);
}

// The cells and coordinates a point must lie within to be kept, once k are kept: every point
// outside is farther, as the store computes distances, than the farthest kept (not even equal,
// so not kept on a tie either), by the bounds above with their rounding room. Rows and columns
// are cell offsets from the query's cell (columns wrapped across longitude 180); a search
// skips the cells outside without looking them up, and the points outside without computing
// their distance. Until k are kept everything is within.
class Reach {
  public:
    Reach(float lat_q, float lon_q, std::int64_t cx, std::int64_t cy)
        : lat_q_(lat_q),
          lon_q_(lon_q),
          cos_lat_q_(std::cos(static_cast<double>(lat_q) * radians_per_degree)),
          cx_(cx),
          cy_(cy) {}

    bool row(std::int64_t dy) const { return dy >= dy_lo_ && dy <= dy_hi_; }
    // Whether any of the rows lo..hi is within.
    bool rows(std::int64_t lo, std::int64_t hi) const { return hi >= dy_lo_ && lo <= dy_hi_; }
    bool column(std::int64_t dx) const { return dx >= dx_lo_ && dx <= dx_hi_; }
    std::int64_t dx_lo() const { return dx_lo_; }
    std::int64_t dx_hi() const { return dx_hi_; }
    // Whether nothing is within outside the square of cells reaching r from the query's cell.
    bool within_square(std::int64_t r) const {
        return dy_lo_ >= -r && dy_hi_ <= r && dx_lo_ >= -r && dx_hi_ <= r;
    }
    bool point(float lat, float lon) const {
        if (std::fabs(static_cast<double>(lat) - lat_q_) > lat_deg_) return false;
        double dlon = std::fabs(static_cast<double>(lon) - lon_q_);
        if (dlon > 180.0) dlon = 360.0 - dlon;
        return dlon <= lon_deg_;
    }

    // Narrows the reach to points that could still be kept when the farthest kept distance is
    // worst_m (a number).
    void narrow(float worst_m) {
        if (worst_m == worst_m_) return;
        worst_m_ = worst_m;
        // Undoes with_rounding_room: a point whose bound exceeds this is farther than worst_m.
        const double reach_m =
            (static_cast<double>(worst_m) + 4.0) / (1.0 - 1e-5) * (1.0 + 1e-6) + 1e-3;
        lat_deg_ = reach_m / metres_per_degree;
        const double qy = (lat_q_ + 90.0) * 100.0;
        // Cell rows are whole hundredths of a degree from -90; the slack (a centimetre) covers
        // the rounding of a point's (lat + 90) * 100.
        dy_lo_ = static_cast<std::int64_t>(std::floor(qy - lat_deg_ * 100.0 - 1e-4)) - cy_;
        dy_hi_ = static_cast<std::int64_t>(std::floor(qy + lat_deg_ * 100.0 + 1e-4)) - cy_;
        // Beyond a meridian lon_deg_ away a point is at least reach_m away (to_meridian_m);
        // no such meridian when the reach passes the pole. The cosine is the query's in double
        // precision: near a pole the single-precision one strays by more than the room.
        const double angle = reach_m / static_cast<double>(earth_radius_m);
        const double sine = angle < std::numbers::pi / 2 && cos_lat_q_ > 1e-6
                                ? std::sin(angle) / cos_lat_q_ * (1.0 + 1e-9)
                                : 2.0;
        if (!(sine < 1.0)) {
            lon_deg_ = 180.0;
            dx_lo_ = std::numeric_limits<std::int64_t>::min();
            dx_hi_ = std::numeric_limits<std::int64_t>::max();
            return;
        }
        lon_deg_ = std::asin(sine) / radians_per_degree * (1.0 + 1e-9) + 1e-9;
        const double qx = (lon_q_ + 180.0) * 100.0;
        dx_lo_ = static_cast<std::int64_t>(std::floor(qx - lon_deg_ * 100.0 - 1e-4)) - cx_;
        dx_hi_ = static_cast<std::int64_t>(std::floor(qx + lon_deg_ * 100.0 + 1e-4)) - cx_;
    }

  private:
    static constexpr std::int64_t unbounded = std::numeric_limits<std::int64_t>::max();
    double lat_q_;
    double lon_q_;
    double cos_lat_q_;
    std::int64_t cx_;
    std::int64_t cy_;
    float worst_m_ = std::numeric_limits<float>::quiet_NaN();
    double lat_deg_ = 360.0;
    double lon_deg_ = 360.0;
    std::int64_t dy_lo_ = -unbounded;
    std::int64_t dy_hi_ = unbounded;
    std::int64_t dx_lo_ = -unbounded;
    std::int64_t dx_hi_ = unbounded;
};

// Whether ranking `matching` eligible points directly is cheaper than walking to find them.
bool ranks_directly(const index::CoreIndex& index, double matching, std::uint32_t k) {
    return matching * matching <=
           direct_ranking_factor * static_cast<double>(k) * static_cast<double>(index.count());
}

class KnnSearch {
  public:
    KnnSearch(const index::CoreIndex& index, float lat_deg, float lon_deg, const Eligible& eligible,
              std::uint32_t k)
        : index_(index),
          lat_(lat_deg),
          lon_(lon_deg),
          cos_lat_q_(query_cos(lat_deg)),
          eligible_(eligible),
          all_(eligible.evaluated() ? &eligible.all() : nullptr),
          narrowing_budget_ns_(eligible.whole_ns()),
          k_(k),
          best_(k),
          cx_(index::lon_cell(lon_deg)),
          cy_(index::lat_cell(lat_deg)),
          on_chart_(index::regular_position(lat_deg, lon_deg)),
          reach_(lat_deg, lon_deg, cx_, cy_) {}

    // Ranks every eligible point directly; the answer is the same as walking.
    std::vector<Entry> rank_all() {
        examine_all(eligible_.all());
        return best_.take_sorted();
    }

    std::vector<Entry> run() {
#ifdef VESKO_FAULT_HOOKS
        if (index::plan::forced_walk == index::plan::Walk::Whole) all_ = &eligible_.all();
        if (index::plan::forced_walk == index::plan::Walk::Narrowing)
            narrowing_budget_ns_ = std::numeric_limits<double>::infinity();
#endif
        if (!on_chart_) return rank_all();
        if (std::fabs(lat_) >= polar_cap_lat_deg) {
            walk_rows();
        } else if (!walk_rings() && !walk_block_rings()) {
            walk_blocks();
        }
        // A filter found to match few points once evaluated: its points are ranked directly,
        // those the walk examined again too.
        if (abandoned_) {
            best_ = BestK(k_);
            examine_all(*all_);
            return best_.take_sorted();
        }
        // The cells say nothing about where points off the chart are: the walk left them (see
        // examine_cell), and they are examined here.
        if (index_.irregular_ids.empty()) return best_.take_sorted();
        const Bitmap irregular =
            all_ != nullptr ? index_.irregular_ids & *all_ : eligible_.narrow(index_.irregular_ids);
        const std::vector<std::uint32_t> candidates = irregular.to_vector();
        for_each_coords(index_, candidates, [&](std::uint32_t int_id, float lat, float lon) {
            if (!index::regular_position(lat, lon)) {
                examine(index::grid_cell_key(lat, lon), int_id, lat, lon);
            }
        });
        return best_.take_sorted();
    }

  private:
    // A cell's offset from the query's cell, longitude wrapped across 180 for a query on the
    // chart; column 36000 counts as column 0 and is marked as its companion.
    struct Offset {
        std::int64_t dx;
        std::int64_t dy;
        std::uint64_t companion;
        std::int64_t ring() const { return std::max(std::abs(dx), std::abs(dy)); }
    };

    Offset offset_of(std::uint64_t key) const {
        std::int64_t x = index::key_lon_cell(key);
        const std::uint64_t companion = on_chart_ && x == lon_cells ? 1 : 0;
        if (companion != 0) x = 0;
        std::int64_t dx = x - cx_;
        if (on_chart_) {
            dx %= lon_cells;
            if (dx < -lon_cells / 2) dx += lon_cells;
            if (dx >= lon_cells / 2) dx -= lon_cells;
        }
        return {dx, static_cast<std::int64_t>(index::key_lat_cell(key)) - cy_, companion};
    }

    // The rank of an id in its cell; see the file comment.
    std::uint64_t rank(std::uint64_t key, std::uint32_t int_id) const {
        const Offset o = offset_of(key);
        const std::int64_t r = o.ring();
        if (r >= ring_limit) return beyond_rings | int_id;
        const auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
        return u(r) << 51 | u(o.dy + r) << 42 | u(o.dx + r) << 33 | o.companion << 32 | int_id;
    }

    // Walks rings outward while the budget lasts, a few at a time (a frame: rings from..to, a
    // quarter more each time), row by row; true when they settle the answer.
    bool walk_rings() {
        while (walked_rings_ < ring_limit && lookups_ < ring_walk_budget && !abandoned_) {
            const std::int64_t from = walked_rings_;
            const std::int64_t to = std::min(ring_limit - 1, from + from / 4);
            for (std::int64_t dy = -to; dy <= to; ++dy) {
                if (std::abs(dy) >= from) {
                    visit_row(dy, -to, to);
                } else {
                    visit_row(dy, -to, -from);
                    visit_row(dy, from, to);
                }
            }
            walked_rings_ = to + 1;
            if (reach_.within_square(to) || settled_within(outside_square_m(cx_, cy_, to, 100))) {
                return true;
            }
        }
        return false;
    }

    bool settled_within(double bound_m) const {
        return best_.full() && static_cast<double>(best_.worst()) <= with_rounding_room(bound_m);
    }

    // Examines the cells of row dy whose columns dx_lo..dx_hi (offsets from the query's, at
    // most one whole turn) are within reach. Rows past the chart's last hold points off the
    // chart only, which run() examines.
    void visit_row(std::int64_t dy, std::int64_t dx_lo, std::int64_t dx_hi) {
        const std::int64_t y = cy_ + dy;
        if (y < 0 || y >= index::chart_lat_cells || !reach_.row(dy)) return;
        std::int64_t x_lo = cx_ + std::max(dx_lo, reach_.dx_lo());
        std::int64_t x_hi = cx_ + std::min(dx_hi, reach_.dx_hi());
        if (x_lo > x_hi) return;
        if (x_lo >= lon_cells) {
            x_lo -= lon_cells;
            x_hi -= lon_cells;
        } else if (x_lo < 0) {
            x_lo += lon_cells;
            x_hi += lon_cells;
        }
        if (x_hi < lon_cells) {
            visit_columns(y, x_lo, x_hi);
        } else {
            visit_columns(y, x_lo, lon_cells - 1);
            visit_columns(y, 0, x_hi - lon_cells);
        }
    }

    // Columns lo..hi of row y, 0 <= lo <= hi < lon_cells; column 0's companion with column 0.
    void visit_columns(std::int64_t y, std::int64_t lo, std::int64_t hi) {
        const auto row = static_cast<std::uint32_t>(y);
        auto examine_at = [&](std::uint32_t x, const index::CellIds& ids) {
            lookups_ += 10;
            examine_cell(index::make_cell_key(row, x), ids);
        };
        lookups_ += block_lookup_cost *
                    index_.grid_index.for_each_in_row(row, static_cast<std::uint32_t>(lo),
                                                      static_cast<std::uint32_t>(hi), examine_at);
        if (lo == 0) {
            lookups_ += block_lookup_cost *
                        index_.grid_index.for_each_in_row(row, index::chart_lon_cells,
                                                          index::chart_lon_cells, examine_at);
        }
    }

    // Shortest distance from the query to a position outside the square of units of
    // 1/per_degree degrees (cells: 100, blocks: 1) reaching r units from unit (x, y) each way.
    double outside_square_m(std::int64_t x, std::int64_t y, std::int64_t r,
                            std::int64_t per_degree) const {
        auto edge = [per_degree](std::int64_t unit, double offset) {
            return static_cast<double>(unit) / static_cast<double>(per_degree) - offset;
        };
        const double lat_q = lat_;
        const double lon_q = lon_;
        const double cos_lat_q = cos_lat_q_;
        double bound_m = std::numeric_limits<double>::infinity();
        if (y + r < 180 * per_degree) bound_m = to_latitude_m(lat_q, edge(y + r + 1, 90.0));
        if (y - r > 0) bound_m = std::min(bound_m, to_latitude_m(lat_q, edge(y - r, 90.0)));
        if (2 * r + 1 < 360 * per_degree) {
            bound_m =
                std::min({bound_m, to_meridian_m(lat_q, cos_lat_q, lon_q - edge(x - r, 180.0)),
                          to_meridian_m(lat_q, cos_lat_q, edge(x + r + 1, 180.0) - lon_q)});
        }
        return bound_m;
    }

    // Walks square rings of one-degree blocks around the query's block, examining the cells the
    // ring walk left; true when they settle the answer.
    bool walk_block_rings() {
        const std::int64_t bx = cx_ / 100;
        const std::int64_t by = cy_ / 100;
        for (std::int64_t r = 0; r < max_block_rings && !abandoned_; ++r) {
            for_each_in_ring(
                r, [&](std::int64_t dx, std::int64_t dy) { visit_block(bx + dx, by + dy); });
            if (settled_within(outside_square_m(bx, by, r, 1))) return true;
        }
        return false;
    }

    void visit_block(std::int64_t x, std::int64_t y) {
        if (y < 0 || y >= block_rows) return;
        if (x < 0) x += block_cols - 1;
        if (x >= block_cols - 1) x -= block_cols - 1;
        examine_block(
            index::make_cell_key(static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(x)));
        // Block column 360 holds longitude 180, the meridian of column 0.
        if (x == 0) {
            examine_block(index::make_cell_key(static_cast<std::uint32_t>(y), block_cols - 1));
        }
    }

    void examine_block(std::uint64_t block_key) {
        if (!walked_blocks_.insert(block_key).second) return;
        const auto first_row = static_cast<std::int64_t>(index::key_lat_cell(block_key)) * 100;
        if (!reach_.rows(first_row - cy_, first_row + 99 - cy_)) return;
        const index::GridIndex::Block* block = index_.grid_index.block(block_key);
        if (block != nullptr) examine_block_cells(block_key, *block);
    }

    // The cells of a block that the ring walk did not examine.
    void examine_block_cells(std::uint64_t block_key, const index::GridIndex::Block& block) {
        for (const index::GridIndex::Cell& cell : block.cells) {
            const std::uint64_t key = index::cell_in(block_key, cell.local);
            const Offset o = offset_of(key);
            if (o.ring() >= walked_rings_ && reach_.row(o.dy) && reach_.column(o.dx)) {
                examine_cell(key, cell.ids);
            }
        }
    }

    double block_bound_m(std::uint64_t block) const {
        return to_block_m(lat_, lon_, cos_lat_q_,
                          static_cast<double>(index::key_lat_cell(block)) - 90.0,
                          static_cast<double>(index::key_lon_cell(block)) - 180.0);
    }

    // Visits the blocks nearest first, skipping the cells the ring walk examined, until the
    // farthest kept distance is within the next block's bound.
    void walk_blocks() {
        if (abandoned_) return;
        struct Pending {
            double bound_m;
            std::uint64_t key;
            const index::GridIndex::Block* block;
        };
        std::vector<Pending> pending;
        pending.reserve(index_.grid_index.blocks().size());
        for (const auto& [key, block] : index_.grid_index.blocks()) {
            if (walked_blocks_.contains(key)) continue;
            pending.push_back({with_rounding_room(block_bound_m(key)), key, &block});
        }
        auto farther = [](const Pending& a, const Pending& b) { return a.bound_m > b.bound_m; };
        std::make_heap(pending.begin(), pending.end(), farther);
        while (!pending.empty() && !abandoned_) {
            std::pop_heap(pending.begin(), pending.end(), farther);
            const Pending next = pending.back();
            pending.pop_back();
            if (best_.full() && static_cast<double>(best_.worst()) <= next.bound_m) return;
            examine_block_cells(next.key, *next.block);
        }
    }

    // Walks whole rows of blocks (every longitude) outward from the query's row, the nearer
    // unwalked row first, until the farthest kept distance is within the latitude gap to the
    // rows left. Points off the chart are not in these rows; run() examines them.
    void walk_rows() {
        const std::int64_t start = std::min<std::int64_t>(cy_ / 100, block_rows - 1);
        std::int64_t south = start;  // rows south .. north are walked
        std::int64_t north = start;
        examine_row(start);
        for (;;) {
            const bool more_south = south > 0;
            const bool more_north = north + 1 < block_rows;
            if ((!more_south && !more_north) || abandoned_) return;
            const double lat_q = lat_;
            const double south_gap_m = more_south
                                           ? to_latitude_m(lat_q, static_cast<double>(south) - 90.0)
                                           : std::numeric_limits<double>::infinity();
            const double north_gap_m =
                more_north ? to_latitude_m(lat_q, static_cast<double>(north + 1) - 90.0)
                           : std::numeric_limits<double>::infinity();
            if (settled_within(std::min(south_gap_m, north_gap_m))) return;
            if (south_gap_m <= north_gap_m) {
                examine_row(--south);
            } else {
                examine_row(++north);
            }
        }
    }

    void examine_row(std::int64_t row) {
        if (!index_.grid_index.row_may_have_blocks(static_cast<std::uint32_t>(row))) return;
        for (std::int64_t col = 0; col < block_cols; ++col) {
            const std::uint64_t block_key = index::make_cell_key(static_cast<std::uint32_t>(row),
                                                                 static_cast<std::uint32_t>(col));
            const index::GridIndex::Block* block = index_.grid_index.block(block_key);
            if (block != nullptr) examine_block_cells(block_key, *block);
        }
    }

    // The cell's eligible ids: narrowed from the cell while that costs less in all than
    // evaluating the filter over the store, then from the filter's ids.
    const Bitmap& eligible_in(const index::CellIds& ids, std::optional<Bitmap>& narrowed) {
        if (all_ == nullptr && narrowed_ns_ < narrowing_budget_ns_) {
            narrowed_ns_ += eligible_.narrowing_ns(ids.size());
            Bitmap cell;
            cell.add_many(ids.begin(), ids.size());
            return narrowed.emplace(eligible_.narrow(cell));
        }
        if (all_ == nullptr) {
            all_ = &eligible_.all();
            abandoned_ = ranks_directly(index_, static_cast<double>(all_->cardinality()), k_);
        }
        return *all_;
    }

    // Examines the cell's eligible points on the chart that lie within reach. Each cell is
    // examined at most once, and points off the chart are left to run(), so no point is
    // offered twice.
    void examine_cell(std::uint64_t key, const index::CellIds& ids) {
        if (best_.full() && !std::isnan(best_.worst())) reach_.narrow(best_.worst());
        std::optional<Bitmap> narrowed;
        const Bitmap* eligible = nullptr;
        // The cell's ids are scattered over coords.bin: their coordinates are asked for a few
        // ids ahead, so that the loads overlap.
        const std::uint32_t* ahead = ids.begin();
        for (std::size_t n = 0; n < coords_prefetch_distance && ahead != ids.end(); ++n) {
            index_.files.prefetch_coords(*ahead++);
        }
        for (std::uint32_t int_id : ids) {
            if (ahead != ids.end()) index_.files.prefetch_coords(*ahead++);
            const auto [lat, lon] = index_.files.coords(int_id);
            if (!index::regular_position(lat, lon) || !reach_.point(lat, lon)) continue;
            if (eligible == nullptr) eligible = &eligible_in(ids, narrowed);
            if (eligible->contains(int_id)) examine(key, int_id, lat, lon);
        }
    }

    // Examines every id of `ids`, reading coordinates a few ids ahead (the ids are scattered
    // over coords.bin, and each read would otherwise wait for memory).
    void examine_all(const Bitmap& ids) {
        const std::vector<std::uint32_t> candidates = ids.to_vector();
        for_each_coords(index_, candidates, [&](std::uint32_t int_id, float lat, float lon) {
            examine(index::grid_cell_key(lat, lon), int_id, lat, lon);
        });
    }

    void examine(std::uint64_t key, std::uint32_t int_id, float lat, float lon) {
        const float term = haversine_term(lat_, lon_, cos_lat_q_, lat, lon);
        if (best_.beyond(term)) return;
        best_.offer({distance_of_term(term), rank(key, int_id), int_id, term});
    }

    const index::CoreIndex& index_;
    const float lat_;
    const float lon_;
    // Cosine of the query's latitude: the one the distances use, and the bounds too.
    const float cos_lat_q_;
    const Eligible& eligible_;
    // The filter's ids once evaluated over the store (valid_ids without a filter); until then
    // each cell is narrowed as it is met, within a budget of the evaluation's estimated cost.
    const Bitmap* all_;
    double narrowing_budget_ns_;
    double narrowed_ns_ = 0.0;
    // The filter proved to match few points: the walk stops and they are ranked directly.
    bool abandoned_ = false;
    std::uint32_t k_;
    BestK best_;
    // The query's cell.
    const std::int64_t cx_;
    const std::int64_t cy_;
    // Only a query on the usual chart has a neighbourhood of cells: its rings wrap across
    // longitude 180 and its bounds hold.
    const bool on_chart_;
    // Where a point must lie to be kept, narrowed as the kept points come nearer.
    Reach reach_;
    // Rings 0 .. walked_rings_-1 have been walked, at this cost.
    std::int64_t walked_rings_ = 0;
    std::size_t lookups_ = 0;
    // Blocks whose cells have all been examined (beyond the walked rings).
    std::unordered_set<std::uint64_t> walked_blocks_;
};

}  // namespace

std::vector<DistanceHit> search_knn(const index::CoreIndex& index, float lat_deg, float lon_deg,
                                    std::uint32_t k, const Eligible& eligible) {
    if (k == 0 || (eligible.evaluated() && eligible.all().empty())) return {};
    // A filter that may match few points is evaluated first, to rank them directly when it
    // does; any other is narrowed cell by cell as the walk meets its cells.
    if (eligible.filtered() && ranks_directly(index, eligible.matches_bound(), k) &&
        eligible.all().empty()) {
        return {};
    }
    KnnSearch search(index, lat_deg, lon_deg, eligible, k);
    const bool direct = eligible.filtered() && eligible.evaluated() &&
                        ranks_directly(index, static_cast<double>(eligible.all().cardinality()), k);
    const std::vector<Entry> entries = direct ? search.rank_all() : search.run();
    std::vector<DistanceHit> answer;
    answer.reserve(entries.size());
    for (const Entry& e : entries) answer.push_back({e.int_id, e.dist_m, 0});
    return by_id(answer);
}

}  // namespace vesko::spatial
