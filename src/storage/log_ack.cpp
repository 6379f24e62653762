#include "storage/log_ack.h"

#include "storage/codec.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace vesko::storage {

namespace {

constexpr std::size_t ack_file_bytes = 64;
constexpr char ack_magic[8] = {'V', 'E', 'S', 'K', 'O', 'A', 'C', 'K'};
constexpr std::uint32_t ack_version = 1;
constexpr std::size_t generation_at = 16;
constexpr std::size_t log_end_at = 24;
constexpr std::size_t mark_device_at = 32;
constexpr std::size_t mark_inode_at = 40;
constexpr std::size_t mark_mtime_at = 48;
constexpr std::size_t mark_log_end_at = 56;
// The byte the writer's and readers' locks cover.
constexpr std::uint64_t lock_at = 0;
constexpr std::uint64_t lock_bytes = 1;

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "wal.ack's fields are shared between processes through lock-free atomics");

std::atomic_ref<std::uint64_t> field(const MappedRegion& map, std::size_t at) {
    return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(map.data() + at));
}

bool header_valid(const MappedRegion& map) {
    return std::memcmp(map.data(), ack_magic, sizeof ack_magic) == 0 &&
           load_u32(map.data() + 8) == ack_version;
}

}  // namespace

Result<LogAck> LogAck::open_writer(const std::string& dir) {
    LogAck ack;
    auto file = FileDescriptor::open(join_path(dir, log_ack_file_name), OpenMode::ReadWriteCreate);
    if (!file) return file.error();
    ack.file_ = std::move(file).value();
    auto size = ack.file_.size();
    if (!size) return size.error();
    if (*size < ack_file_bytes) VESKO_TRY(ack.file_.reserve(ack_file_bytes));
    auto mapped = MappedRegion::map(ack.file_, ack_file_bytes, MapAccess::ReadWrite);
    if (!mapped) return mapped.error();
    ack.map_ = std::move(mapped).value();
    if (!header_valid(ack.map_)) {
        // A new file, or one that is not ours: the fields first, the header last, so that a
        // reader never takes zeros for a generation.
        field(ack.map_, generation_at).store(0, std::memory_order_relaxed);
        field(ack.map_, log_end_at).store(0, std::memory_order_relaxed);
        for (std::size_t at = mark_device_at; at < ack_file_bytes; at += 8)
            field(ack.map_, at).store(0, std::memory_order_relaxed);
        std::memcpy(ack.map_.data() + 8, &ack_version, 4);
        std::memset(ack.map_.data() + 12, 0, 4);
        std::atomic_thread_fence(std::memory_order_release);
        std::memcpy(ack.map_.data(), ack_magic, sizeof ack_magic);
    }
    return ack;
}

Result<std::optional<LogAck>> LogAck::open_reader(const std::string& dir) {
    LogAck ack;
    auto file = FileDescriptor::open(join_path(dir, log_ack_file_name), OpenMode::ReadOnly);
    if (!file) {
        if (file.error().os_errno == ENOENT) return std::optional<LogAck>();
        return file.error();
    }
    ack.file_ = std::move(file).value();
    auto size = ack.file_.size();
    if (!size) return size.error();
    // Only the bytes the file holds are mapped: a shorter file is one being made.
    if (*size < ack_file_bytes) return std::optional<LogAck>();
    auto mapped = MappedRegion::map(ack.file_, ack_file_bytes, MapAccess::ReadOnly);
    if (!mapped) return mapped.error();
    ack.map_ = std::move(mapped).value();
    std::atomic_thread_fence(std::memory_order_acquire);
    if (!header_valid(ack.map_)) return std::optional<LogAck>();
    return std::optional<LogAck>(std::move(ack));
}

AckState LogAck::load() const {
    const std::uint64_t generation = field(map_, generation_at).load(std::memory_order_acquire);
    return AckState{generation, field(map_, log_end_at).load(std::memory_order_acquire)};
}

void LogAck::acknowledge(std::uint64_t log_end) {
    if (valid()) field(map_, log_end_at).store(log_end, std::memory_order_release);
}

void LogAck::begin_event() {
    (void)file_.lock_range(RangeLock::Exclusive, lock_at, lock_bytes);
    auto generation = field(map_, generation_at);
    // A writer killed inside an event left it odd: the next one starts from the even above.
    const std::uint64_t now = generation.load(std::memory_order_relaxed);
    generation.store((now | 1) + 2, std::memory_order_release);
}

void LogAck::end_event(std::optional<std::uint64_t> log_end) {
    if (log_end) field(map_, log_end_at).store(*log_end, std::memory_order_release);
    auto generation = field(map_, generation_at);
    generation.store(generation.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    file_.unlock_range(lock_at, lock_bytes);
}

void LogAck::mark_snapshot(const FileVersion& snapshot, std::uint64_t log_end) {
    if (!valid()) return;
    // The log end last when setting and first when clearing: a reader that reads the mark
    // unlocked (a writer that could not take its lock) sees no mark rather than half of one.
    field(map_, mark_log_end_at).store(0, std::memory_order_release);
    field(map_, mark_device_at).store(snapshot.device, std::memory_order_relaxed);
    field(map_, mark_inode_at).store(snapshot.inode, std::memory_order_relaxed);
    field(map_, mark_mtime_at)
        .store(static_cast<std::uint64_t>(snapshot.modified_ns), std::memory_order_relaxed);
    field(map_, mark_log_end_at).store(log_end, std::memory_order_release);
}

std::uint64_t LogAck::log_held_by(const FileVersion& snapshot) const {
    const std::uint64_t log_end = field(map_, mark_log_end_at).load(std::memory_order_acquire);
    if (log_end == 0) return 0;
    const bool same =
        field(map_, mark_device_at).load(std::memory_order_relaxed) == snapshot.device &&
        field(map_, mark_inode_at).load(std::memory_order_relaxed) == snapshot.inode &&
        field(map_, mark_mtime_at).load(std::memory_order_relaxed) ==
            static_cast<std::uint64_t>(snapshot.modified_ns);
    return same ? log_end : 0;
}

Result<void> LogAck::lock_shared() const {
    return file_.lock_range(RangeLock::Shared, lock_at, lock_bytes);
}

void LogAck::unlock() const { file_.unlock_range(lock_at, lock_bytes); }

}  // namespace vesko::storage
