#include "binding/args.h"

#include "common/float_narrow.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace vesko::binding {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw py::error_already_set();
}

[[noreturn]] void raise_argument_type_error(const char* name, const std::string& reason) {
    raise_type_error(std::string("argument '") + name + "': " + reason);
}

// The Python error of a failed conversion is pending: a TypeError gets the argument's name,
// anything else is raised as it is.
[[noreturn]] void raise_pending_conversion_error(const char* name) {
    py::error_already_set pending;  // takes the pending error over
    if (pending.matches(PyExc_TypeError)) {
        raise_argument_type_error(name, py::str(pending.value()).cast<std::string>());
    }
    throw pending;
}

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

std::string cannot_convert(py::handle value, const char* target) {
    return "'" + type_name(value) + "' object cannot be converted to '" + target + "'";
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + std::string(names[i]) + "'";
    }
    return out;
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

double to_double(py::handle value, const char* name) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred() != nullptr) raise_pending_conversion_error(name);
    return d;
}

// A sequence but not a str, checked the same way for every list-like argument.
void require_sequence(py::handle value, const char* name) {
    if (PyUnicode_Check(value.ptr()))
        raise_argument_type_error(name, "Can't extract `str` to `Vec`");
    if (PySequence_Check(value.ptr()) == 0) {
        raise_argument_type_error(name, cannot_convert(value, "Sequence"));
    }
}

template <class Convert>
auto convert_items(py::handle value, const char* name, Convert convert) {
    require_sequence(value, name);
    std::vector<decltype(convert(value))> out;
    PyObject* iterator = PyObject_GetIter(value.ptr());
    if (iterator == nullptr) raise_pending_conversion_error(name);
    py::object guard = py::reinterpret_steal<py::object>(iterator);
    while (PyObject* item = PyIter_Next(iterator)) {
        py::object owned = py::reinterpret_steal<py::object>(item);
        out.push_back(convert(owned));
    }
    if (PyErr_Occurred() != nullptr) raise_pending_conversion_error(name);
    return out;
}

}  // namespace

std::string docstring(const Signature& signature) {
    std::string name = signature.qualname;
    if (signature.method) name = name.substr(name.rfind('.') + 1);
    std::string out = name + "(";
    const char* separator = "";
    if (signature.method) {
        out += "$self";
        separator = ", ";
    }
    for (std::size_t i = 0; i < signature.size(); ++i) {
        out += separator;
        out += signature.names[i];
        if (i >= signature.required) out += "=None";
        separator = ", ";
    }
    return out + ")\n--\n\n";
}

Arguments bind_arguments(const Signature& signature, py::handle self, PyObject* const* args,
                         std::size_t nargs, PyObject* kwnames) {
    const std::size_t n = signature.size();
    const std::size_t self_count = signature.method ? 1 : 0;
    const std::string callee = std::string(signature.qualname) + "()";
    if (nargs > n) {
        std::string takes = signature.required == n
                                ? plural(n + self_count, "positional argument")
                                : "from " + std::to_string(signature.required + self_count) +
                                      " to " + plural(n + self_count, "positional argument");
        raise_type_error(callee + " takes " + takes + " but " + std::to_string(nargs + self_count) +
                         (nargs + self_count == 1 ? " was" : " were") + " given");
    }
    Arguments out(signature, self);
    auto& bound = out.values_;
    for (std::size_t i = 0; i < nargs; ++i) bound[i] = py::reinterpret_borrow<py::object>(args[i]);
    const py::tuple keywords =
        kwnames != nullptr ? py::reinterpret_borrow<py::tuple>(kwnames) : py::tuple();
    for (std::size_t k = 0; k < keywords.size(); ++k) {
        std::string keyword = py::str(keywords[k]).cast<std::string>();
        std::size_t at = 0;
        while (at < n && keyword != signature.names[at]) ++at;
        if (at == n)
            raise_type_error(callee + " got an unexpected keyword argument '" + keyword + "'");
        if (bound[at])
            raise_type_error(callee + " got multiple values for argument '" + keyword + "'");
        bound[at] = py::reinterpret_borrow<py::object>(args[nargs + k]);
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (!bound[i]) missing.push_back(signature.names[i]);
    }
    if (!missing.empty()) {
        raise_type_error(callee + " missing " +
                         plural(missing.size(), "required positional argument") + ": " +
                         quoted_list(missing));
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!bound[i]) bound[i] = py::none();
    }
    return out;
}

Arguments bind_arguments(const Signature& signature, const py::args& args,
                         const py::kwargs& kwargs) {
    std::vector<PyObject*> values;
    for (py::handle arg : args) values.push_back(arg.ptr());
    py::tuple kwnames(kwargs.size());
    std::size_t k = 0;
    for (auto [key, value] : kwargs) {
        kwnames[k++] = key;
        values.push_back(value.ptr());
    }
    return bind_arguments(signature, py::handle(), values.data(), args.size(), kwnames.ptr());
}

namespace {

std::string to_text(py::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr()))
        raise_argument_type_error(name, cannot_convert(value, "str"));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (utf8 == nullptr) raise_pending_conversion_error(name);
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> to_optional_text(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return to_text(value, name);
}

float to_f32(py::handle value, const char* name) { return narrow_to_f32(to_double(value, name)); }

std::uint32_t to_count_u32(py::handle value, const char* name) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) raise_pending_conversion_error(name);
    py::object owned = py::reinterpret_steal<py::object>(index);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (v == -1 && PyErr_Occurred() != nullptr) raise_pending_conversion_error(name);
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw py::error_already_set();
    }
    return static_cast<std::uint32_t>(v);
}

std::pair<float, float> to_pair(py::handle value, const char* name) {
    if (!PyTuple_Check(value.ptr()))
        raise_argument_type_error(name, cannot_convert(value, "tuple"));
    const Py_ssize_t size = PyTuple_GET_SIZE(value.ptr());
    if (size != 2) {
        PyErr_SetString(PyExc_ValueError, ("expected tuple of length 2, but got tuple of length " +
                                           std::to_string(size))
                                              .c_str());
        throw py::error_already_set();
    }
    return {narrow_to_f32(to_double(PyTuple_GET_ITEM(value.ptr(), 0), name)),
            narrow_to_f32(to_double(PyTuple_GET_ITEM(value.ptr(), 1), name))};
}

std::optional<std::vector<std::string>> to_optional_names(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return convert_items(value, name, [name](py::handle item) { return to_text(item, name); });
}

std::vector<std::pair<float, float>> to_pairs(py::handle value, const char* name) {
    return convert_items(value, name, [name](py::handle item) { return to_pair(item, name); });
}

// Converts each item of a batch argument with `convert`, which raises a TypeError for an item
// it refuses; the error is raised again as "argument '<name>': item <i>: <message>". Items are
// read by index, each held while it converts, so a conversion that changes the sequence (a
// __float__ with side effects) cannot pull an item away under it.
template <class Convert>
auto convert_batch(py::handle value, const char* name, Convert convert) {
    require_sequence(value, name);
    PyObject* fast = PySequence_Fast(value.ptr(), "");
    if (fast == nullptr) raise_pending_conversion_error(name);
    py::object guard = py::reinterpret_steal<py::object>(fast);
    std::vector<decltype(convert(value))> out;
    out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast)));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
        py::object item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(fast, i));
        try {
            out.push_back(convert(item));
        } catch (py::error_already_set& failed) {
            if (!failed.matches(PyExc_TypeError)) throw;
            raise_argument_type_error(name, "item " + std::to_string(i) + ": " +
                                                py::str(failed.value()).cast<std::string>());
        }
    }
    return out;
}

// The one-dimensional buffer of float32 or float64 values behind `value`, narrowed to f32.
std::vector<float> f32s_from_buffer(py::handle value, const char* name) {
    py::buffer_info info = py::reinterpret_borrow<py::buffer>(value).request();
    // Native byte order only: "f", "d", or the same with "@", "=" or (on a little-endian
    // machine) "<" in front.
    std::string format = info.format;
    if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                            (format[0] == '<' && std::endian::native == std::endian::little))) {
        format.erase(0, 1);
    }
    const bool f32 = format == "f" && info.itemsize == 4;
    const bool f64 = format == "d" && info.itemsize == 8;
    if (!f32 && !f64) {
        raise_argument_type_error(name,
                                  "a buffer must hold float32 or float64 values, not "
                                  "format '" +
                                      info.format + "'");
    }
    if (info.ndim != 1) {
        raise_argument_type_error(
            name, "a buffer must have one dimension, not " + std::to_string(info.ndim));
    }
    const auto* base = static_cast<const unsigned char*>(info.ptr);
    const py::ssize_t stride = info.strides[0];
    std::vector<float> out(static_cast<std::size_t>(info.shape[0]));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned char* at = base + static_cast<py::ssize_t>(i) * stride;
        if (f32) {
            std::memcpy(&out[i], at, sizeof(float));
        } else {
            double d;
            std::memcpy(&d, at, sizeof(double));
            out[i] = narrow_to_f32(d);
        }
    }
    return out;
}

}  // namespace

// A batch item's UTF-8 bytes, held by the item (the interpreter keeps them with the str).
std::string_view text_item(py::handle item) {
    if (!PyUnicode_Check(item.ptr())) {
        PyErr_SetString(PyExc_TypeError, cannot_convert(item, "str").c_str());
        throw py::error_already_set();
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
    if (utf8 == nullptr) throw py::error_already_set();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::vector<std::string> to_texts(Argument argument) {
    return convert_batch(argument.value, argument.name,
                         [](py::handle item) { return std::string(text_item(item)); });
}

void to_text_views(Argument argument, TextViews& out) {
    const char* name = argument.name;
    require_sequence(argument.value, name);
    PyObject* fast = PySequence_Fast(argument.value.ptr(), "");
    if (fast == nullptr) raise_pending_conversion_error(name);
    py::object guard = py::reinterpret_steal<py::object>(fast);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast);
    out.bytes.clear();
    out.views.clear();
    std::vector<std::size_t> ends;
    ends.reserve(static_cast<std::size_t>(size));
    // No Python code runs in this loop, so the sequence cannot change under it. Copying the
    // bytes (rather than holding every item) visits each item once; the engine then reads
    // them from one buffer, and no item needs letting go of afterwards.
    for (Py_ssize_t i = 0; i < size; ++i) {
        try {
            out.bytes.append(text_item(PySequence_Fast_GET_ITEM(fast, i)));
        } catch (py::error_already_set& failed) {
            if (!failed.matches(PyExc_TypeError)) throw;
            raise_argument_type_error(name, "item " + std::to_string(i) + ": " +
                                                py::str(failed.value()).cast<std::string>());
        }
        ends.push_back(out.bytes.size());
    }
    out.views.reserve(ends.size());
    std::size_t begin = 0;
    for (std::size_t end : ends) {
        out.views.push_back(std::string_view(out.bytes).substr(begin, end - begin));
        begin = end;
    }
}

std::vector<float> to_f32s(Argument argument) {
    if (PyObject_CheckBuffer(argument.value.ptr()) != 0 && !PyUnicode_Check(argument.value.ptr()))
        return f32s_from_buffer(argument.value, argument.name);
    return convert_batch(argument.value, argument.name, [](py::handle item) {
        const double d = PyFloat_AsDouble(item.ptr());
        if (d == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
        return narrow_to_f32(d);
    });
}

std::string to_text(Argument argument) { return to_text(argument.value, argument.name); }

std::optional<std::string> to_optional_text(Argument argument) {
    return to_optional_text(argument.value, argument.name);
}

float to_f32(Argument argument) { return to_f32(argument.value, argument.name); }

std::uint32_t to_count_u32(Argument argument) {
    return to_count_u32(argument.value, argument.name);
}

std::pair<float, float> to_pair(Argument argument) {
    return to_pair(argument.value, argument.name);
}

std::optional<std::vector<std::string>> to_optional_names(Argument argument) {
    return to_optional_names(argument.value, argument.name);
}

std::vector<std::pair<float, float>> to_pairs(Argument argument) {
    return to_pairs(argument.value, argument.name);
}

void require_lengths(const char* reference, std::size_t reference_size,
                     std::initializer_list<std::pair<const char*, std::size_t>> others) {
    for (const auto& [name, size] : others) {
        if (size == reference_size) continue;
        PyErr_SetString(PyExc_ValueError,
                        ("argument '" + std::string(name) + "': holds " + std::to_string(size) +
                         " items where '" + reference + "' holds " + std::to_string(reference_size))
                            .c_str());
        throw py::error_already_set();
    }
}

AnswerForm to_answer_form(Argument argument, bool count_allowed) {
    const auto text = to_optional_text(argument);
    if (!text) return AnswerForm::Tuples;
    if (*text == "columns") return AnswerForm::Columns;
    if (*text == "count" && count_allowed) return AnswerForm::Count;
    const std::string allowed = count_allowed ? "None, 'columns' or 'count'" : "None or 'columns'";
    PyErr_SetString(PyExc_ValueError,
                    ("argument '" + std::string(argument.name) + "': must be " + allowed +
                     ", not " + py::repr(argument.value).cast<std::string>())
                        .c_str());
    throw py::error_already_set();
}

std::string to_path(Argument argument) {
    PyObject* path = PyOS_FSPath(argument.value.ptr());
    if (path == nullptr) raise_pending_conversion_error(argument.name);
    py::object owned = py::reinterpret_steal<py::object>(path);
    return to_text(owned, argument.name);
}

}  // namespace vesko::binding
