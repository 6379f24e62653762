#include "binding/vesko.h"

#include "binding/c_api.h"
#include "binding/errors.h"
#include "binding/interpreter_lock.h"
#include "binding/items.h"

#include <unordered_set>
#include <utility>

namespace vesko::binding {

namespace {

// Every constructed Vesko, so that a method called on storage that __init__ never filled is
// refused instead of read. Touched only with the interpreter lock held.
std::unordered_set<const Vesko*>& constructed() {
    static std::unordered_set<const Vesko*> set;
    return set;
}

// The interpreter lock during a search or count: held when the call starts, let go by the
// engine only when it must wait for the store's lock or has enough work ahead to run beside
// other threads, and taken back once, by the reader that builds the answer's objects or at
// the end. A quick search keeps it throughout: each hand-over of the lock between threads is
// a wake-up of the waiting one, which costs more than a small answer's whole work.
class InterpreterHandOver final : public engine::CallerLock {
  public:
    InterpreterHandOver() = default;
    InterpreterHandOver(const InterpreterHandOver&) = delete;
    InterpreterHandOver& operator=(const InterpreterHandOver&) = delete;
    ~InterpreterHandOver() { take_back(); }

    void release() override {
        if (saved_ == nullptr) saved_ = let_go_of_interpreter();
    }
    void take_back() {
        if (saved_ != nullptr) take_interpreter_back(std::exchange(saved_, nullptr));
    }

  private:
    PyThreadState* saved_ = nullptr;  // set while the lock is let go
};

// Readers that build the result list from the engine's views. The engine calls them with the
// index lock held shared and the interpreter lock possibly let go; they take it back only now,
// after the index lock, so that no thread ever waits for a store lock while holding the
// interpreter lock. The engine has found every text already, so the lock is held only to
// make objects; each tuple goes to its place in the answer. The list's slots start empty and each
// is set once; a list dropped half-built releases only the slots that were set.
engine::DistanceHitsReader distance_hits_into(py::object& out, InterpreterHandOver& released) {
    return [&out, &released](std::span<const spatial::DistanceHit> hits, engine::HitTexts& texts) {
        released.take_back();
        const CollectorPaused paused;
        py::list list = new_list(hits.size());
        texts.for_each_ready_run([&](std::size_t begin, std::size_t end) {
            const bool ascii = texts.ascii(begin);
            for (std::size_t i = begin; i < end; ++i) {
                set_new_item(list, hits[i].place,
                             new_tuple(new_text(texts.ext_id(i), ascii),
                                       py::float_(static_cast<double>(hits[i].dist_m)),
                                       new_text(texts.metadata(i), ascii)));
            }
        });
        out = std::move(list);
    };
}

engine::HitsReader hits_into(py::object& out, InterpreterHandOver& released) {
    return [&out, &released](std::span<const std::uint32_t> int_ids, engine::HitTexts& texts) {
        released.take_back();
        const CollectorPaused paused;
        py::list list = new_list(int_ids.size());
        texts.for_each_ready_run([&](std::size_t begin, std::size_t end) {
            const bool ascii = texts.ascii(begin);
            for (std::size_t i = begin; i < end; ++i) {
                set_new_item(list, i,
                             new_tuple(new_text(texts.ext_id(i), ascii),
                                       new_text(texts.metadata(i), ascii)));
            }
        });
        out = std::move(list);
    };
}

// Runs an engine call with the interpreter lock released: the engine may wait for the store's
// locks, and other threads run Python meanwhile. Arguments are converted before, results built
// after (or by a reader that takes the interpreter lock back itself).
template <class Call>
auto without_gil(Call&& call) {
    const InterpreterReleased released;
    return call();
}

// A search or count, which lets go of the interpreter lock only when worth it; a search's
// reader takes it back itself.
template <class Call>
auto handing_over_gil(Call&& call) {
    InterpreterHandOver hand_over;
    return call(hand_over);
}

// The arguments of add and upsert: (id, lat, lon, metadata, skip_index), converted in order.
struct PointArguments {
    std::string ext_id;
    float lat;
    float lon;
    std::string metadata;
    std::optional<std::vector<std::string>> skip_index;

    explicit PointArguments(const Arguments& bound)
        : ext_id(to_text(bound[0])),
          lat(to_f32(bound[1])),
          lon(to_f32(bound[2])),
          metadata(to_text(bound[3])),
          skip_index(to_optional_names(bound[4])) {}

    const std::vector<std::string>* skip() const { return skip_index ? &*skip_index : nullptr; }
};

std::string storage_path_argument(const Arguments& bound) {
    std::string storage_path = to_text(bound[0]);
    if (storage_path.find('\0') != std::string::npos) {
        raise_with(PyExc_ValueError, "embedded null byte");
    }
    return storage_path;
}

}  // namespace

std::unique_ptr<Vesko> Vesko::create(const Arguments& bound) {
    std::string storage_path = storage_path_argument(bound);
    auto store = value_or_raise(engine::Store::open(storage_path));
    return std::unique_ptr<Vesko>(new Vesko(std::move(storage_path), std::move(store)));
}

std::unique_ptr<Vesko> Vesko::salvage(const Arguments& bound) {
    std::string storage_path = storage_path_argument(bound);
    auto store = value_or_raise(engine::Store::salvage(storage_path));
    return std::unique_ptr<Vesko>(new Vesko(std::move(storage_path), std::move(store)));
}

py::object Vesko::exists(const Arguments& bound) {
    std::string filter_json = to_text(bound[0]);
    return py::bool_(value_or_raise(without_gil([&] { return store_->exists(filter_json); }),
                                    exists_filter_prefix));
}

py::object Vesko::add(const Arguments& bound) {
    const PointArguments point(bound);
    raise_if_error(without_gil([&] {
                       return store_->add(point.ext_id, point.lat, point.lon, point.metadata,
                                          point.skip());
                   }),
                   metadata_prefix);
    return py::none();
}

py::object Vesko::persist(const Arguments& /*bound*/) {
    raise_if_error(without_gil([&] { return store_->persist(); }));
    return py::none();
}

py::object Vesko::sync(const Arguments& /*bound*/) {
    raise_if_error(without_gil([&] { return store_->sync(); }));
    return py::none();
}

py::object Vesko::add_many(const Arguments& bound) {
    TextViews ext_ids;
    to_text_views(bound[0], ext_ids);
    const std::vector<float> lats = to_f32s(bound[1]);
    const std::vector<float> lons = to_f32s(bound[2]);
    TextViews metadatas;
    to_text_views(bound[3], metadatas);
    const auto skip_index = to_optional_names(bound[4]);
    const std::size_t n = ext_ids.views.size();
    for (const auto& [name, size] : {std::pair{"lats", lats.size()}, std::pair{"lons", lons.size()},
                                     std::pair{"metadatas", metadatas.views.size()}}) {
        if (size != n) {
            raise_with(PyExc_ValueError, "argument '" + std::string(name) + "': holds " +
                                             std::to_string(size) + " items where 'ids' holds " +
                                             std::to_string(n));
        }
    }
    std::vector<engine::NewPoint> points(n);
    for (std::size_t i = 0; i < n; ++i)
        points[i] = engine::NewPoint{ext_ids.views[i], lats[i], lons[i], metadatas.views[i]};
    raise_if_error(
        without_gil([&] { return store_->add_many(points, skip_index ? &*skip_index : nullptr); }),
        metadata_prefix);
    return py::none();
}

py::object Vesko::delete_many(const Arguments& bound) {
    const std::vector<std::string> ext_ids = to_texts(bound[0]);
    return py::int_(value_or_raise(without_gil([&] { return store_->delete_many(ext_ids); })));
}

py::object Vesko::count(const Arguments& /*bound*/) {
    return py::int_(value_or_raise(handing_over_gil(
        [&](InterpreterHandOver& hand_over) { return store_->count(&hand_over); })));
}

py::object Vesko::remove(const Arguments& bound) {
    std::string ext_id = to_text(bound[0]);
    raise_if_error(without_gil([&] { return store_->remove(ext_id); }));
    return py::none();
}

py::object Vesko::delete_by_filter(const Arguments& bound) {
    std::string filter_json = to_text(bound[0]);
    return py::int_(
        value_or_raise(without_gil([&] { return store_->delete_by_filter(filter_json); })));
}

py::object Vesko::vacuum(const Arguments& /*bound*/) {
    raise_if_error(without_gil([&] { return store_->vacuum(); }), "", OsErrorClass::Plain);
    return py::none();
}

py::object Vesko::search_knn(const Arguments& bound) {
    float lat = to_f32(bound[0]);
    float lon = to_f32(bound[1]);
    std::uint32_t k = to_count_u32(bound[2]);
    auto filter_json = to_optional_text(bound[3]);
    py::object hits;
    raise_if_error(handing_over_gil([&](InterpreterHandOver& released) {
        return store_->search_knn(lat, lon, k, filter_json, distance_hits_into(hits, released),
                                  &released);
    }));
    return hits;
}

py::object Vesko::search_box(const Arguments& bound) {
    auto top_left = to_pair(bound[0]);
    auto bottom_right = to_pair(bound[1]);
    auto filter_json = to_optional_text(bound[2]);
    py::object hits;
    raise_if_error(handing_over_gil([&](InterpreterHandOver& released) {
        return store_->search_box(top_left, bottom_right, filter_json, hits_into(hits, released),
                                  &released);
    }));
    return hits;
}

py::object Vesko::search_radius(const Arguments& bound) {
    float lat = to_f32(bound[0]);
    float lon = to_f32(bound[1]);
    float radius_m = to_f32(bound[2]);
    auto filter_json = to_optional_text(bound[3]);
    py::object hits;
    raise_if_error(handing_over_gil([&](InterpreterHandOver& released) {
        return store_->search_radius(lat, lon, radius_m, filter_json,
                                     distance_hits_into(hits, released), &released);
    }));
    return hits;
}

py::object Vesko::search_polygon(const Arguments& bound) {
    auto points = to_pairs(bound[0]);
    auto filter_json = to_optional_text(bound[1]);
    py::object hits;
    raise_if_error(handing_over_gil([&](InterpreterHandOver& released) {
        return store_->search_polygon(points, filter_json, hits_into(hits, released), &released);
    }));
    return hits;
}

Vesko::Vesko(std::string storage_path, std::unique_ptr<engine::Store> store)
    : storage_path_(std::move(storage_path)), store_(std::move(store)) {
    constructed().insert(this);
}

Vesko::~Vesko() { constructed().erase(this); }

bool Vesko::is_constructed(const Vesko* candidate) {
    return candidate != nullptr && constructed().count(candidate) != 0;
}

py::object Vesko::get(const Arguments& bound) {
    std::string ext_id = to_text(bound[0]);
    auto point = value_or_raise(without_gil([&] { return store_->get(ext_id); }));
    if (!point) return py::none();
    return py::make_tuple(static_cast<double>(point->lat_deg), static_cast<double>(point->lon_deg),
                          py::str(point->metadata));
}

py::object Vesko::upsert(const Arguments& bound) {
    const PointArguments point(bound);
    return py::bool_(value_or_raise(without_gil([&] {
                                        return store_->upsert(point.ext_id, point.lat, point.lon,
                                                              point.metadata, point.skip());
                                    }),
                                    metadata_prefix));
}

py::object Vesko::items(const Arguments& bound) {
    auto filter_json = to_optional_text(bound[0]);
    // The first chunk is read at once, so that a filter that is not JSON raises here.
    auto first = points_after(std::nullopt, filter_json);
    return py::cast(ItemIterator(py::reinterpret_borrow<py::object>(bound.self()), *this,
                                 std::move(filter_json), std::move(first)));
}

py::object Vesko::export_points(const Arguments& bound) {
    std::string path = to_path(bound[0]);
    auto format = to_optional_text(bound[1]);
    py::object format_or_none = format ? py::object(py::str(*format)) : py::object(py::none());
    // Writing files in the formats other tools read is Python's job; the format is checked
    // there before the file is created.
    return py::module_::import("_vesko_io").attr("export")(bound.self(), path, format_or_none);
}

py::object Vesko::contains(const Arguments& bound) {
    std::string ext_id = to_text(bound[0]);
    return py::bool_(value_or_raise(without_gil([&] { return store_->contains(ext_id); })));
}

py::object Vesko::len(const Arguments& /*bound*/) {
    return py::int_(value_or_raise(handing_over_gil(
        [&](InterpreterHandOver& hand_over) { return store_->count(&hand_over); })));
}

engine::PointChunk Vesko::points_after(std::optional<std::uint32_t> after,
                                       const std::optional<std::string>& filter_json) const {
    return value_or_raise(
        without_gil([&] { return store_->points_after(after, items_chunk_points, filter_json); }));
}

py::object Vesko::close(const Arguments& /*bound*/) {
    // Closing waits for calls in other threads to finish, which may need the GIL to do so.
    without_gil([&] { store_->close(); });
    return py::none();
}

py::object Vesko::enter(const Arguments& bound) {
    raise_if_error(store_->check_open());
    return py::reinterpret_borrow<py::object>(bound.self());
}

py::object Vesko::exit(const Arguments& /*bound*/) {
    without_gil([&] { store_->close(); });
    return py::bool_(false);
}

std::string Vesko::repr() const {
    return "Vesko(" + py::repr(py::str(storage_path_)).cast<std::string>() + ")";
}

}  // namespace vesko::binding
