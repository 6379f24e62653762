// Files longer than the address space can hold: every offset and size stays 64-bit, and a
// mapping that cannot be made is an Os error from the call that needed it, never a shorter
// view of the file. The refusals can only happen on a 32-bit machine (the armhf run).
#include "engine/store.h"
#include "storage/posix_file.h"
#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;
using storage::FileDescriptor;
using storage::MappedRegion;

constexpr bool narrow_pointers = sizeof(void*) == 4;
constexpr std::uint64_t five_gib = std::uint64_t{5} << 30;

// A sparse file of `length` bytes: no disk blocks, whatever its length.
void make_sparse(const fs::path& path, std::uint64_t length) {
    auto file = FileDescriptor::open(path.string(), storage::OpenMode::ReadWriteCreate);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->truncate(length));
}

std::map<std::string, std::uintmax_t> sizes_in(const fs::path& dir) {
    std::map<std::string, std::uintmax_t> out;
    for (const auto& entry : fs::directory_iterator(dir)) {
        out[entry.path().filename().string()] = entry.is_regular_file() ? entry.file_size() : 0;
    }
    return out;
}

class AddressSpaceTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = fresh_test_dir("vesko-address-space-"); }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(AddressSpaceTest, LengthsBeyondAPointerAreRefusedNotTruncated) {
    fs::create_directories(dir_);
    const fs::path path = dir_ / "big";
    make_sparse(path, five_gib);
    auto file = FileDescriptor::open(path.string(), storage::OpenMode::ReadOnly);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size().value(), five_gib);

    auto mapped = MappedRegion::map(*file, five_gib, storage::MapAccess::ReadOnly);
    auto bytes = storage::FileBytes::open(path.string());
    if (narrow_pointers) {
        ASSERT_FALSE(mapped);
        EXPECT_EQ(mapped.error().os_errno, EFBIG) << mapped.error().message;
        ASSERT_FALSE(bytes);
        EXPECT_EQ(bytes.error().os_errno, EFBIG) << bytes.error().message;
        // Within a pointer's reach but beyond the free address space: the OS says so.
        auto most =
            MappedRegion::map(*file, (std::uint64_t{1} << 32) - 4096, storage::MapAccess::ReadOnly);
        ASSERT_FALSE(most);
        EXPECT_EQ(most.error().os_errno, ENOMEM) << most.error().message;
    } else {
        ASSERT_TRUE(mapped) << mapped.error().message;
        EXPECT_EQ(mapped->size(), five_gib);
        ASSERT_TRUE(bytes) << bytes.error().message;
        EXPECT_EQ((*bytes)->bytes().size(), five_gib);
    }
}

// A store whose log has grown past what a 32-bit process can map: opening it is an Os error
// naming the cause, and the store's files are left as they were.
TEST_F(AddressSpaceTest, OpeningAStoreTooLargeToMapFailsAndChangesNothing) {
    if (!narrow_pointers) GTEST_SKIP() << "a 64-bit process maps these files";
    {
        auto store = Store::open(dir_.string());
        ASSERT_TRUE(store);
        ASSERT_TRUE((*store)->add("a", 1.0f, 2.0f, "{}", nullptr));
        (*store)->close();
    }
    make_sparse(dir_ / "wal.bin", five_gib);
    const auto before = sizes_in(dir_);
    auto reopened = Store::open(dir_.string());
    ASSERT_FALSE(reopened);
    EXPECT_EQ(reopened.error().kind, ErrorKind::Os);
    EXPECT_EQ(reopened.error().os_errno, EFBIG) << reopened.error().message;
    EXPECT_EQ(sizes_in(dir_), before);
}

}  // namespace
}  // namespace vesko::engine
