// Test-only fault injection into the system calls of posix_file.cpp: "fail the Nth call of
// this kind with errno E". Exists only in builds configured with VESKO_FAULT_HOOKS (the C++
// test build); the module never contains it. Counting and arming are process-wide and meant
// for one test thread at a time.
#pragma once

#ifndef VESKO_FAULT_HOOKS
#error "fault_hook.h is for builds with VESKO_FAULT_HOOKS only"
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::storage::fault {

// Every system call that can report a failure, by kind.
enum class Call {
    Open,
    Stat,  // fstat of an open descriptor (a file's size)
    Truncate,
    Allocate,
    Write,  // write and pwrite
    Read,
    Seek,
    Sync,  // fsync and fdatasync
    Map,
    MapSync,  // msync
    Rename,
    Unlink,
    MakeDirectory,
    Lock,
};

inline constexpr int call_kinds = 14;

const char* call_name(Call call);

// Starts counting from zero with nothing armed.
void reset();
// Calls of `call` made since reset(); every kind when nothing is given.
std::uint64_t count(std::optional<Call> call = std::nullopt);

// Makes the nth call (from 1, counted from now) of `call`, or of any kind when nothing is
// given, fail with `errnum`. A failing write first writes the leading half of its bytes, as
// a disk that fills during the write does. Every other call proceeds.
void arm(std::optional<Call> call, std::uint64_t nth, int errnum);
// The kind of call the armed failure hit; nothing while it has not fired.
std::optional<Call> fired();

// Counts a call of `call` about to be made and returns the errno it must fail with, or 0.
// posix_file.cpp asks before every system call that can fail.
int injected(Call call);

// Recording: while it is on, posix_file.cpp reports every change it makes to a file's bytes,
// length or name and every flush to disk, in the order the calls returned, so that a test can
// rebuild what a power loss after any of them could leave. Writes through a mapping are seen
// only when msync forces them (as one write of the whole mapping, then a Sync). Paths are
// absolute for calls on a descriptor and as given for calls on a name.
struct Event {
    enum class Kind {
        Write,   // `bytes` at `offset`
        Resize,  // the length set to `offset` (ftruncate, or O_TRUNC at open)
        Grow,    // the length raised to `offset` if shorter (fallocate)
        Sync,    // fsync or fdatasync of `path` (a file or a directory), or msync
        Rename,  // `path` renamed to `to`
        Unlink,
    };
    Kind kind;
    std::string path;
    std::uint64_t offset = 0;
    std::string bytes;
    std::string to;
};

void start_recording();
// The events since start_recording, and recording off.
std::vector<Event> stop_recording();
bool recording();
// How many events were recorded since start_recording.
std::size_t recorded();
// Called by posix_file.cpp only.
void record(Event event);
// The path of the file mapped at `base`, kept by posix_file.cpp for msync's events.
void note_mapping(const void* base, std::string path);
void forget_mapping(const void* base);
std::string mapped_path(const void* base);

}  // namespace vesko::storage::fault
