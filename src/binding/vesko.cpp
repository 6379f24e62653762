#include "binding/vesko.h"

#include "binding/args.h"
#include "binding/errors.h"

namespace vesko::binding {

namespace {

const Signature constructor_signature{"Vesko", {"storage_path"}, 1, false};
const Signature salvage_signature{"salvage", {"storage_path"}, 1, false};
const Signature exists_signature{"Vesko.exists", {"filter_json"}, 1};
const Signature add_signature{"Vesko.add", {"id", "lat", "lon", "metadata", "skip_index"}, 4};
const Signature no_arguments_persist{"Vesko.persist", {}, 0};
const Signature no_arguments_count{"Vesko.count", {}, 0};
const Signature delete_signature{"Vesko.delete", {"id"}, 1};
const Signature delete_by_filter_signature{"Vesko.delete_by_filter", {"filter_json"}, 1};
const Signature no_arguments_vacuum{"Vesko.vacuum", {}, 0};
const Signature knn_signature{"Vesko.search_knn", {"lat", "lon", "k", "filter_json"}, 3};
const Signature box_signature{"Vesko.search_box", {"top_left", "bottom_right", "filter_json"}, 2};
const Signature radius_signature{
    "Vesko.search_radius", {"lat", "lon", "radius_m", "filter_json"}, 3};
const Signature polygon_signature{"Vesko.search_polygon", {"points", "filter_json"}, 1};

py::list distance_hits_to_list(const std::vector<spatial::DistanceHit>& hits) {
    py::list out(hits.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const auto& h = hits[i];
        out[i] = py::make_tuple(py::str(h.ext_id), py::float_(static_cast<double>(h.dist_m)),
                                py::str(h.metadata));
    }
    return out;
}

py::list hits_to_list(const std::vector<spatial::Hit>& hits) {
    py::list out(hits.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        out[i] = py::make_tuple(py::str(hits[i].ext_id), py::str(hits[i].metadata));
    }
    return out;
}

std::string storage_path_argument(const Signature& signature, const py::args& args,
                                  const py::kwargs& kwargs) {
    auto bound = bind_arguments(signature, args, kwargs);
    std::string storage_path = to_text(bound[0], "storage_path");
    if (storage_path.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        throw py::error_already_set();
    }
    return storage_path;
}

}  // namespace

std::unique_ptr<Vesko> Vesko::create(const py::args& args, const py::kwargs& kwargs) {
    std::string storage_path = storage_path_argument(constructor_signature, args, kwargs);
    auto store = value_or_raise(engine::Store::open(storage_path));
    return std::unique_ptr<Vesko>(new Vesko(std::move(storage_path), std::move(store)));
}

std::unique_ptr<Vesko> Vesko::salvage(const py::args& args, const py::kwargs& kwargs) {
    std::string storage_path = storage_path_argument(salvage_signature, args, kwargs);
    auto store = value_or_raise(engine::Store::salvage(storage_path));
    return std::unique_ptr<Vesko>(new Vesko(std::move(storage_path), std::move(store)));
}

py::object Vesko::exists(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(exists_signature, args, kwargs);
    std::string filter_json = to_text(bound[0], "filter_json");
    return py::bool_(value_or_raise(store_->exists(filter_json), exists_filter_prefix));
}

py::object Vesko::add(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(add_signature, args, kwargs);
    std::string ext_id = to_text(bound[0], "id");
    float lat = to_f32(bound[1], "lat");
    float lon = to_f32(bound[2], "lon");
    std::string metadata = to_text(bound[3], "metadata");
    auto skip_index = to_optional_names(bound[4], "skip_index");
    raise_if_error(store_->add(ext_id, lat, lon, metadata, skip_index ? &*skip_index : nullptr),
                   metadata_prefix);
    return py::none();
}

py::object Vesko::persist(const py::args& args, const py::kwargs& kwargs) {
    bind_arguments(no_arguments_persist, args, kwargs);
    raise_if_error(store_->persist());
    return py::none();
}

py::object Vesko::count(const py::args& args, const py::kwargs& kwargs) {
    bind_arguments(no_arguments_count, args, kwargs);
    return py::int_(value_or_raise(store_->count()));
}

py::object Vesko::remove(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(delete_signature, args, kwargs);
    std::string ext_id = to_text(bound[0], "id");
    raise_if_error(store_->remove(ext_id));
    return py::none();
}

py::object Vesko::delete_by_filter(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(delete_by_filter_signature, args, kwargs);
    std::string filter_json = to_text(bound[0], "filter_json");
    return py::int_(value_or_raise(store_->delete_by_filter(filter_json)));
}

py::object Vesko::vacuum(const py::args& args, const py::kwargs& kwargs) {
    bind_arguments(no_arguments_vacuum, args, kwargs);
    raise_if_error(store_->vacuum());
    return py::none();
}

py::object Vesko::search_knn(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(knn_signature, args, kwargs);
    float lat = to_f32(bound[0], "lat");
    float lon = to_f32(bound[1], "lon");
    std::uint32_t k = to_count_u32(bound[2], "k");
    auto filter_json = to_optional_text(bound[3], "filter_json");
    return distance_hits_to_list(value_or_raise(store_->search_knn(lat, lon, k, filter_json)));
}

py::object Vesko::search_box(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(box_signature, args, kwargs);
    auto top_left = to_pair(bound[0], "top_left");
    auto bottom_right = to_pair(bound[1], "bottom_right");
    auto filter_json = to_optional_text(bound[2], "filter_json");
    return hits_to_list(value_or_raise(store_->search_box(top_left, bottom_right, filter_json)));
}

py::object Vesko::search_radius(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(radius_signature, args, kwargs);
    float lat = to_f32(bound[0], "lat");
    float lon = to_f32(bound[1], "lon");
    float radius_m = to_f32(bound[2], "radius_m");
    auto filter_json = to_optional_text(bound[3], "filter_json");
    return distance_hits_to_list(
        value_or_raise(store_->search_radius(lat, lon, radius_m, filter_json)));
}

py::object Vesko::search_polygon(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(polygon_signature, args, kwargs);
    auto points = to_pairs(bound[0], "points");
    auto filter_json = to_optional_text(bound[1], "filter_json");
    return hits_to_list(value_or_raise(store_->search_polygon(points, filter_json)));
}

std::string Vesko::repr() const {
    return "Vesko(" + py::repr(py::str(storage_path_)).cast<std::string>() + ")";
}

}  // namespace vesko::binding
