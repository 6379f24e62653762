// CoreIndex: the whole state of one open store, the in-memory indexes beside the data files.
// Guarded by the index lock of Store: readers share it, every change holds it exclusively.
#pragma once

#include "common/bitmap.h"
#include "index/batch_indexes.h"
#include "index/grid.h"
#include "index/id_map.h"
#include "index/numeric_bsi.h"
#include "index/value_ids.h"
#include "storage/data_files.h"
#include "text/json_text.h"
#include "text/metadata.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vesko::index {

// Lets maps keyed by std::string be searched with a string_view, without a temporary string.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

// The entry of `key`, created empty when missing: the one way a field or a value enters the
// string and numeric indexes, so that entries are created in the same order (which a snapshot
// records) however the points come in.
template <class V>
V& find_or_create(StringMap<V>& map, std::string_view key) {
    auto it = map.find(key);
    if (it == map.end()) it = map.emplace(std::string(key), V()).first;
    return it->second;
}

// field name -> value text ("true"/"false" for booleans) -> ids
using StrIndex = StringMap<StringMap<ValueIds>>;
using NumIndex = StringMap<NumericBsiIndex>;

// The indexes a snapshot records. The live index is one (CoreIndex derives from it), a snapshot
// decodes into one and a vacuum builds one, so installing either is a single move and a new
// index is declared once.
struct PersistedIndexes {
    // May still hold ids of deleted points (deletion is lazy); readers intersect with valid_ids.
    StrIndex str_index;
    // One entry per field that ever received a number; deletion clears the id from every entry.
    NumIndex num_index;
    // May still hold ids of deleted points, like str_index.
    GridIndex grid_index;
    // Live ids.
    Bitmap valid_ids;
    // Ids deleted since the last compaction. An id is never handed out again while it is in
    // valid_ids or deleted; only compaction empties this set, renumbering the live points.
    Bitmap deleted;
    // hash_id(external id) -> internal id, for live points only.
    IdMap ext_to_int;
};

struct CoreIndex : PersistedIndexes {
    explicit CoreIndex(storage::DataFiles data) : files(std::move(data)) {}

    storage::DataFiles files;
    // Ids whose stored coordinates lie outside [-90, 90] x [-180, 180] or are NaN. The grid's
    // geometry says nothing about where such points are, so the distance searches examine
    // them on their own. Derived from coords.bin (never persisted); may hold deleted ids.
    Bitmap irregular_ids;

    std::uint64_t count() const { return valid_ids.cardinality(); }
};

// True for coordinates on the sphere's usual chart: latitude in [-90, 90], longitude in
// [-180, 180], neither NaN.
inline bool regular_position(float lat_deg, float lon_deg) {
    return lat_deg >= -90.0f && lat_deg <= 90.0f && lon_deg >= -180.0f && lon_deg <= 180.0f;
}

// Files a point's metadata members in the string and numeric indexes (but those named in
// `skip_index`), as an insertion does.
void index_fields(PersistedIndexes& index, const text::Json& meta,
                  const std::vector<std::string>* skip_index, std::uint32_t int_id);

// Recomputes irregular_ids from the stored coordinates of the live ids.
void rebuild_irregular_ids(CoreIndex& index);

// The internal id the next insertion gets: one more than the largest id in valid_ids or
// deleted, 0 for an empty store.
std::uint32_t next_internal_id(const CoreIndex& index);

// An insertion whose every fallible step is done: the slot exists and the id and metadata
// records are in their files, but nothing points at them and no index knows the point yet.
struct PreparedInsert {
    std::uint64_t hash = 0;
    bool needed = false;  // false when the id is live already: applying changes nothing
    std::uint32_t int_id = 0;
    storage::StagedRecord id_record;
    storage::StagedRecord meta_record;
};

// The fallible half of an insertion, to run before its change is logged: grows the slot files
// for the next id and stages the id and metadata records. On error nothing visible changed
// (DataFiles::drop_staged undoes the staging). Caller holds the index lock exclusively and
// applies the result (or drops it) before preparing another insertion.
// With `replacing` (an upsert), a new slot is prepared even when the id is live: applying
// deletes the live point first.
Result<PreparedInsert> prepare_insert(CoreIndex& index, std::string_view ext_id,
                                      std::string_view meta_text,
                                      storage::AppendMode mode = storage::AppendMode::Always,
                                      bool replacing = false);

// The fallible half of a batch of insertions (add_many), with one write per data file: entry i
// comes out as prepare_insert would give it once the entries before it were applied, so an id
// that is live, or appears earlier in the batch, is not needed, and the needed ones take
// consecutive internal ids. Applying them (commit_point for each needed one, in order, then
// file_batch) gives what that many
// prepare-and-apply pairs give. On error nothing visible changed. Caller holds the index lock
// exclusively and applies the whole result before preparing again.
// hashes[i] is hash_id(ext_ids[i]).
Result<std::vector<PreparedInsert>> prepare_inserts(CoreIndex& index,
                                                    std::span<const std::string_view> ext_ids,
                                                    std::span<const std::uint64_t> hashes,
                                                    std::span<const std::string_view> meta_texts);

// The half that cannot fail: points the slots at the staged records, writes the coordinates
// and updates every index. The text staged must be meta.text().
void apply_insert(CoreIndex& index, const PreparedInsert& prepared, const text::Metadata& meta,
                  const std::vector<std::string>* skip_index, float lat_deg, float lon_deg);

// The part of apply_insert that concerns the point alone: slots, coordinates, ext_to_int and
// the id sets, not the grid or the metadata's indexes (file_batch does those for a batch).
// `prepared` must be needed.
void commit_point(CoreIndex& index, const PreparedInsert& prepared, float lat_deg, float lon_deg);

// Marks a place of a batch whose point is not inserted (its id was live, or came earlier).
inline constexpr std::uint32_t no_batch_id = 0xFFFFFFFFU;

// Files a batch's grid cells, or its strings and numbers, for the points that were inserted
// (place p got id_of_place[p], ascending with p, or no_batch_id), leaving the indexes as
// filing them one point at a time in order would, down to the order in which new grid blocks,
// fields and values are created (which a snapshot records). Caller holds the index lock
// exclusively; the two touch disjoint indexes (grid_index; str_index and num_index), and
// nothing else, so they may run at the same time on two threads.
void file_batch_cells(CoreIndex& index, const BatchIndexes& batch,
                      std::span<const std::uint32_t> id_of_place);
void file_batch_metadata(CoreIndex& index, const BatchIndexes& batch,
                         std::span<const std::uint32_t> id_of_place);

// Applies a replacement prepared with `replacing`: the id's live point, if any, is deleted and
// the new one inserted in the same exclusive section, so no reader sees the id missing.
// Returns whether a live point was replaced.
bool apply_upsert(CoreIndex& index, std::string_view ext_id, const PreparedInsert& prepared,
                  const text::Metadata& meta, const std::vector<std::string>* skip_index,
                  float lat_deg, float lon_deg);

// Applies one deletion; an unknown or already deleted id changes nothing. Only ext_to_int,
// valid_ids, deleted and the numeric indexes change. Returns whether a live point was deleted.
// Caller holds the index lock exclusively.
bool delete_in_mem(CoreIndex& index, std::string_view ext_id);

}  // namespace vesko::index
