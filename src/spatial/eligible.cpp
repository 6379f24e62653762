// What a search may return, and how a hit's id is read back.
#include "filter/filter_eval.h"
#include "spatial/search.h"

namespace vesko::spatial {

Bitmap Eligible::narrow(const Bitmap& candidates) const {
    if (filter_ == nullptr) return candidates & index_.valid_ids;
    const Bitmap live = candidates & index_.valid_ids;
    return filter::evaluate_filter(index_, *filter_, &live);
}

const Bitmap& Eligible::all() const {
    if (filter_ == nullptr) return index_.valid_ids;
    if (!all_) all_ = filter::evaluate_filter(index_, *filter_);
    return *all_;
}

std::string hit_ext_id(const storage::CoreIndex& index, std::uint32_t int_id) {
    auto ext_id = index.files.get_external_id(int_id);
    return ext_id ? std::move(*ext_id) : std::string();
}

}  // namespace vesko::spatial
