// The four spatial searches. Each runs with the index lock held shared by its caller, takes
// the set of ids it may return (the filter's result, or valid_ids), and fetches external ids
// and metadata only for its hits.
#pragma once

#include "common/bitmap.h"
#include "storage/core_index.h"

#include <cstdint>
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

// Every id of restrict_set within radius_m of (lat, lon), nearest first; equal distances in
// ascending internal id. restrict_set must be a subset of valid_ids.
std::vector<DistanceHit> search_radius(const storage::CoreIndex& index, float lat_deg,
                                       float lon_deg, float radius_m, const Bitmap& restrict_set);

// Every id of restrict_set inside the box (bounds inclusive), in ascending internal id. A box
// whose western longitude exceeds its eastern one, or whose top lies below its bottom, is
// empty.
std::vector<Hit> search_box(const storage::CoreIndex& index, LatLon top_left, LatLon bottom_right,
                            const Bitmap& restrict_set);

// The k ids of restrict_set nearest to (lat, lon), nearest first; among equal distances the
// one examined first (ring by ring outward, then by id) wins and comes first. NaN distances
// come last.
std::vector<DistanceHit> search_knn(const storage::CoreIndex& index, float lat_deg, float lon_deg,
                                    std::uint32_t k, const Bitmap& restrict_set);

// Every id of restrict_set inside the polygon by the even-odd rule, in ascending internal id.
// The caller returns early for fewer than three vertices.
std::vector<Hit> search_polygon(const storage::CoreIndex& index, std::span<const LatLon> polygon,
                                const Bitmap& restrict_set);

// The external id of a hit, or "" when its record cannot be read back.
std::string hit_ext_id(const storage::CoreIndex& index, std::uint32_t int_id);

}  // namespace vesko::spatial
