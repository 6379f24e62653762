#include "spatial/distance.h"

#include <math.h>

namespace vesko::spatial {

float query_cos(float lat_q_deg) { return cosf(lat_q_deg * deg_to_rad); }

float haversine_term(float lat_q_deg, float lon_q_deg, float cos_lat_q, float lat_p_deg,
                     float lon_p_deg) {
    const float cos_lat_p = cosf(lat_p_deg * deg_to_rad);
    // Degree difference first, then radians, then the half angle.
    const float half_lon = sinf(((lon_p_deg - lon_q_deg) * deg_to_rad) * 0.5f);
    const float half_lat = sinf(((lat_p_deg - lat_q_deg) * deg_to_rad) * 0.5f);
    return (cos_lat_q * cos_lat_p) * (half_lon * half_lon) + half_lat * half_lat;
}

float distance_of_term(float a) {
    const float c = atan2f(sqrtf(a), sqrtf(1.0f - a));
    return (c + c) * earth_radius_m;
}

float haversine_distance(float lat_q_deg, float lon_q_deg, float cos_lat_q, float lat_p_deg,
                         float lon_p_deg) {
    return distance_of_term(haversine_term(lat_q_deg, lon_q_deg, cos_lat_q, lat_p_deg, lon_p_deg));
}

}  // namespace vesko::spatial
