// Argument binding and conversion for the module's callables. Arguments bind by position or
// keyword with the interpreter's usual messages; a failed conversion raises TypeError
// "argument '<name>': <reason>", other exceptions from a conversion pass through unchanged.
// Every argument is converted before the engine is called, so a bad one changes nothing.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesko::binding {

namespace py = pybind11;

inline constexpr std::size_t max_parameters = 6;

// The parameters of one Python-visible callable, written only here: calls bind against it and
// its text signature (the documentation line introspection reads) is generated from it, so the
// two cannot drift apart.
struct Signature {
    const char* qualname;                             // "Vesko.add"; "Vesko" for the constructor
    std::array<const char*, max_parameters> names{};  // after self, in order; then null
    std::size_t required = 0;  // the first `required` names have no default, the rest None
    bool method = true;        // takes $self, which counts in "takes N positional arguments"
    // The names from this one on are keyword-only (shown after a "*").
    std::size_t positional = max_parameters;

    constexpr std::size_t size() const {
        std::size_t n = 0;
        while (n < names.size() && names[n] != nullptr) ++n;
        return n;
    }
};

// "add($self, id, lat, lon, metadata, skip_index=None)\n--\n\n" followed by `doc`: the
// interpreter splits it into __text_signature__ and __doc__. Methods are named without their
// class.
std::string docstring(const Signature& signature, const char* doc);

// One bound argument: its value (None for an omitted optional parameter) and the parameter's
// name, which conversion errors quote.
struct Argument {
    py::handle value;
    const char* name;
};

class Arguments {
  public:
    Arguments(const Signature& signature, py::handle self) : signature_(&signature), self_(self) {}
    Argument operator[](std::size_t i) const { return {values_[i], signature_->names[i]}; }
    // The object whose method was called; null for the constructor.
    py::handle self() const { return self_; }

  private:
    friend Arguments bind_arguments(const Signature&, py::handle, PyObject* const*, std::size_t,
                                    PyObject*);
    const Signature* signature_;
    py::handle self_;
    std::array<py::object, max_parameters> values_;
};

// The arguments arrive in the interpreter's vectorcall form: the positional ones, then the
// values of the keyword ones whose names are in `kwnames` (a tuple, or null).
Arguments bind_arguments(const Signature& signature, py::handle self, PyObject* const* args,
                         std::size_t nargs, PyObject* kwnames);

// The same for a callable that pybind11 dispatches (the constructor).
Arguments bind_arguments(const Signature& signature, const py::args& args,
                         const py::kwargs& kwargs);

std::string to_text(Argument argument);
std::optional<std::string> to_optional_text(Argument argument);
// None (false) or a bool; nothing else, not even an int.
bool to_optional_flag(Argument argument);
// Any float-convertible object, narrowed to f32 by rounding (out of range gives infinity).
float to_f32(Argument argument);
// An integer in [0, 2^32 - 1]; OverflowError outside it.
std::uint32_t to_count_u32(Argument argument);
// A tuple of exactly two floats.
std::pair<float, float> to_pair(Argument argument);
// None, or a sequence (not a str) of str.
std::optional<std::vector<std::string>> to_optional_names(Argument argument);
// A sequence (not a str) of pairs.
std::vector<std::pair<float, float>> to_pairs(Argument argument);
// Batches (add_many, delete_many): a sequence (not a str) whose items convert as one argument
// of that kind would, a failure naming the item: TypeError "argument 'lats': item 3: must be
// real number, not str".
std::vector<std::string> to_texts(Argument argument);
// The same items as views into one buffer that holds their UTF-8 bytes back to back: one
// allocation for the batch rather than one per item, read by the engine in order, and nothing
// refers to the Python objects, so other threads may change them once the interpreter lock is
// released. The views point into `bytes`, so a TextViews is filled in place and never moved.
struct TextViews {
    TextViews() = default;
    TextViews(const TextViews&) = delete;
    TextViews& operator=(const TextViews&) = delete;

    std::string bytes;
    std::vector<std::string_view> views;
};
void to_text_views(Argument argument, TextViews& out);
// Also any one-dimensional buffer of float32 or float64 values (numpy arrays, array.array of
// 'f' or 'd', memoryviews of those), read through the buffer protocol; a buffer of anything
// else is a TypeError naming its format.
std::vector<float> to_f32s(Argument argument);
// The form of a method's answer, chosen by its `answer` argument: None for the tuples,
// "columns" for a Columns object, "count" (searches only) for the number of hits alone.
enum class AnswerForm { Tuples, Columns, Count };
// ValueError for another text, or for "count" when `count_allowed` is false; TypeError for a
// value that is neither None nor a str.
AnswerForm to_answer_form(Argument argument, bool count_allowed);
// ValueError "argument '<name>': holds N items where '<reference>' holds M" for the first
// (name, size) whose size is not `reference_size`.
void require_lengths(const char* reference, std::size_t reference_size,
                     std::initializer_list<std::pair<const char*, std::size_t>> others);
// A str, or an os.PathLike whose path is a str.
std::string to_path(Argument argument);

}  // namespace vesko::binding
