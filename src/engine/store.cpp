// The write path, persist, close and the searches' entry points.
#include "engine/store.h"

#include "common/check.h"
#include "filter/filter_check.h"
#include "filter/filter_eval.h"
#include "persist/grid_check.h"
#include "persist/live_files.h"
#include "persist/recovery.h"
#include "persist/snapshot.h"
#include "persist/vacuum.h"

#include <mutex>
#include <type_traits>

namespace vesko::engine {

namespace {

std::uint32_t id_of(std::uint32_t int_id) { return int_id; }
std::uint32_t id_of(const spatial::DistanceHit& hit) { return hit.int_id; }

}  // namespace

Result<SearchFilter> SearchFilter::parse(const std::optional<std::string>& filter_json) {
    SearchFilter out;
    if (!filter_json) return out;
    auto parsed = text::parse_json(*filter_json);
    if (!parsed) return parsed.error();
    out.json_ = std::move(parsed).value();
    return out;
}

Store::Store(std::string dir, storage::DirectoryLock lock, Parts parts,
             std::unique_ptr<storage::LogAck> ack)
    : dir_(std::move(dir)),
      process_generation_(storage::process_generation()),
      dir_lock_(std::move(lock)),
      index_(std::move(parts.index)),
      wal_(std::move(parts.wal)),
      changed_since_snapshot_(!parts.snapshot_current),
      unsynced_dirs_{dir_},
      ack_(std::move(ack)) {}

storage::AckEvent Store::event() {
    return storage::AckEvent(*ack_, [this] { return std::optional(wal_.length()); });
}

Result<void> Store::mark_snapshot(const std::string& tmp_path) {
    // Inside persist's event, before the rename: the file keeps its identity when renamed.
    auto written = storage::version_at(tmp_path);
    if (!written) return written.error();
    VESKO_CHECK(written->has_value(), "the snapshot just written is gone");
    ack_->mark_snapshot(**written, wal_.length());
    return {};
}

Result<void> Store::check_writable() const {
    if (read_only()) return read_only_error();
    return {};
}

Error Store::read_only_error() const {
    return make_error(ErrorKind::ReadOnly, "the store at " + persist::quoted_path(dir_) +
                                               " was opened with read_only=True; this object "
                                               "cannot change it");
}

Result<void> Store::check_process() const {
    if (storage::process_generation() == process_generation_) return {};
    return make_error(ErrorKind::OtherProcess,
                      "this Vesko object for " + persist::quoted_path(dir_) +
                          " was opened by another process and came here through fork(); open "
                          "the store in this process, after the parent has closed it");
}

Result<void> Store::check_open() const {
    auto index_guard = enter_shared(Access::Read);
    if (!index_guard) return index_guard.error();
    return {};
}

void Store::close() {
    if (!check_process()) {
        // A forked child: taking the index lock could wait forever for a thread that only
        // exists in the parent, and every other method refuses before touching anything, so
        // only the lock's descriptor (this process's copy) is let go.
        dir_lock_.release();
        return;
    }
    // Exclusive: calls running in other threads finish first, and those that come later see
    // broken_ under the lock before they touch index_.
    std::unique_lock index_guard(index_lock_);
    if (broken_ && broken_->kind == ErrorKind::Closed) return;
    std::unique_lock log_guard(log_lock_);
    broken_ = make_error(ErrorKind::Closed, "store is closed");
    if (follower_) follower_ = std::make_unique<Follower>();
    wal_ = storage::WalWriter();
    index_ = index::CoreIndex(storage::DataFiles::none());
    dir_lock_.release();
}

Result<void> Store::add(std::string_view ext_id, float lat_deg, float lon_deg,
                        std::string_view metadata, const std::vector<std::string>* skip_index) {
    auto written = write_point(ext_id, lat_deg, lon_deg, metadata, skip_index, false);
    if (!written) return written.error();
    return {};
}

Result<bool> Store::upsert(std::string_view ext_id, float lat_deg, float lon_deg,
                           std::string_view metadata, const std::vector<std::string>* skip_index) {
    return write_point(ext_id, lat_deg, lon_deg, metadata, skip_index, true);
}

Result<bool> Store::write_point(std::string_view ext_id, float lat_deg, float lon_deg,
                                std::string_view metadata,
                                const std::vector<std::string>* skip_index, bool replacing) {
    auto parsed = text::Metadata::parse(metadata);
    if (!parsed) return parsed.error();
    const text::Metadata& meta = *parsed;
    auto index_guard = enter_exclusive();
    if (!index_guard) return index_guard.error();
    // Everything that can fail (a slot for the id, its records in ids.bin and meta.bin) is
    // done before the record is logged: once it is in the log, the point exists.
    auto prepared =
        index::prepare_insert(index_, ext_id, meta.text(), storage::AppendMode::Always, replacing);
    if (!prepared) return prepared.error();
    ChangeLock log_guard(*this);
    if (replacing) {
        storage::encode_upsert(wal_.staging(), ext_id, lat_deg, lon_deg, meta.object(), skip_index);
    } else {
        storage::encode_insert(wal_.staging(), ext_id, lat_deg, lon_deg, meta.object(), skip_index);
    }
    if (auto flushed = wal_.flush(); !flushed) {
        index_.files.drop_staged();
        return flushed.error();
    }
    if (replacing) {
        changed_since_snapshot_ = true;
        return index::apply_upsert(index_, ext_id, *prepared, meta, skip_index, lat_deg, lon_deg);
    }
    if (prepared->needed) changed_since_snapshot_ = true;
    index::apply_insert(index_, *prepared, meta, skip_index, lat_deg, lon_deg);
    return false;
}

Result<void> Store::remove(std::string_view ext_id) {
    auto index_guard = enter_exclusive();
    if (!index_guard) return index_guard.error();
    ChangeLock log_guard(*this);
    storage::encode_delete(wal_.staging(), ext_id);
    VESKO_TRY(wal_.flush());
    if (index::delete_in_mem(index_, ext_id)) changed_since_snapshot_ = true;
    return {};
}

Result<std::uint64_t> Store::delete_by_filter(std::string_view filter_json) {
    auto parsed = text::parse_json(filter_json);
    if (!parsed) return parsed.error();
    if (auto problem = filter::deletion_filter_problem(*parsed))
        return make_error(ErrorKind::InvalidArgument, "Invalid Filter: " + *problem);
    auto index_guard = enter_exclusive();
    if (!index_guard) return index_guard.error();
    ChangeLock log_guard(*this);
    const std::vector<std::uint32_t> matches = filter::evaluate_filter(index_, *parsed).to_vector();
    // Every record reaches the file, a buffer-full at a time, before any deletion is applied:
    // a failed write cuts the log back to where this call began, so a call that fails leaves
    // nothing in the log and nothing changed.
    const storage::WalMark log_start = wal_.mark();
    std::vector<std::string> ext_ids;
    ext_ids.reserve(matches.size());
    auto cut_back = [&](const Error& failure) -> Error {
        if (!wal_.cut_to(log_start)) {
            // The log may keep records of deletions that were not applied; this object no
            // longer describes what a reopen would show.
            broken_ = Error{ErrorKind::StoreBroken,
                            "the store at " + persist::quoted_path(dir_) +
                                " could not cut its log back after a failed write and must be "
                                "reopened: " +
                                failure.message,
                            failure.os_errno};
        }
        return failure;
    };
    for (std::uint32_t int_id : matches) {
        auto ext_id = index_.files.get_external_id(int_id);
        if (!ext_id) continue;
        storage::encode_delete(wal_.staging(), *ext_id);
        ext_ids.push_back(std::move(*ext_id));
        if (wal_.staging_full()) {
            if (auto flushed = wal_.flush(); !flushed) return cut_back(flushed.error());
        }
    }
    if (auto flushed = wal_.flush(); !flushed) return cut_back(flushed.error());
    for (const std::string& ext_id : ext_ids) {
        if (index::delete_in_mem(index_, ext_id)) changed_since_snapshot_ = true;
    }
    return std::uint64_t{ext_ids.size()};
}

Result<void> Store::sync() {
    // Shared: the log lock alone keeps writers out of the log, and readers may go on.
    auto index_guard = enter_shared(Access::Sync);
    if (!index_guard) return index_guard.error();
    std::unique_lock log_guard(log_lock_);
    VESKO_TRY(wal_.flush());
    if (auto synced = wal_.sync(); !synced) return poison_if_unflushed(synced.error());
    while (!unsynced_dirs_.empty()) {
        if (auto synced = storage::sync_directory(unsynced_dirs_.back()); !synced)
            return poison_if_unflushed(synced.error());
        unsynced_dirs_.pop_back();
    }
    return {};
}

Result<void> Store::persist() {
    const std::string snapshot_path = storage::join_path(dir_, persist::snapshot_file_name);
    const std::string tmp_path = storage::join_path(dir_, persist::snapshot_tmp_file_name);
    {
        // No mutation may run while the files the snapshot refers to are forced to disk.
        auto index_guard = enter_exclusive();
        if (!index_guard) return index_guard.error();
        std::unique_lock log_guard(log_lock_);
        if (!changed_since_snapshot_) {
            // snapshot.bin holds this very state, and the log only records that changed
            // nothing: replaying them on the snapshot changes nothing either.
            if (wal_.length() == 0) return {};
            const storage::AckEvent cut = event();
            if (auto emptied = wal_.truncate_all(); !emptied)
                return poison_if_unflushed(emptied.error());
            ack_->clear_snapshot_mark();
            return {};
        }
        if (auto synced = index_.files.sync_all(); !synced)
            return poison_if_unflushed(synced.error());
    }
    // The log lock is held from the encoding to the emptying of the log, so that no record
    // can reach the log in between and be emptied away without being in the snapshot. Lock
    // order is kept: the index lock is taken before the log lock and given up first.
    // The store may have been closed, or poisoned, while no lock was held.
    auto index_guard = enter_shared(Access::Sync);
    if (!index_guard) return index_guard.error();
    std::unique_lock log_guard(log_lock_);
    // The state is held to the rules the next open judges a snapshot by, so that persist
    // never replaces a sound snapshot with one that open would refuse.
    auto why = persist::state_damage(index_);
    if (!why) return why.error();
    // The id map against the records on disk as well: the snapshot.crc written below tells the
    // next open that this check passed on these bytes, so it must have.
    auto files = persist::LiveFiles::open(
        [this](const char* name) { return storage::join_path(dir_, name); });
    if (!files) return files.error();
    if (!*why) *why = files->live_record_damage(index_);
    if (*why) {
        return storage::damaged_error("refusing to write a snapshot of " +
                                      persist::quoted_path(dir_) +
                                      " that the store could not open again: " + **why);
    }
    // No change can be applied from here to the end (mutations wait for the log lock), so the
    // snapshot written next holds every change so far; a failure below says otherwise again.
    changed_since_snapshot_ = false;
    // The order, each step forced to disk before the next, so that a power loss anywhere
    // leaves a snapshot and a log that belong together:
    //   1. the snapshot to snapshot.bin.tmp, synced (else a rename could expose a partial one);
    //   2. renamed over snapshot.bin, and the directory synced (the new snapshot is the one
    //      that opens);
    //   3. wal.crc emptied and synced: the old log's bytes are no longer vouched for, so an
    //      open after a power loss here cuts them instead of replaying them on the snapshot
    //      that already holds them;
    //   4. wal.bin emptied and synced.
    Result<void> written = persist::write_snapshot_file(persist::view_of(index_), tmp_path);
    std::optional<persist::CheckedSums> sums;
    if (written) {
        auto snapshot = storage::FileBytes::open(tmp_path);
        if (!snapshot)
            written = snapshot.error();
        else if (*snapshot) {
            const persist::CheckedBytes checked =
                files->checked_bytes((*snapshot)->bytes(), index_, index_.files.ids_file_len());
            if (checked.complete) sums = persist::sums_of(checked);
        }
    }
    index_guard->unlock();
    const storage::AckEvent replace = event();
    if (written) written = mark_snapshot(tmp_path);
    if (written) written = storage::rename_path(tmp_path, snapshot_path);
    if (written) written = storage::sync_directory(dir_);
    // Every entry of the directory is on disk now, so sync() need not force it again until
    // something new is made in it (a vacuum).
    if (written) std::erase(unsynced_dirs_, dir_);
    if (written) written = wal_.truncate_all();
    if (written) {
        ack_->clear_snapshot_mark();
        // Only a hint for the next open (snapshot_sums.h): persist has succeeded without it.
        if (sums) (void)persist::write_snapshot_sums(dir_, *sums);
        return {};
    }
    changed_since_snapshot_ = true;
    return poison_if_unflushed(written.error());
}

Store::SharedGuard Store::enter_shared_lock(CallerLock* caller) const {
    SharedGuard index_guard(index_lock_, std::try_to_lock);
    if (!index_guard.owns_lock()) {
        if (caller != nullptr) caller->release();
        index_guard.lock();
    }
    return index_guard;
}

Result<Store::SharedGuard> Store::enter_shared(Access access, CallerLock* caller) const {
    if (access == Access::Sync && read_only()) return read_only_error();
    VESKO_TRY(check_process());
    SharedGuard index_guard = enter_shared_lock(caller);
    if (broken_) return *broken_;
    if (access == Access::Sync && poisoned_.load(std::memory_order_acquire)) return poison_error_;
    if (follower_ && !follower_current(*follower_)) {
        // Catching up changes the reader's state, which every reader call shares: it is done
        // under the exclusive lock, and the call then reads under the shared one. The state
        // read then holds at least every change acknowledged before this call began.
        index_guard.unlock();
        if (caller != nullptr) caller->release();
        {
            ExclusiveGuard exclusive(index_lock_);
            if (broken_) return *broken_;
            VESKO_TRY(const_cast<Store*>(this)->catch_up());
        }
        index_guard = enter_shared_lock(caller);
        if (broken_) return *broken_;
    }
    return index_guard;
}

Result<void> Store::refresh() {
    auto index_guard = enter_shared(Access::Read);
    if (!index_guard) return index_guard.error();
    return {};
}

Result<Store::ExclusiveGuard> Store::enter_exclusive() {
    // Before anything else, structurally: a reader has no log to write to.
    if (read_only()) return read_only_error();
    VESKO_TRY(check_process());
    ExclusiveGuard index_guard(index_lock_);
    if (broken_) return *broken_;
    if (poisoned_.load(std::memory_order_acquire)) return poison_error_;
    return index_guard;
}

Error Store::poison_if_unflushed(const Error& failure) {
    if (failure.failed_sync && !poisoned_.load(std::memory_order_relaxed)) {
        poison_error_ = Error{ErrorKind::StoreBroken,
                              "the store at " + persist::quoted_path(dir_) +
                                  " could not force its files to disk, so what it wrote since "
                                  "its last successful sync may be lost; it refuses changes and "
                                  "sync until it is reopened: " +
                                  failure.message,
                              failure.os_errno};
        poisoned_.store(true, std::memory_order_release);
    }
    return failure;
}

Result<std::uint64_t> Store::count(CallerLock* caller) const {
    const auto index_guard = enter_shared(Access::Read, caller);
    if (!index_guard) return index_guard.error();
    return index_.count();
}

template <class Filter, class Search, class Read>
Result<void> Store::with_eligible(const Filter& filter, Search&& search, const Read& read,
                                  CallerLock* caller, bool long_work,
                                  HitTextsWanted texts_wanted) const {
    auto index_guard = enter_shared(Access::Read, caller);
    if (!index_guard) return index_guard.error();
    if (long_work && caller != nullptr) caller->release();
    std::optional<SearchFilter> parsed_here;
    const SearchFilter* parsed = nullptr;
    if constexpr (std::is_same_v<Filter, SearchFilter>) {
        parsed = &filter;
    } else {
        auto text_parsed = SearchFilter::parse(filter);
        if (!text_parsed) return text_parsed.error();
        parsed = &parsed_here.emplace(std::move(text_parsed).value());
    }
    spatial::Eligible eligible(index_, parsed->json());
    if (caller != nullptr) eligible.on_long_work([caller] { caller->release(); });
    const auto hits = search(eligible);
    const auto with_texts =
        texts_wanted == HitTextsWanted::Yes ? std::span(hits) : std::span(hits).first(0);
    HitTexts texts(index_.files, with_texts, [](const auto& hit) { return id_of(hit); });
    // The hits are this call's own and the texts copied out: a reader that needs nothing else
    // reads them after the lock is let go, so that a waiting writer waits only for the
    // searches, never for the readers' turns at the interpreter lock (9 threads: 5 ms each).
    if (caller != nullptr && caller->reads_gathered_texts_only() && texts.gathered())
        index_guard->unlock();
    read(std::span(hits), texts);
    return {};
}

Result<void> Store::search_radius(float lat_deg, float lon_deg, float radius_m,
                                  const std::optional<std::string>& filter_json,
                                  const DistanceHitsReader& read, CallerLock* caller,
                                  HitTextsWanted texts) const {
    return radius_search(lat_deg, lon_deg, radius_m, filter_json, read, caller, texts);
}

Result<void> Store::search_radius(float lat_deg, float lon_deg, float radius_m,
                                  const SearchFilter& filter,
                                  const DistanceHitsReader& read) const {
    return radius_search(lat_deg, lon_deg, radius_m, filter, read, nullptr, HitTextsWanted::Yes);
}

template <class Filter>
Result<void> Store::radius_search(float lat_deg, float lon_deg, float radius_m,
                                  const Filter& filter, const DistanceHitsReader& read,
                                  CallerLock* caller, HitTextsWanted texts) const {
    return with_eligible(
        filter,
        [&](const spatial::Eligible& eligible) {
            return spatial::search_radius(index_, lat_deg, lon_deg, radius_m, eligible);
        },
        read, caller, false, texts);
}

Result<void> Store::search_knn(float lat_deg, float lon_deg, std::uint32_t k,
                               const std::optional<std::string>& filter_json,
                               const DistanceHitsReader& read, CallerLock* caller,
                               HitTextsWanted texts) const {
    return knn_search(lat_deg, lon_deg, k, filter_json, read, caller, texts);
}

Result<void> Store::search_knn(float lat_deg, float lon_deg, std::uint32_t k,
                               const SearchFilter& filter, const DistanceHitsReader& read) const {
    return knn_search(lat_deg, lon_deg, k, filter, read, nullptr, HitTextsWanted::Yes);
}

template <class Filter>
Result<void> Store::knn_search(float lat_deg, float lon_deg, std::uint32_t k, const Filter& filter,
                               const DistanceHitsReader& read, CallerLock* caller,
                               HitTextsWanted texts) const {
    // Ranking walks rings of cells until k are found, with no window to judge its work by.
    return with_eligible(
        filter,
        [&](const spatial::Eligible& eligible) {
            return spatial::search_knn(index_, lat_deg, lon_deg, k, eligible);
        },
        read, caller, true, texts);
}

Result<void> Store::search_box(spatial::LatLon top_left, spatial::LatLon bottom_right,
                               const std::optional<std::string>& filter_json,
                               const HitsReader& read, CallerLock* caller,
                               HitTextsWanted texts) const {
    return with_eligible(
        filter_json,
        [&](const spatial::Eligible& eligible) {
            return spatial::search_box(index_, top_left, bottom_right, eligible);
        },
        read, caller, false, texts);
}

Result<void> Store::search_polygon(const std::vector<spatial::LatLon>& polygon,
                                   const std::optional<std::string>& filter_json,
                                   const HitsReader& read, CallerLock* caller,
                                   HitTextsWanted texts) const {
    if (polygon.size() < 3) {
        HitTexts no_texts(index_.files, std::span<const std::uint32_t>(),
                          [](std::uint32_t int_id) { return int_id; });
        read({}, no_texts);
        return {};
    }
    return with_eligible(
        filter_json,
        [&](const spatial::Eligible& eligible) {
            return spatial::search_polygon(index_, polygon, eligible);
        },
        read, caller, false, texts);
}

Result<bool> Store::exists(std::string_view filter_json) const {
    auto parsed = text::parse_json(filter_json);
    if (!parsed) return parsed.error();
    auto index_guard = enter_shared(Access::Read);
    if (!index_guard) return index_guard.error();
    return !filter::evaluate_filter(index_, *parsed).empty();
}

StoredPoint read_point(const index::CoreIndex& index, std::uint32_t int_id) {
    const auto [lat_deg, lon_deg] = index.files.coords(int_id);
    return StoredPoint{index.files.get_external_id(int_id).value_or(""), lat_deg, lon_deg,
                       index.files.get_metadata(int_id)};
}

Result<PointChunk> Store::points_after(std::optional<std::uint32_t> after, std::uint32_t limit,
                                       const std::optional<std::string>& filter_json,
                                       const HitsReader& read) const {
    auto index_guard = enter_shared(Access::Read);
    if (!index_guard) return index_guard.error();
    const auto parsed = SearchFilter::parse(filter_json);
    if (!parsed) return parsed.error();
    const spatial::Eligible eligible(index_, parsed.value().json());
    const Bitmap candidates = index_.valid_ids.next_after(after, limit);
    PointChunk chunk;
    chunk.last_int_id = candidates.empty() ? after : candidates.maximum();
    chunk.done = candidates.empty() || chunk.last_int_id == index_.valid_ids.maximum();
    std::vector<std::uint32_t> int_ids;
    eligible.narrow(candidates).for_each([&](std::uint32_t int_id) { int_ids.push_back(int_id); });
    HitTexts texts(index_.files, std::span<const std::uint32_t>(int_ids),
                   [](std::uint32_t int_id) { return int_id; });
    read(int_ids, texts);
    return chunk;
}

Result<PointChunk> Store::points_after(std::optional<std::uint32_t> after, std::uint32_t limit,
                                       const std::optional<std::string>& filter_json) const {
    std::vector<StoredPoint> points;
    auto chunk = points_after(after, limit, filter_json,
                              [&points](std::span<const std::uint32_t> int_ids, HitTexts& texts) {
                                  points.resize(int_ids.size());
                                  texts.for_each_ready_run([&](std::size_t begin, std::size_t end) {
                                      for (std::size_t i = begin; i < end; ++i) {
                                          const auto [lat_deg, lon_deg] = texts.coords(int_ids[i]);
                                          points[i] =
                                              StoredPoint{std::string(texts.ext_id(i)), lat_deg,
                                                          lon_deg, std::string(texts.metadata(i))};
                                      }
                                  });
                              });
    if (chunk) chunk->points = std::move(points);
    return chunk;
}

}  // namespace vesko::engine
