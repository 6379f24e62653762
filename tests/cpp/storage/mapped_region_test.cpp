#include "storage/posix_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace vesko::storage {
namespace {

namespace fs = std::filesystem;

long minor_faults() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// A file of `pages` pages of 7s, written page by page from the back: each write caches one
// small page, as appends and writes through a mapping do, where a single large write may be
// cached in large blocks that one fault maps whole.
fs::path write_file_page_by_page(const char* tag, std::size_t pages, std::size_t page) {
    const fs::path path = fs::temp_directory_path() / ("vesko-mapped-region-" + std::string(tag) +
                                                       "-" + std::to_string(::getpid()));
    std::ofstream out(path, std::ios::binary);
    const std::string one(page, '\x07');
    for (std::size_t p = pages; p-- > 0;) {
        out.seekp(static_cast<std::streamoff>(p * page));
        out.write(one.data(), static_cast<std::streamsize>(page));
        out.flush();
    }
    return path;
}

// Page faults taken while reading one byte of every page of the first `length` bytes. Not
// instrumented by AddressSanitizer, whose checks would fault in its own shadow pages.
__attribute__((no_sanitize("address"))) long faults_reading(const MappedRegion& region,
                                                            std::size_t length, std::size_t page) {
    const long before = minor_faults();
    unsigned sum = 0;
    for (std::size_t at = 0; at < length; at += page) sum += region.data()[at];
    const long after = minor_faults();
    EXPECT_EQ(sum, length / page * 7u);
    return after - before;
}

// Whether the OS carries out MADV_POPULATE_READ, which map_cached_pages asks for: user-mode
// emulators (qemu-user) accept every madvise and do nothing, and kernels before 5.14 refuse
// it. Anonymous pages it maps take no fault when read.
bool populate_is_carried_out(std::size_t page) {
    const std::size_t length = 16 * page;
    void* p = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    bool done = ::madvise(p, length, MADV_POPULATE_READ) == 0;
    if (done) {
        const long before = minor_faults();
        unsigned sum = 0;
        for (std::size_t at = 0; at < length; at += page) {
            sum += static_cast<volatile unsigned char*>(p)[at];
        }
        done = minor_faults() == before && sum == 0;
    }
    ::munmap(p, length);
    return done;
}

// A freshly written file sits in the OS cache: once its cached pages are mapped, reading it
// takes (almost) no page fault, while a plain mapping takes one every few pages.
TEST(MappedRegionTest, MapCachedPagesLeavesNoFaultForCachedPages) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t pages = 512;
    const fs::path path = write_file_page_by_page("cached", pages, page);
    auto file = FileDescriptor::open(path.string(), OpenMode::ReadOnly);
    ASSERT_TRUE(file);

    auto plain = MappedRegion::map(*file, pages * page, MapAccess::ReadOnly);
    ASSERT_TRUE(plain);
    plain->advise_random();
    const long plain_faults = faults_reading(*plain, pages * page, page);

    auto mapped = MappedRegion::map(*file, pages * page, MapAccess::ReadOnly);
    ASSERT_TRUE(mapped);
    mapped->advise_random();
    mapped->map_cached_pages(pages / 2 * page);
    const long front_faults = faults_reading(*mapped, pages / 2 * page, page);
    fs::remove(path);

    // Kernels map up to 16 cached pages around a fault, so a plain read of 512 pages takes 32.
    if (plain_faults < 8) {
        GTEST_SKIP() << "this kernel maps pages ahead of random reads (" << plain_faults
                     << " faults for " << pages << " pages): nothing to compare";
    }
    if (!populate_is_carried_out(page)) {
        GTEST_SKIP() << "this system does not carry out MADV_POPULATE_READ (" << front_faults
                     << " faults for " << pages / 2
                     << " pages): an emulator or a kernel before 5.14";
    }
    EXPECT_LE(front_faults, 1) << "plain mapping: " << plain_faults << " faults";
}

// Pages the OS does not cache stay on the disk: mapping the cached ones reads nothing.
TEST(MappedRegionTest, MapCachedPagesReadsNothingFromTheDisk) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t pages = 256;
    const fs::path path = write_file_page_by_page("evicted", pages, page);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ::fdatasync(fd);
    ::posix_fadvise(fd, static_cast<off_t>(pages / 2 * page), 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    auto file = FileDescriptor::open(path.string(), OpenMode::ReadOnly);
    ASSERT_TRUE(file);
    auto region = MappedRegion::map(*file, pages * page, MapAccess::ReadOnly);
    ASSERT_TRUE(region);
    std::vector<unsigned char> before(pages), after(pages);
    ASSERT_EQ(::mincore(region->data(), pages * page, before.data()), 0);
    region->map_cached_pages(pages * page);
    ASSERT_EQ(::mincore(region->data(), pages * page, after.data()), 0);
    fs::remove(path);
    if ((before[pages - 1] & 1) != 0) GTEST_SKIP() << "the OS kept the dropped pages cached";
    for (std::size_t p = 0; p < pages; ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(after[p] & 1, before[p] & 1);
    }
}

TEST(MappedRegionTest, MapCachedPagesOfAnEmptyRegionOrLengthIsHarmless) {
    MappedRegion none;
    none.map_cached_pages(4096);
    const fs::path path =
        fs::temp_directory_path() / ("vesko-mapped-region-empty-" + std::to_string(::getpid()));
    { std::ofstream out(path, std::ios::binary); }
    auto file = FileDescriptor::open(path.string(), OpenMode::ReadOnly);
    ASSERT_TRUE(file);
    auto region = MappedRegion::map(*file, 0, MapAccess::ReadOnly);
    ASSERT_TRUE(region);
    region->map_cached_pages(0);
    region->map_cached_pages(1 << 20);  // longer than the region: clipped to it
    EXPECT_NE(region->data(), nullptr);
    fs::remove(path);
}

}  // namespace
}  // namespace vesko::storage
