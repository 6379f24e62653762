// The mapping of engine errors to Python exceptions: ValueError with the fixed prefixes, the
// OSError subclass chosen by errno, PanicException (a BaseException) for internal failures.
#pragma once

#include "common/result.h"

#include <pybind11/pybind11.h>

#include <string>

namespace vesko::binding {

namespace py = pybind11;

// Raises the exception class `type` (PyExc_TypeError, PyExc_ValueError, ...) with `message` as
// a pending Python error, the form every conversion error takes, so that a caller rewriting a
// TypeError (the "item i:" of a batch) sees ours as it sees the interpreter's.
[[noreturn]] void raise_with(py::handle type, const std::string& message);

// Creates vesko.PanicException and routes InternalError to it.
void register_exceptions(py::module_& module);

// How an Os error is raised: as the OSError subclass its errno picks, or as OSError itself
// (vacuum's promise: every failure of it is an OSError and never a subclass).
enum class OsErrorClass { ByErrno, Plain };

// Inside a catch block of a callable the interpreter calls directly: sets the Python error
// for the exception in flight (a pending Python error, a pybind11 exception, InternalError as
// PanicException, anything else as RuntimeError) so that the callable can return null.
void set_error_from_active_exception() noexcept;

// What a method puts before the message of an InvalidJson error, naming the text it was
// given: add's and upsert's metadata and exists' filter say which; the searches, items and
// delete_by_filter show the message alone.
inline constexpr const char* metadata_prefix = "Invalid JSON: ";
inline constexpr const char* exists_filter_prefix = "Invalid Filter: ";

[[noreturn]] void raise_error(const Error& error, const char* invalid_json_prefix = "",
                              OsErrorClass os_class = OsErrorClass::ByErrno);

inline void raise_if_error(const Result<void>& result, const char* invalid_json_prefix = "",
                           OsErrorClass os_class = OsErrorClass::ByErrno) {
    if (!result) raise_error(result.error(), invalid_json_prefix, os_class);
}

template <class T>
T value_or_raise(Result<T> result, const char* invalid_json_prefix = "") {
    if (!result) raise_error(result.error(), invalid_json_prefix);
    return std::move(result).value();
}

}  // namespace vesko::binding
