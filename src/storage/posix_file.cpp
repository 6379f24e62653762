// The engine's only contact with the operating system's file interfaces. In builds with
// VESKO_FAULT_HOOKS every call that can fail first asks the fault hook whether to fail.
#include "storage/posix_file.h"

#include "common/check.h"

#ifdef VESKO_FAULT_HOOKS
#include "storage/fault_hook.h"
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vesko::storage {

static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit (_FILE_OFFSET_BITS=64)");

#ifdef VESKO_FAULT_HOOKS
using fault::Call;
#define VESKO_FAULT_POINT(call) fault::injected(call)
#else
#define VESKO_FAULT_POINT(call) 0
#endif

namespace {

#ifdef VESKO_FAULT_HOOKS
// The path a descriptor was opened with, as the recorder reports it.
std::string descriptor_path(int fd) {
    char buf[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

void record(fault::Event::Kind kind, std::string path, std::uint64_t offset = 0,
            std::string_view bytes = {}, std::string to = {}) {
    if (!fault::recording()) return;
    fault::record(fault::Event{kind, std::move(path), offset, std::string(bytes), std::move(to)});
}
#define VESKO_RECORD(...) record(__VA_ARGS__)
#else
#define VESKO_RECORD(...) static_cast<void>(0)
#endif

// Fails the call with the injected errno when the fault hook asks for it.
#define VESKO_INJECT_FAILURE(call)                           \
    do {                                                     \
        if (int injected_errno_ = VESKO_FAULT_POINT(call)) { \
            return os_error(injected_errno_);                \
        }                                                    \
    } while (false)

// The GNU strerror_r returns a pointer; the XSI one an int. Both overloads cover either.
[[maybe_unused]] const char* pick_text(int rc, const char* buf) {
    return rc == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* pick_text(const char* text, const char*) { return text; }

template <class Fn>
auto retry_eintr(Fn&& fn) {
    decltype(fn()) rc;
    do {
        rc = fn();
    } while (rc == -1 && errno == EINTR);
    return rc;
}

Error last_error() { return os_error(errno); }

Error sync_failure(int errnum) {
    Error error = os_error(errnum);
    error.failed_sync = true;
    return error;
}

// A file length as the size of a range of memory. Files keep 64-bit offsets everywhere; on a
// 32-bit machine one longer than a pointer can span cannot be mapped or copied whole, and
// saying so (EFBIG) is the only answer that is not a truncated view of it.
Result<std::size_t> fits_in_memory(std::uint64_t length) {
    if (length > std::numeric_limits<std::size_t>::max()) return os_error(EFBIG);
    return static_cast<std::size_t>(length);
}

int open_flags(OpenMode mode) {
    switch (mode) {
        case OpenMode::ReadWriteCreate:
            return O_RDWR | O_CREAT;
        case OpenMode::ReadWriteExisting:
            return O_RDWR;
        case OpenMode::ReadOnly:
            return O_RDONLY;
        case OpenMode::AppendCreate:
            return O_WRONLY | O_APPEND | O_CREAT;
        case OpenMode::WriteTruncate:
            return O_WRONLY | O_CREAT | O_TRUNC;
    }
    return O_RDONLY;
}

}  // namespace

std::string os_error_message(int errnum) {
    char buf[256] = {0};
    std::string text = pick_text(strerror_r(errnum, buf, sizeof buf), buf);
    return text + " (os error " + std::to_string(errnum) + ")";
}

Error os_error(int errnum) { return Error{ErrorKind::Os, os_error_message(errnum), errnum}; }

bool would_block(const Error& error) {
    return error.kind == ErrorKind::Os &&
           (error.os_errno == EAGAIN || error.os_errno == EWOULDBLOCK);
}

bool permission_denied(const Error& error) {
    return error.kind == ErrorKind::Os &&
           (error.os_errno == EACCES || error.os_errno == EPERM || error.os_errno == EROFS);
}

Error damaged_error(const std::string& message) {
    return Error{ErrorKind::Damaged, message + " (os error " + std::to_string(EIO) + ")", EIO};
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

Result<FileDescriptor> FileDescriptor::open(const std::string& path, OpenMode mode) {
    VESKO_INJECT_FAILURE(Call::Open);
    int fd = retry_eintr([&] { return ::open(path.c_str(), open_flags(mode) | O_CLOEXEC, 0666); });
    if (fd < 0) return last_error();
    if (mode == OpenMode::WriteTruncate)
        VESKO_RECORD(fault::Event::Kind::Resize, descriptor_path(fd), 0);
    return FileDescriptor(fd);
}

Result<std::uint64_t> FileDescriptor::size() const {
    VESKO_INJECT_FAILURE(Call::Stat);
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_error();
    return static_cast<std::uint64_t>(st.st_size);
}

Result<void> FileDescriptor::truncate(std::uint64_t length) const {
    VESKO_INJECT_FAILURE(Call::Truncate);
    if (retry_eintr([&] { return ::ftruncate(fd_, static_cast<off_t>(length)); }) != 0) {
        return last_error();
    }
    VESKO_RECORD(fault::Event::Kind::Resize, descriptor_path(fd_), length);
    return {};
}

Result<void> FileDescriptor::reserve(std::uint64_t length) const {
    auto current = size();
    if (!current) return current.error();
    const std::uint64_t from = std::min(*current, length);
    if (length == 0) return {};
    VESKO_INJECT_FAILURE(Call::Allocate);
    // Allocates from 0, not only the new tail: a file that an older build grew sparsely gets
    // its holes filled too. Ranges already allocated cost nothing.
    int rc;
    do {
        rc = ::posix_fallocate(fd_, 0, static_cast<off_t>(length));
    } while (rc == EINTR);
    if (rc == 0) {
        VESKO_RECORD(fault::Event::Kind::Grow, descriptor_path(fd_), length);
        return {};
    }
    if (rc != EOPNOTSUPP && rc != EINVAL) return os_error(rc);
    // A filesystem without allocation: writing zeros makes it find the blocks now, so the
    // failure shows here and not as SIGBUS later. Only the tail beyond the old length is
    // written; what lies below it is the file's content.
    static constexpr std::size_t chunk_bytes = 1 << 16;
    static const std::string zeros(chunk_bytes, '\0');
    for (std::uint64_t at = from; at < length;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk_bytes, length - at));
        auto written = write_at(std::string_view(zeros.data(), n), at);
        if (!written) {
            // Hand the space back; the file keeps the length it had.
            (void)truncate(*current);
            return written.error();
        }
        at += n;
    }
    return {};
}

Result<void> FileDescriptor::write_at(std::string_view bytes, std::uint64_t offset) const {
    VESKO_RECORD(fault::Event::Kind::Write, descriptor_path(fd_), offset, bytes);
    while (!bytes.empty()) {
#ifdef VESKO_FAULT_HOOKS
        if (int e = fault::injected(Call::Write)) {
            const std::string_view half = bytes.substr(0, bytes.size() / 2);
            (void)::pwrite(fd_, half.data(), half.size(), static_cast<off_t>(offset));
            return os_error(e);
        }
#endif
        ssize_t n = retry_eintr(
            [&] { return ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)); });
        if (n < 0) return last_error();
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
    return {};
}

Result<void> FileDescriptor::write_all(std::string_view bytes) const {
#ifdef VESKO_FAULT_HOOKS
    if (fault::recording()) {
        const off_t at = ::lseek(fd_, 0, SEEK_END);
        VESKO_RECORD(fault::Event::Kind::Write, descriptor_path(fd_),
                     static_cast<std::uint64_t>(at < 0 ? 0 : at), bytes);
    }
#endif
    while (!bytes.empty()) {
#ifdef VESKO_FAULT_HOOKS
        if (int e = fault::injected(Call::Write)) {
            const std::string_view half = bytes.substr(0, bytes.size() / 2);
            (void)::write(fd_, half.data(), half.size());
            return os_error(e);
        }
#endif
        ssize_t n = retry_eintr([&] { return ::write(fd_, bytes.data(), bytes.size()); });
        if (n < 0) return last_error();
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

Result<std::size_t> FileDescriptor::read_at(std::span<unsigned char> out,
                                            std::uint64_t offset) const {
    std::size_t done = 0;
    while (done < out.size()) {
        VESKO_INJECT_FAILURE(Call::Read);
        ssize_t n = retry_eintr([&] {
            return ::pread(fd_, out.data() + done, out.size() - done,
                           static_cast<off_t>(offset + done));
        });
        if (n < 0) return last_error();
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

Result<void> FileDescriptor::seek(std::uint64_t offset) const {
    VESKO_INJECT_FAILURE(Call::Seek);
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return last_error();
    return {};
}

Result<void> FileDescriptor::datasync() const {
    if (int injected = VESKO_FAULT_POINT(Call::Sync)) return sync_failure(injected);
    if (retry_eintr([&] { return ::fdatasync(fd_); }) != 0) return sync_failure(errno);
    VESKO_RECORD(fault::Event::Kind::Sync, descriptor_path(fd_));
    return {};
}

Result<void> FileDescriptor::sync() const {
    if (int injected = VESKO_FAULT_POINT(Call::Sync)) return sync_failure(injected);
    if (retry_eintr([&] { return ::fsync(fd_); }) != 0) return sync_failure(errno);
    VESKO_RECORD(fault::Event::Kind::Sync, descriptor_path(fd_));
    return {};
}

namespace {

struct flock range_lock_request(short type, std::uint64_t offset, std::uint64_t length) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = static_cast<off_t>(offset);
    request.l_len = static_cast<off_t>(length);
    return request;
}

}  // namespace

Result<void> FileDescriptor::lock_range(RangeLock kind, std::uint64_t offset,
                                        std::uint64_t length) const {
    VESKO_INJECT_FAILURE(Call::Lock);
    struct flock request =
        range_lock_request(kind == RangeLock::Shared ? F_RDLCK : F_WRLCK, offset, length);
    if (retry_eintr([&] { return ::fcntl(fd_, F_OFD_SETLKW, &request); }) != 0) {
        return last_error();
    }
    return {};
}

void FileDescriptor::unlock_range(std::uint64_t offset, std::uint64_t length) const {
    struct flock request = range_lock_request(F_UNLCK, offset, length);
    (void)::fcntl(fd_, F_OFD_SETLK, &request);
}

MappedRegion::MappedRegion(MappedRegion&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), length_(std::exchange(other.length_, 0)) {}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept {
    std::swap(base_, other.base_);
    std::swap(length_, other.length_);
    return *this;
}

MappedRegion::~MappedRegion() {
    if (base_ == nullptr) return;
#ifdef VESKO_FAULT_HOOKS
    fault::forget_mapping(base_);
#endif
    ::munmap(base_, length_);
}

Result<MappedRegion> MappedRegion::map(const FileDescriptor& file, std::uint64_t length,
                                       MapAccess access) {
    VESKO_INJECT_FAILURE(Call::Map);
    auto span = fits_in_memory(length);
    if (!span) return span.error();
    const int prot = access == MapAccess::ReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
    void* p = *span == 0
                  ? ::mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : ::mmap(nullptr, *span, prot, MAP_SHARED, file.fd_, 0);
    if (p == MAP_FAILED) return last_error();
    MappedRegion region;
    region.base_ = static_cast<unsigned char*>(p);
    region.length_ = *span == 0 ? 1 : *span;
#ifdef VESKO_FAULT_HOOKS
    if (*span != 0 && access == MapAccess::ReadWrite)
        fault::note_mapping(p, descriptor_path(file.fd_));
#endif
    return region;
}

Result<void> MappedRegion::sync() const {
    if (base_ == nullptr) return {};
    if (int injected = VESKO_FAULT_POINT(Call::MapSync)) return sync_failure(injected);
    if (::msync(base_, length_, MS_SYNC) != 0) return sync_failure(errno);
#ifdef VESKO_FAULT_HOOKS
    if (fault::recording()) {
        const std::string path = fault::mapped_path(base_);
        VESKO_RECORD(fault::Event::Kind::Write, path, 0,
                     std::string_view(reinterpret_cast<const char*>(base_), length_));
        VESKO_RECORD(fault::Event::Kind::Sync, path);
    }
#endif
    return {};
}

void MappedRegion::advise_random() const {
    if (base_ != nullptr) (void)::madvise(base_, length_, MADV_RANDOM);
}

void MappedRegion::advise_sequential() const {
    if (base_ != nullptr) (void)::madvise(base_, length_, MADV_SEQUENTIAL);
}

void MappedRegion::map_cached_pages(std::uint64_t wanted) const {
    // No longer than the region, so it fits a size_t.
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, length_));
    if (base_ == nullptr || length == 0) return;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t pages = (length + page - 1) / page;
    std::vector<unsigned char> cached(pages);
    if (::mincore(base_, length, cached.data()) != 0) return;
    // A page evicted between the two calls is read back by the populate: rare and harmless.
    for (std::size_t first = 0; first < pages;) {
        if ((cached[first] & 1) == 0) {
            ++first;
            continue;
        }
        std::size_t end = first + 1;
        while (end < pages && (cached[end] & 1) != 0) ++end;
        if (::madvise(base_ + first * page, (end - first) * page, MADV_POPULATE_READ) != 0) return;
        first = end;
    }
}

Result<std::optional<FileBytes>> FileBytes::open(const std::string& path) {
    auto read = read_whole(path);
    if (!read) {
        Error failed = read.error();
        failed.message = "cannot read " + path + ": " + failed.message;
        return failed;
    }
    return read;
}

Result<std::optional<FileBytes>> FileBytes::read_whole(const std::string& path) {
    if (!path_exists(path)) return std::optional<FileBytes>();
    auto file = FileDescriptor::open(path, OpenMode::ReadOnly);
    if (!file) return file.error();
    auto size = file->size();
    if (!size) return size.error();
    FileBytes out;
    if (*size == 0) return std::optional<FileBytes>(std::move(out));
    auto span = fits_in_memory(*size);
    if (!span) return span.error();
    auto mapped = MappedRegion::map(*file, *span, MapAccess::ReadOnly);
    if (mapped) {
        mapped->advise_sequential();
        out.map_ = std::move(mapped).value();
        out.size_ = *span;
        return std::optional<FileBytes>(std::move(out));
    }
    // A file the OS would not map is read instead; one that does not fit in memory either is
    // the error of the mapping.
    if (*span > out.copy_.max_size()) return mapped.error();
    try {
        out.copy_.resize(*span);
    } catch (const std::bad_alloc&) {
        return mapped.error();
    }
    auto got =
        file->read_at(std::span<unsigned char>(reinterpret_cast<unsigned char*>(out.copy_.data()),
                                               out.copy_.size()),
                      0);
    if (!got) return got.error();
    out.copy_.resize(*got);
    return std::optional<FileBytes>(std::move(out));
}

Result<std::optional<FileBytes>> FileBytes::copy(const std::string& path) {
    auto file = FileDescriptor::open(path, OpenMode::ReadOnly);
    if (!file) {
        if (file.error().os_errno == ENOENT) return std::optional<FileBytes>();
        return file.error();
    }
    FileBytes out;
    // Read in steps until a short read: the file may grow or shrink meanwhile, and what was
    // read is the content as of some moment of each step.
    constexpr std::size_t step = std::size_t{1} << 20;
    for (;;) {
        const std::size_t have = out.copy_.size();
        out.copy_.resize(have + step);
        auto got =
            file->read_at(std::span<unsigned char>(
                              reinterpret_cast<unsigned char*>(out.copy_.data()) + have, step),
                          have);
        if (!got) return got.error();
        out.copy_.resize(have + *got);
        if (*got < step) break;
    }
    return std::optional<FileBytes>(std::move(out));
}

Result<std::optional<FileVersion>> version_at(const std::string& path) {
    VESKO_INJECT_FAILURE(Call::Stat);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return std::optional<FileVersion>();
        return last_error();
    }
    return std::optional<FileVersion>(FileVersion{
        static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::uint64_t>(st.st_size),
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
}

namespace {

std::atomic<std::uint64_t> fork_generation{0};

void count_fork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void return_free_memory() {
#if defined(__GLIBC__)
    (void)::malloc_trim(0);
#endif
}

std::uint64_t process_generation() {
    // Registered the first time a store asks, which is before any fork it must notice.
    static std::once_flag registered;
    std::call_once(registered, [] { (void)::pthread_atfork(nullptr, nullptr, &count_fork); });
    return fork_generation.load(std::memory_order_relaxed);
}

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept
    : dir_(std::move(other.dir_)), process_generation_(other.process_generation_) {}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
    if (this != &other) {
        release();
        dir_ = std::move(other.dir_);
        process_generation_ = other.process_generation_;
    }
    return *this;
}

DirectoryLock::~DirectoryLock() { release(); }

namespace {

// A blocking flock run by a helper thread for a caller that waits a bounded time. Whoever
// finishes second (the helper getting the lock, or the caller giving up) sees the other's
// mark under the mutex: an abandoned helper unlocks and closes the descriptor itself.
struct LockWait {
    std::mutex mutex;
    std::condition_variable done_changed;
    FileDescriptor dir;
    bool done = false;       // the helper's flock returned
    int failed_errno = 0;    // its errno when it failed
    bool abandoned = false;  // the caller gave up waiting
};

// Waits for the lock on `dir` up to timeout_s seconds; true when it was taken, else
// `dir` is gone (the helper owns it now) or `failed_errno` is set.
bool wait_for_lock(FileDescriptor& dir, int fd, double timeout_s, int& failed_errno) {
    auto wait = std::make_shared<LockWait>();
    wait->dir = std::move(dir);
    std::thread([wait, fd] {
        const int rc = retry_eintr([fd] { return ::flock(fd, LOCK_EX); });
        const int err = rc == 0 ? 0 : errno;
        const std::lock_guard guard(wait->mutex);
        if (wait->abandoned) {
            if (rc == 0) (void)::flock(fd, LOCK_UN);
            wait->dir = FileDescriptor();
            return;
        }
        wait->done = true;
        wait->failed_errno = err;
        wait->done_changed.notify_one();
    }).detach();
    std::unique_lock guard(wait->mutex);
    const auto finished = [&] { return wait->done; };
    if (std::isinf(timeout_s)) {
        wait->done_changed.wait(guard, finished);
    } else if (!wait->done_changed.wait_for(guard, std::chrono::duration<double>(timeout_s),
                                            finished)) {
        wait->abandoned = true;
        failed_errno = EWOULDBLOCK;
        return false;
    }
    failed_errno = wait->failed_errno;
    dir = std::move(wait->dir);
    return failed_errno == 0;
}

}  // namespace

Result<DirectoryLock> DirectoryLock::acquire(const std::string& dir, double timeout_s) {
    VESKO_INJECT_FAILURE(Call::Open);
    int fd = retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return last_error();
    DirectoryLock lock;
    lock.dir_ = FileDescriptor(fd);
    lock.process_generation_ = process_generation();
    VESKO_INJECT_FAILURE(Call::Lock);
    if (retry_eintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0) return lock;
    Error failed = last_error();
    if (!would_block(failed) || !(timeout_s > 0)) {
        lock.dir_ = FileDescriptor();  // holds no lock, so closing it is all there is to do
        return failed;
    }
    int failed_errno = 0;
    if (wait_for_lock(lock.dir_, fd, timeout_s, failed_errno)) return lock;
    lock.dir_ = FileDescriptor();
    return os_error(failed_errno);
}

void DirectoryLock::release() {
    if (!dir_.valid()) return;
    // In a forked child the lock belongs to the parent as well; only closing is ours to do.
    if (process_generation_ == process_generation()) (void)::flock(dir_.fd_, LOCK_UN);
    dir_ = FileDescriptor();
}

static_assert(sizeof(pthread_rwlock_t) <= sizeof(SharedMutex));
static_assert(alignof(pthread_rwlock_t) <= 16);

namespace {

pthread_rwlock_t* rwlock_of(unsigned char* bytes) {
    return std::launder(reinterpret_cast<pthread_rwlock_t*>(bytes));
}

// The lock functions fail only on misuse (a lock taken twice by one thread, too many
// readers), which is a broken invariant.
void check_lock_call(int rc, const char* what) {
    if (rc != 0) fail_internal(std::string(what) + ": " + os_error_message(rc));
}

}  // namespace

SharedMutex::SharedMutex() {
    pthread_rwlockattr_t attributes;
    check_lock_call(::pthread_rwlockattr_init(&attributes), "pthread_rwlockattr_init");
#ifdef __GLIBC__
    // glibc's default prefers readers, which starves writers under steady reads.
    check_lock_call(
        ::pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP),
        "pthread_rwlockattr_setkind_np");
#endif
    auto* rwlock = new (rwlock_) pthread_rwlock_t;
    check_lock_call(::pthread_rwlock_init(rwlock, &attributes), "pthread_rwlock_init");
    (void)::pthread_rwlockattr_destroy(&attributes);
}

SharedMutex::~SharedMutex() { (void)::pthread_rwlock_destroy(rwlock_of(rwlock_)); }

void SharedMutex::lock() {
    check_lock_call(::pthread_rwlock_wrlock(rwlock_of(rwlock_)), "pthread_rwlock_wrlock");
}

bool SharedMutex::try_lock() { return ::pthread_rwlock_trywrlock(rwlock_of(rwlock_)) == 0; }

void SharedMutex::unlock() {
    check_lock_call(::pthread_rwlock_unlock(rwlock_of(rwlock_)), "pthread_rwlock_unlock");
}

void SharedMutex::lock_shared() {
    check_lock_call(::pthread_rwlock_rdlock(rwlock_of(rwlock_)), "pthread_rwlock_rdlock");
}

bool SharedMutex::try_lock_shared() { return ::pthread_rwlock_tryrdlock(rwlock_of(rwlock_)) == 0; }

void SharedMutex::unlock_shared() { unlock(); }

Result<FileIdentity> file_identity(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return last_error();
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino)};
}

namespace {

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Result<void> create_directories(const std::string& path) {
    if (path.empty()) return os_error(ENOENT);
    if (is_directory(path)) return {};
    VESKO_INJECT_FAILURE(Call::MakeDirectory);
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    int err = errno;
    if (err == ENOENT) {
        // Make the parents first, then try again; the first error that is not a missing
        // parent is the one reported.
        std::size_t end = path.find_last_not_of('/');
        std::size_t slash = end == std::string::npos ? std::string::npos : path.rfind('/', end);
        if (slash != std::string::npos && slash > 0) {
            VESKO_TRY(create_directories(path.substr(0, slash)));
            if (::mkdir(path.c_str(), 0777) == 0) return {};
            err = errno;
        }
    }
    if (is_directory(path)) return {};
    return os_error(err);
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

Result<std::uint64_t> file_size_at(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return static_cast<std::uint64_t>(st.st_size);
    if (errno == ENOENT) return std::uint64_t{0};
    return last_error();
}

Result<void> require_directory(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return last_error();
    if (!S_ISDIR(st.st_mode)) return os_error(ENOTDIR);
    return {};
}

Result<void> rename_path(const std::string& from, const std::string& to) {
    VESKO_INJECT_FAILURE(Call::Rename);
    if (::rename(from.c_str(), to.c_str()) != 0) return last_error();
    VESKO_RECORD(fault::Event::Kind::Rename, from, 0, {}, to);
    return {};
}

Result<void> remove_file(const std::string& path) {
    VESKO_INJECT_FAILURE(Call::Unlink);
    if (::unlink(path.c_str()) != 0) return last_error();
    VESKO_RECORD(fault::Event::Kind::Unlink, path);
    return {};
}

Result<void> sync_directory(const std::string& path) {
    auto dir = FileDescriptor::open(path, OpenMode::ReadOnly);
    if (!dir) return dir.error();
    return dir->sync();
}

void sleep_milliseconds(int ms) {
    struct timespec ts {
        ms / 1000, static_cast<long>(ms % 1000) * 1000000L
    };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string join_path(const std::string& dir, std::string_view name) {
    std::string out = dir;
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

}  // namespace vesko::storage
