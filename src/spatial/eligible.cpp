// What a search may return, and which of the two plans finds it more cheaply.
#include "filter/filter_eval.h"
#include "spatial/search.h"

#ifdef VESKO_FAULT_HOOKS
#include "index/forced_plan.h"
#endif

#include <algorithm>
#include <utility>

namespace vesko::spatial {

namespace {

// The two plans' costs besides the filter's own, in nanoseconds per id: a window candidate
// gathered from its cell, sorted and narrowed as one of a bitmap; a filter's id examined on
// its own, its coordinates loaded from wherever it lies in the store and its cell tested
// against the window. Set from bench/filters.py (an unfiltered 5 km radius: about 2,400
// candidates in 0.2 ms of engine time, most of it the exact test every plan makes) and
// bench/searches.py's selective rows.
constexpr double window_id_ns = 25.0;
constexpr double matching_id_ns = 45.0;
constexpr std::size_t max_looked_up_one_by_one = 256;

}  // namespace

Bitmap Eligible::narrow(const Bitmap& candidates) const {
    if (filter_ == nullptr) return candidates & index_.valid_ids;
    if (all_) return candidates & *all_;
    return filter::evaluate_filter(index_, *filter_, candidates & index_.valid_ids);
}

void Eligible::keep(std::vector<std::uint32_t>& ascending) const {
    // A few candidates are looked up one by one; more are cheaper as one bitmap intersection,
    // which also lets a filter narrow them in bulk.
    if (filter_ == nullptr && ascending.size() <= max_looked_up_one_by_one) {
        std::erase_if(ascending,
                      [this](std::uint32_t int_id) { return !index_.valid_ids.contains(int_id); });
        return;
    }
    Bitmap candidates;
    candidates.add_many(ascending.data(), ascending.size());
    ascending = narrow(candidates).to_vector();
}

const Bitmap& Eligible::all() const {
    if (filter_ == nullptr) return index_.valid_ids;
    if (!all_) all_ = filter::evaluate_filter(index_, *filter_);
    return *all_;
}

const Bitmap* Eligible::filter_first(std::uint64_t window_ids) const {
    if (filter_ == nullptr) return nullptr;
#ifdef VESKO_FAULT_HOOKS
    if (index::plan::forced_window)
        return *index::plan::forced_window == index::plan::Window::FilterFirst ? &all() : nullptr;
#endif
    if (!all_ && !filter_first_cheaper(window_ids)) return nullptr;
    const Bitmap& matching = all();
    return matching.cardinality() < window_ids ? &matching : nullptr;
}

void Eligible::thin(std::vector<std::uint32_t>& gathered, std::uint64_t window_ids) const {
    // Known matches narrow a window for less than any reading of codes.
    if (filter_ == nullptr || all_) return;
    bool whatever_the_cost = false;
#ifdef VESKO_FAULT_HOOKS
    if (index::plan::forced_window) {
        if (*index::plan::forced_window != index::plan::Window::CodesFirst) return;
        whatever_the_cost = true;
    }
#endif
    filter::thin_by_codes(index_, *filter_, window_ids, whatever_the_cost, gathered);
}

// Counts known before any work decide: the window's ids (its cells' sizes), and what the
// filter can match and costs, over the store and within the window (filter::Estimate).
bool Eligible::filter_first_cheaper(std::uint64_t window_ids) const {
    const filter::Estimate over_store = filter::estimate_filter(index_, *filter_, index_.count());
    const filter::Estimate over_window = filter::estimate_filter(index_, *filter_, window_ids);
    const double window_plan = static_cast<double>(window_ids) * window_id_ns + over_window.cost_ns;
    const double filter_plan = over_store.cost_ns + over_store.matches * matching_id_ns;
    return filter_plan < window_plan;
}

double Eligible::matches_bound() const {
    if (evaluated()) return static_cast<double>(all().cardinality());
    return filter::estimate_filter(index_, *filter_, index_.count()).matches;
}

double Eligible::whole_ns() const {
    if (evaluated()) return 0.0;
    return filter::estimate_filter(index_, *filter_, index_.count()).cost_ns;
}

double Eligible::narrowing_ns(std::uint64_t candidates) const {
    return static_cast<double>(candidates) * window_id_ns +
           filter::estimate_filter(index_, *filter_, candidates).cost_ns;
}

void Eligible::window_holds(std::uint64_t window_ids) const {
    if (window_ids >= long_work_ids && notice_) std::exchange(notice_, nullptr)();
}

std::vector<DistanceHit> by_id(std::span<const DistanceHit> answer) {
    std::vector<DistanceHit> hits(answer.begin(), answer.end());
    for (std::size_t i = 0; i < hits.size(); ++i) hits[i].place = static_cast<std::uint32_t>(i);
    std::sort(hits.begin(), hits.end(),
              [](const DistanceHit& a, const DistanceHit& b) { return a.int_id < b.int_id; });
    return hits;
}

}  // namespace vesko::spatial
