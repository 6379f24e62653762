// One Store per directory: the directory's lock, and what close() leaves behind.
#include "engine/store.h"
#include "tests/cpp/support/answers.h"
#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;

class StoreLockTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = fresh_test_dir("vesko-lock-"); }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(StoreLockTest, SecondOpenIsRefusedUntilTheFirstCloses) {
    auto first = Store::open(dir_.string());
    ASSERT_TRUE(first);
    ASSERT_TRUE((*first)->add("a", 1.0f, 2.0f, "{}", nullptr));
    auto second = Store::open(dir_.string());
    ASSERT_FALSE(second);
    EXPECT_TRUE(storage::would_block(second.error()));
    EXPECT_NE(second.error().message.find(dir_.string()), std::string::npos);
    EXPECT_NE(second.error().message.find("open elsewhere"), std::string::npos);
    (*first)->close();
    (*first)->close();  // a second close does nothing
    auto third = Store::open(dir_.string());
    ASSERT_TRUE(third);
    EXPECT_EQ((*third)->count().value(), 1u);
}

TEST_F(StoreLockTest, LockSurvivesVacuumsRenames) {
    auto store = Store::open(dir_.string());
    ASSERT_TRUE(store);
    ASSERT_TRUE((*store)->add("a", 1.0f, 2.0f, "{}", nullptr));
    ASSERT_TRUE((*store)->remove("a"));
    ASSERT_TRUE((*store)->vacuum());
    EXPECT_FALSE(Store::open(dir_.string()));
}

TEST_F(StoreLockTest, EveryCallOnAClosedStoreIsRefused) {
    auto opened = Store::open(dir_.string());
    ASSERT_TRUE(opened);
    Store& store = **opened;
    ASSERT_TRUE(store.add("a", 1.0f, 2.0f, R"({"k":"v"})", nullptr));
    store.close();
    struct Case {
        const char* name;
        std::function<std::optional<Error>()> call;
    };
    auto error_of = [](const auto& result) -> std::optional<Error> {
        if (result) return std::nullopt;
        return result.error();
    };
    const std::optional<std::string> none;
    const Case cases[] = {
        {"add", [&] { return error_of(store.add("b", 1.0f, 2.0f, "{}", nullptr)); }},
        {"delete", [&] { return error_of(store.remove("a")); }},
        {"delete_by_filter", [&] { return error_of(store.delete_by_filter("{}")); }},
        {"count", [&] { return error_of(store.count()); }},
        {"exists", [&] { return error_of(store.exists("{}")); }},
        {"persist", [&] { return error_of(store.persist()); }},
        {"vacuum", [&] { return error_of(store.vacuum()); }},
        {"search_radius", [&] { return error_of(radius_answer(store, 1, 2, 10, none)); }},
        {"search_knn", [&] { return error_of(knn_answer(store, 1, 2, 1, none)); }},
        {"search_box",
         [&] {
             return error_of(box_answer(store, {2, 1}, {0, 3}, none));
         }},
        {"search_polygon",
         [&] {
             return error_of(polygon_answer(store, {{0, 0}, {0, 3}, {3, 3}}, none));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto error = c.call();
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, ErrorKind::Closed);
        EXPECT_EQ(error->message, "store is closed");
    }
    // Nothing the closed object did reached the directory.
    auto reopened = Store::open(dir_.string());
    ASSERT_TRUE(reopened);
    EXPECT_EQ((*reopened)->count().value(), 1u);
}

}  // namespace
}  // namespace vesko::engine
