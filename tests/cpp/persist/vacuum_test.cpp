#include "persist/vacuum.h"

#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace vesko::persist {
namespace {

namespace fs = std::filesystem;

TEST(QuotedPath, EscapesQuotesBackslashesAndControlCharacters) {
    struct Case {
        const char* name;
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        {"plain", "/tmp/store/ids.bin", "\"/tmp/store/ids.bin\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"newline and tab", "a\nb\tc", "\"a\\nb\\tc\""},
        {"other control character",
         std::string("a\x1b"
                     "b"),
         "\"a\\u{1b}b\""},
        {"UTF-8 unchanged", "d/\xC3\xA9", "\"d/\xC3\xA9\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quoted_path(c.path), c.expected);
    }
}

class ReplaceFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fresh_test_dir("vesko-replace-");
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(ReplaceFileTest, ReplacesAnExistingDestination) {
    std::ofstream(dir_ / "a.vac") << "new";
    std::ofstream(dir_ / "a") << "old";
    ASSERT_TRUE(replace_file((dir_ / "a.vac").string(), (dir_ / "a").string()));
    EXPECT_FALSE(fs::exists(dir_ / "a.vac"));
    std::ifstream in(dir_ / "a");
    std::string text;
    in >> text;
    EXPECT_EQ(text, "new");
}

TEST_F(ReplaceFileTest, GivesUpOnARenameAfterTheRetries) {
    const auto started = std::chrono::steady_clock::now();
    auto result = replace_file((dir_ / "missing.vac").string(), (dir_ / "missing").string());
    const auto waited = std::chrono::steady_clock::now() - started;
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::Vacuum);
    EXPECT_EQ(result.error().message, "Failed to rename " +
                                          quoted_path((dir_ / "missing.vac").string()) + " to " +
                                          quoted_path((dir_ / "missing").string()));
    EXPECT_GE(waited, std::chrono::milliseconds(21 * 50));
}

}  // namespace
}  // namespace vesko::persist
