#include "index/numeric_bsi.h"

#ifdef VESKO_FAULT_HOOKS
#include "index/forced_plan.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

namespace vesko::index {
namespace {

// The code the slices hold for an id, bit i taken from slice i.
std::uint32_t code_in_slices(const NumericBsiIndex& index, std::uint32_t int_id) {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < index.slices().size(); ++i) {
        if (index.slices()[i].contains(int_id)) code |= 1U << i;
    }
    return code;
}

TEST(SortableBits, CodesFollowNumericOrder) {
    struct Case {
        const char* name;
        float value;
        std::uint32_t code;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {"one", 1.0f, 0xBF800000u},  {"minus one", -1.0f, 0x407FFFFFu}, {"+inf", inf, 0xFF800000u},
        {"-inf", -inf, 0x007FFFFFu}, {"+0", 0.0f, 0x80000000u},         {"-0", -0.0f, 0x7FFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sortable_bits(c.value), c.code);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(from_sortable_bits(c.code)),
                  std::bit_cast<std::uint32_t>(c.value));
    }
}

// Every range answer is checked against a direct comparison of the codes, over random values
// that include both zeros, infinities and denormals.
TEST(NumericBsiIndex, RangeScansAgreeWithDirectComparison) {
    std::mt19937 rng(12345);
    std::vector<float> pool = {0.0f,
                               -0.0f,
                               1.0f,
                               -1.0f,
                               5.0f,
                               -3.0f,
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::denorm_min(),
                               1e30f,
                               -1e30f};
    std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
    for (int i = 0; i < 40; ++i) pool.push_back(std::round(dist(rng)));
    NumericBsiIndex index;
    std::vector<std::uint32_t> codes(300);
    for (std::uint32_t id = 0; id < codes.size(); ++id) {
        float v = pool[rng() % pool.size()];
        index.set_value(id, v);
        codes[id] = sortable_bits(v);
    }
    for (float probe : pool) {
        const std::uint32_t e = sortable_bits(probe);
        std::vector<std::uint32_t> lt, gt, eq;
        for (std::uint32_t id = 0; id < codes.size(); ++id) {
            if (codes[id] < e) lt.push_back(id);
            if (codes[id] > e) gt.push_back(id);
            if (codes[id] == e) eq.push_back(id);
        }
        SCOPED_TRACE(probe);
        EXPECT_EQ(index.less_than_encoded(e).to_vector(), lt);
        EXPECT_EQ(index.greater_than_encoded(e).to_vector(), gt);
        EXPECT_EQ(index.equal_to(probe).to_vector(), eq);
    }
}

// Restricted to a set, a comparison reads each id's code from the column of codes or works on
// whole slices; each way, chosen by the cost model or forced, must give the direct comparison's
// answer within the set, for sets of every size and with ids that hold no value.
TEST(NumericBsiIndex, ComparisonsWithinASetAgreeWithDirectComparison) {
    std::mt19937 rng(777);
    const std::vector<float> pool = {
        -1e30f, -250.0f, -1.0f,    -0.0f, 0.0f,
        0.5f,   3.0f,    10000.0f, 1e7f,  std::numeric_limits<float>::infinity()};
    NumericBsiIndex index;
    constexpr std::uint32_t valued = 250, ids = 320;  // ids from 250 on hold no value
    std::vector<std::uint32_t> codes(valued);
    for (std::uint32_t id = 0; id < valued; ++id) {
        const float v = pool[rng() % pool.size()];
        index.set_value(id, v);
        codes[id] = sortable_bits(v);
    }
#ifdef VESKO_FAULT_HOOKS
    const std::optional<plan::Comparison> ways[] = {std::nullopt, plan::Comparison::PerId,
                                                    plan::Comparison::Slices};
#else
    // Without the test hooks only the cost model's own choice can be checked.
    const std::optional<int> ways[] = {std::nullopt};
#endif
    for (std::size_t size : std::initializer_list<std::size_t>{0, 1, 7, 63, 64, 65, 200, 320}) {
        std::vector<std::uint32_t> all(ids);
        for (std::uint32_t id = 0; id < ids; ++id) all[id] = id;
        std::shuffle(all.begin(), all.end(), rng);
        Bitmap within;
        for (std::size_t i = 0; i < size; ++i) within.add(all[i]);
        // The held values, and values below, between and beyond them.
        std::vector<float> probes = pool;
        probes.insert(probes.end(), {-std::numeric_limits<float>::infinity(), 1.5f, 2e7f});
        for (float probe : probes) {
            const std::uint32_t e = sortable_bits(probe);
            std::vector<std::uint32_t> lt, gt, eq, at_least;
            within.for_each([&](std::uint32_t id) {
                if (id >= valued) return;
                if (codes[id] < e) lt.push_back(id);
                if (codes[id] > e) gt.push_back(id);
                if (codes[id] == e) eq.push_back(id);
                if (codes[id] >= e) at_least.push_back(id);
            });
            Bitmap not_equal = within;
            for (std::uint32_t id : eq) not_equal.remove(id);
            for (const auto& way : ways) {
#ifdef VESKO_FAULT_HOOKS
                plan::forced_comparison = way;
#endif
                SCOPED_TRACE(testing::Message() << size << " ids, probe " << probe << ", way "
                                                << (way ? static_cast<int>(*way) : -1));
                EXPECT_EQ(index.less_than_encoded(e, &within).to_vector(), lt);
                EXPECT_EQ(index.greater_than_encoded(e, &within).to_vector(), gt);
                EXPECT_EQ(index.equal_to(probe, &within).to_vector(), eq);
                EXPECT_EQ(index.at_least_encoded(e, &within).to_vector(), at_least);
                EXPECT_EQ(index.not_equal_to(probe, within), not_equal);
                EXPECT_EQ(index.not_equal_to(std::nanf(""), within), within);
            }
#ifdef VESKO_FAULT_HOOKS
            plan::forced_comparison.reset();
#endif
        }
    }
}

TEST(NumericBsiIndex, OverwriteReplacesTheOldValueCompletely) {
    NumericBsiIndex index;
    index.set_value(7, 5.0f);
    index.set_value(7, -3.0f);
    EXPECT_TRUE(index.equal_to(5.0f).empty());
    EXPECT_EQ(index.equal_to(-3.0f).to_vector(), std::vector<std::uint32_t>{7});
    EXPECT_EQ(code_in_slices(index, 7), sortable_bits(-3.0f));
}

TEST(NumericBsiIndex, RemovalKeepsBoundsButClearsEverySlice) {
    NumericBsiIndex index;
    index.set_value(1, 2.0f);
    index.set_value(3, 5.0f);
    index.remove_id(3);
    EXPECT_EQ(index.max_encoded(), sortable_bits(5.0f));
    EXPECT_TRUE(index.greater_than_encoded(sortable_bits(4.0f)).empty());
    for (const Bitmap& slice : index.slices()) EXPECT_FALSE(slice.contains(3));
    EXPECT_FALSE(index.existence().contains(3));
}

TEST(NumericBsiIndex, NanIsNeverRecordedNorMatched) {
    NumericBsiIndex index;
    index.set_value(1, std::nanf(""));
    EXPECT_TRUE(index.existence().empty());
    EXPECT_EQ(index.min_encoded(), 0xFFFFFFFFu);
    index.set_value(2, 1.0f);
    EXPECT_TRUE(index.equal_to(std::nanf("")).empty());
}

TEST(NumericBsiIndex, SettingNewValuesInBulkEqualsSettingEach) {
    struct Case {
        const char* name;
        std::vector<float> earlier;  // set one by one for ids 0, 1, ...
        std::vector<float> batch;    // then for the ids after them
    };
    const float nan = std::nanf("");
    const Case cases[] = {
        {"into an empty index", {}, {1.5f, -2.0f, 0.0f, -0.0f, 1e30f, -1e-30f}},
        {"beside earlier values", {3.0f, 4.0f}, {100.0f, -7.25f, 3.0f}},
        {"NaN records nothing", {1.0f}, {nan, 2.0f, nan}},
        {"only NaN", {}, {nan}},
        {"bounds widen on both sides", {0.5f}, {-1e20f, 1e20f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NumericBsiIndex each;
        NumericBsiIndex bulk;
        std::uint32_t id = 0;
        for (float v : c.earlier) {
            each.set_value(id, v);
            bulk.set_value(id, v);
            ++id;
        }
        std::vector<std::uint32_t> ids;
        for (float v : c.batch) {
            each.set_value(id, v);
            ids.push_back(id++);
        }
        bulk.set_new_values(ids, c.batch);
        EXPECT_EQ(bulk.existence().to_vector(), each.existence().to_vector());
        for (std::size_t i = 0; i < std::size_t{NumericBsiIndex::slice_count}; ++i)
            EXPECT_EQ(bulk.slices()[i].to_vector(), each.slices()[i].to_vector()) << "slice " << i;
        EXPECT_EQ(bulk.min_encoded(), each.min_encoded());
        EXPECT_EQ(bulk.max_encoded(), each.max_encoded());
        EXPECT_EQ(bulk.top_bit(), each.top_bit());
    }
}

}  // namespace
}  // namespace vesko::index
