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
// How the points are found does not change the answer. The first rings are walked cell by
// cell (skipping cells of empty one-degree blocks), which settles most searches; the walk stops
// as soon as the farthest kept distance is within a lower bound on the distance to every cell
// not yet walked. A search that the rings do not settle within a budget of cell lookups goes
// on over the one-degree blocks of occupied cells, nearest block first, until the farthest
// kept distance is within the next block's lower bound; before that, rings of blocks around the
// query's block are walked the same way, which settles most searches in sparse regions. Rings wrap
// across longitude 180. Points stored off the usual chart (outside [-90, 90] x [-180, 180], or NaN)
// have no meaningful cell, so they are always examined, and a query off the chart examines
// everything.
#include "spatial/distance.h"
#include "spatial/grid.h"
#include "spatial/search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <unordered_set>

namespace vesko::spatial {

namespace {

constexpr std::int64_t ring_limit = 200;
// Rings of one-degree blocks walked before the remaining blocks are visited nearest first.
constexpr std::int64_t max_block_rings = 24;
// Work the ring walk may spend before the search goes on by blocks: a cell in an empty block
// costs one unit, a lookup in the cell table ten.
constexpr std::size_t ring_walk_budget = 6000;
constexpr std::int64_t lon_cells = 36000;  // column 36000 (longitude 180) is column 0 again
constexpr double metres_per_degree = earth_radius_m * std::numbers::pi / 180.0;
constexpr double radians_per_degree = std::numbers::pi / 180.0;
constexpr std::uint64_t beyond_rings = 1ULL << 62;

struct Entry {
    float dist_m;
    std::uint64_t rank;
    std::uint32_t int_id;
};

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

std::int32_t cell_i32(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(v);
}

// The f32 distances of the store may fall a little below the exact ones (most near longitude
// 180, where the longitude difference is rounded): bounds leave room for that.
double with_rounding_room(double bound_m) { return bound_m * (1.0 - 1e-5) - 4.0; }

// Shortest distance to a meridian dlon_deg away: asin(cos(lat) sin(dlon)) up to 90 degrees,
// beyond that the nearer pole. cos_lat is the cosine of the query's latitude.
double to_meridian_m(double lat_q, double cos_lat, double dlon_deg) {
    if (dlon_deg <= 0.0) return 0.0;
    if (dlon_deg >= 90.0) return (90.0 - std::fabs(lat_q)) * metres_per_degree;
    return std::asin(cos_lat * std::sin(dlon_deg * radians_per_degree)) *
           static_cast<double>(earth_radius_m);
}

class KnnSearch {
  public:
    KnnSearch(const storage::CoreIndex& index, float lat_deg, float lon_deg, const Bitmap& eligible,
              std::uint32_t k)
        : index_(index),
          lat_(lat_deg),
          lon_(lon_deg),
          cos_lat_q_(query_cos(lat_deg)),
          eligible_(eligible),
          best_(k),
          cx_(cell_i32((static_cast<double>(lon_deg) + 180.0) * 100.0)),
          cy_(cell_i32((static_cast<double>(lat_deg) + 90.0) * 100.0)),
          on_chart_(storage::regular_position(lat_deg, lon_deg)),
          cos_lat_(std::cos(static_cast<double>(lat_deg) * radians_per_degree)) {}

    std::vector<Entry> run() {
        if (!on_chart_) {
            examine_all(eligible_);
        } else if (!walk_rings() && !walk_block_rings()) {
            walk_blocks();
        }
        // The cells say nothing about where points off the chart are.
        examine_all(index_.irregular_ids & eligible_);
        return best_.take_sorted();
    }

  private:
    // Walks rings outward while the budget lasts; true when they settle the answer.
    bool walk_rings() {
        for (int r = 0; r < ring_limit && lookups_ < ring_walk_budget; ++r) {
            walked_rings_ = r + 1;
            for (std::int64_t dy = -r; dy <= r; ++dy) {
                const bool edge_row = dy == -r || dy == r;
                for (std::int64_t dx = -r; dx <= r; dx += edge_row || r == 0 ? 1 : 2 * r) {
                    visit_ring_cell(cx_ + dx, cy_ + dy);
                }
            }
            if (best_.full() &&
                static_cast<double>(best_.worst()) <= with_rounding_room(unwalked_bound_m(r))) {
                return true;
            }
        }
        return false;
    }

    void visit_ring_cell(std::int64_t x, std::int64_t y) {
        if (y < 0) return;
        if (x < 0) x += lon_cells;
        if (x >= lon_cells) x -= lon_cells;
        visit_key(make_cell_key(static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(x)));
        if (x == 0) {
            visit_key(make_cell_key(static_cast<std::uint32_t>(y),
                                    static_cast<std::uint32_t>(lon_cells)));
        }
    }

    void visit_key(std::uint64_t key) {
        ++lookups_;
        const CellIds* ids = probe_.find(key);
        if (ids == nullptr) return;
        lookups_ += 9;
        examine_cell(key, *ids);
    }

    // Shortest distance from the query to a position outside rings 0..r of cells.
    double unwalked_bound_m(int r) const { return outside_square_m(cx_, cy_, r, 100); }

    // Shortest distance from the query to a position outside the square of units of
    // 1/per_degree degrees (cells: 100, blocks: 1) reaching r units from unit (x, y) each way.
    double outside_square_m(std::int64_t x, std::int64_t y, std::int64_t r,
                            std::int64_t per_degree) const {
        auto edge = [per_degree](std::int64_t unit, double offset) {
            return static_cast<double>(unit) / static_cast<double>(per_degree) - offset;
        };
        const double lat_q = lat_;
        const double lon_q = lon_;
        double bound_m = std::numeric_limits<double>::infinity();
        if (y + r < 180 * per_degree) {
            bound_m = std::min(bound_m, (edge(y + r + 1, 90.0) - lat_q) * metres_per_degree);
        }
        if (y - r > 0) bound_m = std::min(bound_m, (lat_q - edge(y - r, 90.0)) * metres_per_degree);
        if (2 * r + 1 < 360 * per_degree) {
            bound_m = std::min({bound_m, to_meridian_m(lat_q, cos_lat_, lon_q - edge(x - r, 180.0)),
                                to_meridian_m(lat_q, cos_lat_, edge(x + r + 1, 180.0) - lon_q)});
        }
        return bound_m;
    }

    // Walks square rings of one-degree blocks around the query's block, examining the cells the
    // ring walk left; true when they settle the answer.
    bool walk_block_rings() {
        const std::int64_t bx = cx_ / 100;
        const std::int64_t by = cy_ / 100;
        for (std::int64_t r = 0; r < max_block_rings; ++r) {
            for (std::int64_t dy = -r; dy <= r; ++dy) {
                const bool edge_row = dy == -r || dy == r;
                for (std::int64_t dx = -r; dx <= r; dx += edge_row || r == 0 ? 1 : 2 * r) {
                    visit_block(bx + dx, by + dy);
                }
            }
            if (best_.full() && static_cast<double>(best_.worst()) <=
                                    with_rounding_room(outside_square_m(bx, by, r, 1))) {
                return true;
            }
        }
        return false;
    }

    void visit_block(std::int64_t x, std::int64_t y) {
        if (y < 0 || y > 180) return;
        if (x < 0) x += 360;
        if (x >= 360) x -= 360;
        examine_block(make_cell_key(static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(x)));
        // Block column 360 holds longitude 180, the meridian of column 0.
        if (x == 0) examine_block(make_cell_key(static_cast<std::uint32_t>(y), 360));
    }

    void examine_block(std::uint64_t block_key) {
        if (!walked_blocks_.insert(block_key).second) return;
        const GridIndex::Block* block = index_.grid_index.block(block_key);
        if (block == nullptr) return;
        for (const GridIndex::Cell& cell : block->cells) {
            const std::uint64_t key = cell_in(block_key, cell.local);
            if (ring_of(key) >= walked_rings_) examine_cell(key, cell.ids);
        }
    }

    // Shortest distance from the query to a position in the one-degree block.
    double block_bound_m(std::uint64_t block) const {
        const double lat_q = lat_;
        const double lon_q = lon_;
        const double south = static_cast<double>(key_lat_cell(block)) - 90.0;
        const double west = static_cast<double>(key_lon_cell(block)) - 180.0;
        const double lat_gap = std::max({0.0, south - lat_q, lat_q - (south + 1.0)});
        double lon_gap = 0.0;
        if (lon_q < west || lon_q > west + 1.0) {
            auto wrapped = [](double d) { return std::fmod(std::fmod(d, 360.0) + 360.0, 360.0); };
            lon_gap = std::min(wrapped(west - lon_q), wrapped(lon_q - (west + 1.0)));
        }
        // asin(x) >= x: one sine gives a bound that is only a little weaker.
        double lon_bound_m = 0.0;
        if (lon_gap >= 90.0) {
            lon_bound_m = (90.0 - std::fabs(lat_q)) * metres_per_degree;
        } else if (lon_gap > 0.0) {
            lon_bound_m = cos_lat_ * std::sin(lon_gap * radians_per_degree) *
                          static_cast<double>(earth_radius_m);
        }
        return std::max(lat_gap * metres_per_degree, lon_bound_m);
    }

    // Visits the blocks nearest first, skipping the cells the ring walk examined, until the
    // farthest kept distance is within the next block's bound.
    void walk_blocks() {
        struct Pending {
            double bound_m;
            std::uint64_t key;
            const spatial::GridIndex::Block* block;
        };
        std::vector<Pending> pending;
        pending.reserve(index_.grid_index.blocks().size());
        for (const auto& [key, block] : index_.grid_index.blocks()) {
            if (walked_blocks_.contains(key)) continue;
            pending.push_back({with_rounding_room(block_bound_m(key)), key, &block});
        }
        auto farther = [](const Pending& a, const Pending& b) { return a.bound_m > b.bound_m; };
        std::make_heap(pending.begin(), pending.end(), farther);
        while (!pending.empty()) {
            std::pop_heap(pending.begin(), pending.end(), farther);
            const Pending next = pending.back();
            pending.pop_back();
            if (best_.full() && static_cast<double>(best_.worst()) <= next.bound_m) return;
            for (const GridIndex::Cell& cell : next.block->cells) {
                const std::uint64_t key = cell_in(next.key, cell.local);
                if (ring_of(key) >= walked_rings_) examine_cell(key, cell.ids);
            }
        }
    }

    // The ring of a cell around the query's cell, wrapping across longitude 180 (column 36000
    // counts as column 0); ring_limit or more for cells the walk would not reach.
    std::int64_t ring_of(std::uint64_t key) const {
        const std::int64_t y = key_lat_cell(key);
        std::int64_t x = key_lon_cell(key);
        if (on_chart_ && x == lon_cells) x = 0;
        std::int64_t dx = x - cx_;
        if (on_chart_) {
            dx %= lon_cells;
            if (dx < -lon_cells / 2) dx += lon_cells;
            if (dx >= lon_cells / 2) dx -= lon_cells;
        }
        return std::max(std::abs(dx), std::abs(y - cy_));
    }

    // The rank of an id in its cell; see the file comment.
    std::uint64_t rank(std::uint64_t key, std::uint32_t int_id) const {
        const std::int64_t r = ring_of(key);
        if (r >= ring_limit) return beyond_rings | int_id;
        const std::int64_t y = key_lat_cell(key);
        std::int64_t x = key_lon_cell(key);
        const std::uint64_t companion = on_chart_ && x == lon_cells ? 1 : 0;
        if (companion != 0) x = 0;
        std::int64_t dx = x - cx_;
        if (on_chart_) {
            dx %= lon_cells;
            if (dx < -lon_cells / 2) dx += lon_cells;
            if (dx >= lon_cells / 2) dx -= lon_cells;
        }
        const auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
        return u(r) << 51 | u(y - cy_ + r) << 42 | u(dx + r) << 33 | companion << 32 | int_id;
    }

    void examine_cell(std::uint64_t key, const CellIds& ids) {
        for (std::uint32_t int_id : ids) {
            if (!eligible_.contains(int_id) || seen_.contains(int_id)) continue;
            seen_.add(int_id);
            examine(key, int_id);
        }
    }

    void examine_all(const Bitmap& ids) {
        for (std::uint32_t int_id : (ids - seen_).to_vector()) {
            const auto [lat, lon] = index_.files.coords(int_id);
            seen_.add(int_id);
            examine(grid_cell_key(lat, lon), int_id);
        }
    }

    void examine(std::uint64_t key, std::uint32_t int_id) {
        const auto [lat, lon] = index_.files.coords(int_id);
        best_.offer(
            {haversine_distance(lat_, lon_, cos_lat_q_, lat, lon), rank(key, int_id), int_id});
    }

    const storage::CoreIndex& index_;
    const float lat_;
    const float lon_;
    const float cos_lat_q_;
    const Bitmap& eligible_;
    BestK best_;
    const std::int64_t cx_;
    const std::int64_t cy_;
    // Only a query on the usual chart has a neighbourhood of cells: its rings wrap across
    // longitude 180 and its bounds hold.
    const bool on_chart_;
    const double cos_lat_;
    // Ids already offered; each id is offered once.
    Bitmap seen_;
    GridIndex::Probe probe_{index_.grid_index};
    // Rings 0 .. walked_rings_-1 have been walked, at this cost.
    std::int64_t walked_rings_ = 0;
    std::size_t lookups_ = 0;
    // Blocks whose cells have all been examined (beyond the walked rings).
    std::unordered_set<std::uint64_t> walked_blocks_;
};

}  // namespace

std::vector<DistanceHit> search_knn(const storage::CoreIndex& index, float lat_deg, float lon_deg,
                                    std::uint32_t k, const Eligible& eligible) {
    const Bitmap& eligible_ids = eligible.all();
    if (k == 0 || eligible_ids.empty()) return {};
    KnnSearch search(index, lat_deg, lon_deg, eligible_ids, k);
    std::vector<DistanceHit> hits;
    for (const Entry& e : search.run()) {
        hits.push_back({hit_ext_id(index, e.int_id), e.dist_m, index.files.get_metadata(e.int_id)});
    }
    return hits;
}

}  // namespace vesko::spatial
