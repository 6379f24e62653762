// Store: one open store directory, the engine's whole public surface and the top of its
// dependency graph (storage/, filter/ and spatial/ never include it). It owns the index state
// behind the index lock and the log writer behind the log lock, and takes each lock for the
// extent of one operation.
#pragma once

#include "common/result.h"
#include "spatial/search.h"
#include "storage/core_index.h"
#include "storage/wal.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::engine {

using storage::CoreIndex;
using storage::WalWriter;

class Store {
  public:
    // Creates the directory and missing files, replays the log, opens it for appending. OS
    // failures on the directory or the log come back as errors; a data file that cannot be
    // opened, sized or mapped is an internal failure. A damaged snapshot or log (recovery.h)
    // is a Damaged error, and then no file of the store has been changed.
    static Result<std::unique_ptr<Store>> open(const std::string& dir);

    // Opens an existing store whose snapshot or log is damaged, after moving the damaged parts
    // aside where nothing overwrites them: the snapshot as snapshot.bin.damaged, the log from
    // its first damaged record on as wal.bin.damaged (".damaged.1", ... when taken). The store
    // then holds what the log's records before the damage give, on top of the snapshot when
    // that was sound. A sound store just opens.
    static Result<std::unique_ptr<Store>> salvage(const std::string& dir);

    // Adds a point; a live id is left as it is (the record is logged all the same).
    Result<void> add(std::string_view ext_id, float lat_deg, float lon_deg,
                     std::string_view metadata, const std::vector<std::string>* skip_index);
    // Deletes the point if it is live; the record is logged either way.
    Result<void> remove(std::string_view ext_id);
    // Deletes every live point the filter matches; returns how many.
    Result<std::uint64_t> delete_by_filter(std::string_view filter_json);
    Result<std::uint64_t> count() const;
    Result<bool> exists(std::string_view filter_json) const;

    // The searches parse their filter (when given) after taking the index lock; a filter
    // that is not JSON comes back as an InvalidJson error.
    Result<std::vector<spatial::DistanceHit>> search_radius(
        float lat_deg, float lon_deg, float radius_m,
        const std::optional<std::string>& filter_json) const;
    Result<std::vector<spatial::DistanceHit>> search_knn(
        float lat_deg, float lon_deg, std::uint32_t k,
        const std::optional<std::string>& filter_json) const;
    Result<std::vector<spatial::Hit>> search_box(
        spatial::LatLon top_left, spatial::LatLon bottom_right,
        const std::optional<std::string>& filter_json) const;
    // Fewer than three vertices give no hits, without parsing the filter.
    Result<std::vector<spatial::Hit>> search_polygon(
        const std::vector<spatial::LatLon>& polygon,
        const std::optional<std::string>& filter_json) const;

    // Makes the store durable in one step: forces the data files to disk, writes snapshot.bin
    // through a temporary file that is forced to disk and renamed over it, forces the directory,
    // then empties the log. A failure leaves the previous snapshot and the log in place.
    Result<void> persist();

    // Rewrites the data files to hold only the live points, renumbered densely in their old
    // order, rebuilds every index for the new numbering and persists the result; crash-safe
    // through one commit point (vacuum.h). After a failure past that point the object
    // reopens itself from the directory, or refuses every later call when it cannot.
    Result<void> vacuum();

    const std::string& dir() const { return dir_; }

  private:
    Store(std::string dir, CoreIndex index, WalWriter wal);

    // Everything an open store needs, read from its directory.
    static Result<std::pair<CoreIndex, WalWriter>> open_parts(const std::string& dir);
    // Caller holds the index lock exclusively. Returns `failure` for the caller to report.
    Error recover_after_failed_vacuum(const Error& failure);

    // Runs search(eligible) under the shared index lock, after parsing the filter if given.
    template <class Search>
    auto with_eligible(const std::optional<std::string>& filter_json, Search&& search) const
        -> Result<decltype(search(std::declval<const spatial::Eligible&>()))>;

    std::string dir_;
    // Lock order: index_lock_ before log_lock_, released in reverse. Readers hold index_lock_
    // shared; every mutation holds both exclusively, from encoding its log record until its
    // change is applied, so the log's order is the order of the changes.
    mutable std::shared_mutex index_lock_;
    CoreIndex index_;  // guarded by index_lock_
    // Set when a failed vacuum left the object unable to follow its directory; every call then
    // returns it. Guarded by index_lock_.
    std::optional<Error> broken_;
    std::shared_mutex log_lock_;
    WalWriter wal_;  // guarded by log_lock_
};

}  // namespace vesko::engine
