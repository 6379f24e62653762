// The module vesko: PanicException, the class Vesko with its eleven methods, and the function
// salvage, registered in this order. Each documentation string is the method's text signature and
// nothing more, so that introspection (inspect.signature, help) shows the Python-level parameters.
#include "binding/errors.h"
#include "binding/vesko.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;
using vesko::binding::Vesko;

namespace {

// Vesko.__new__ without __init__ (or a subclass whose __init__ skips ours) leaves an instance
// with no store behind it; its methods raise instead of reading memory that holds nothing.
Vesko* opened_or_null(py::handle self) {
    if (!py::isinstance<Vesko>(self)) throw py::type_error("expected a Vesko object");
    auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
    auto holder = inst->get_value_and_holder(py::detail::get_type_info(typeid(Vesko)));
    return holder && holder.holder_constructed() ? holder.value_ptr<Vesko>() : nullptr;
}

Vesko& opened(py::handle self) {
    Vesko* vesko = opened_or_null(self);
    if (vesko == nullptr) {
        throw py::type_error(
            "this Vesko object was never opened; create it with Vesko(storage_path)");
    }
    return *vesko;
}

template <py::object (Vesko::*Method)(const py::args&, const py::kwargs&)>
py::object call(py::handle self, const py::args& args, const py::kwargs& kwargs) {
    return (opened(self).*Method)(args, kwargs);
}

std::string repr(py::handle self) {
    Vesko* vesko = opened_or_null(self);
    return vesko == nullptr ? "<Vesko, not opened>" : vesko->repr();
}

}  // namespace

PYBIND11_MODULE(vesko, module) {
    py::options options;
    options.disable_function_signatures();
    vesko::binding::register_exceptions(module);

    py::class_<Vesko>(module, "Vesko", "Vesko(storage_path)\n--\n\n")
        .def(py::init(&Vesko::create), "__init__(self, storage_path)\n--\n\n")
        .def("exists", &call<&Vesko::exists>, "exists($self, filter_json)\n--\n\n")
        .def("add", &call<&Vesko::add>,
             "add($self, id, lat, lon, metadata, skip_index=None)\n--\n\n")
        .def("persist", &call<&Vesko::persist>, "persist($self)\n--\n\n")
        .def("count", &call<&Vesko::count>, "count($self)\n--\n\n")
        .def("delete", &call<&Vesko::remove>, "delete($self, id)\n--\n\n")
        .def("delete_by_filter", &call<&Vesko::delete_by_filter>,
             "delete_by_filter($self, filter_json)\n--\n\n")
        .def("vacuum", &call<&Vesko::vacuum>, "vacuum($self)\n--\n\n")
        .def("search_knn", &call<&Vesko::search_knn>,
             "search_knn($self, lat, lon, k, filter_json=None)\n--\n\n")
        .def("search_box", &call<&Vesko::search_box>,
             "search_box($self, top_left, bottom_right, filter_json=None)\n--\n\n")
        .def("search_radius", &call<&Vesko::search_radius>,
             "search_radius($self, lat, lon, radius_m, filter_json=None)\n--\n\n")
        .def("search_polygon", &call<&Vesko::search_polygon>,
             "search_polygon($self, points, filter_json=None)\n--\n\n")
        .def("__repr__", &repr);
    module.def("salvage", &Vesko::salvage, "salvage(storage_path)\n--\n\n");
}
