// The mapping of engine errors to Python exceptions: ValueError with the fixed prefixes, the
// OSError subclass chosen by errno, PanicException (a BaseException) for internal failures.
#pragma once

#include "common/result.h"

#include <pybind11/pybind11.h>

namespace vesko::binding {

namespace py = pybind11;

// Creates vesko.PanicException and routes InternalError to it.
void register_exceptions(py::module_& module);

[[noreturn]] void raise_error(const Error& error);

// Inside a catch block of a callable the interpreter calls directly: sets the Python error
// for the exception in flight (a pending Python error, a pybind11 exception, InternalError as
// PanicException, anything else as RuntimeError) so that the callable can return null.
void set_error_from_active_exception() noexcept;

inline void raise_if_error(const Result<void>& result) {
    if (!result) raise_error(result.error());
}

template <class T>
T value_or_raise(Result<T> result) {
    if (!result) raise_error(result.error());
    return std::move(result).value();
}

}  // namespace vesko::binding
