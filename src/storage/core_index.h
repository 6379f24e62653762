// CoreIndex: the whole state of one open store, the in-memory indexes beside the data files.
// Guarded by the index lock of Store: readers share it, every change holds it exclusively.
#pragma once

#include "common/bitmap.h"
#include "filter/json_text.h"
#include "filter/numeric_bsi.h"
#include "spatial/grid.h"
#include "storage/data_files.h"
#include "storage/id_map.h"
#include "storage/metadata.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vesko::storage {

// Lets maps keyed by std::string be searched with a string_view, without a temporary string.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

// field name -> value text ("true"/"false" for booleans) -> ids
using StrIndex = StringMap<StringMap<Bitmap>>;
using NumIndex = StringMap<filter::NumericBsiIndex>;

// The indexes a snapshot records. The live index is one (CoreIndex derives from it), a snapshot
// decodes into one and a vacuum builds one, so installing either is a single move and a new
// index is declared once.
struct PersistedIndexes {
    // May still hold ids of deleted points (deletion is lazy); readers intersect with valid_ids.
    StrIndex str_index;
    // One entry per field that ever received a number; deletion clears the id from every entry.
    NumIndex num_index;
    // May still hold ids of deleted points, like str_index.
    spatial::GridIndex grid_index;
    // Live ids.
    Bitmap valid_ids;
    // Ids deleted since the last compaction. An id is never handed out again while it is in
    // valid_ids or deleted; only compaction empties this set, renumbering the live points.
    Bitmap deleted;
    // hash_id(external id) -> internal id, for live points only.
    IdMap ext_to_int;
};

struct CoreIndex : PersistedIndexes {
    explicit CoreIndex(DataFiles data) : files(std::move(data)) {}

    DataFiles files;
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

// Recomputes irregular_ids from the stored coordinates of the live ids.
void rebuild_irregular_ids(CoreIndex& index);

// The internal id the next insertion gets: one more than the largest id in valid_ids or
// deleted, 0 for an empty store.
std::uint32_t next_internal_id(const CoreIndex& index);

// Applies one insertion: a point whose hash is already live is left as it is. Caller holds the
// index lock exclusively. Failed writes to the data files are internal failures; the steps
// done before them stay done.
void insert_in_mem(CoreIndex& index, std::string_view ext_id, const Metadata& meta,
                   const std::vector<std::string>* skip_index, float lat_deg, float lon_deg,
                   AppendMode mode = AppendMode::Always);

// Applies one deletion; an unknown or already deleted id changes nothing. Only ext_to_int,
// valid_ids, deleted and the numeric indexes change. Caller holds the index lock exclusively.
void delete_in_mem(CoreIndex& index, std::string_view ext_id);

}  // namespace vesko::storage
