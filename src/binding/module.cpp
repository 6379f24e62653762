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
    const char* doc;  // what help() shows below the signature: the stub's docstring, word for word
};

constexpr Signature constructor{
    "Vesko", {"storage_path", "read_only", "timeout"}, 1, false, 1, {nullptr, "False", "0"}};
constexpr Signature salvage{"salvage", {"storage_path", "rebuild"}, 1, false, 1};

constexpr const char* module_doc =
    "Embedded, file-backed geospatial point store.\n"
    "\n"
    "A store is a directory. Each point has a caller-chosen string id, a latitude and longitude\n"
    "(held as 32-bit floats) and a JSON-object metadata text. Every change is written to a\n"
    "write-ahead log before it is applied; ``persist`` writes a snapshot; ``vacuum`` compacts.";
constexpr const char* class_doc =
    "One open store directory, created with its files when missing. A second object on the\n"
    "same directory in this process shares the open store (it closes with the last of them);\n"
    "a second writer in another process raises BlockingIOError, after waiting up to timeout\n"
    "seconds for the other to close it. An object is used only by the process that opened it\n"
    "(not a child made by fork()); calls from elsewhere raise ValueError.\n"
    "\n"
    "read_only=True opens an existing store for reading beside its writer and any number of\n"
    "other readers, in any processes, writing nothing in its directory (which may be read-only);\n"
    "a path that holds no store raises FileNotFoundError. Each call on a reader first catches up\n"
    "with the writer, so it sees every change whose call had returned in the writer before it\n"
    "began (a microsecond's check when nothing changed). Changes, sync, persist and vacuum raise\n"
    "io.UnsupportedOperation.";
constexpr const char* salvage_doc =
    "Opens a store that Vesko() refused as damaged, after setting its damaged parts aside: the\n"
    "log from its damaged record on to wal.bin.damaged; the points whose records are lost to\n"
    "salvage-lost.jsonl, the snapshot kept without them (a copy in snapshot.bin.damaged), or,\n"
    "when it cannot be kept, rebuilt from the data files with rebuild=True and else moved to\n"
    "snapshot.bin.damaged.";

// clang-format off
constexpr Method methods[] = {
    {{"Vesko.exists", {"filter_json"}, 1}, &Vesko::exists,
     "True when at least one live point matches the filter."},
    {{"Vesko.add", {"id", "lat", "lon", "metadata", "skip_index"}, 4}, &Vesko::add,
     "Adds a point; a live id is left unchanged. Fields named in skip_index are stored\n"
     "but not indexed. Raises ValueError for metadata that is not a JSON object."},
    {{"Vesko.persist"}, &Vesko::persist,
     "Makes every change durable in a snapshot and empties the log; writes nothing when\n"
     "no change was applied since the last snapshot."},
    {{"Vesko.count"}, &Vesko::count,
     "The number of live points."},
    {{"Vesko.delete", {"id"}, 1}, &Vesko::remove,
     "Deletes the point with this id, if there is one."},
    {{"Vesko.delete_by_filter", {"filter_json"}, 1}, &Vesko::delete_by_filter,
     "Deletes every live point that matches the filter; returns how many."},
    {{"Vesko.vacuum"}, &Vesko::vacuum,
     "Compacts the data files to the live points, renumbering them in their order."},
    {{"Vesko.search_knn", {"lat", "lon", "k", "filter_json", "answer"}, 3}, &Vesko::search_knn,
     "The k nearest points as (id, metres, metadata), nearest first; answer=\"columns\" gives\n"
     "them as Columns, answer=\"count\" their number alone."},
    {{"Vesko.search_box", {"top_left", "bottom_right", "filter_json", "answer"}, 2},
     &Vesko::search_box,
     "Points inside the box (north-west and south-east corners) as (id, metadata);\n"
     "answer=\"columns\" gives them as Columns, answer=\"count\" their number alone."},
    {{"Vesko.search_radius", {"lat", "lon", "radius_m", "filter_json", "answer"}, 3},
     &Vesko::search_radius,
     "Points within radius_m metres as (id, metres, metadata), nearest first;\n"
     "answer=\"columns\" gives them as Columns, answer=\"count\" their number alone."},
    {{"Vesko.search_polygon", {"points", "filter_json", "answer"}, 1}, &Vesko::search_polygon,
     "Points inside the polygon of (lat, lon) vertices as (id, metadata);\n"
     "answer=\"columns\" gives them as Columns, answer=\"count\" their number alone."},
    {{"Vesko.get", {"id"}, 1}, &Vesko::get,
     "(lat, lon, metadata) of the live point with this id, or None."},
    {{"Vesko.upsert", {"id", "lat", "lon", "metadata", "skip_index"}, 4}, &Vesko::upsert,
     "Replaces the live point with this id, or adds it, in one step; True when a point\n"
     "was replaced. The new version comes after earlier points in id-ordered results."},
    {{"Vesko.items", {"filter_json", "answer"}, 0}, &Vesko::items,
     "Iterates the live points (matching the filter) as (id, lat, lon, metadata), a\n"
     "chunk at a time; each point as it was when its chunk was read. answer=\"columns\"\n"
     "reads them all at once as Columns (id, lat, lon, metadata)."},
    {{"Vesko.export", {"path", "format"}, 1}, &Vesko::export_points,
     "Writes the live points as GeoJSON or GeoParquet (by suffix unless format is\n"
     "given); returns how many. GeoParquet needs pyarrow."},
    {{"Vesko.refresh"}, &Vesko::refresh,
     "Catches a reader up with its writer now, as every call on a reader does first; for a\n"
     "caller that wants to pay for that at a moment of its choosing. Does nothing on a writer."},
    {{"Vesko.close"}, &Vesko::close,
     "Releases the directory's lock, the mappings and the files, persisting nothing; every\n"
     "later call raises ValueError(\"store is closed\"). Closing again does nothing."},
    {{"Vesko.sync"}, &Vesko::sync,
     "Makes every change so far survive a power loss by forcing the log to disk, without\n"
     "writing a snapshot; cheaper than persist."},
    {{"Vesko.add_many", {"ids", "lats", "lons", "metadatas", "skip_index"}, 4}, &Vesko::add_many,
     "Adds the points as that many add calls would, in order, logged and applied 65,536\n"
     "at a time. lats and lons may be float32/float64 buffers (numpy arrays). Every item is\n"
     "checked first: a bad one raises, naming its index, and adds nothing. A failed log\n"
     "write, or Ctrl-C, raises (OSError, KeyboardInterrupt) with the chunks before it added.\n"
     "ids and metadatas may be Arrow utf8 arrays (pyarrow.array)."},
    {{"Vesko.delete_many", {"ids"}, 1}, &Vesko::delete_many,
     "Deletes the points with these ids as that many delete calls would; returns how many\n"
     "live points were deleted."},
    {{"Vesko.get_many", {"ids", "answer"}, 1}, &Vesko::get_many,
     "What get gives for each id, in order; answer=\"columns\" gives the live ones as Columns\n"
     "(id, lat, lon, metadata), in the order asked."},
    {{"Vesko.search_knn_many", {"lats", "lons", "k", "filter_json"}, 3}, &Vesko::search_knn_many,
     "search_knn for every centre (lats[i], lons[i]) at once, on every core, as Columns\n"
     "with a query column (the centre's position) first, rows grouped by query."},
    {{"Vesko.search_radius_many", {"lats", "lons", "radius_m", "filter_json"}, 3},
     &Vesko::search_radius_many,
     "search_radius for every centre at once (one radius, or one per centre), on every\n"
     "core, as Columns with a query column first, rows grouped by query."},
    {{"Vesko.__contains__", {"id"}, 1}, &Vesko::contains,
     "True when a live point has this id."},
    {{"Vesko.__len__"}, &Vesko::len,
     "The number of live points, as count()."},
    {{"Vesko.__enter__"}, &Vesko::enter,
     "Returns the store itself; leaving the with block closes it."},
    {{"Vesko.__exit__", {"exc_type", "exc_value", "traceback"}, 3}, &Vesko::exit,
     "Closes the store."},
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
                METH_FASTCALL | METH_KEYWORDS,
                vesko::binding::docstring(methods[I].signature, methods[I].doc)),
     ...);
}

}  // namespace

PYBIND11_MODULE(vesko, module) {
    py::options options;
    options.disable_function_signatures();
    vesko::binding::register_exceptions(module);
    module.doc() = module_doc;
    module.attr("__version__") = VESKO_VERSION;

    const std::string class_docstring = vesko::binding::docstring(constructor, class_doc);
    py::class_<Vesko> cls(module, "Vesko", class_docstring.c_str());
    cls.def(py::init([](const py::args& args, const py::kwargs& kwargs) {
                return Vesko::create(vesko::binding::bind_arguments(constructor, args, kwargs));
            }),
            // Unlike the methods, __init__ names self without "$": it stays a pybind11
            // function, and inspect keeps a plain self of an unbound function.
            ("__init__(self, " +
             vesko::binding::docstring(constructor, "").substr(std::strlen("Vesko(")))
                .c_str());
    add_methods(cls, std::make_index_sequence<std::size(methods)>());
    add_method(cls, "__repr__", &repr, METH_NOARGS, "__repr__($self)\n--\n\n");
    cls.def_property_readonly(
        "read_only", [](const Vesko& vesko) { return vesko.read_only(); },
        "True for a reader (opened with read_only=True).");
    vesko::binding::ItemIterator::register_type(module);
    vesko::binding::Columns::register_type(module);
    module.def(
        "salvage",
        [](const py::args& args, const py::kwargs& kwargs) {
            return Vesko::salvage(vesko::binding::bind_arguments(salvage, args, kwargs));
        },
        vesko::binding::docstring(salvage, salvage_doc).c_str());

    // Reading and writing files in other tools' formats is plain Python, shipped beside the
    // extension; the module functions come from there (imported here, so a broken install
    // fails at import rather than at first use).
    py::module_ io = py::module_::import("_vesko_io");
    module.attr("import_geojson") = io.attr("import_geojson");
    module.attr("import_parquet") = io.attr("import_parquet");
}
