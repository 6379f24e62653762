// When the store lets go of its caller's lock: before long work only, never for a quick answer,
// and the answer is the same either way.
#include "engine/store.h"
#include "tests/cpp/support/answers.h"
#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;

class CountingLock final : public CallerLock {
  public:
    void release() override { ++releases; }
    int releases = 0;
};

class CallerLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fresh_test_dir("vesko-caller-");
        auto opened = Store::open(dir_.string());
        ASSERT_TRUE(opened);
        store_ = std::move(*opened);
        // 4,000 points in one 0.01-degree cell, and one lone point far away.
        std::vector<std::string> ids;
        for (int n = 0; n < 4000; ++n) ids.push_back("near-" + std::to_string(n));
        std::vector<NewPoint> points;
        for (int n = 0; n < 4000; ++n) {
            points.push_back({ids[static_cast<std::size_t>(n)],
                              10.001f + 0.000001f * static_cast<float>(n % 63),
                              20.001f + 0.000001f * static_cast<float>(n / 63), R"({"k":"v"})"});
        }
        points.push_back({"lone", -30.0f, 100.0f, R"({"k":"w"})"});
        ASSERT_TRUE(store_->add_many(points, nullptr));
    }
    void TearDown() override {
        store_.reset();
        fs::remove_all(dir_);
    }

    fs::path dir_;
    std::unique_ptr<Store> store_;
};

TEST_F(CallerLockTest, LetGoOnlyBeforeLongWork) {
    std::vector<TextHit> got;
    const std::optional<std::string> no_filter;
    const std::optional<std::string> k_is_w = std::string(R"({"k":"w"})");
    struct Case {
        const char* name;
        int releases;
        std::size_t hits;
        std::function<Result<void>(CallerLock*)> call;
    };
    const std::vector<Case> cases = {
        {"radius near the lone point", 0, 1,
         [&](CallerLock* c) {
             return store_->search_radius(-30.0f, 100.0f, 1000.0f, no_filter,
                                          collect_distance_hits(got), c);
         }},
        {"box around the lone point", 0, 1,
         [&](CallerLock* c) {
             return store_->search_box({-29.9f, 99.9f}, {-30.1f, 100.1f}, no_filter,
                                       collect_hits(got), c);
         }},
        {"filtered radius near the lone point", 0, 1,
         [&](CallerLock* c) {
             return store_->search_radius(-30.0f, 100.0f, 1000.0f, k_is_w,
                                          collect_distance_hits(got), c);
         }},
        {"radius over the crowded cell", 1, 4000,
         [&](CallerLock* c) {
             return store_->search_radius(10.001f, 20.001f, 1000.0f, no_filter,
                                          collect_distance_hits(got), c);
         }},
        {"polygon over the crowded cell", 1, 4000,
         [&](CallerLock* c) {
             return store_->search_polygon({{10.0f, 20.0f}, {10.01f, 20.0f}, {10.0f, 20.01f}},
                                           no_filter, collect_hits(got), c);
         }},
        {"nearest neighbours, even of a quiet place", 1, 1,
         [&](CallerLock* c) {
             return store_->search_knn(-30.0f, 100.0f, 1, no_filter, collect_distance_hits(got), c);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CountingLock lock;
        ASSERT_TRUE(c.call(&lock));
        EXPECT_EQ(lock.releases, c.releases);
        EXPECT_EQ(got.size(), c.hits);
        const std::vector<TextHit> with_lock = got;
        ASSERT_TRUE(c.call(nullptr));
        ASSERT_EQ(got.size(), with_lock.size());
        for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].ext_id, with_lock[i].ext_id);
    }
    CountingLock lock;
    EXPECT_EQ(store_->count(&lock).value(), 4001u);
    EXPECT_EQ(lock.releases, 0);
}

}  // namespace
}  // namespace vesko::engine
