#include "binding/args.h"

#include "binding/c_api.h"
#include "binding/errors.h"
#include "common/float_narrow.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace vesko::binding {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    raise_with(PyExc_TypeError, message);
}

[[noreturn]] void raise_argument_type_error(const char* name, const std::string& reason) {
    raise_type_error(std::string("argument '") + name + "': " + reason);
}

constexpr std::size_t not_an_item = std::numeric_limits<std::size_t>::max();

// The one rewrite of the interpreter's own TypeError from a conversion: its message gets the
// argument's name (and the item's index, for an item of a batch) in front; any other error
// passes as it is. Wraps only calls whose errors carry no name yet.
template <class Convert>
auto naming_type_error(const char* name, std::size_t item, Convert&& convert) {
    try {
        return convert();
    } catch (py::error_already_set& failed) {
        if (!failed.matches(PyExc_TypeError)) throw;
        std::string reason = py::str(failed.value()).cast<std::string>();
        if (item != not_an_item) reason = "item " + std::to_string(item) + ": " + reason;
        raise_argument_type_error(name, reason);
    }
}

std::string type_name(py::handle value) {
    return py::type::handle_of(value).attr("__name__").cast<std::string>();
}

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
    return naming_type_error(name, not_an_item, [value] { return real_number(value); });
}

// A sequence but not a str, checked the same way for every list-like argument.
void require_sequence(py::handle value, const char* name) {
    if (py::isinstance<py::str>(value))
        raise_argument_type_error(name, "Can't extract `str` to `Vec`");
    if (!py::isinstance<py::sequence>(value))
        raise_argument_type_error(name, cannot_convert(value, "Sequence"));
}

// list(value), the interpreter's own copy of a sequence, a TypeError from iterating it named.
py::list copied_to_list(py::handle value, const char* name) {
    return naming_type_error(
        name, not_an_item, [value] { return py::list(py::reinterpret_borrow<py::object>(value)); });
}

// A short list-like argument, converted item by item; `convert` names the argument itself.
template <class Convert>
auto convert_items(py::handle value, const char* name, Convert convert) {
    require_sequence(value, name);
    const py::list items = copied_to_list(value, name);
    std::vector<decltype(convert(value))> out;
    out.reserve(items.size());
    for (py::handle item : items) out.push_back(convert(item));
    return out;
}

// Calls visit(i, item) on each item of a batch argument (add_many, delete_many) in order; a
// TypeError raised by `visit` for an item is raised again as "argument '<name>': item <i>:
// <message>". A list or tuple is read in place, anything else copied into a list first. Items
// are read by index and each is held while it is visited, so a conversion that changes the
// list (a __float__ with side effects) cannot pull an item away under it.
template <class Visit>
void for_each_item(py::handle value, const char* name, Visit visit) {
    require_sequence(value, name);
    const bool in_place = py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value);
    const py::sequence items = in_place ? py::reinterpret_borrow<py::sequence>(value)
                                        : py::sequence(copied_to_list(value, name));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const py::object item = items[i];
        naming_type_error(name, i, [&] { visit(i, item); });
    }
}

}  // namespace

std::string docstring(const Signature& signature, const char* doc) {
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
        if (i == signature.positional) out += "*, ";
        out += signature.names[i];
        if (i >= signature.required) out += "=None";
        separator = ", ";
    }
    return out + ")\n--\n\n" + doc;
}

Arguments bind_arguments(const Signature& signature, py::handle self, PyObject* const* args,
                         std::size_t nargs, PyObject* kwnames) {
    const std::size_t n = std::min(signature.size(), signature.positional);
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
    const std::size_t all = signature.size();
    for (std::size_t k = 0; k < keywords.size(); ++k) {
        std::string keyword = py::str(keywords[k]).cast<std::string>();
        std::size_t at = 0;
        while (at < all && keyword != signature.names[at]) ++at;
        if (at == all)
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
    for (std::size_t i = 0; i < all; ++i) {
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
    if (!py::isinstance<py::str>(value))
        raise_argument_type_error(name, cannot_convert(value, "str"));
    return std::string(utf8_of(value));
}

std::optional<std::string> to_optional_text(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return to_text(value, name);
}

float to_f32(py::handle value, const char* name) { return narrow_to_f32(to_double(value, name)); }

std::uint32_t to_count_u32(py::handle value, const char* name) {
    // operator.index: the interpreter's own integer conversion and its TypeError. The function
    // is looked up once and kept for the life of the process, as the module keeps it anyway.
    static const py::handle index =
        py::object(py::module_::import("operator").attr("index")).release();
    const py::object count = naming_type_error(name, not_an_item, [value] { return index(value); });
    if (count < py::int_(0) || count > py::int_(0xFFFFFFFFU))
        raise_with(PyExc_OverflowError, "out of range integral type conversion attempted");
    return count.cast<std::uint32_t>();
}

std::pair<float, float> to_pair(py::handle value, const char* name) {
    if (!py::isinstance<py::tuple>(value))
        raise_argument_type_error(name, cannot_convert(value, "tuple"));
    const auto pair = py::reinterpret_borrow<py::tuple>(value);
    if (pair.size() != 2) {
        raise_with(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " +
                                         std::to_string(pair.size()));
    }
    return {narrow_to_f32(to_double(pair[0], name)), narrow_to_f32(to_double(pair[1], name))};
}

std::optional<std::vector<std::string>> to_optional_names(py::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return convert_items(value, name, [name](py::handle item) { return to_text(item, name); });
}

std::vector<std::pair<float, float>> to_pairs(py::handle value, const char* name) {
    return convert_items(value, name, [name](py::handle item) { return to_pair(item, name); });
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

// A batch item's UTF-8 bytes, held by the item; its TypeError is bare, for_each_item names it.
std::string_view text_item(py::handle item) {
    if (!py::isinstance<py::str>(item)) raise_type_error(cannot_convert(item, "str"));
    return utf8_of(item);
}

}  // namespace

std::vector<std::string> to_texts(Argument argument) {
    std::vector<std::string> out;
    for_each_item(argument.value, argument.name,
                  [&out](std::size_t, py::handle item) { out.emplace_back(text_item(item)); });
    return out;
}

void to_text_views(Argument argument, TextViews& out) {
    out.bytes.clear();
    out.views.clear();
    std::vector<std::size_t> ends;
    // Copying the bytes (rather than holding every item) visits each item once; the engine then
    // reads them from one buffer, and no item needs letting go of afterwards.
    for_each_item(argument.value, argument.name, [&](std::size_t, py::handle item) {
        out.bytes.append(text_item(item));
        ends.push_back(out.bytes.size());
    });
    out.views.reserve(ends.size());
    std::size_t begin = 0;
    for (std::size_t end : ends) {
        out.views.push_back(std::string_view(out.bytes).substr(begin, end - begin));
        begin = end;
    }
}

std::vector<float> to_f32s(Argument argument) {
    if (py::isinstance<py::buffer>(argument.value) && !py::isinstance<py::str>(argument.value))
        return f32s_from_buffer(argument.value, argument.name);
    std::vector<float> out;
    for_each_item(argument.value, argument.name, [&out](std::size_t, py::handle item) {
        out.push_back(narrow_to_f32(real_number(item)));
    });
    return out;
}

std::string to_text(Argument argument) { return to_text(argument.value, argument.name); }

std::optional<std::string> to_optional_text(Argument argument) {
    return to_optional_text(argument.value, argument.name);
}

bool to_optional_flag(Argument argument) {
    if (argument.value.is_none()) return false;
    if (!py::isinstance<py::bool_>(argument.value))
        raise_argument_type_error(argument.name, cannot_convert(argument.value, "bool"));
    return argument.value.ptr() == Py_True;
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
        raise_with(PyExc_ValueError, "argument '" + std::string(name) + "': holds " +
                                         std::to_string(size) + " items where '" + reference +
                                         "' holds " + std::to_string(reference_size));
    }
}

AnswerForm to_answer_form(Argument argument, bool count_allowed) {
    const auto text = to_optional_text(argument);
    if (!text) return AnswerForm::Tuples;
    if (*text == "columns") return AnswerForm::Columns;
    if (*text == "count" && count_allowed) return AnswerForm::Count;
    const std::string allowed = count_allowed ? "None, 'columns' or 'count'" : "None or 'columns'";
    raise_with(PyExc_ValueError, "argument '" + std::string(argument.name) + "': must be " +
                                     allowed + ", not " +
                                     py::repr(argument.value).cast<std::string>());
}

std::string to_path(Argument argument) {
    const py::object path = naming_type_error(argument.name, not_an_item, [&argument] {
        return py::module_::import("os").attr("fspath")(argument.value);
    });
    return to_text(path, argument.name);
}

}  // namespace vesko::binding
