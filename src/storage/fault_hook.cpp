// The fault registry: the calls counted by kind and the one failure armed. Atomics, since the
// engine's calls may come from more than one thread; tests arm from one thread at a time.
#include "storage/fault_hook.h"

#include <atomic>
#include <map>
#include <mutex>

namespace vesko::storage::fault {

namespace {

std::atomic<std::uint64_t> counts[call_kinds];
std::atomic<int> armed_kind{-1};  // -1: any kind
std::atomic<std::uint64_t> armed_nth{0};
std::atomic<int> armed_errno{0};
std::atomic<int> fired_kind{-1};
std::atomic<std::uint64_t> seen_since_armed{0};

// Guarded by record_lock: the events and the paths of the writable mappings.
std::mutex record_lock;
bool recording_on = false;
std::vector<Event> events;
std::map<const void*, std::string> mappings;

}  // namespace

const char* call_name(Call call) {
    static const char* const names[call_kinds] = {
        "open",  "fstat", "ftruncate", "fallocate", "write",  "read",  "lseek",
        "fsync", "mmap",  "msync",     "rename",    "unlink", "mkdir", "flock",
    };
    return names[static_cast<int>(call)];
}

void reset() {
    for (auto& c : counts) c = 0;
    armed_nth = 0;
    armed_errno = 0;
    fired_kind = -1;
    seen_since_armed = 0;
}

std::uint64_t count(std::optional<Call> call) {
    if (call) return counts[static_cast<int>(*call)];
    std::uint64_t total = 0;
    for (auto& c : counts) total += c;
    return total;
}

void arm(std::optional<Call> call, std::uint64_t nth, int errnum) {
    armed_kind = call ? static_cast<int>(*call) : -1;
    seen_since_armed = 0;
    fired_kind = -1;
    armed_errno = errnum;
    armed_nth = nth;
}

std::optional<Call> fired() {
    const int kind = fired_kind;
    if (kind < 0) return std::nullopt;
    return static_cast<Call>(kind);
}

int injected(Call call) {
    counts[static_cast<int>(call)]++;
    if (armed_nth == 0) return 0;
    if (armed_kind >= 0 && armed_kind != static_cast<int>(call)) return 0;
    if (++seen_since_armed != armed_nth) return 0;
    armed_nth = 0;
    fired_kind = static_cast<int>(call);
    return armed_errno;
}

void start_recording() {
    std::lock_guard guard(record_lock);
    events.clear();
    recording_on = true;
}

std::vector<Event> stop_recording() {
    std::lock_guard guard(record_lock);
    recording_on = false;
    return std::move(events);
}

bool recording() {
    std::lock_guard guard(record_lock);
    return recording_on;
}

std::size_t recorded() {
    std::lock_guard guard(record_lock);
    return events.size();
}

void record(Event event) {
    std::lock_guard guard(record_lock);
    if (recording_on) events.push_back(std::move(event));
}

void note_mapping(const void* base, std::string path) {
    std::lock_guard guard(record_lock);
    mappings[base] = std::move(path);
}

void forget_mapping(const void* base) {
    std::lock_guard guard(record_lock);
    mappings.erase(base);
}

std::string mapped_path(const void* base) {
    std::lock_guard guard(record_lock);
    auto it = mappings.find(base);
    return it == mappings.end() ? std::string() : it->second;
}

}  // namespace vesko::storage::fault
