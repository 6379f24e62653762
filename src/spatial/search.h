// The four spatial searches. Each runs with the index lock held shared by its caller, takes
// the set of ids it may return (the filter's result, or valid_ids), and answers with internal
// ids only: the caller reads the hits' texts while it still holds the lock.
#pragma once

#include "common/bitmap.h"
#include "index/core_index.h"
#include "text/json_text.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vesko::spatial {

// One hit of a distance search. Hits are handed over in ascending internal id, the order that
// reads the data files front to back; `place` is the hit's position in the answer (nearest
// first), a permutation of 0 .. hits-1.
struct DistanceHit {
    std::uint32_t int_id;
    float dist_m;
    std::uint32_t place;
};

using LatLon = std::pair<float, float>;

// The ids a search may return: the live ids, narrowed by the caller's filter when one was
// given. A filter that matches nothing leaves nothing eligible; it never stands for every
// point.
//
// Two plans give the same ids: narrowing the search window's candidates by the filter (cost
// follows the window), or evaluating the filter over the store once and examining only its
// ids (cost follows the filter). A search asks `filter_first` with the number of candidates
// its window holds; the filter is evaluated over the store only when its estimated cost and
// the ids it can match, examined one by one, cost less than the window (filter_eval.h,
// eligible.cpp), and its ids are then used when they are fewer than the window's.
class Eligible {
  public:
    // `filter` (may be null) must outlive this object.
    Eligible(const index::CoreIndex& index, const text::Json* filter)
        : index_(index), filter_(filter) {}

    // The eligible ids among `candidates`.
    Bitmap narrow(const Bitmap& candidates) const;
    // Keeps the eligible ids of `ascending` (ascending, no repeats), in order.
    void keep(std::vector<std::uint32_t>& ascending) const;
    // Every eligible id; evaluated once, on first use.
    const Bitmap& all() const;
    // The filter's ids when examining them beats a window of `window_ids` candidates; null
    // without a filter or when the window is cheaper.
    const Bitmap* filter_first(std::uint64_t window_ids) const;
    // Drops from a window's ids, gathered in no order, those a numeric comparison of the
    // filter rejects, when its plan over `window_ids` ids would read each of their codes anyway
    // (filter::thin_by_codes); keep() then sorts and narrows fewer.
    void thin(std::vector<std::uint32_t>& gathered, std::uint64_t window_ids) const;

    // For a walk that meets its candidates a few at a time (k-nearest), which narrows them as
    // it meets them until that has cost as much as evaluating the filter over the store would:
    // whether all() is known already, an upper bound on its size, and the two estimated costs.
    bool filtered() const { return filter_ != nullptr; }
    bool evaluated() const { return filter_ == nullptr || all_.has_value(); }
    double matches_bound() const;
    double whole_ns() const;
    double narrowing_ns(std::uint64_t candidates) const;

    // Searches that walk a window say how many ids it holds before they examine any; from
    // long_work_ids on, the notice the caller set runs, once: its chance to let go of a lock
    // of its own, which other threads wait for, while the search works.
    static constexpr std::uint64_t long_work_ids = 64;
    void on_long_work(std::function<void()> notice) { notice_ = std::move(notice); }
    void window_holds(std::uint64_t window_ids) const;

  private:
    bool filter_first_cheaper(std::uint64_t window_ids) const;

    const index::CoreIndex& index_;
    const text::Json* filter_;
    mutable std::optional<Bitmap> all_;
    mutable std::function<void()> notice_;
};

// Every eligible id within radius_m of (lat, lon); places by distance, equal distances in
// ascending internal id.
std::vector<DistanceHit> search_radius(const index::CoreIndex& index, float lat_deg, float lon_deg,
                                       float radius_m, const Eligible& eligible);

// Every eligible id inside the box (bounds inclusive), ascending. A box whose western
// longitude exceeds its eastern one, or whose top lies below its bottom, is empty.
std::vector<std::uint32_t> search_box(const index::CoreIndex& index, LatLon top_left,
                                      LatLon bottom_right, const Eligible& eligible);

// The k eligible ids nearest to (lat, lon); places by distance, and among equal distances the
// one examined first (ring by ring outward, then by id) wins and comes first. NaN distances
// come last.
std::vector<DistanceHit> search_knn(const index::CoreIndex& index, float lat_deg, float lon_deg,
                                    std::uint32_t k, const Eligible& eligible);

// Whether (p_lat, p_lon) is inside the polygon by the even-odd rule, with latitude as the
// ray's axis, in f32 exactly as search_polygon decides it.
bool inside_polygon(std::span<const LatLon> polygon, float p_lat, float p_lon);

// Every eligible id inside the polygon by the even-odd rule, ascending. The caller returns
// early for fewer than three vertices.
std::vector<std::uint32_t> search_polygon(const index::CoreIndex& index,
                                          std::span<const LatLon> polygon,
                                          const Eligible& eligible);

// Distance hits ordered by id, from the answer in its order (nearest first).
std::vector<DistanceHit> by_id(std::span<const DistanceHit> answer);

}  // namespace vesko::spatial
