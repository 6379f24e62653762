#include "storage/data_files.h"

#include "common/check.h"
#include "storage/codec.h"
#include "tests/cpp/support/data_files_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace vesko::storage {
namespace {

namespace fs = std::filesystem;

class DataFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vesko-data-files-" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::uintmax_t size_of(const char* name) const { return fs::file_size(dir_ / name); }
    void expect_slot_files(std::uintmax_t bytes) const {
        EXPECT_EQ(size_of(coords_file_name), bytes);
        EXPECT_EQ(size_of(offsets_file_name), bytes);
        EXPECT_EQ(size_of(meta_offsets_file_name), bytes);
    }

    fs::path dir_;
};

TEST_F(DataFilesTest, GrowthIsInLargeStepsBeyondTheSlotAskedFor) {
    struct Case {
        const char* name;
        std::uint32_t slot;
        std::uintmax_t bytes;
    };
    const Case cases[] = {
        {"slot inside the initial capacity", 99999, 800000},
        {"first slot beyond it grows by 500000 slots", 100000, 4800000},
        {"far slot grows to 100000 beyond it", 900000, 8000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        DataFiles files = DataFiles::open(dir_.string()).value();
        ASSERT_TRUE(files.ensure_capacity(c.slot));
        expect_slot_files(c.bytes);
        EXPECT_EQ(files.capacity(), c.bytes / 8);
        files.write_coords(c.slot, 1.5f, -2.5f);
        EXPECT_EQ(files.coords(c.slot), std::make_pair(1.5f, -2.5f));
    }
}

TEST_F(DataFilesTest, RecordsAreReadBackAndSlotsPointAtThem) {
    DataFiles files = DataFiles::open(dir_.string()).value();
    append_external_id(files, 0, "first", AppendMode::Always);
    append_metadata(files, 0, R"({"a":1})", AppendMode::Always);
    append_external_id(files, 1, "second", AppendMode::Always);
    append_metadata(files, 1, "{}", AppendMode::Always);
    EXPECT_EQ(files.get_external_id(0), "first");
    EXPECT_EQ(files.get_external_id(1), "second");
    EXPECT_EQ(files.get_metadata(0), R"({"a":1})");
    EXPECT_EQ(files.ids_file_len(), 4u + 5 + 4 + 6);
    EXPECT_EQ(files.meta_file_len(), 4u + 7 + 4 + 2);
}

TEST_F(DataFilesTest, IdenticalRecordBelowTheUsedLengthIsReused) {
    {
        DataFiles files = DataFiles::open(dir_.string()).value();
        append_external_id(files, 0, "same", AppendMode::Always);
    }
    DataFiles files = DataFiles::open(dir_.string()).value();
    append_external_id(files, 0, "same", AppendMode::ReuseIdentical);
    EXPECT_EQ(files.ids_file_len(), 8u);
    append_external_id(files, 0, "other", AppendMode::ReuseIdentical);
    EXPECT_EQ(files.ids_file_len(), 8u + 9);
    EXPECT_EQ(files.get_external_id(0), "other");
}

TEST_F(DataFilesTest, DamagedRecordsReadAsAbsentOrEmptyMetadata) {
    {
        DataFiles files = DataFiles::open(dir_.string()).value();
        append_external_id(files, 0, "ok", AppendMode::Always);
        append_metadata(files, 0, "{}", AppendMode::Always);
    }
    // Append a record claiming four gigabytes, one that is not UTF-8, and metadata over the
    // ten-million-byte limit; point slots 1..3 at them.
    {
        std::ofstream ids(dir_ / ids_file_name, std::ios::binary | std::ios::app);
        ids.write(
            "\xFF\xFF\xFF\xFF"
            "abc",
            7);
        ids.write("\x02\0\0\0\xC3\x28", 6);
        std::ofstream meta(dir_ / meta_file_name, std::ios::binary | std::ios::app);
        meta.write("\x81\x96\x98\x00{}", 6);
    }
    DataFiles files = DataFiles::open(dir_.string()).value();
    auto point_slot = [&](const char* name, std::uint32_t slot, std::uint64_t offset) {
        std::fstream f(dir_ / name, std::ios::binary | std::ios::in | std::ios::out);
        std::string bytes;
        put_u64(bytes, offset);
        f.seekp(static_cast<std::streamoff>(slot) * 8);
        f.write(bytes.data(), 8);
    };
    point_slot(offsets_file_name, 1, 6);
    point_slot(offsets_file_name, 2, 13);
    point_slot(meta_offsets_file_name, 3, 6);
    point_slot(meta_offsets_file_name, 4, 1000);
    DataFiles reopened = DataFiles::open(dir_.string()).value();
    EXPECT_EQ(reopened.get_external_id(0), "ok");
    EXPECT_EQ(reopened.get_external_id(1), std::nullopt) << "length beyond the file";
    EXPECT_EQ(reopened.get_external_id(2), std::nullopt) << "not UTF-8";
    EXPECT_EQ(reopened.get_metadata(3), "{}") << "over ten million bytes";
    EXPECT_EQ(reopened.get_metadata(4), "{}") << "offset beyond the used length";
    EXPECT_THROW(reopened.get_external_id(reopened.capacity()), InternalError);
}

TEST_F(DataFilesTest, OpeningTakesTheCapacityFromCoordsAndExtendsTheOthers) {
    std::ofstream(dir_ / coords_file_name).close();
    fs::resize_file(dir_ / coords_file_name, 1000000);
    DataFiles files = DataFiles::open(dir_.string()).value();
    EXPECT_EQ(files.capacity(), 125000u);
    expect_slot_files(1000000);
}

}  // namespace
}  // namespace vesko::storage
