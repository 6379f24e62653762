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

py::str text(std::string_view bytes) { return py::str(bytes.data(), bytes.size()); }

// Readers that build the result list from the engine's views. The engine calls them with the
// index lock held shared and the interpreter lock released; they take the interpreter lock
// only now, after the index lock, so that no thread ever waits for a store lock while holding
// the interpreter lock. Records are read in id order, which walks the files front to back;
// each tuple goes to its place in the answer.
engine::DistanceHitsReader distance_hits_into(py::object& out) {
    return [&out](std::span<const spatial::DistanceHit> hits, engine::HitTexts& texts) {
        py::gil_scoped_acquire gil;
        py::list list(hits.size());
        for (std::size_t i = 0; i < hits.size(); ++i) {
            list[hits[i].place] = py::make_tuple(text(texts.ext_id(i)),
                                                 py::float_(static_cast<double>(hits[i].dist_m)),
                                                 text(texts.metadata(i)));
        }
        out = std::move(list);
    };
}

engine::HitsReader hits_into(py::object& out) {
    return [&out](std::span<const std::uint32_t> int_ids, engine::HitTexts& texts) {
        py::gil_scoped_acquire gil;
        py::list list(int_ids.size());
        for (std::size_t i = 0; i < int_ids.size(); ++i) {
            list[i] = py::make_tuple(text(texts.ext_id(i)), text(texts.metadata(i)));
        }
        out = std::move(list);
    };
}

// Runs an engine call with the interpreter lock released: the engine may wait for the store's
// locks, and other threads run Python meanwhile. Arguments are converted before, results built
// after (or by a reader that takes the interpreter lock back itself).
template <class Call>
auto without_gil(Call&& call) {
    py::gil_scoped_release released;
    return call();
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
    return py::bool_(value_or_raise(without_gil([&] { return store_->exists(filter_json); })));
}

py::object Vesko::add(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(add_signature, args, kwargs);
    std::string ext_id = to_text(bound[0], "id");
    float lat = to_f32(bound[1], "lat");
    float lon = to_f32(bound[2], "lon");
    std::string metadata = to_text(bound[3], "metadata");
    auto skip_index = to_optional_names(bound[4], "skip_index");
    raise_if_error(without_gil([&] {
        return store_->add(ext_id, lat, lon, metadata, skip_index ? &*skip_index : nullptr);
    }));
    return py::none();
}

py::object Vesko::persist(const py::args& args, const py::kwargs& kwargs) {
    bind_arguments(no_arguments_persist, args, kwargs);
    raise_if_error(without_gil([&] { return store_->persist(); }));
    return py::none();
}

py::object Vesko::count(const py::args& args, const py::kwargs& kwargs) {
    bind_arguments(no_arguments_count, args, kwargs);
    return py::int_(value_or_raise(without_gil([&] { return store_->count(); })));
}

py::object Vesko::remove(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(delete_signature, args, kwargs);
    std::string ext_id = to_text(bound[0], "id");
    raise_if_error(without_gil([&] { return store_->remove(ext_id); }));
    return py::none();
}

py::object Vesko::delete_by_filter(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(delete_by_filter_signature, args, kwargs);
    std::string filter_json = to_text(bound[0], "filter_json");
    return py::int_(
        value_or_raise(without_gil([&] { return store_->delete_by_filter(filter_json); })));
}

py::object Vesko::vacuum(const py::args& args, const py::kwargs& kwargs) {
    bind_arguments(no_arguments_vacuum, args, kwargs);
    raise_if_error(without_gil([&] { return store_->vacuum(); }));
    return py::none();
}

py::object Vesko::search_knn(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(knn_signature, args, kwargs);
    float lat = to_f32(bound[0], "lat");
    float lon = to_f32(bound[1], "lon");
    std::uint32_t k = to_count_u32(bound[2], "k");
    auto filter_json = to_optional_text(bound[3], "filter_json");
    py::object hits;
    raise_if_error(without_gil(
        [&] { return store_->search_knn(lat, lon, k, filter_json, distance_hits_into(hits)); }));
    return hits;
}

py::object Vesko::search_box(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(box_signature, args, kwargs);
    auto top_left = to_pair(bound[0], "top_left");
    auto bottom_right = to_pair(bound[1], "bottom_right");
    auto filter_json = to_optional_text(bound[2], "filter_json");
    py::object hits;
    raise_if_error(without_gil(
        [&] { return store_->search_box(top_left, bottom_right, filter_json, hits_into(hits)); }));
    return hits;
}

py::object Vesko::search_radius(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(radius_signature, args, kwargs);
    float lat = to_f32(bound[0], "lat");
    float lon = to_f32(bound[1], "lon");
    float radius_m = to_f32(bound[2], "radius_m");
    auto filter_json = to_optional_text(bound[3], "filter_json");
    py::object hits;
    raise_if_error(without_gil([&] {
        return store_->search_radius(lat, lon, radius_m, filter_json, distance_hits_into(hits));
    }));
    return hits;
}

py::object Vesko::search_polygon(const py::args& args, const py::kwargs& kwargs) {
    auto bound = bind_arguments(polygon_signature, args, kwargs);
    auto points = to_pairs(bound[0], "points");
    auto filter_json = to_optional_text(bound[1], "filter_json");
    py::object hits;
    raise_if_error(
        without_gil([&] { return store_->search_polygon(points, filter_json, hits_into(hits)); }));
    return hits;
}

std::string Vesko::repr() const {
    return "Vesko(" + py::repr(py::str(storage_path_)).cast<std::string>() + ")";
}

}  // namespace vesko::binding
