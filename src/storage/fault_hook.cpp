// The fault registry: the calls counted by kind and the one failure armed. Atomics, since the
// engine's calls may come from more than one thread; tests arm from one thread at a time.
#include "storage/fault_hook.h"

#include <atomic>

namespace vesko::storage::fault {

namespace {

std::atomic<std::uint64_t> counts[call_kinds];
std::atomic<int> armed_kind{-1};  // -1: any kind
std::atomic<std::uint64_t> armed_nth{0};
std::atomic<int> armed_errno{0};
std::atomic<int> fired_kind{-1};
std::atomic<std::uint64_t> seen_since_armed{0};

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

}  // namespace vesko::storage::fault
