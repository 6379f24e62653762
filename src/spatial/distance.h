// Great-circle distance in single precision. The operation order is fixed so that every
// search reports bit-identical distances on every machine; the build forbids contraction into
// fused multiply-add for the same reason.
#pragma once

#include <bit>
#include <cstdint>

namespace vesko::spatial {

inline constexpr float deg_to_rad = std::bit_cast<float>(std::uint32_t{0x3C8EFA35});  // 0.017453292
inline constexpr float earth_radius_m = 6371000.0f;

// cos(lat * deg_to_rad) of the query, computed once per search.
float query_cos(float lat_q_deg);

// Haversine distance in metres from the query (with its precomputed cosine) to a point. A NaN
// coordinate gives NaN.
float haversine_distance(float lat_q_deg, float lon_q_deg, float cos_lat_q, float lat_p_deg,
                         float lon_p_deg);

// The same distance in two steps, for a search that can often tell from the first that a point
// is too far: the haversine term (the squared sine of half the central angle), then the
// distance it gives. distance_of_term(haversine_term(...)) is haversine_distance(...), bit for
// bit. The second step is monotone but for its last-place rounding, so a term larger than
// another by a relative 1e-4 or more gives the larger distance (or NaN).
float haversine_term(float lat_q_deg, float lon_q_deg, float cos_lat_q, float lat_p_deg,
                     float lon_p_deg);
float distance_of_term(float a);

inline float haversine_distance(float lat_q_deg, float lon_q_deg, float lat_p_deg,
                                float lon_p_deg) {
    return haversine_distance(lat_q_deg, lon_q_deg, query_cos(lat_q_deg), lat_p_deg, lon_p_deg);
}

}  // namespace vesko::spatial
