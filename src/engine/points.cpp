// Reading points back by id. Each call holds the index lock shared for its own extent only.
#include "engine/store.h"
#include "index/id_hash.h"

#include <mutex>

namespace vesko::engine {

Result<std::optional<StoredPoint>> Store::get(std::string_view ext_id) const {
    auto index_guard = enter_shared(Access::Read);
    if (!index_guard) return index_guard.error();
    const std::uint32_t* int_id = index_.ext_to_int.find(index::hash_id(ext_id));
    if (int_id == nullptr) return std::optional<StoredPoint>();
    return std::optional<StoredPoint>(read_point(index_, *int_id));
}

Result<std::vector<std::optional<StoredPoint>>> Store::get_many(
    std::span<const std::string_view> ext_ids) const {
    auto index_guard = enter_shared(Access::Read);
    if (!index_guard) return index_guard.error();
    std::vector<std::optional<StoredPoint>> points(ext_ids.size());
    for (std::size_t i = 0; i < ext_ids.size(); ++i) {
        const std::uint32_t* int_id = index_.ext_to_int.find(index::hash_id(ext_ids[i]));
        if (int_id != nullptr) points[i] = read_point(index_, *int_id);
    }
    return points;
}

Result<bool> Store::contains(std::string_view ext_id) const {
    auto index_guard = enter_shared(Access::Read);
    if (!index_guard) return index_guard.error();
    return index_.ext_to_int.contains(index::hash_id(ext_id));
}

}  // namespace vesko::engine
