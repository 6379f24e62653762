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

}  // namespace vesko::storage::fault
