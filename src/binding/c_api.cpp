// Two paths, chosen at build time. CPython's makes an answer's objects with the constructors and
// slot setters of the C API: an answer of thousands of hits costs mostly the making of its
// objects, and these skip the wrappers' conversions and reference-count traffic for objects that
// are new and filled exactly once. A radius search returning 8,000 of 200,000 points took at
// best 1.73 to 1.78 ms this way against 1.92 to 2.62 ms through the portable path (least of 600
// calls, CPython 3.11 on a shared 2-core machine); a k=10 search, 9.8 us either way.
//
// The portable path, PyPy's, goes through pybind11: under cpyext a str written in place or a
// tuple taken off the collector's lists gains nothing, since each becomes a PyPy object anyway
// when Python first sees it, and PyPy's conversion to float needs the help given below.
// Defining VESKO_PORTABLE_C_API builds this path under CPython too, to measure the difference.
#include "binding/c_api.h"

#include <cstring>
#include <utility>

#if defined(PYPY_VERSION) && !defined(VESKO_PORTABLE_C_API)
#define VESKO_PORTABLE_C_API
#endif

namespace vesko::binding {

namespace {

// Takes over a new reference; null means the call that made it raised.
[[maybe_unused]] py::object owned(PyObject* made) {
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

}  // namespace

#ifndef VESKO_PORTABLE_C_API

// Bytes found to be ASCII are copied as they are, without the decoder's second look.
py::object new_text(std::string_view bytes, bool ascii) {
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    if (!ascii) return owned(PyUnicode_DecodeUTF8(bytes.data(), size, nullptr));
    py::object text = owned(PyUnicode_New(size, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.ptr()), bytes.data(), bytes.size());
    return text;
}

namespace {

// The tuple leaves the cyclic collector's lists at once, as the collector itself would drop it
// at its next pass: an answer of thousands of tuples otherwise makes every collection it
// triggers walk all of them.
template <class... Items>
py::object untracked_tuple(Items&&... items) {
    py::object tuple = owned(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
    Py_ssize_t slot = 0;
    (PyTuple_SET_ITEM(tuple.ptr(), slot++, items.release().ptr()), ...);
    PyObject_GC_UnTrack(tuple.ptr());
    return tuple;
}

}  // namespace

py::object new_tuple(py::object first, py::object second) {
    return untracked_tuple(std::move(first), std::move(second));
}

py::object new_tuple(py::object first, py::object second, py::object third) {
    return untracked_tuple(std::move(first), std::move(second), std::move(third));
}

void set_new_item(py::list& list, std::size_t index, py::object item) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(index), item.release().ptr());
}

#else

py::object new_text(std::string_view bytes, bool /*ascii*/) {
    return py::str(bytes.data(), bytes.size());
}

py::object new_tuple(py::object first, py::object second) {
    return py::make_tuple(std::move(first), std::move(second));
}

py::object new_tuple(py::object first, py::object second, py::object third) {
    return py::make_tuple(std::move(first), std::move(second), std::move(third));
}

void set_new_item(py::list& list, std::size_t index, py::object item) {
    list[index] = std::move(item);
}

#endif

py::list new_list(std::size_t size) { return py::list(size); }

#if !defined(VESKO_PORTABLE_C_API) && PY_VERSION_HEX >= 0x030A0000

CollectorPaused::CollectorPaused() : was_enabled_(PyGC_Disable() != 0) {}

CollectorPaused::~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
}

#else

// Through the gc module, which every interpreter has (CPython before 3.10 has no C call for it).
CollectorPaused::CollectorPaused() {
    py::module_ gc = py::module_::import("gc");
    was_enabled_ = gc.attr("isenabled")().cast<bool>();
    if (was_enabled_) gc.attr("disable")();
}

CollectorPaused::~CollectorPaused() {
    if (!was_enabled_) return;
    try {
        py::module_::import("gc").attr("enable")();
    } catch (py::error_already_set& failed) {
        // A destructor may not throw; the collector is left off, which costs memory only.
        failed.discard_as_unraisable(__func__);
    }
}

#endif

std::string_view utf8_of(py::handle text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) throw py::error_already_set();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

double real_number(py::handle value) {
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred() != nullptr) {
#ifdef VESKO_PORTABLE_C_API
        // PyPy's conversion takes no __index__ (CPython's does since 3.8): an object that has
        // one is an integer, read as CPython reads it.
        if (PyErr_ExceptionMatches(PyExc_TypeError) != 0 &&
            py::hasattr(py::type::handle_of(value), "__index__")) {
            PyErr_Clear();
            const py::object integer = owned(PyNumber_Index(value.ptr()));
            const double widened = PyLong_AsDouble(integer.ptr());
            if (widened == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
            return widened;
        }
#endif
        throw py::error_already_set();
    }
    return d;
}

}  // namespace vesko::binding
