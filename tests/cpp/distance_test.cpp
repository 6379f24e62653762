#include "spatial/distance.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vesko::spatial {
namespace {

TEST(HaversineDistance, MatchesSinglePrecisionReferenceValues) {
    struct Case {
        const char* name;
        float lat_q, lon_q, lat_p, lon_p;
        float expected_m;
    };
    const Case cases[] = {
        {"identical points", 52.52f, 13.4f, 52.52f, 13.4f, 0.0f},
        {"one degree east on the equator", 0.0f, 0.0f, 0.0f, 1.0f, 111194.9296875f},
        {"one degree north from the origin", 0.0f, 0.0f, 1.0f, 0.0f, 111194.9296875f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(haversine_distance(c.lat_q, c.lon_q, c.lat_p, c.lon_p), c.expected_m);
    }
}

TEST(HaversineDistance, ConstantsHaveTheirExactBitPatterns) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(deg_to_rad), 0x3C8EFA35u);
    EXPECT_EQ(earth_radius_m, 6371000.0f);
}

TEST(HaversineDistance, PrecomputedQueryCosineGivesTheSameDistance) {
    const float cq = query_cos(48.85f);
    EXPECT_EQ(haversine_distance(48.85f, 2.35f, cq, 52.52f, 13.4f),
              haversine_distance(48.85f, 2.35f, 52.52f, 13.4f));
}

TEST(HaversineDistance, NanCoordinateGivesNan) {
    EXPECT_TRUE(std::isnan(haversine_distance(0.0f, 0.0f, NAN, 1.0f)));
}

}  // namespace
}  // namespace vesko::spatial
