// The binding's direct calls of the interpreter's C API, each here for measured time or
// because pybind11's wrapper would replace the interpreter's own error with its own; everything
// else in binding/ goes through pybind11. Under PyPy, whose cpyext emulates the C API (every
// object handed to C gets a C twin, and a tuple or str filled in place is copied again when
// Python first sees it), each function takes the path chosen for it at build time in c_api.cpp.
// Every function here expects the interpreter lock held.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string_view>

namespace vesko::binding {

namespace py = pybind11;

// A str made from bytes the engine checked to be UTF-8; `ascii` says it found them all ASCII.
py::object new_text(std::string_view bytes, bool ascii);

// A tuple of two or three new objects (str and float only, so it can never be part of a cycle),
// taken over from the arguments.
py::object new_tuple(py::object first, py::object second);
py::object new_tuple(py::object first, py::object second, py::object third);

// A list of `size` empty slots, each then set exactly once by set_new_item, in any order. A list
// dropped half-filled releases only the slots that were set; one handed to Python with a slot
// still empty is a fault.
py::list new_list(std::size_t size);
void set_new_item(py::list& list, std::size_t index, py::object item);

// The cyclic collector held off while an answer's objects are made: every few hundred new
// objects would otherwise start a collection that walks the half-built list, slot by slot, for
// nothing (nothing in an answer can be part of a cycle). The interpreter lock is held
// throughout, so no other code sees the collector off; one collection may follow at the next
// allocation after it is back on, as it would have anyway.
class CollectorPaused {
  public:
    CollectorPaused();
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;
    ~CollectorPaused();

  private:
    bool was_enabled_;
};

// The UTF-8 bytes of a str, held by the str for as long as it lives. Raises the interpreter's
// UnicodeEncodeError (a lone surrogate) as it is; the caller has checked that `text` is a str.
std::string_view utf8_of(py::handle text);

// The interpreter's own conversion to float (float, __float__, __index__), raising its own
// TypeError ("must be real number, not str") or whatever __float__ raised.
double real_number(py::handle value);

}  // namespace vesko::binding
