// Owning wrappers over POSIX files, mappings and directory calls. posix_file.cpp is the only
// file that includes the POSIX headers and reads errno: every failed call comes back as an Os
// Error whose message is "<system text> (os error N)", with EINTR retried.
#pragma once

#include "common/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vesko::storage {

// "<system text> (os error N)": the one place the text of an OS error is composed.
std::string os_error_message(int errnum);
Error os_error(int errnum);
// True for the error of a call that would have had to wait (EAGAIN, EWOULDBLOCK).
bool would_block(const Error& error);
// True for the error of a call the process was not allowed to make on a file (EACCES, EPERM,
// or EROFS for a file system mounted read-only).
bool permission_denied(const Error& error);
// A store file that does not hold what the store writes: ErrorKind::Damaged with errno EIO,
// `message` followed by " (os error 5)".
Error damaged_error(const std::string& message);

enum class OpenMode {
    ReadWriteCreate,    // read and write, created (0666 less umask) if missing, never truncated
    ReadWriteExisting,  // read and write, must exist
    ReadOnly,
    AppendCreate,   // write-only appending, created if missing
    WriteTruncate,  // write-only, created if missing, truncated
};

// A lock on a byte range of a file, owned by the open file description (not the process), so
// that two descriptors in one process exclude each other as two processes do, and the kernel
// drops it when the last descriptor closes, a killed process included.
enum class RangeLock { Shared, Exclusive };

// Move-only file handle; the destructor closes it. A close error there is ignored: nothing is
// buffered in user space, and the callers that need durability sync explicitly first.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    static Result<FileDescriptor> open(const std::string& path, OpenMode mode);

    bool valid() const { return fd_ >= 0; }
    Result<std::uint64_t> size() const;
    Result<void> truncate(std::uint64_t length) const;
    // Makes the file at least `length` bytes long with every block up to there allocated, so
    // that a later write through a mapping cannot fail for want of space: a full disk shows
    // here, as ENOSPC, instead of as SIGBUS on some later store to memory. A longer file keeps
    // its length.
    Result<void> reserve(std::uint64_t length) const;
    // Writes all bytes at the offset (retrying short writes).
    Result<void> write_at(std::string_view bytes, std::uint64_t offset) const;
    // Writes all bytes at the current position (the end, for an appending handle).
    Result<void> write_all(std::string_view bytes) const;
    // Reads up to out.size() bytes at the offset; fewer only at the end of the file.
    Result<std::size_t> read_at(std::span<unsigned char> out, std::uint64_t offset) const;
    Result<void> seek(std::uint64_t offset) const;
    Result<void> datasync() const;
    Result<void> sync() const;
    // Takes the range lock, waiting while another description holds a conflicting one. A
    // shared lock needs a descriptor open for reading, an exclusive one for writing.
    Result<void> lock_range(RangeLock kind, std::uint64_t offset, std::uint64_t length) const;
    void unlock_range(std::uint64_t offset, std::uint64_t length) const;

  private:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    friend class MappedRegion;
    friend class DirectoryLock;

    int fd_ = -1;
};

enum class MapAccess { ReadWrite, ReadOnly };

// Move-only memory mapping; the destructor unmaps it. To remap, build the new region first and
// then move-assign it, so that a failure leaves the old mapping in place.
class MappedRegion {
  public:
    MappedRegion() = default;
    MappedRegion(MappedRegion&& other) noexcept;
    MappedRegion& operator=(MappedRegion&& other) noexcept;
    MappedRegion(const MappedRegion&) = delete;
    MappedRegion& operator=(const MappedRegion&) = delete;
    ~MappedRegion();

    // Shared mapping of the first `length` bytes of the file, writable or not. A zero length
    // (which mmap refuses) gives a private one-byte anonymous page, so that data() of a
    // mapped region is never null. A length the address space cannot hold is an Os error,
    // never a shorter mapping: EFBIG beyond what a pointer can span (a file of a few GiB on a
    // 32-bit machine), ENOMEM from the OS when no range that long is free.
    static Result<MappedRegion> map(const FileDescriptor& file, std::uint64_t length,
                                    MapAccess access);

    unsigned char* data() const { return base_; }
    std::size_t size() const { return length_; }
    // Writes dirty pages back and waits for them (synchronous msync).
    Result<void> sync() const;
    // Access-pattern advice; a refusal is harmless and ignored.
    void advise_random() const;
    void advise_sequential() const;
    // Fills the page tables of the first `length` bytes for the pages the OS already caches,
    // so that reading them later takes no page fault; pages not in memory are left alone (no
    // read from the disk). Advisory: a kernel without the request leaves every page to faults.
    void map_cached_pages(std::uint64_t length) const;

  private:
    unsigned char* base_ = nullptr;
    std::size_t length_ = 0;
};

// The whole content of a file, read-only: mapped when it can be, else read into memory.
class FileBytes {
  public:
    // Nothing when the file does not exist; an error naming it when it exists but cannot be
    // read.
    static Result<std::optional<FileBytes>> open(const std::string& path);

    std::span<const unsigned char> bytes() const {
        return map_.data() != nullptr
                   ? std::span<const unsigned char>(map_.data(), size_)
                   : std::span<const unsigned char>(
                         reinterpret_cast<const unsigned char*>(copy_.data()), copy_.size());
    }

    // The content read into memory, never mapped: for a file that another process may cut
    // while it is read (a mapping would fault on the pages cut away).
    static Result<std::optional<FileBytes>> copy(const std::string& path);

  private:
    // open, with the error as the failed call gave it.
    static Result<std::optional<FileBytes>> read_whole(const std::string& path);

    MappedRegion map_;
    std::size_t size_ = 0;
    std::string copy_;
};

// What tells one version of a file from another without reading it.
struct FileVersion {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;
    bool operator==(const FileVersion&) const = default;
};
// Nothing when there is no file at `path`.
Result<std::optional<FileVersion>> version_at(const std::string& path);

// An exclusive advisory lock (flock) on a directory, held through a read-only descriptor of the
// directory itself, so renames of the files inside it do not affect it. Released by the
// destructor, but only in the process that took it: a child made by fork() shares the lock
// with its parent, and unlocking there would unlock the parent's store. The child merely
// closes its copy of the descriptor.
class DirectoryLock {
  public:
    DirectoryLock() = default;
    DirectoryLock(DirectoryLock&& other) noexcept;
    DirectoryLock& operator=(DirectoryLock&& other) noexcept;
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    ~DirectoryLock();

    // Takes the lock, waiting up to `timeout_s` seconds (0: not at all; infinity: as long as
    // it takes) while it is held elsewhere (through another descriptor in this process, or by
    // another process); still held then, an Os error with errno EWOULDBLOCK. The wait is the
    // kernel's own blocking lock, done by a helper thread: waiters are woken the moment the
    // holder lets go, so a process that opens and closes in a loop cannot keep one out the way
    // it would keep out a caller that sleeps between tries. A helper whose caller gave up
    // lets the lock go as soon as it gets it, and closes its descriptor.
    static Result<DirectoryLock> acquire(const std::string& dir, double timeout_s = 0);

    bool held() const { return dir_.valid(); }
    // Unlocks (in the process that locked) and closes; what the destructor does.
    void release();

  private:
    FileDescriptor dir_;
    std::uint64_t process_generation_ = 0;
};

// A reader-writer lock that lets no new reader in while a writer waits: a writer waits only
// for the readers already inside, and readers that come after it queue behind it, so a steady
// stream of readers cannot starve writers. Not recursive: a thread that holds it shared and
// asks for it again deadlocks as soon as a writer waits in between, so no path may take it
// twice. Meets the standard's SharedMutex requirements (std::unique_lock, std::shared_lock).
class SharedMutex {
  public:
    SharedMutex();
    ~SharedMutex();
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();
    void lock_shared();
    bool try_lock_shared();
    void unlock_shared();

  private:
    // The system's rwlock, kept here as bytes so that this header includes no POSIX one; the
    // source checks that it fits.
    alignas(16) unsigned char rwlock_[64];
};

// What tells two paths to one file or directory apart from two files: the device and the
// inode, the same for every spelling of a path and every symbolic link to it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    auto operator<=>(const FileIdentity&) const = default;
};
// The identity of what `path` names, following symbolic links.
Result<FileIdentity> file_identity(const std::string& path);

// A number that changes in every child made by fork() and nowhere else: an object that
// remembers the value it was created under knows whether it now runs in another process.
// Costs one relaxed atomic load.
std::uint64_t process_generation();

// Hands the heap's free memory back to the system (glibc's malloc_trim; nothing elsewhere).
// After a large structure is freed, the allocator otherwise keeps its pages, so that a process
// which replaced its whole index holds the memory of two.
void return_free_memory();

// mkdir -p with mode 0777 less umask; an existing directory is fine, an existing file is
// FileExistsError like any other failed mkdir.
Result<void> create_directories(const std::string& path);
// True when the path's attributes can be read.
bool path_exists(const std::string& path);
// The size of the file at `path`; 0 when there is none.
Result<std::uint64_t> file_size_at(const std::string& path);
// Succeeds when `path` is an existing directory; else the error of looking it up (ENOTDIR
// for something else).
Result<void> require_directory(const std::string& path);
Result<void> rename_path(const std::string& from, const std::string& to);
Result<void> remove_file(const std::string& path);
// Forces a directory's entries (renames, creations) to disk.
Result<void> sync_directory(const std::string& path);
void sleep_milliseconds(int ms);

std::string join_path(const std::string& dir, std::string_view name);

}  // namespace vesko::storage
