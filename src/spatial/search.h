// The four spatial searches. Each runs with the index lock held shared by its caller, takes
// the set of ids it may return (the filter's result, or valid_ids), and fetches external ids
// and metadata only for its hits.
#pragma once

#include "common/bitmap.h"
#include "filter/json_text.h"
#include "storage/core_index.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vesko::spatial {

struct DistanceHit {
    std::string ext_id;
    float dist_m;
    std::string metadata;
};

struct Hit {
    std::string ext_id;
    std::string metadata;
};

using LatLon = std::pair<float, float>;

// The ids a search may return: the live ids, narrowed by the caller's filter when one was
// given. A filter that matches nothing leaves nothing eligible; it never stands for every
// point.
class Eligible {
  public:
    // `filter` (may be null) must outlive this object.
    Eligible(const storage::CoreIndex& index, const filter::Json* filter)
        : index_(index), filter_(filter) {}

    // The eligible ids among `candidates`. The filter is evaluated over the candidates only,
    // so its cost follows the search window rather than the store.
    Bitmap narrow(const Bitmap& candidates) const;
    // Every eligible id; evaluated once, on first use.
    const Bitmap& all() const;

  private:
    const storage::CoreIndex& index_;
    const filter::Json* filter_;
    mutable std::optional<Bitmap> all_;
};

// Every eligible id within radius_m of (lat, lon), nearest first; equal distances in
// ascending internal id.
std::vector<DistanceHit> search_radius(const storage::CoreIndex& index, float lat_deg,
                                       float lon_deg, float radius_m, const Eligible& eligible);

// Every eligible id inside the box (bounds inclusive), in ascending internal id. A box
// whose western longitude exceeds its eastern one, or whose top lies below its bottom, is
// empty.
std::vector<Hit> search_box(const storage::CoreIndex& index, LatLon top_left, LatLon bottom_right,
                            const Eligible& eligible);

// The k eligible ids nearest to (lat, lon), nearest first; among equal distances the
// one examined first (ring by ring outward, then by id) wins and comes first. NaN distances
// come last.
std::vector<DistanceHit> search_knn(const storage::CoreIndex& index, float lat_deg, float lon_deg,
                                    std::uint32_t k, const Eligible& eligible);

// Every eligible id inside the polygon by the even-odd rule, in ascending internal id.
// The caller returns early for fewer than three vertices.
std::vector<Hit> search_polygon(const storage::CoreIndex& index, std::span<const LatLon> polygon,
                                const Eligible& eligible);

// The external id of a hit, or "" when its record cannot be read back.
std::string hit_ext_id(const storage::CoreIndex& index, std::uint32_t int_id);

}  // namespace vesko::spatial
