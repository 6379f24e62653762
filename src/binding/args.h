// Argument binding and conversion for the Vesko methods. Arguments bind by position or keyword
// with the interpreter's usual messages; a failed conversion raises TypeError
// "argument '<name>': <reason>", other exceptions from a conversion pass through unchanged.
// Every argument is converted before the engine is called, so a bad one changes nothing.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesko::binding {

namespace py = pybind11;

struct Signature {
    const char* qualname;            // "Vesko.add", used in binding errors
    std::vector<const char*> names;  // parameter names after self
    std::size_t required;            // the first `required` names have no default
    bool method = true;              // counts self in "takes N positional arguments"
};

// One object per parameter; an omitted optional parameter is None.
std::vector<py::object> bind_arguments(const Signature& signature, const py::args& args,
                                       const py::kwargs& kwargs);

std::string to_text(py::handle value, const char* name);
std::optional<std::string> to_optional_text(py::handle value, const char* name);
// Any float-convertible object, narrowed to f32 by rounding (out of range gives infinity).
float to_f32(py::handle value, const char* name);
// An integer in [0, 2^32 - 1]; OverflowError outside it.
std::uint32_t to_count_u32(py::handle value, const char* name);
// A tuple of exactly two floats.
std::pair<float, float> to_pair(py::handle value, const char* name);
// None, or a sequence (not a str) of str.
std::optional<std::vector<std::string>> to_optional_names(py::handle value, const char* name);
// A sequence (not a str) of pairs.
std::vector<std::pair<float, float>> to_pairs(py::handle value, const char* name);

}  // namespace vesko::binding
