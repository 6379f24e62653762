// The write path, persist and the searches' entry points.
#include "engine/store.h"

#include "filter/filter_eval.h"
#include "storage/snapshot.h"
#include "storage/vacuum.h"

#include <mutex>

namespace vesko::engine {

using namespace storage;

namespace {

std::uint32_t id_of(std::uint32_t int_id) { return int_id; }
std::uint32_t id_of(const spatial::DistanceHit& hit) { return hit.int_id; }

}  // namespace

Store::Store(std::string dir, CoreIndex index, WalWriter wal)
    : dir_(std::move(dir)), index_(std::move(index)), wal_(std::move(wal)) {}

Result<std::pair<filter::Json, std::string>> Store::parse_metadata(std::string_view metadata) {
    auto parsed = filter::parse_json(metadata, ErrorKind::InvalidJson);
    if (!parsed) return parsed.error();
    if (!parsed->is_object()) {
        return make_error(ErrorKind::InvalidJson, std::string("expected a JSON object, found ") +
                                                      filter::json_type_phrase(*parsed));
    }
    std::string meta_text = parsed->dump();
    if (meta_text.size() > max_metadata_bytes) {
        return make_error(ErrorKind::InvalidArgument,
                          "metadata is " + std::to_string(meta_text.size()) +
                              " bytes as compact JSON; at most " +
                              std::to_string(max_metadata_bytes) + " bytes can be stored");
    }
    return std::pair{std::move(parsed).value(), std::move(meta_text)};
}

Result<void> Store::add(std::string_view ext_id, float lat_deg, float lon_deg,
                        std::string_view metadata, const std::vector<std::string>* skip_index) {
    auto parsed = parse_metadata(metadata);
    if (!parsed) return parsed.error();
    const auto& [meta, meta_text] = *parsed;
    std::unique_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::unique_lock log_guard(log_lock_);
    encode_insert(wal_.staging(), ext_id, lat_deg, lon_deg, meta, skip_index);
    VESKO_TRY(wal_.flush());
    insert_in_mem(index_, ext_id, meta, meta_text, skip_index, lat_deg, lon_deg);
    return {};
}

Result<bool> Store::upsert(std::string_view ext_id, float lat_deg, float lon_deg,
                           std::string_view metadata, const std::vector<std::string>* skip_index) {
    auto parsed = parse_metadata(metadata);
    if (!parsed) return parsed.error();
    const auto& [meta, meta_text] = *parsed;
    std::unique_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::unique_lock log_guard(log_lock_);
    encode_upsert(wal_.staging(), ext_id, lat_deg, lon_deg, meta, skip_index);
    VESKO_TRY(wal_.flush());
    return upsert_in_mem(index_, ext_id, meta, meta_text, skip_index, lat_deg, lon_deg);
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
    auto parsed = filter::parse_json(filter_json, ErrorKind::FilterSyntax);
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

template <class Search, class Read>
Result<void> Store::with_eligible(const std::optional<std::string>& filter_json, Search&& search,
                                  const Read& read) const {
    std::shared_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::optional<filter::Json> parsed;
    if (filter_json) {
        auto text = filter::parse_json(*filter_json, ErrorKind::FilterSyntax);
        if (!text) return text.error();
        parsed = std::move(text).value();
    }
    const auto hits = search(spatial::Eligible(index_, parsed ? &*parsed : nullptr));
    HitTexts texts(index_.files, std::span(hits), [](const auto& hit) { return id_of(hit); });
    read(std::span(hits), texts);
    return {};
}

Result<void> Store::search_radius(float lat_deg, float lon_deg, float radius_m,
                                  const std::optional<std::string>& filter_json,
                                  const DistanceHitsReader& read) const {
    return with_eligible(
        filter_json,
        [&](const spatial::Eligible& eligible) {
            return spatial::search_radius(index_, lat_deg, lon_deg, radius_m, eligible);
        },
        read);
}

Result<void> Store::search_knn(float lat_deg, float lon_deg, std::uint32_t k,
                               const std::optional<std::string>& filter_json,
                               const DistanceHitsReader& read) const {
    return with_eligible(
        filter_json,
        [&](const spatial::Eligible& eligible) {
            return spatial::search_knn(index_, lat_deg, lon_deg, k, eligible);
        },
        read);
}

Result<void> Store::search_box(spatial::LatLon top_left, spatial::LatLon bottom_right,
                               const std::optional<std::string>& filter_json,
                               const HitsReader& read) const {
    return with_eligible(
        filter_json,
        [&](const spatial::Eligible& eligible) {
            return spatial::search_box(index_, top_left, bottom_right, eligible);
        },
        read);
}

Result<void> Store::search_polygon(const std::vector<spatial::LatLon>& polygon,
                                   const std::optional<std::string>& filter_json,
                                   const HitsReader& read) const {
    if (polygon.size() < 3) {
        HitTexts texts(index_.files, std::span<const std::uint32_t>(),
                       [](std::uint32_t int_id) { return int_id; });
        read({}, texts);
        return {};
    }
    return with_eligible(
        filter_json,
        [&](const spatial::Eligible& eligible) {
            return spatial::search_polygon(index_, polygon, eligible);
        },
        read);
}

Result<bool> Store::exists(std::string_view filter_json) const {
    auto parsed = filter::parse_json(filter_json, ErrorKind::InvalidFilter);
    if (!parsed) return parsed.error();
    std::shared_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    return !filter::evaluate_filter(index_, *parsed).empty();
}

std::optional<StoredPoint> read_point(const CoreIndex& index, std::uint32_t int_id) {
    std::optional<std::string> ext_id = index.files.get_external_id(int_id);
    if (!ext_id) return std::nullopt;
    const auto [lat_deg, lon_deg] = index.files.coords(int_id);
    return StoredPoint{std::move(*ext_id), lat_deg, lon_deg, index.files.get_metadata(int_id)};
}

Result<PointChunk> Store::points_after(std::optional<std::uint32_t> after, std::uint32_t limit,
                                       const std::optional<std::string>& filter_json) const {
    std::shared_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::optional<filter::Json> parsed;
    if (filter_json) {
        auto text = filter::parse_json(*filter_json, ErrorKind::FilterSyntax);
        if (!text) return text.error();
        parsed = std::move(text).value();
    }
    const spatial::Eligible eligible(index_, parsed ? &*parsed : nullptr);
    const Bitmap candidates = index_.valid_ids.next_after(after, limit);
    PointChunk chunk;
    chunk.last_int_id = candidates.empty() ? after : candidates.maximum();
    chunk.done = candidates.empty() || chunk.last_int_id == index_.valid_ids.maximum();
    eligible.narrow(candidates).for_each([&](std::uint32_t int_id) {
        if (auto point = read_point(index_, int_id)) chunk.points.push_back(std::move(*point));
    });
    return chunk;
}

}  // namespace vesko::engine
