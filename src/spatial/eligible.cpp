// What a search may return, and which of the two plans finds it more cheaply.
#include "filter/filter_eval.h"
#include "spatial/search.h"

#include <algorithm>
#include <utility>

namespace vesko::spatial {

namespace {

// Evaluating a filter over the whole store costs up to a pass over its indexes; a window that
// holds fewer candidates than this (or than this share of the live points) is always cheaper
// to narrow directly.
constexpr std::uint64_t min_window_for_filter_first = 4096;
constexpr std::uint64_t store_share_for_filter_first = 32;
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
    if (!all_) {
        const std::uint64_t worth_it =
            std::max(min_window_for_filter_first, index_.count() / store_share_for_filter_first);
        if (window_ids < worth_it) return nullptr;
    }
    const Bitmap& matching = all();
    return matching.cardinality() < window_ids ? &matching : nullptr;
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
