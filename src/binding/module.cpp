// The module vesko: PanicException, the class Vesko with its methods in the order of the table
// below, ItemIterator, Columns, and the functions salvage, import_geojson and import_parquet. The
// table is the one place that names each method's parameters: calls bind against it and each
// documentation string is generated from it.
//
// Methods are method descriptors, the form the interpreter's own types use, so introspection
// sees the convention it expects: Vesko.search_radius keeps its $self parameter and
// db.search_radius drops it once (a pybind11 function object carries a __self__ of its own,
// which made inspect drop a real parameter as well).
#include "binding/args.h"
#include "binding/columns.h"
#include "binding/errors.h"
#include "binding/items.h"
#include "binding/vesko.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

namespace py = pybind11;
using vesko::binding::Arguments;
using vesko::binding::Signature;
using vesko::binding::Vesko;

namespace {

struct Method {
    Signature signature;
    py::object (Vesko::*body)(const Arguments&);
};

constexpr Signature constructor{"Vesko", {"storage_path"}, 1, false};
constexpr Signature salvage{"salvage", {"storage_path"}, 1, false};

// clang-format off
constexpr Method methods[] = {
    {{"Vesko.exists", {"filter_json"}, 1}, &Vesko::exists},
    {{"Vesko.add", {"id", "lat", "lon", "metadata", "skip_index"}, 4}, &Vesko::add},
    {{"Vesko.persist"}, &Vesko::persist},
    {{"Vesko.count"}, &Vesko::count},
    {{"Vesko.delete", {"id"}, 1}, &Vesko::remove},
    {{"Vesko.delete_by_filter", {"filter_json"}, 1}, &Vesko::delete_by_filter},
    {{"Vesko.vacuum"}, &Vesko::vacuum},
    {{"Vesko.search_knn", {"lat", "lon", "k", "filter_json", "answer"}, 3}, &Vesko::search_knn},
    {{"Vesko.search_box", {"top_left", "bottom_right", "filter_json", "answer"}, 2},
     &Vesko::search_box},
    {{"Vesko.search_radius", {"lat", "lon", "radius_m", "filter_json", "answer"}, 3},
     &Vesko::search_radius},
    {{"Vesko.search_polygon", {"points", "filter_json", "answer"}, 1}, &Vesko::search_polygon},
    {{"Vesko.get", {"id"}, 1}, &Vesko::get},
    {{"Vesko.upsert", {"id", "lat", "lon", "metadata", "skip_index"}, 4}, &Vesko::upsert},
    {{"Vesko.items", {"filter_json", "answer"}, 0}, &Vesko::items},
    {{"Vesko.export", {"path", "format"}, 1}, &Vesko::export_points},
    {{"Vesko.close"}, &Vesko::close},
    {{"Vesko.sync"}, &Vesko::sync},
    {{"Vesko.add_many", {"ids", "lats", "lons", "metadatas", "skip_index"}, 4}, &Vesko::add_many},
    {{"Vesko.delete_many", {"ids"}, 1}, &Vesko::delete_many},
    {{"Vesko.get_many", {"ids", "answer"}, 1}, &Vesko::get_many},
    {{"Vesko.search_knn_many", {"lats", "lons", "k", "filter_json"}, 3}, &Vesko::search_knn_many},
    {{"Vesko.search_radius_many", {"lats", "lons", "radius_m", "filter_json"}, 3},
     &Vesko::search_radius_many},
    {{"Vesko.__contains__", {"id"}, 1}, &Vesko::contains},
    {{"Vesko.__len__"}, &Vesko::len},
    {{"Vesko.__enter__"}, &Vesko::enter},
    {{"Vesko.__exit__", {"exc_type", "exc_value", "traceback"}, 3}, &Vesko::exit},
};
// clang-format on

// Vesko.__new__ without __init__ (or a subclass whose __init__ skips ours) leaves an instance
// with no store behind it; its methods raise instead of reading memory that holds nothing.
Vesko* opened_or_null(PyObject* self) {
    auto* vesko = py::cast<Vesko*>(py::handle(self));
    return Vesko::is_constructed(vesko) ? vesko : nullptr;
}

// The interpreter has checked that self is a Vesko before calling.
template <std::size_t I>
PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Method& method = methods[I];
    try {
        Vesko* vesko = opened_or_null(self);
        if (vesko == nullptr) {
            throw py::type_error(
                "this Vesko object was never opened; create it with Vesko(storage_path)");
        }
        Arguments bound = vesko::binding::bind_arguments(
            method.signature, self, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargs)),
            kwnames);
        return (vesko->*method.body)(bound).release().ptr();
    } catch (...) {
        vesko::binding::set_error_from_active_exception();
        return nullptr;
    }
}

PyObject* repr(PyObject* self, PyObject* /*unused*/) {
    try {
        Vesko* vesko = opened_or_null(self);
        std::string text = vesko == nullptr ? "<Vesko, not opened>" : vesko->repr();
        return py::str(text).release().ptr();
    } catch (...) {
        vesko::binding::set_error_from_active_exception();
        return nullptr;
    }
}

// Adds one method descriptor to the class. The definition and its documentation live as long
// as the process, like the class they belong to.
void add_method(py::handle cls, const char* name, PyCFunction function, int flags,
                std::string doc) {
    auto* def = new PyMethodDef{name, function, flags, (new std::string(std::move(doc)))->c_str()};
    auto descriptor = py::reinterpret_steal<py::object>(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
    if (!descriptor) throw py::error_already_set();
    py::setattr(cls, name, descriptor);
}

template <std::size_t... I>
void add_methods(py::handle cls, std::index_sequence<I...>) {
    (add_method(cls, std::strrchr(methods[I].signature.qualname, '.') + 1,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call<I>)),
                METH_FASTCALL | METH_KEYWORDS, vesko::binding::docstring(methods[I].signature)),
     ...);
}

}  // namespace

PYBIND11_MODULE(vesko, module) {
    py::options options;
    options.disable_function_signatures();
    vesko::binding::register_exceptions(module);
    module.attr("__version__") = VESKO_VERSION;

    const std::string class_doc = vesko::binding::docstring(constructor);
    py::class_<Vesko> cls(module, "Vesko", class_doc.c_str());
    cls.def(py::init([](const py::args& args, const py::kwargs& kwargs) {
                return Vesko::create(vesko::binding::bind_arguments(constructor, args, kwargs));
            }),
            // Unlike the methods, __init__ names self without "$": it stays a pybind11
            // function, and inspect keeps a plain self of an unbound function.
            ("__init__(self, " + class_doc.substr(std::strlen("Vesko("))).c_str());
    add_methods(cls, std::make_index_sequence<std::size(methods)>());
    add_method(cls, "__repr__", &repr, METH_NOARGS, "__repr__($self)\n--\n\n");
    vesko::binding::ItemIterator::register_type(module);
    vesko::binding::Columns::register_type(module);
    module.def(
        "salvage",
        [](const py::args& args, const py::kwargs& kwargs) {
            return Vesko::salvage(vesko::binding::bind_arguments(salvage, args, kwargs));
        },
        vesko::binding::docstring(salvage).c_str());

    // Reading and writing files in other tools' formats is plain Python, shipped beside the
    // extension; the module functions come from there (imported here, so a broken install
    // fails at import rather than at first use).
    py::module_ io = py::module_::import("_vesko_io");
    module.attr("import_geojson") = io.attr("import_geojson");
    module.attr("import_parquet") = io.attr("import_parquet");
}
