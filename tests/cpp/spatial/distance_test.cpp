#include "spatial/distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

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

TEST(HaversineTerm, DistanceOfTheTermIsTheDistanceBitForBit) {
    struct Case {
        const char* name;
        float lat_q, lon_q, lat_p, lon_p;
    };
    const Case cases[] = {
        {"identical points", 52.52f, 13.4f, 52.52f, 13.4f},
        {"a metre apart", 10.0f, 20.0f, 10.000009f, 20.0f},
        {"across a city", 48.85f, 2.35f, 48.9f, 2.29f},
        {"across an ocean", 40.7f, -74.0f, 51.5f, -0.12f},
        {"near antipodes", 0.0f, 0.0f, 0.5f, 179.9f},
        {"exact antipodes", 0.0f, 0.0f, 0.0f, 180.0f},
        {"off the chart", 10.0f, 10.0f, 120.0f, 400.0f},
        {"nan coordinate", 0.0f, 0.0f, NAN, 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const float cq = query_cos(c.lat_q);
        const float whole = haversine_distance(c.lat_q, c.lon_q, cq, c.lat_p, c.lon_p);
        const float split =
            distance_of_term(haversine_term(c.lat_q, c.lon_q, cq, c.lat_p, c.lon_p));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(whole), std::bit_cast<std::uint32_t>(split));
    }
}

// The k-nearest search skips a point whose term exceeds the worst kept one's by the relative
// margin 1e-4; that is right only if such a term always gives a strictly larger distance (or
// NaN), at every scale from a millimetre to the antipode.
TEST(HaversineTerm, ATermLargerByTheMarginAlwaysGivesALargerDistance) {
    float term = 1e-30f;
    int checked = 0;
    while (term < 1.0f) {
        SCOPED_TRACE(testing::Message() << "term " << term);
        for (float step : {1.0f, 1.7f, 3.1f}) {
            const float lower = std::min(term * step, 1.0f);
            // The smallest float above lower * (1 + 1e-4): the closest a skipped term can be.
            const float upper =
                std::nextafter(static_cast<float>(static_cast<double>(lower) * (1.0 + 1e-4)), 2.0f);
            const float near = distance_of_term(lower);
            const float far = distance_of_term(upper);
            EXPECT_TRUE(std::isnan(far) || far > near) << near << " vs " << far;
            ++checked;
        }
        term *= 1.37f;
    }
    EXPECT_GT(checked, 500);
    EXPECT_GT(distance_of_term(1e-45f), distance_of_term(0.0f));
}

}  // namespace
}  // namespace vesko::spatial
