// The engine's only contact with the operating system's file interfaces.
#include "storage/posix_file.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vesko::storage {

namespace {

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
    int fd = retry_eintr([&] { return ::open(path.c_str(), open_flags(mode) | O_CLOEXEC, 0666); });
    if (fd < 0) return last_error();
    return FileDescriptor(fd);
}

Result<std::uint64_t> FileDescriptor::size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_error();
    return static_cast<std::uint64_t>(st.st_size);
}

Result<void> FileDescriptor::truncate(std::uint64_t length) const {
    if (retry_eintr([&] { return ::ftruncate(fd_, static_cast<off_t>(length)); }) != 0) {
        return last_error();
    }
    return {};
}

Result<void> FileDescriptor::write_at(std::string_view bytes, std::uint64_t offset) const {
    while (!bytes.empty()) {
        ssize_t n = retry_eintr(
            [&] { return ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)); });
        if (n < 0) return last_error();
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
    return {};
}

Result<void> FileDescriptor::write_all(std::string_view bytes) const {
    while (!bytes.empty()) {
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
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return last_error();
    return {};
}

Result<void> FileDescriptor::datasync() const {
    if (retry_eintr([&] { return ::fdatasync(fd_); }) != 0) return last_error();
    return {};
}

Result<void> FileDescriptor::sync() const {
    if (retry_eintr([&] { return ::fsync(fd_); }) != 0) return last_error();
    return {};
}

MappedRegion::MappedRegion(MappedRegion&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), length_(std::exchange(other.length_, 0)) {}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept {
    std::swap(base_, other.base_);
    std::swap(length_, other.length_);
    return *this;
}

MappedRegion::~MappedRegion() {
    if (base_ != nullptr) ::munmap(base_, length_);
}

Result<MappedRegion> MappedRegion::map(const FileDescriptor& file, std::size_t length,
                                       MapAccess access) {
    const int prot = access == MapAccess::ReadWrite ? PROT_READ | PROT_WRITE : PROT_READ;
    void* p = length == 0
                  ? ::mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : ::mmap(nullptr, length, prot, MAP_SHARED, file.fd_, 0);
    if (p == MAP_FAILED) return last_error();
    MappedRegion region;
    region.base_ = static_cast<unsigned char*>(p);
    region.length_ = length == 0 ? 1 : length;
    return region;
}

Result<void> MappedRegion::sync() const {
    if (base_ != nullptr && ::msync(base_, length_, MS_SYNC) != 0) return last_error();
    return {};
}

void MappedRegion::advise_random() const {
    if (base_ != nullptr) (void)::madvise(base_, length_, MADV_RANDOM);
}

void MappedRegion::advise_sequential() const {
    if (base_ != nullptr) (void)::madvise(base_, length_, MADV_SEQUENTIAL);
}

Result<std::optional<FileBytes>> FileBytes::open(const std::string& path) {
    if (!path_exists(path)) return std::optional<FileBytes>();
    auto file = FileDescriptor::open(path, OpenMode::ReadOnly);
    if (!file) return file.error();
    auto size = file->size();
    if (!size) return size.error();
    FileBytes out;
    if (*size == 0) return std::optional<FileBytes>(std::move(out));
    auto mapped = MappedRegion::map(*file, static_cast<std::size_t>(*size), MapAccess::ReadOnly);
    if (mapped) {
        mapped->advise_sequential();
        out.map_ = std::move(mapped).value();
        out.size_ = static_cast<std::size_t>(*size);
        return std::optional<FileBytes>(std::move(out));
    }
    out.copy_.resize(static_cast<std::size_t>(*size));
    auto got =
        file->read_at(std::span<unsigned char>(reinterpret_cast<unsigned char*>(out.copy_.data()),
                                               out.copy_.size()),
                      0);
    if (!got) return got.error();
    out.copy_.resize(*got);
    return std::optional<FileBytes>(std::move(out));
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
    if (::rename(from.c_str(), to.c_str()) != 0) return last_error();
    return {};
}

Result<void> remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return last_error();
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
