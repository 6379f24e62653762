// A long call asked to stop by its Interrupt: add_many and delete_many stop between chunks and
// leave a prefix of whole chunks, as their message says, in memory and after a reopen; vacuum
// stops before its commit and leaves the store as it was.
#include "engine/store.h"
#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t batch_points = 5 * bulk_chunk_points + 123;

// Asks to stop from its `after`-th poll on, whichever thread polls.
class InterruptAfter final : public Interrupt {
  public:
    explicit InterruptAfter(int after) : left_(after) {}
    bool requested() override { return left_.fetch_sub(1, std::memory_order_relaxed) <= 0; }

  private:
    std::atomic<int> left_;
};

class InterruptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (std::size_t i = 0; i < batch_points; ++i) {
            ids_.emplace_back("p");
            ids_.back() += std::to_string(i);
        }
        // Views into ids_, taken once it no longer moves.
        for (std::size_t i = 0; i < batch_points; ++i) {
            const auto spread = static_cast<float>(i % 1000);
            points_.push_back(
                {ids_[i], -60.0f + 0.1f * spread, -170.0f + 0.3f * spread, R"({"k":1})"});
        }
        fresh();
    }
    // An empty store in a new directory.
    void fresh() {
        store_.reset();
        if (!dir_.empty()) fs::remove_all(dir_);
        dir_ = fresh_test_dir("vesko-interrupt-");
        reopen();
    }
    void TearDown() override {
        store_.reset();
        fs::remove_all(dir_);
    }
    void reopen() {
        store_.reset();
        auto opened = Store::open(dir_.string());
        ASSERT_TRUE(opened);
        store_ = std::move(*opened);
    }
    // The live points are exactly ids_[from, to).
    void expect_exactly(std::size_t from, std::size_t to) {
        ASSERT_EQ(store_->count().value(), to - from);
        for (std::size_t i : {from, to - 1}) {
            if (from < to) {
                EXPECT_TRUE(store_->contains(ids_[i]).value()) << i;
            }
        }
        if (from > 0) {
            EXPECT_FALSE(store_->contains(ids_[from - 1]).value());
        }
        if (to < ids_.size()) {
            EXPECT_FALSE(store_->contains(ids_[to]).value());
        }
    }

    fs::path dir_;
    std::vector<std::string> ids_;
    std::vector<NewPoint> points_;
    std::unique_ptr<Store> store_;
};

// How far into the call the request comes, in polls: at once, while checking, between chunks
// (the check polls every 1,024 points on each thread, then the caller polls before each chunk
// and every 2 ms while it waits for the second thread).
constexpr int polls[] = {0, 20, 200, 330};

TEST_F(InterruptTest, AddManyStopsBetweenChunksAndSaysHowManyItAdded) {
    for (int after : polls) {
        SCOPED_TRACE(after);
        ASSERT_NO_FATAL_FAILURE(fresh());
        InterruptAfter interrupt(after);
        const auto added = store_->add_many(points_, nullptr, &interrupt);
        ASSERT_FALSE(added);
        ASSERT_EQ(added.error().kind, ErrorKind::Interrupted);
        const auto count = static_cast<std::size_t>(store_->count().value());
        EXPECT_EQ(count % bulk_chunk_points, 0U);
        std::string said = "none was added";
        if (count != 0) {
            said = "the first ";
            said += std::to_string(count);
            said += " of ";
            said += std::to_string(batch_points);
        }
        EXPECT_NE(added.error().message.find(said), std::string::npos) << added.error().message;
        expect_exactly(0, count);
        reopen();
        expect_exactly(0, count);
    }
}

TEST_F(InterruptTest, DeleteManyStopsBetweenChunks) {
    ASSERT_TRUE(store_->add_many(points_, nullptr));
    InterruptAfter interrupt(2);
    const auto deleted = store_->delete_many(ids_, &interrupt);
    ASSERT_FALSE(deleted);
    EXPECT_EQ(deleted.error().kind, ErrorKind::Interrupted);
    EXPECT_NE(deleted.error().message.find("the first 131072 of"), std::string::npos)
        << deleted.error().message;
    expect_exactly(2 * bulk_chunk_points, batch_points);
    reopen();
    expect_exactly(2 * bulk_chunk_points, batch_points);
}

TEST_F(InterruptTest, VacuumStopsOnlyBeforeItsCommit) {
    ASSERT_TRUE(store_->add_many(points_, nullptr));
    ASSERT_TRUE(store_->delete_many(std::span(ids_).first(10)));
    // A poll every 8,192 points, and one more before the commit.
    for (int after : {0, 3, 40}) {
        SCOPED_TRACE(after);
        InterruptAfter interrupt(after);
        const auto vacuumed = store_->vacuum(&interrupt);
        ASSERT_FALSE(vacuumed);
        EXPECT_EQ(vacuumed.error().kind, ErrorKind::Interrupted);
        EXPECT_FALSE(fs::exists(dir_ / "vacuum.commit"));
        expect_exactly(10, batch_points);
    }
    reopen();
    expect_exactly(10, batch_points);
    InterruptAfter never(1 << 30);
    ASSERT_TRUE(store_->vacuum(&never));
    reopen();
    expect_exactly(10, batch_points);
}

}  // namespace
}  // namespace vesko::engine
