#include "binding/errors.h"

#include "common/check.h"

#include <cerrno>
#include <exception>
#include <new>

namespace vesko::binding {

namespace {

PyObject* panic_exception = nullptr;

// OSError subclass by error kind; errno values that share a kind share a class.
PyObject* os_error_class(int errnum) {
    switch (errnum) {
        case ENOENT:
            return PyExc_FileNotFoundError;
        case EACCES:
        case EPERM:
        case EROFS:  // a read-only mount: as much a permission as a mode bit is
            return PyExc_PermissionError;
        case EEXIST:
            return PyExc_FileExistsError;
        case EAGAIN:
            return PyExc_BlockingIOError;
        case EPIPE:
            return PyExc_BrokenPipeError;
        case ECONNREFUSED:
            return PyExc_ConnectionRefusedError;
        case ECONNABORTED:
            return PyExc_ConnectionAbortedError;
        case ECONNRESET:
            return PyExc_ConnectionResetError;
        case EINTR:
            return PyExc_InterruptedError;
        case ETIMEDOUT:
            return PyExc_TimeoutError;
        default:
            return PyExc_OSError;
    }
}

// The message is the whole str() of the exception; errno is set as an attribute for callers
// that test it, without turning the message into "[Errno N] ...".
[[noreturn]] void raise_os_error(PyObject* type, const std::string& message, int errnum) {
    py::object exc = py::reinterpret_borrow<py::object>(type)(message);
    if (errnum != 0) exc.attr("errno") = errnum;
    PyErr_SetObject(type, exc.ptr());
    throw py::error_already_set();
}

// The exception a signal handler raised while a long call polled it stops the call. Ctrl-C's
// KeyboardInterrupt is raised afresh with the message that says what the call did before it
// stopped; a handler's own exception goes out as it was raised.
[[noreturn]] void raise_interrupted(const std::string& message) {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
    raise_with(PyExc_KeyboardInterrupt, message);
}

}  // namespace

void raise_with(py::handle type, const std::string& message) {
    py::set_error(type, message.c_str());
    throw py::error_already_set();
}

void register_exceptions(py::module_& module) {
    // Derives from BaseException so that `except Exception` does not swallow a broken
    // invariant. The module keeps it alive for the life of the process.
    panic_exception = PyErr_NewExceptionWithDoc(
        "vesko.PanicException",
        "An internal failure of the store engine (a broken invariant or an "
        "unusable data file).",
        PyExc_BaseException, nullptr);
    if (panic_exception == nullptr) throw py::error_already_set();
    module.add_object("PanicException", py::handle(panic_exception));
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const InternalError& e) {
            PyErr_SetString(panic_exception, e.what());
        }
    });
}

void set_error_from_active_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const InternalError& e) {
        PyErr_SetString(panic_exception, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

void raise_error(const Error& error, const char* invalid_json_prefix, OsErrorClass os_class) {
    switch (error.kind) {
        case ErrorKind::InvalidJson:
            raise_with(PyExc_ValueError, invalid_json_prefix + error.message);
        case ErrorKind::InvalidArgument:
        case ErrorKind::Closed:
        case ErrorKind::OtherProcess:
            raise_with(PyExc_ValueError, error.message);
        case ErrorKind::Os:
            raise_os_error(
                os_class == OsErrorClass::Plain ? PyExc_OSError : os_error_class(error.os_errno),
                error.message, error.os_errno);
        case ErrorKind::Interrupted:
            raise_interrupted(error.message);
        case ErrorKind::ReadOnly: {
            // io.UnsupportedOperation, an OSError as well as a ValueError, as Python's own
            // files raise for a write to a file opened for reading.
            static PyObject* const unsupported =
                py::object(py::module_::import("io").attr("UnsupportedOperation")).release().ptr();
            raise_with(unsupported, error.message);
        }
        case ErrorKind::Vacuum:
        case ErrorKind::StoreBroken:
        case ErrorKind::Damaged:
            raise_os_error(PyExc_OSError, error.message, error.os_errno);
    }
    raise_with(PyExc_RuntimeError, error.message);
}

}  // namespace vesko::binding
