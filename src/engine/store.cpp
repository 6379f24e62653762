// The write path, persist and the searches' entry points.
#include "engine/store.h"

#include "filter/filter_eval.h"
#include "storage/snapshot.h"
#include "storage/vacuum.h"

#include <mutex>

namespace vesko::engine {

using namespace storage;

Store::Store(std::string dir, CoreIndex index, WalWriter wal)
    : dir_(std::move(dir)), index_(std::move(index)), wal_(std::move(wal)) {}

Result<void> Store::add(std::string_view ext_id, float lat_deg, float lon_deg,
                        std::string_view metadata, const std::vector<std::string>* skip_index) {
    auto meta = Metadata::parse(metadata);
    if (!meta) return meta.error();
    std::unique_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::unique_lock log_guard(log_lock_);
    encode_insert(wal_.staging(), ext_id, lat_deg, lon_deg, meta->object(), skip_index);
    VESKO_TRY(wal_.flush());
    insert_in_mem(index_, ext_id, *meta, skip_index, lat_deg, lon_deg);
    return {};
}

Result<void> Store::remove(std::string_view ext_id) {
    std::unique_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::unique_lock log_guard(log_lock_);
    encode_delete(wal_.staging(), ext_id);
    VESKO_TRY(wal_.flush());
    delete_in_mem(index_, ext_id);
    return {};
}

Result<std::uint64_t> Store::delete_by_filter(std::string_view filter_json) {
    auto parsed = filter::parse_json(filter_json);
    if (!parsed) return parsed.error();
    std::unique_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::unique_lock log_guard(log_lock_);
    const std::vector<std::uint32_t> matches = filter::evaluate_filter(index_, *parsed).to_vector();
    // Deletions are applied once their records are in the file, a buffer-full at a time, so a
    // failed write leaves neither a logged change that was not applied nor the reverse.
    std::vector<std::string> pending;
    std::uint64_t deleted = 0;
    auto write_pending = [&]() -> Result<void> {
        VESKO_TRY(wal_.flush());
        for (const std::string& ext_id : pending) delete_in_mem(index_, ext_id);
        deleted += pending.size();
        pending.clear();
        return {};
    };
    for (std::uint32_t int_id : matches) {
        auto ext_id = index_.files.get_external_id(int_id);
        if (!ext_id) continue;
        encode_delete(wal_.staging(), *ext_id);
        pending.push_back(std::move(*ext_id));
        if (wal_.staging_full()) VESKO_TRY(write_pending());
    }
    VESKO_TRY(write_pending());
    return deleted;
}

Result<void> Store::persist() {
    const std::string snapshot_path = join_path(dir_, snapshot_file_name);
    const std::string tmp_path = join_path(dir_, snapshot_tmp_file_name);
    {
        // No mutation may run while the files the snapshot refers to are forced to disk.
        std::unique_lock index_guard(index_lock_);
        if (broken_) return *broken_;
        VESKO_TRY(index_.files.sync_all());
    }
    // The log lock is held from the encoding to the emptying of the log, so that no record
    // can reach the log in between and be emptied away without being in the snapshot. Lock
    // order is kept: the index lock is taken before the log lock and given up first.
    std::shared_lock index_guard(index_lock_);
    std::unique_lock log_guard(log_lock_);
    // The state is held to the rules the next open judges a snapshot by, so that persist
    // never replaces a sound snapshot with one that open would refuse.
    auto sizes = index_.files.appended_sizes();
    if (!sizes) return sizes.error();
    if (auto why = snapshot_damage(view_of(index_), sizes->first, sizes->second)) {
        return damaged_error("refusing to write a snapshot of " + quoted_path(dir_) +
                             " that the store could not open again: " + *why);
    }
    // Forced to disk before the rename: otherwise a power loss could leave an empty or partial
    // snapshot beside an emptied log.
    VESKO_TRY(write_snapshot_file(view_of(index_), tmp_path));
    index_guard.unlock();
    VESKO_TRY(rename_path(tmp_path, snapshot_path));
    VESKO_TRY(sync_directory(dir_));
    return wal_.truncate_all();
}

Result<std::uint64_t> Store::count() const {
    std::shared_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    return index_.count();
}

template <class Search>
auto Store::with_eligible(const std::optional<std::string>& filter_json, Search&& search) const
    -> Result<decltype(search(std::declval<const spatial::Eligible&>()))> {
    std::shared_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    if (!filter_json) return search(spatial::Eligible(index_, nullptr));
    auto parsed = filter::parse_json(*filter_json);
    if (!parsed) return parsed.error();
    return search(spatial::Eligible(index_, &*parsed));
}

Result<std::vector<spatial::DistanceHit>> Store::search_radius(
    float lat_deg, float lon_deg, float radius_m,
    const std::optional<std::string>& filter_json) const {
    return with_eligible(filter_json, [&](const spatial::Eligible& eligible) {
        return spatial::search_radius(index_, lat_deg, lon_deg, radius_m, eligible);
    });
}

Result<std::vector<spatial::DistanceHit>> Store::search_knn(
    float lat_deg, float lon_deg, std::uint32_t k,
    const std::optional<std::string>& filter_json) const {
    return with_eligible(filter_json, [&](const spatial::Eligible& eligible) {
        return spatial::search_knn(index_, lat_deg, lon_deg, k, eligible);
    });
}

Result<std::vector<spatial::Hit>> Store::search_box(
    spatial::LatLon top_left, spatial::LatLon bottom_right,
    const std::optional<std::string>& filter_json) const {
    return with_eligible(filter_json, [&](const spatial::Eligible& eligible) {
        return spatial::search_box(index_, top_left, bottom_right, eligible);
    });
}

Result<std::vector<spatial::Hit>> Store::search_polygon(
    const std::vector<spatial::LatLon>& polygon,
    const std::optional<std::string>& filter_json) const {
    if (polygon.size() < 3) return std::vector<spatial::Hit>{};
    return with_eligible(filter_json, [&](const spatial::Eligible& eligible) {
        return spatial::search_polygon(index_, polygon, eligible);
    });
}

Result<bool> Store::exists(std::string_view filter_json) const {
    auto parsed = filter::parse_json(filter_json);
    if (!parsed) return parsed.error();
    std::shared_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    return !filter::evaluate_filter(index_, *parsed).empty();
}

}  // namespace vesko::engine
