#include "binding/items.h"

#include "binding/vesko.h"

#include <utility>

namespace vesko::binding {

ItemIterator::ItemIterator(py::object owner, const Vesko& vesko,
                           std::optional<std::string> filter_json, engine::PointChunk first)
    : owner_(std::move(owner)),
      vesko_(&vesko),
      filter_json_(std::move(filter_json)),
      chunk_(std::move(first)) {}

py::tuple ItemIterator::next() {
    // A chunk can come back empty without being the last, when the filter matched none of it.
    while (position_ == chunk_.points.size()) {
        if (chunk_.done) throw py::stop_iteration();
        chunk_ = vesko_->points_after(chunk_.last_int_id, filter_json_);
        position_ = 0;
    }
    const engine::StoredPoint& point = chunk_.points[position_++];
    return py::make_tuple(py::str(point.ext_id), static_cast<double>(point.lat_deg),
                          static_cast<double>(point.lon_deg), py::str(point.metadata));
}

void ItemIterator::register_type(py::module_& module) {
    py::class_<ItemIterator>(
        module, "ItemIterator",
        "Iterator over (id, lat, lon, metadata) of the live points, in internal-id order.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &ItemIterator::next);
}

}  // namespace vesko::binding
