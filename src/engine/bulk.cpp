// add_many and delete_many: a batch checked whole before anything is touched, then logged and
// applied a chunk at a time under one hold of the index lock and the log lock.
#include "common/check.h"
#include "engine/store.h"

#include <mutex>

namespace vesko::engine {

using namespace storage;

namespace {

Error for_item(std::size_t item, const Error& error) {
    return Error{error.kind, "item " + std::to_string(item) + ": " + error.message, error.os_errno};
}

}  // namespace

Result<void> Store::add_many(std::span<const NewPoint> points,
                             const std::vector<std::string>* skip_index) {
    // Every text is checked before anything changes, but only those the quick check cannot
    // vouch for are kept parsed; the rest are parsed a chunk at a time below, so that a batch
    // never holds the values of all its points at once.
    std::vector<std::pair<std::size_t, Metadata>> kept;
    for (std::size_t i = 0; i < points.size(); ++i) {
        auto checked = Metadata::check(points[i].metadata);
        if (!checked) return for_item(i, checked.error());
        if (*checked) kept.emplace_back(i, std::move(**checked));
    }
    std::size_t next_kept = 0;
    std::vector<Metadata> metas;
    VESKO_TRY(check_process());
    std::unique_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::unique_lock log_guard(log_lock_);
    std::vector<std::string_view> ext_ids;
    std::vector<std::string_view> meta_texts;
    DeferredIndexes deferred;
    for (std::size_t start = 0; start < points.size(); start += bulk_chunk_points) {
        const std::size_t end = std::min(points.size(), start + bulk_chunk_points);
        ext_ids.clear();
        meta_texts.clear();
        metas.clear();
        for (std::size_t i = start; i < end; ++i) {
            if (next_kept < kept.size() && kept[next_kept].first == i) {
                metas.push_back(std::move(kept[next_kept++].second));
            } else {
                auto parsed = Metadata::parse(points[i].metadata);
                VESKO_CHECK(static_cast<bool>(parsed),
                            "metadata that passed its check failed to parse");
                metas.push_back(std::move(parsed).value());
            }
            ext_ids.push_back(points[i].ext_id);
        }
        // Views taken once metas no longer moves.
        for (const Metadata& meta : metas) meta_texts.push_back(meta.text());
        // Everything that can fail is done before the chunk is logged: once its records are
        // in the log, its points exist.
        auto prepared = prepare_inserts(index_, ext_ids, meta_texts);
        if (!prepared) return prepared.error();
        // Room for the chunk's records at once (each is its id and metadata plus a few dozen
        // bytes of lengths and tags), rather than regrowing the buffer as they are encoded.
        std::size_t record_bytes = 0;
        for (std::size_t i = start; i < end; ++i)
            record_bytes += 64 + points[i].ext_id.size() + metas[i - start].text().size();
        wal_.staging().reserve(wal_.staging().size() + record_bytes);
        for (std::size_t i = start; i < end; ++i) {
            encode_insert(wal_.staging(), points[i].ext_id, points[i].lat_deg, points[i].lon_deg,
                          metas[i - start].object(), skip_index);
        }
        // A failed write leaves the log as the previous chunk left it.
        if (auto flushed = wal_.flush(); !flushed) {
            index_.files.drop_staged();
            return flushed.error();
        }
        for (std::size_t i = start; i < end; ++i) {
            const PreparedInsert& p = (*prepared)[i - start];
            if (p.needed) changed_since_snapshot_ = true;
            apply_insert(index_, p, metas[i - start], skip_index, points[i].lat_deg,
                         points[i].lon_deg, &deferred);
        }
        file_deferred(index_, deferred);
    }
    return {};
}

Result<std::uint64_t> Store::delete_many(std::span<const std::string> ext_ids) {
    VESKO_TRY(check_process());
    std::unique_lock index_guard(index_lock_);
    if (broken_) return *broken_;
    std::unique_lock log_guard(log_lock_);
    std::uint64_t deleted = 0;
    for (std::size_t start = 0; start < ext_ids.size(); start += bulk_chunk_points) {
        const auto chunk =
            ext_ids.subspan(start, std::min(bulk_chunk_points, ext_ids.size() - start));
        for (const std::string& ext_id : chunk) encode_delete(wal_.staging(), ext_id);
        VESKO_TRY(wal_.flush());
        for (const std::string& ext_id : chunk) {
            if (delete_in_mem(index_, ext_id)) {
                changed_since_snapshot_ = true;
                ++deleted;
            }
        }
    }
    return deleted;
}

}  // namespace vesko::engine
