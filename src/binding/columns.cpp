#include "binding/columns.h"

#include <string>
#include <utility>

namespace vesko::binding {

namespace {

// Each capsule owns a heap structure. A consumer that imports it moves the contents out and
// marks the structure released; one that never does leaves the release to the capsule's
// destructor. Either way the structure itself is freed here.
template <class Structure>
void free_structure(PyObject* capsule, const char* name) {
    auto* structure = static_cast<Structure*>(PyCapsule_GetPointer(capsule, name));
    if (structure == nullptr) {
        PyErr_Clear();  // a destructor must leave no error behind
        return;
    }
    if (structure->release != nullptr) structure->release(structure);
    delete structure;
}

void free_schema(PyObject* capsule) { free_structure<ArrowSchema>(capsule, "arrow_schema"); }
void free_array(PyObject* capsule) { free_structure<ArrowArray>(capsule, "arrow_array"); }
void free_stream(PyObject* capsule) {
    free_structure<ArrowArrayStream>(capsule, "arrow_array_stream");
}

// A capsule for a filled structure; the structure is released if making the capsule fails.
template <class Structure>
py::object capsule_of(std::unique_ptr<Structure> structure, const char* name,
                      PyCapsule_Destructor destructor) {
    PyObject* capsule = PyCapsule_New(structure.get(), name, destructor);
    if (capsule == nullptr) {
        structure->release(structure.get());
        throw py::error_already_set();
    }
    structure.release();
    return py::reinterpret_steal<py::object>(capsule);
}

}  // namespace

Columns::Columns(std::shared_ptr<ColumnAnswer> answer) : answer_(std::move(answer)) {}

py::object Columns::arrow_c_schema() const {
    auto schema = std::make_unique<ArrowSchema>();
    export_schema(*answer_, schema.get());
    return capsule_of(std::move(schema), "arrow_schema", &free_schema);
}

py::tuple Columns::arrow_c_array(py::handle /*requested_schema*/) const {
    py::object schema = arrow_c_schema();
    auto array = std::make_unique<ArrowArray>();
    export_batch(answer_, 0, array.get());
    return py::make_tuple(schema, capsule_of(std::move(array), "arrow_array", &free_array));
}

py::object Columns::arrow_c_stream(py::handle /*requested_schema*/) const {
    auto stream = std::make_unique<ArrowArrayStream>();
    export_stream(answer_, stream.get());
    return capsule_of(std::move(stream), "arrow_array_stream", &free_stream);
}

std::string Columns::repr() const {
    std::string names = answer_->kinds.query ? "query, id, lat, lon" : "id, lat, lon";
    if (answer_->kinds.distance_m) names += ", distance_m";
    return "<vesko.Columns: " + std::to_string(rows()) + " rows of " + names + ", metadata>";
}

void Columns::register_type(py::module_& module) {
    py::class_<Columns>(
        module, "Columns",
        "An answer as columns: id, lat, lon, distance_m (radius and k-nearest) and metadata, in "
        "the\n"
        "order of the tuple answer (answer=\"geoarrow\" adds geometry, GeoArrow points), handed "
        "to\n"
        "pyarrow, polars, duckdb, pandas or GeoPandas through the Arrow PyCapsule interface\n"
        "(pyarrow.table(c), geopandas.GeoDataFrame.from_arrow(c)) without copying a column. It\n"
        "owns its buffers: it stays valid after the store changes or closes.")
        .def("__arrow_c_schema__", &Columns::arrow_c_schema)
        .def("__arrow_c_array__", &Columns::arrow_c_array, py::arg("requested_schema") = py::none())
        .def("__arrow_c_stream__", &Columns::arrow_c_stream,
             py::arg("requested_schema") = py::none())
        .def("__len__", &Columns::rows, "The number of rows.")
        .def("__repr__", &Columns::repr);
}

}  // namespace vesko::binding
