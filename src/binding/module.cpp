// The module vesko: PanicException and the class Vesko with its eleven methods, registered in
// this order. Each documentation string is the method's text signature and nothing more, so
// that introspection (inspect.signature, help) shows the Python-level parameters.
#include "binding/errors.h"
#include "binding/vesko.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;
using vesko::binding::Vesko;

PYBIND11_MODULE(vesko, module) {
    py::options options;
    options.disable_function_signatures();
    vesko::binding::register_exceptions(module);

    py::class_<Vesko>(module, "Vesko", "Vesko(storage_path)\n--\n\n")
        .def(py::init(&Vesko::create), "__init__(self, storage_path)\n--\n\n")
        .def("exists", &Vesko::exists, "exists($self, filter_json)\n--\n\n")
        .def("add", &Vesko::add, "add($self, id, lat, lon, metadata, skip_index=None)\n--\n\n")
        .def("persist", &Vesko::persist, "persist($self)\n--\n\n")
        .def("count", &Vesko::count, "count($self)\n--\n\n")
        .def("delete", &Vesko::remove, "delete($self, id)\n--\n\n")
        .def("delete_by_filter", &Vesko::delete_by_filter,
             "delete_by_filter($self, filter_json)\n--\n\n")
        .def("vacuum", &Vesko::vacuum, "vacuum($self)\n--\n\n")
        .def("search_knn", &Vesko::search_knn,
             "search_knn($self, lat, lon, k, filter_json=None)\n--\n\n")
        .def("search_box", &Vesko::search_box,
             "search_box($self, top_left, bottom_right, filter_json=None)\n--\n\n")
        .def("search_radius", &Vesko::search_radius,
             "search_radius($self, lat, lon, radius_m, filter_json=None)\n--\n\n")
        .def("search_polygon", &Vesko::search_polygon,
             "search_polygon($self, points, filter_json=None)\n--\n\n")
        .def("__repr__", &Vesko::repr);
}
