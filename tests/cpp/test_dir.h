// A directory of its own for each test, named after the test and removed when it ends.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace vesko {

inline std::filesystem::path fresh_test_dir(const std::string& prefix) {
    const auto dir =
        std::filesystem::temp_directory_path() /
        (prefix + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir);
    return dir;
}

}  // namespace vesko
