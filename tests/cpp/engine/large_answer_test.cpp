// Answers large enough to be gathered in runs by two threads, and candidate lists long enough
// to be examined in two halves: every hit keeps its own texts, in the same order as a small
// answer's, and a reader that stops early leaves the store as it was.
#include "engine/store.h"
#include "tests/cpp/support/answers.h"
#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;

constexpr int grid_side = 120;  // 14,400 points, 0.001 degrees apart
constexpr float origin_lat = 45.0f;
constexpr float origin_lon = 7.0f;

class LargeAnswerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fresh_test_dir("vesko-large-");
        auto opened = Store::open(dir_.string());
        ASSERT_TRUE(opened);
        store_ = std::move(*opened);
        std::vector<std::string> ids;
        std::vector<std::string> metas;
        for (int row = 0; row < grid_side; ++row) {
            for (int col = 0; col < grid_side; ++col) {
                const int n = row * grid_side + col;
                ids.push_back("pt-" + std::to_string(n));
                // Texts of different lengths, so that no two hits' texts line up by accident.
                metas.push_back(R"({"n":)" + std::to_string(n) + R"(,"pad":")" +
                                std::string(static_cast<std::size_t>(n % 37), 'x') + R"("})");
            }
        }
        std::vector<NewPoint> points;
        for (int row = 0; row < grid_side; ++row) {
            for (int col = 0; col < grid_side; ++col) {
                const auto n = static_cast<std::size_t>(row * grid_side + col);
                points.push_back({ids[n], origin_lat + 0.001f * static_cast<float>(row),
                                  origin_lon + 0.001f * static_cast<float>(col), metas[n]});
                meta_of_[ids[n]] = metas[n];
            }
        }
        ASSERT_TRUE(store_->add_many(points, nullptr));
    }
    void TearDown() override {
        store_.reset();
        fs::remove_all(dir_);
    }

    // Every hit's metadata is the one stored with its id.
    void expect_texts_belong(const std::vector<TextHit>& hits) const {
        for (const TextHit& hit : hits) {
            auto found = meta_of_.find(hit.ext_id);
            ASSERT_NE(found, meta_of_.end()) << hit.ext_id;
            EXPECT_EQ(hit.metadata, found->second) << hit.ext_id;
        }
    }

    fs::path dir_;
    std::unique_ptr<Store> store_;
    std::map<std::string, std::string> meta_of_;
};

TEST_F(LargeAnswerTest, EveryHitKeepsItsOwnTexts) {
    const float mid_lat = origin_lat + 0.06f;
    const float mid_lon = origin_lon + 0.06f;
    struct Case {
        const char* name;
        std::size_t min_hits;
        std::function<Result<std::vector<TextHit>>()> search;
    };
    const std::vector<Case> cases = {
        {"radius", 8000,
         [&] { return radius_answer(*store_, mid_lat, mid_lon, 5000.0f, std::nullopt); }},
        {"filtered radius", 2048,
         [&] {
             return radius_answer(*store_, mid_lat, mid_lon, 9000.0f,
                                  std::string(R"({"n":{"$gte":7000}})"));
         }},
        {"knn", 5000, [&] { return knn_answer(*store_, mid_lat, mid_lon, 5000, std::nullopt); }},
        {"box", 10000,
         [&] {
             return box_answer(*store_, {origin_lat + 0.119f, origin_lon},
                               {origin_lat, origin_lon + 0.1f}, std::nullopt);
         }},
        {"polygon", 3000,
         [&] {
             return polygon_answer(*store_,
                                   {{origin_lat, origin_lon},
                                    {origin_lat + 0.119f, origin_lon + 0.01f},
                                    {origin_lat + 0.06f, origin_lon + 0.119f}},
                                   std::nullopt);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto hits = c.search();
        ASSERT_TRUE(hits);
        EXPECT_GE(hits->size(), c.min_hits);
        expect_texts_belong(*hits);
        // Distances never fall along the answer, and equal ones keep ascending ids.
        for (std::size_t i = 1; i < hits->size(); ++i) {
            ASSERT_LE((*hits)[i - 1].dist_m, (*hits)[i].dist_m) << i;
        }
    }
}

TEST_F(LargeAnswerTest, AReaderThatStopsEarlyLeavesTheStoreUsable) {
    auto before =
        radius_answer(*store_, origin_lat + 0.06f, origin_lon + 0.06f, 6000.0f, std::nullopt);
    ASSERT_TRUE(before);
    ASSERT_GE(before->size(), 8000u);
    for (std::size_t stop_at : {std::size_t{0}, std::size_t{700}, before->size() - 1}) {
        SCOPED_TRACE(stop_at);
        std::size_t read = 0;
        EXPECT_THROW((void)store_->search_radius(
                         origin_lat + 0.06f, origin_lon + 0.06f, 6000.0f, std::nullopt,
                         [&](std::span<const spatial::DistanceHit> hits, HitTexts& texts) {
                             for (std::size_t i = 0; i < hits.size(); ++i) {
                                 if (i == stop_at) throw std::runtime_error("reader gives up");
                                 EXPECT_EQ(texts.metadata(i),
                                           meta_of_.at(std::string(texts.ext_id(i))));
                                 ++read;
                             }
                         }),
                     std::runtime_error);
        EXPECT_EQ(read, stop_at);
        // The index lock was let go: a write goes through, and the answer is whole again.
        ASSERT_TRUE(store_->add("late", 0.0f, 0.0f, "{}", nullptr));
        ASSERT_TRUE(store_->remove("late"));
        auto after =
            radius_answer(*store_, origin_lat + 0.06f, origin_lon + 0.06f, 6000.0f, std::nullopt);
        ASSERT_TRUE(after);
        ASSERT_EQ(after->size(), before->size());
        for (std::size_t i = 0; i < after->size(); ++i) {
            ASSERT_EQ((*after)[i].ext_id, (*before)[i].ext_id) << i;
            ASSERT_EQ((*after)[i].metadata, (*before)[i].metadata) << i;
        }
    }
}

}  // namespace
}  // namespace vesko::engine
