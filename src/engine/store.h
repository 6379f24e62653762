// Store: one open store directory, the engine's whole public surface and the top of its
// dependency graph (storage/, filter/ and spatial/ never include it). It owns the index state
// behind the index lock and the log writer behind the log lock, and takes each lock for the
// extent of one operation. It holds the directory's exclusive lock for its whole life, so one
// store directory has one Store at a time, across processes.
//
// A reader Store (open_reader) takes no directory lock and has no log writer: it never creates,
// writes, renames or locks exclusively anything in the directory, and every change, sync,
// persist or vacuum is refused (ErrorKind::ReadOnly) before anything else. It follows the
// writer through wal.ack (storage/log_ack.h): every call first compares the shared generation
// and acknowledged log length with what it applied, and catches up when they moved, so each
// call sees every change whose call returned in the writer before this call began.
//
// Every public method starts with enter_exclusive or enter_shared: the process checked before
// any lock, then `broken_` (a closed store is a broken one) and, for a change or a sync, the
// poisoned state that a failed flush to disk leaves, once the index lock is held.
#pragma once

#include "common/interrupt.h"
#include "common/result.h"
#include "engine/hit_texts.h"
#include "index/core_index.h"
#include "spatial/search.h"
#include "storage/log_ack.h"
#include "storage/wal.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::engine {

// One live point as the store holds it: the f32 coordinates and the compact metadata text.
struct StoredPoint {
    std::string ext_id;
    float lat_deg;
    float lon_deg;
    std::string metadata;
};

// A stretch of the live points in ascending internal id, and where the next stretch starts.
// The point in slot int_id, read as the searches read their hits: an id record that cannot be
// read back gives the id "", metadata that cannot gives "{}". Caller holds the index lock.
StoredPoint read_point(const index::CoreIndex& index, std::uint32_t int_id);

struct PointChunk {
    std::vector<StoredPoint> points;
    std::optional<std::uint32_t> last_int_id;  // the largest id examined; empty when none was
    bool done = false;                         // no live point follows last_int_id
};

// A lock of the caller's own, such as an interpreter lock, held when it calls a search or
// count and waited for by the caller's other threads. The store lets go of it, by release(),
// before it could wait for a lock of its own, and before work long enough to be worth running
// beside those threads (a search with a filter to evaluate over the store, many candidates to
// examine, or nearest neighbours to rank). A quick answer keeps it throughout, which spares
// the two hand-overs between threads that letting go and taking back cost. release() may be
// called more than once; whoever reads the answer takes the lock back as it needs.
class CallerLock {
  public:
    virtual void release() = 0;
    // True when the search's reader reads nothing but the hits and their gathered texts: the
    // index lock may then be let go before the reader runs (it waits for the interpreter lock,
    // and a writer waiting for the index must not wait for every reader's turn at that).
    virtual bool reads_gathered_texts_only() const { return false; }

  protected:
    ~CallerLock() = default;
};

// Whether a search's reader gets its hits' texts, or only the hits (a count): without them
// the reader's HitTexts holds no hit and reading the records is skipped.
enum class HitTextsWanted { Yes, No };

// A search's filter parsed once, for the many searches of a batch query.
class SearchFilter {
  public:
    // Nothing to parse without a filter; a filter that is not JSON is an InvalidJson error.
    static Result<SearchFilter> parse(const std::optional<std::string>& filter_json);
    // Null without a filter.
    const text::Json* json() const { return json_ ? &*json_ : nullptr; }

  private:
    std::optional<text::Json> json_;
};

// One point handed to add_many; the views must outlive the call.
struct NewPoint {
    std::string_view ext_id;
    float lat_deg = 0.0f;
    float lon_deg = 0.0f;
    std::string_view metadata;
};

// add_many and delete_many log and apply their batch this many points at a time: a chunk's log
// records reach the file in one write before any of its changes is applied.
inline constexpr std::size_t bulk_chunk_points = 65536;
// From this many points on, add_many checks and parses its texts, and files its strings and
// numbers, on a second thread beside the caller's.
inline constexpr std::size_t bulk_parallel_min_points = 4096;

// What a reader applied of its writer's store, and how it notices that there is more. Read
// under the reader's index lock shared, changed under it exclusive.
struct Follower {
    std::string dir;
    // wal.ack, once the directory has a valid one; without it the files are watched instead.
    std::optional<storage::LogAck> ack;
    // The generation and acknowledged log length the state holds.
    storage::AckState applied;
    // wal.bin as the last reload found it, for reading the records appended since.
    storage::FileDescriptor log;
    // Without wal.ack: the files whose change means a reload (wal.ack, snapshot.bin, wal.bin,
    // coords.bin), as the last reload found them.
    std::array<std::optional<storage::FileVersion>, 4> watched;
};
// True when nothing the reader needs changed since it caught up: two loads from wal.ack, or,
// without one, a look at each watched file.
bool follower_current(const Follower& follower);

class Store {
  public:
    // Creates the directory when missing, takes its lock before reading or writing anything
    // in it (waiting up to lock_timeout_s seconds while it is held elsewhere), creates missing
    // files, replays the log, opens it for appending. Failures come back as errors: a
    // directory locked elsewhere as an Os error with errno EWOULDBLOCK whose message names it
    // (and the wait); a damaged snapshot or log (recovery.h) as a Damaged error, and then no
    // file of the store has been changed; a file the process may not open for writing as the
    // Os error of opening it, naming it.
    static Result<std::unique_ptr<Store>> open(const std::string& dir, double lock_timeout_s = 0);

    // Opens an existing store whose snapshot or log is damaged, after moving the damaged parts
    // aside where nothing overwrites them: the log from its first damaged record on as
    // wal.bin.damaged (".damaged.1", ... when taken); the snapshot's points whose records are
    // lost to salvage-lost.jsonl, the snapshot written again without them; a snapshot that
    // cannot be kept rebuilt from the data files with `rebuild`, else moved aside as
    // snapshot.bin.damaged (persist::salvage_snapshot). The log's records before the damage
    // are replayed on top. A sound store just opens. The directory's lock is taken first.
    static Result<std::unique_ptr<Store>> salvage(const std::string& dir, bool rebuild = false);

    // Opens an existing store for reading, changing nothing in its directory: a path that is
    // not a directory, or a directory without the store's files, is an Os error ENOENT naming
    // it; damage is refused as open refuses it. The state read is the store as a writer's open
    // would find it (a committed vacuum read from its compacted files, a torn tail left out).
    static Result<std::unique_ptr<Store>> open_reader(const std::string& dir);
    bool read_only() const { return follower_ != nullptr; }
    // The error every change, sync, persist and vacuum returns on a reader; nothing on a writer.
    Result<void> check_writable() const;
    // That refusal, which a read-only handle on a writer's Store returns as well.
    Error read_only_error() const;
    // Catches a reader up with its writer now (what every reader call does first); nothing for
    // a writer. A failed catch-up keeps the state it had, returns the error, and is tried
    // again by the next call.
    Result<void> refresh();

    // Releases the directory's lock, the mappings and the files; every later call returns a
    // Closed error. Waits for calls running in other threads to finish, and frees nothing
    // they could still use (the Store itself stays). Closing again does nothing. In a process
    // forked from the opening one it only closes this process's copy of the lock's
    // descriptor, leaving the parent's lock and files alone.
    void close();
    // The error every call would return now (closed, broken, or another process), if any.
    Result<void> check_open() const;

    // Adds a point; a live id is left as it is (the record is logged all the same).
    Result<void> add(std::string_view ext_id, float lat_deg, float lon_deg,
                     std::string_view metadata, const std::vector<std::string>* skip_index);
    // Replaces the live point of ext_id (position, metadata, indexes) or adds it, through one
    // log record, so that a store reopened after a crash holds the old version or the new one.
    // The new version takes the next internal id, as a delete followed by an add would, and
    // so comes after every point added before it in the id-ordered results (boxes, polygons,
    // points_after). Returns whether a live point was replaced.
    Result<bool> upsert(std::string_view ext_id, float lat_deg, float lon_deg,
                        std::string_view metadata, const std::vector<std::string>* skip_index);
    // Deletes the point if it is live; the record is logged either way.
    Result<void> remove(std::string_view ext_id);

    // Adds many points with the outcome of that many add calls in this order: an id that is
    // live, or given earlier in the batch, is left as it is (its record is logged all the
    // same). Every metadata text is checked first: the first bad one comes back as its error
    // with "item N: " in front, and nothing is logged or added. Then, holding both locks for
    // the whole batch, a chunk of bulk_chunk_points at a time: the chunk is prepared (records
    // staged, slots made), its log records written in one write, and its points applied. A
    // failure comes back as its error with the chunks before the failing one added and
    // logged, and nothing of the failing chunk or after it, in memory, log or data files.
    // From bulk_parallel_min_points points on, a thread started for the call shares the work
    // (bulk.cpp); the outcome is the same, to the byte. `interrupt` (may be null) is polled
    // while checking and before each chunk: when it asks, the call returns an Interrupted
    // error saying how many points were added, as a failure between chunks would leave them.
    Result<void> add_many(std::span<const NewPoint> points,
                          const std::vector<std::string>* skip_index,
                          Interrupt* interrupt = nullptr);
    // Deletes many points, logged and applied a chunk at a time as add_many; returns how many
    // live points it deleted (an id given twice counts once). A failed log write comes back as
    // its error with the chunks before the failing one deleted and logged, and nothing after;
    // so does an interrupt, polled before each chunk, as an Interrupted error.
    Result<std::uint64_t> delete_many(std::span<const std::string> ext_ids,
                                      Interrupt* interrupt = nullptr);
    // Deletes every live point the filter matches; returns how many.
    Result<std::uint64_t> delete_by_filter(std::string_view filter_json);
    Result<std::uint64_t> count(CallerLock* caller = nullptr) const;
    Result<bool> exists(std::string_view filter_json) const;

    // The live point of ext_id, or nothing.
    Result<std::optional<StoredPoint>> get(std::string_view ext_id) const;
    Result<bool> contains(std::string_view ext_id) const;
    // What get would give for each id, in the order of ext_ids, read under one hold of the
    // index lock shared.
    Result<std::vector<std::optional<StoredPoint>>> get_many(
        std::span<const std::string_view> ext_ids) const;
    // Up to `limit` live points with internal ids after `after` (from the first when empty),
    // in ascending internal id, narrowed by the filter when one is given (a filter that is not
    // JSON is a InvalidJson error). Each call holds the index lock shared for itself only, so
    // a caller walking the store chunk by chunk sees each point as it was when its chunk was
    // read. A chunk can hold fewer points than `limit` (none, when the filter matched none of
    // the ids it examined) without being the last.
    Result<PointChunk> points_after(std::optional<std::uint32_t> after, std::uint32_t limit,
                                    const std::optional<std::string>& filter_json) const;
    // The same stretch handed to `read` as a search's hits, with the index lock held shared
    // (the reader's texts and coordinates are the points'); the chunk comes back without
    // points.
    Result<PointChunk> points_after(std::optional<std::uint32_t> after, std::uint32_t limit,
                                    const std::optional<std::string>& filter_json,
                                    const HitsReader& read) const;

    // The searches parse their filter (when given) after taking the index lock; a filter
    // that is not JSON comes back as a InvalidJson error and the reader is not called.
    // Otherwise the reader gets the answer while the index lock is still held shared: it must
    // not wait for anything a writer of this store may hold (a caller that waits for a lock
    // of its own there must never wait for this store's locks while holding it).
    // With a caller lock, as CallerLock says; the texts as HitTextsWanted says.
    Result<void> search_radius(float lat_deg, float lon_deg, float radius_m,
                               const std::optional<std::string>& filter_json,
                               const DistanceHitsReader& read, CallerLock* caller = nullptr,
                               HitTextsWanted texts = HitTextsWanted::Yes) const;
    Result<void> search_knn(float lat_deg, float lon_deg, std::uint32_t k,
                            const std::optional<std::string>& filter_json,
                            const DistanceHitsReader& read, CallerLock* caller = nullptr,
                            HitTextsWanted texts = HitTextsWanted::Yes) const;
    // The same two searches with a filter the caller parsed once for many of them.
    Result<void> search_radius(float lat_deg, float lon_deg, float radius_m,
                               const SearchFilter& filter, const DistanceHitsReader& read) const;
    Result<void> search_knn(float lat_deg, float lon_deg, std::uint32_t k,
                            const SearchFilter& filter, const DistanceHitsReader& read) const;
    Result<void> search_box(spatial::LatLon top_left, spatial::LatLon bottom_right,
                            const std::optional<std::string>& filter_json, const HitsReader& read,
                            CallerLock* caller = nullptr,
                            HitTextsWanted texts = HitTextsWanted::Yes) const;
    // Fewer than three vertices give no hits, without parsing the filter or taking the lock.
    Result<void> search_polygon(const std::vector<spatial::LatLon>& polygon,
                                const std::optional<std::string>& filter_json,
                                const HitsReader& read, CallerLock* caller = nullptr,
                                HitTextsWanted texts = HitTextsWanted::Yes) const;

    // Makes every change so far survive a power loss without writing a snapshot: forces the
    // log to disk and, the first time after an open, the directory entries that hold it (the
    // log and a store directory this open created). Opening replays the log on top of the
    // last snapshot, rebuilding every record of ids.bin, meta.bin and the slot files that the
    // snapshot does not refer to, so nothing else needs forcing.
    Result<void> sync();

    // Makes the store durable in one step: forces the data files to disk, writes snapshot.bin
    // through a temporary file that is forced to disk and renamed over it, forces the directory,
    // then empties the log. A failure leaves the previous snapshot and the log in place.
    // When no change was applied since snapshot.bin was written or loaded, it writes nothing
    // and only empties a log that holds records which changed nothing (an add of a live id,
    // a delete of an absent one).
    Result<void> persist();

    // Rewrites the data files to hold only the live points, renumbered densely in their old
    // order, rebuilds every index for the new numbering and persists the result; crash-safe
    // through one commit point (vacuum.h). After a failure past that point the object
    // reopens itself from the directory, or refuses every later call when it cannot.
    // `interrupt` (may be null) is polled only before the commit point: when it asks, the
    // call returns an Interrupted error and the store is as before; past it, vacuum finishes.
    Result<void> vacuum(Interrupt* interrupt = nullptr);

    const std::string& dir() const { return dir_; }

  private:
    // What opening a directory yields.
    struct Parts {
        index::CoreIndex index;
        storage::WalWriter wal;
        // snapshot.bin holds exactly this state: it was loaded and no log record replayed.
        bool snapshot_current = false;
    };

    Store(std::string dir, storage::DirectoryLock lock, Parts parts,
          std::unique_ptr<storage::LogAck> ack);
    // A reader, with its state already loaded.
    Store(std::string dir, index::CoreIndex index, std::unique_ptr<Follower> follower);

    // The log lock held for one change. Releasing it acknowledges the log's length to readers,
    // after the change's records were written and the change applied (its slots committed),
    // so that a reader that applies the records finds their data where the writer put it.
    class ChangeLock {
      public:
        explicit ChangeLock(Store& store) : store_(store), lock_(store.log_lock_) {}
        ~ChangeLock() { store_.ack_->acknowledge(store_.wal_.length()); }
        ChangeLock(const ChangeLock&) = delete;
        ChangeLock& operator=(const ChangeLock&) = delete;

      private:
        Store& store_;
        std::unique_lock<std::shared_mutex> lock_;
    };
    // The writer's event around work that replaces or cuts the store's files (log_ack.h); the
    // log's length is published when it ends.
    storage::AckEvent event();
    // Persist's mark in wal.ack that the snapshot written to `tmp_path` holds the whole log.
    Result<void> mark_snapshot(const std::string& tmp_path);
    // The reader's catch-up (follow.cpp); caller holds the index lock exclusively.
    Result<void> catch_up();
    // A reader's whole state read afresh from the directory.
    static Result<std::pair<index::CoreIndex, std::unique_ptr<Follower>>> load_reader(
        const std::string& dir);

    using ExclusiveGuard = std::unique_lock<storage::SharedMutex>;
    using SharedGuard = std::shared_lock<storage::SharedMutex>;
    // What a method entered through enter_shared does: reads, or forces changes to disk.
    enum class Access { Read, Sync };
    // The opening of every method that changes the store: the process checked, the index lock
    // taken exclusively, and the store neither closed, broken nor poisoned.
    Result<ExclusiveGuard> enter_exclusive();
    // The opening of the readers and of sync: the index lock taken shared (letting the
    // caller's lock go first if it must be waited for), the store neither closed nor broken,
    // and for Access::Sync not poisoned.
    Result<SharedGuard> enter_shared(Access access, CallerLock* caller = nullptr) const;
    // Returns `failure`, first poisoning the object when it is a failed flush to disk
    // (Error::failed_sync: a failed fdatasync may already have dropped the pages it could not
    // write, so no later flush can vouch for them): every later change and sync then returns
    // an error saying the store must be reopened, which replays from what is on disk; reads go
    // on. Caller holds the log lock or the index lock exclusively.
    Error poison_if_unflushed(const Error& failure);

    // An OtherProcess error when called in a child forked after the open: the child's copies
    // of the locks may be held by threads that do not exist there, and its writes would
    // interleave with the parent's in the same files.
    Result<void> check_process() const;

    // The directory's lock, waited for up to timeout_s seconds, or an error naming the
    // directory (and how long it waited) when it is held elsewhere.
    static Result<storage::DirectoryLock> lock_directory(const std::string& dir,
                                                         double timeout_s = 0);
    // Opens the store in `dir`, whose lock the caller took.
    // `ack` moves into the Store when it opens.
    static Result<std::unique_ptr<Store>> open_locked(const std::string& dir,
                                                      storage::DirectoryLock lock,
                                                      std::unique_ptr<storage::LogAck>& ack);
    // Everything an open store needs, read from its directory. Caller holds its lock. On
    // failure the files it created are removed again.
    // Readers are told of the files it changes through `ack`'s event, when given (a caller
    // without one holds an event of its own).
    static Result<Parts> open_parts(const std::string& dir, storage::LogAck* ack);
    // open_parts, leaving what it created on failure.
    static Result<Parts> open_existing_parts(const std::string& dir, storage::LogAck* ack);
    // Salvage's moves of the damaged parts (`rebuild` as for salvage). Caller holds the directory's
    // lock.
    static Result<void> set_damage_aside(const std::string& dir, bool rebuild);
    // Caller holds the index lock exclusively. Returns `failure` for the caller to report.
    Error recover_after_failed_vacuum(const Error& failure);
    // Writes snapshot.crc for the snapshot and data files a vacuum just installed, when the id
    // map's check passes on them (persist/snapshot_sums.h). Caller holds the index lock.
    void record_snapshot_sums() const;

    // add (replacing false) and upsert (true): logs and applies one point; returns whether a
    // live point was replaced.
    Result<bool> write_point(std::string_view ext_id, float lat_deg, float lon_deg,
                             std::string_view metadata, const std::vector<std::string>* skip_index,
                             bool replacing);
    // Runs search(eligible) under the shared index lock, after parsing the filter if given,
    // and hands its hits to read before the lock is released. The caller's lock (may be
    // null) is let go before waiting for the index lock, up front when `long_work`, else
    // when the search's window proves large.
    // `Filter` is the filter's text (std::optional<std::string>, parsed here) or a
    // SearchFilter.
    template <class Filter, class Search, class Read>
    Result<void> with_eligible(const Filter& filter, Search&& search, const Read& read,
                               CallerLock* caller, bool long_work, HitTextsWanted texts) const;
    template <class Filter>
    Result<void> radius_search(float lat_deg, float lon_deg, float radius_m, const Filter& filter,
                               const DistanceHitsReader& read, CallerLock* caller,
                               HitTextsWanted texts) const;
    template <class Filter>
    Result<void> knn_search(float lat_deg, float lon_deg, std::uint32_t k, const Filter& filter,
                            const DistanceHitsReader& read, CallerLock* caller,
                            HitTextsWanted texts) const;
    // The index lock taken shared, with the caller's lock let go first if it must be waited for.
    SharedGuard enter_shared_lock(CallerLock* caller) const;

    std::string dir_;
    // The process (by fork generation) that opened the store; only it may use it.
    std::uint64_t process_generation_;
    // Held from open to close; guarded by index_lock_ (close takes it exclusively).
    storage::DirectoryLock dir_lock_;
    // Lock order: index_lock_ before log_lock_, released in reverse. Readers hold index_lock_
    // shared; every mutation holds both exclusively, from encoding its log record until its
    // change is applied, so the log's order is the order of the changes. index_lock_ lets no
    // reader in while a writer waits, so no thread may ask for it while it holds it (a
    // second shared hold would wait for the writer, which waits for the first), nor wait
    // for its caller's lock while holding it when a thread holding that lock may ask for it.
    mutable storage::SharedMutex index_lock_;
    index::CoreIndex index_;  // guarded by index_lock_
    // Set when a failed vacuum or log write left the object unable to follow its directory, or
    // by close(); every call then returns it. Guarded by index_lock_.
    std::optional<Error> broken_;
    // Set once, by poison_if_unflushed(), and never cleared: `poisoned_` is stored
    // (release) after `poison_error_` is written, and read (acquire) before it is.
    std::atomic<bool> poisoned_{false};
    Error poison_error_{ErrorKind::StoreBroken, {}, 0};
    std::shared_mutex log_lock_;
    storage::WalWriter wal_;  // guarded by log_lock_
    // False exactly while snapshot.bin holds the state index_ holds: set by every applied
    // change (a record that changes nothing leaves it alone), by a vacuum and by an open that
    // replayed records; cleared when persist captures the state it writes, and set again if
    // that persist fails. Guarded by log_lock_ (every mutation holds it while it applies).
    bool changed_since_snapshot_ = true;
    // Directories whose entries a power loss could still undo and that replay needs: the
    // store directory (it holds wal.bin, which an open or a vacuum may have just created) and
    // the parent of each directory the open created. sync() forces them once and empties
    // this; persist, which forces the store directory itself, takes that one out. Guarded by
    // log_lock_.
    std::vector<std::string> unsynced_dirs_;
    // The writer's wal.ack (a placeholder without a file for a reader). On the heap, so that an
    // event begun before the Store exists keeps its address.
    std::unique_ptr<storage::LogAck> ack_;
    // A reader's view of its writer; null for a writer. Guarded by index_lock_ (its fast check
    // runs under the shared lock, catching up under the exclusive one).
    std::unique_ptr<Follower> follower_;
};

}  // namespace vesko::engine
