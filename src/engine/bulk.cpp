// add_many and delete_many: a batch checked whole before anything is touched, then logged and
// applied a chunk at a time under one hold of the index lock and the log lock.
//
// Reading the texts is the larger part of a batch's work and needs nothing of the store, so it
// runs beside the caller's thread: the check is split in two halves, and while the caller logs
// and applies one chunk, a second thread parses the next one and encodes its log records.
// Applying is split too: once a chunk is logged, the second thread files its strings and
// numbers while the caller commits its points (slots, ext_to_int, id sets) and files their
// grid cells; the two touch disjoint parts of the index, under the exclusive index lock the
// caller holds.
#include "common/check.h"
#include "engine/store.h"
#include "index/id_hash.h"

#include <atomic>
#include <chrono>
#include <future>
#include <iterator>
#include <mutex>

namespace vesko::engine {

static_assert(bulk_chunk_points <= index::BatchIndexes::max_places, "a chunk fits one batch");

// How often the caller's thread polls its interrupt while it waits for the second thread.
constexpr std::chrono::milliseconds helper_wait_poll{2};

namespace {

Error for_item(std::size_t item, const Error& error) {
    return Error{error.kind, "item " + std::to_string(item) + ": " + error.message, error.os_errno};
}

// Runs `work` on a thread of its own when `beside` says so and a thread can be had, otherwise
// on the caller's thread when the future is asked for its result.
template <class Work>
auto run(bool beside, Work&& work) {
    return std::async(beside ? std::launch::async | std::launch::deferred : std::launch::deferred,
                      std::forward<Work>(work));
}

// Metadata texts the quick check could not vouch for, parsed in full, by item in ascending
// order.
using KeptMetadata = std::vector<std::pair<std::size_t, text::Metadata>>;

struct BadItem {
    std::size_t item;
    Error error;
};

bool interrupted(Interrupt* interrupt) { return interrupt != nullptr && interrupt->requested(); }

Error interrupted_error(std::string what) {
    return make_error(ErrorKind::Interrupted, std::move(what));
}

// add_many stopped with the first `added` of `total` points added.
Error add_many_interrupted(std::size_t added, std::size_t total) {
    return interrupted_error("add_many interrupted: the first " + std::to_string(added) + " of " +
                             std::to_string(total) + " points were added (whole chunks of " +
                             std::to_string(bulk_chunk_points) + "), the rest were not");
}

// Checks the texts of points [begin, end) in order: the first bad one, or none. Stops early,
// with nothing to report, once `stop` is set, and with an Interrupted error when `interrupt`
// asks.
std::optional<BadItem> check_range(std::span<const NewPoint> points, std::size_t begin,
                                   std::size_t end, KeptMetadata& kept,
                                   const std::atomic<bool>& stop, Interrupt* interrupt) {
    for (std::size_t i = begin; i < end; ++i) {
        if ((i & 1023) == 0) {
            if (stop.load(std::memory_order_relaxed)) return std::nullopt;
            if (interrupted(interrupt)) {
                return BadItem{i, interrupted_error("add_many interrupted while checking its "
                                                    "points: none was added")};
            }
        }
        auto checked = text::Metadata::check(points[i].metadata);
        if (!checked) return BadItem{i, checked.error()};
        if (*checked) kept.emplace_back(i, std::move(**checked));
    }
    return std::nullopt;
}

// One chunk of a batch made ready to be logged and applied, built from the batch alone.
struct ParsedChunk {
    static constexpr std::uint32_t flat = 0xFFFFFFFFU;

    std::vector<std::string_view> ext_ids;
    // hash_id of each id, filled by the caller's thread just before the chunk is prepared
    // (it has time to spare while the second thread parses).
    std::vector<std::uint64_t> hashes;
    // Per point: flat, or its place in `general` (a text that is not flat).
    std::vector<std::uint32_t> general_at;
    std::vector<text::Metadata> general;
    // Scratch for one flat point's members.
    std::vector<text::FlatMember> members;
    // The flat points' compact texts, back to back; point k's ends at text_ends[k].
    std::string texts;
    std::vector<std::size_t> text_ends;
    // Each point's compact text, in `texts` or in its Metadata.
    std::vector<std::string_view> meta_texts;
    // The chunk's log records, one Insert per point in order.
    std::string log;
    // What the points add to the grid and the metadata indexes, by place in the chunk.
    index::BatchIndexes indexes;

    // Empties every part and keeps the memory, which the next chunk reuses.
    void clear() {
        ext_ids.clear();
        hashes.clear();
        general_at.clear();
        general.clear();
        members.clear();
        texts.clear();
        text_ends.clear();
        meta_texts.clear();
        log.clear();
        indexes.clear();
    }
};

std::span<const std::uint64_t> hashes_of(ParsedChunk& chunk) {
    chunk.hashes.clear();
    chunk.hashes.reserve(chunk.ext_ids.size());
    for (std::string_view ext_id : chunk.ext_ids) chunk.hashes.push_back(index::hash_id(ext_id));
    return chunk.hashes;
}

// Parses points [begin, end) into `out`: the first bad text, if any (then `out` is
// unspecified). Texts the check kept parsed are moved out of `kept` from `next_kept` on, which
// moves past them; others are read here. Stops with an Interrupted error (`out` unspecified)
// when `interrupt` (may be null) asks.
std::optional<BadItem> parse_chunk(std::span<const NewPoint> points, std::size_t begin,
                                   std::size_t end, KeptMetadata& kept, std::size_t& next_kept,
                                   const std::vector<std::string>* skip_index, ParsedChunk& out,
                                   Interrupt* interrupt = nullptr) {
    out.clear();
    const std::size_t n = end - begin;
    out.ext_ids.reserve(n);
    out.general_at.reserve(n);
    out.text_ends.reserve(n);
    out.meta_texts.reserve(n);
    for (std::size_t i = begin; i < end; ++i) {
        if ((i & 1023) == 0 && interrupted(interrupt)) {
            return BadItem{i, make_error(ErrorKind::Interrupted, {})};
        }
        const NewPoint& p = points[i];
        out.ext_ids.push_back(p.ext_id);
        out.members.clear();
        const bool is_kept = next_kept < kept.size() && kept[next_kept].first == i;
        if (!is_kept && text::Metadata::read_flat(p.metadata, out.members)) {
            out.general_at.push_back(ParsedChunk::flat);
            const std::span<const text::FlatMember> members = out.members;
            text::append_flat_compact(out.texts, members);
            storage::encode_flat_insert(out.log, p.ext_id, p.lat_deg, p.lon_deg, members,
                                        skip_index);
            out.indexes.add_point(p.lat_deg, p.lon_deg, members, skip_index);
        } else {
            out.general_at.push_back(static_cast<std::uint32_t>(out.general.size()));
            if (is_kept) {
                out.general.push_back(std::move(kept[next_kept++].second));
            } else {
                auto parsed = text::Metadata::parse(p.metadata);
                if (!parsed) return BadItem{i, parsed.error()};
                out.general.push_back(std::move(parsed).value());
            }
            const text::Json& object = out.general.back().object();
            storage::encode_insert(out.log, p.ext_id, p.lat_deg, p.lon_deg, object, skip_index);
            out.indexes.add_point(p.lat_deg, p.lon_deg, object, skip_index);
        }
        out.text_ends.push_back(out.texts.size());
    }
    out.indexes.finish();
    // Views taken once `texts` and `general` no longer move.
    for (std::size_t k = 0; k < n; ++k) {
        if (out.general_at[k] != ParsedChunk::flat) {
            out.meta_texts.push_back(out.general[out.general_at[k]].text());
        } else {
            const std::size_t first = k == 0 ? 0 : out.text_ends[k - 1];
            out.meta_texts.push_back(
                std::string_view(out.texts).substr(first, out.text_ends[k] - first));
        }
    }
    return std::nullopt;
}

// Every text checked, the first chunk's parsed on the way, so that the batch's work starts
// with it ready: the caller's thread parses the first chunk and checks on from it, the second
// thread checks the rest, each share sized so that both finish at about the same time (a
// parse costs about three checks). The error names the first bad item of the whole batch, as
// a check in order would; an interrupt, wherever it stopped the check, comes back as itself.
Result<KeptMetadata> check_all(std::span<const NewPoint> points,
                               const std::vector<std::string>* skip_index, ParsedChunk& first,
                               Interrupt* interrupt) {
    KeptMetadata kept;
    KeptMetadata later;
    std::atomic<bool> stop{false};
    const std::size_t n = points.size();
    const std::size_t first_end = std::min(n, bulk_chunk_points);
    const bool beside = n >= bulk_parallel_min_points;
    const std::size_t half =
        beside ? std::max(first_end, n / 2 > first_end ? n / 2 - first_end : 0) : n;
    auto second = run(beside, [&] { return check_range(points, half, n, later, stop, interrupt); });
    std::size_t no_kept = 0;
    auto first_bad = parse_chunk(points, 0, first_end, kept, no_kept, skip_index, first);
    if (!first_bad) first_bad = check_range(points, first_end, half, kept, stop, interrupt);
    // Any bad item of the caller's share comes before every item of the second.
    if (first_bad) stop.store(true, std::memory_order_relaxed);
    auto second_bad = second.get();
    for (const auto* bad : {&first_bad, &second_bad}) {
        if (*bad && (*bad)->error.kind == ErrorKind::Interrupted) return (*bad)->error;
    }
    if (first_bad) return for_item(first_bad->item, first_bad->error);
    if (second_bad) return for_item(second_bad->item, second_bad->error);
    kept.insert(kept.end(), std::make_move_iterator(later.begin()),
                std::make_move_iterator(later.end()));
    return kept;
}

// What add_many carries from chunk to chunk once it holds the locks.
struct BulkRun {
    std::span<const NewPoint> points;
    const std::vector<std::string>* skip_index;
    KeptMetadata& kept;
    std::size_t next_kept = 0;
    bool beside = false;
    index::CoreIndex& index;
    storage::WalWriter& wal;
    bool& changed_since_snapshot;
    Interrupt* interrupt;  // may be null
    // Set by the second thread when an interrupt stopped its parse of the next chunk, which is
    // then incomplete; read by the caller once that thread is done with the chunk.
    bool parse_interrupted = false;
    // The id each place of the chunk being applied got, or index::no_batch_id.
    std::vector<std::uint32_t> id_of_place = {};
};

// The second thread's share of chunk [start, end): it parses the next chunk into `upcoming`,
// then, once `logged` is kept, files this chunk's strings and numbers (which nothing else
// touches meanwhile) while the caller's thread commits its points and files their cells. A
// broken promise means the chunk was not logged: it then files nothing. An interrupt stops the
// parse (the next chunk is then never written) but never the filing of a logged chunk.
std::future<void> start_helper(BulkRun& bulk, std::size_t end, const ParsedChunk& current,
                               ParsedChunk& upcoming, std::future<void> logged) {
    return run(bulk.beside, [&bulk, end, &current, &upcoming, go = std::move(logged)]() mutable {
        if (end < bulk.points.size()) {
            const auto bad =
                parse_chunk(bulk.points, end, std::min(bulk.points.size(), end + bulk_chunk_points),
                            bulk.kept, bulk.next_kept, bulk.skip_index, upcoming, bulk.interrupt);
            bulk.parse_interrupted = bad && bad->error.kind == ErrorKind::Interrupted;
            VESKO_CHECK(!bad || bulk.parse_interrupted,
                        "metadata that passed its check failed to parse");
        }
        try {
            go.get();
        } catch (const std::future_error&) {
            return;
        }
        index::file_batch_metadata(bulk.index, current.indexes, bulk.id_of_place);
    });
}

// The caller's share of applying a logged chunk that starts at point `start`.
void commit_chunk(BulkRun& bulk, std::size_t start, const ParsedChunk& current,
                  std::span<const index::PreparedInsert> prepared) {
    for (std::size_t k = 0; k < prepared.size(); ++k) {
        if (k + 8 < prepared.size()) bulk.index.ext_to_int.prefetch(prepared[k + 8].hash);
        const index::PreparedInsert& p = prepared[k];
        if (!p.needed) continue;
        bulk.changed_since_snapshot = true;
        const NewPoint& point = bulk.points[start + k];
        index::commit_point(bulk.index, p, point.lat_deg, point.lon_deg);
    }
    index::file_batch_cells(bulk.index, current.indexes, bulk.id_of_place);
}

// Chunk [start, end), parsed in `current`: prepared, logged and applied, with the next chunk
// parsed into `upcoming` meanwhile.
Result<void> write_chunk(BulkRun& bulk, std::size_t start, std::size_t end, ParsedChunk& current,
                         ParsedChunk& upcoming) {
    // Declared before `logged`, so that leaving early breaks the promise first and then waits
    // for the thread.
    std::future<void> helper;
    std::promise<void> logged;
    helper = start_helper(bulk, end, current, upcoming, logged.get_future());
    // Everything that can fail is done before the chunk is logged: once its records are in
    // the log, its points exist.
    auto prepared =
        index::prepare_inserts(bulk.index, current.ext_ids, hashes_of(current), current.meta_texts);
    if (!prepared) return prepared.error();
    // The last moment the chunk can be left: a request made while it was prepared drops it as
    // a failed write would, and the batch stops at the chunk before.
    if (interrupted(bulk.interrupt)) {
        bulk.index.files.drop_staged();
        return add_many_interrupted(start, bulk.points.size());
    }
    // A failed write leaves the log as the previous chunk left it.
    if (auto written = bulk.wal.write_records(current.log); !written) {
        bulk.index.files.drop_staged();
        return written.error();
    }
    bulk.id_of_place.assign(end - start, index::no_batch_id);
    for (std::size_t k = 0; k < end - start; ++k) {
        if ((*prepared)[k].needed) bulk.id_of_place[k] = (*prepared)[k].int_id;
    }
    logged.set_value();
    commit_chunk(bulk, start, current, *prepared);
    // Polling while the second thread parses is what lets a request made meanwhile reach it
    // (interrupt.h: a request may be noticed on the caller's thread only).
    while (helper.wait_for(helper_wait_poll) == std::future_status::timeout) {
        (void)interrupted(bulk.interrupt);
    }
    helper.get();
    return {};
}

}  // namespace

Result<void> Store::add_many(std::span<const NewPoint> points,
                             const std::vector<std::string>* skip_index, Interrupt* interrupt) {
    // Every text is checked before anything changes, but only those the quick check cannot
    // vouch for are kept parsed; the rest are parsed a chunk at a time below, so that a batch
    // never holds the values of all its points at once.
    // The chunk being applied and the one being parsed take turns; neither is ever moved,
    // since views into their texts are handed around.
    ParsedChunk chunks[2];
    auto checked = check_all(points, skip_index, chunks[0], interrupt);
    if (!checked) return checked.error();
    auto index_guard = enter_exclusive();
    if (!index_guard) return index_guard.error();
    ChangeLock log_guard(*this);
    struct ReleaseBuffers {
        storage::DataFiles& files;
        ~ReleaseBuffers() { files.release_buffers(); }
    } release_buffers{index_.files};
    BulkRun bulk{.points = points,
                 .skip_index = skip_index,
                 .kept = *checked,
                 .beside = points.size() >= bulk_parallel_min_points,
                 .index = index_,
                 .wal = wal_,
                 .changed_since_snapshot = changed_since_snapshot_,
                 .interrupt = interrupt};
    for (std::size_t start = 0, turn = 0; start < points.size();
         start += bulk_chunk_points, turn ^= 1) {
        // Between chunks every change of the batch so far is logged and applied, which is the
        // state a failed write leaves too.
        if (bulk.parse_interrupted || interrupted(interrupt)) {
            return add_many_interrupted(start, points.size());
        }
        const std::size_t end = std::min(points.size(), start + bulk_chunk_points);
        VESKO_TRY(write_chunk(bulk, start, end, chunks[turn], chunks[turn ^ 1]));
    }
    return {};
}

Result<std::uint64_t> Store::delete_many(std::span<const std::string> ext_ids,
                                         Interrupt* interrupt) {
    auto index_guard = enter_exclusive();
    if (!index_guard) return index_guard.error();
    ChangeLock log_guard(*this);
    std::uint64_t deleted = 0;
    for (std::size_t start = 0; start < ext_ids.size(); start += bulk_chunk_points) {
        if (interrupted(interrupt)) {
            return interrupted_error("delete_many interrupted: the first " + std::to_string(start) +
                                     " of " + std::to_string(ext_ids.size()) +
                                     " ids were deleted (" + std::to_string(deleted) +
                                     " live points, whole chunks of " +
                                     std::to_string(bulk_chunk_points) + "), the rest were not");
        }
        const auto chunk =
            ext_ids.subspan(start, std::min(bulk_chunk_points, ext_ids.size() - start));
        for (const std::string& ext_id : chunk) storage::encode_delete(wal_.staging(), ext_id);
        VESKO_TRY(wal_.flush());
        for (const std::string& ext_id : chunk) {
            if (index::delete_in_mem(index_, ext_id)) {
                changed_since_snapshot_ = true;
                ++deleted;
            }
        }
    }
    return deleted;
}

}  // namespace vesko::engine
