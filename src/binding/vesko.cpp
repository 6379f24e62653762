#include "binding/vesko.h"

#include "binding/arrow.h"
#include "binding/batch_queries.h"
#include "binding/c_api.h"
#include "binding/columns.h"
#include "binding/errors.h"
#include "binding/interpreter_lock.h"
#include "binding/items.h"

#include <cstring>
#include <limits>
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
    // Set by the tuple readers, which turn only the hits and their texts into objects.
    void reads_texts_only() { texts_only_ = true; }
    bool reads_gathered_texts_only() const override { return texts_only_; }

  private:
    PyThreadState* saved_ = nullptr;  // set while the lock is let go
    bool texts_only_ = false;
};

// Readers that build the result list from the engine's views. The engine calls them with the
// index lock held shared and the interpreter lock possibly let go; they take it back only now,
// after the index lock, so that no thread ever waits for a store lock while holding the
// interpreter lock. The engine has found every text already, so the lock is held only to
// make objects; each tuple goes to its place in the answer. The list's slots start empty and each
// is set once; a list dropped half-built releases only the slots that were set.
engine::DistanceHitsReader distance_hits_into(py::object& out, InterpreterHandOver& released) {
    released.reads_texts_only();
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
    released.reads_texts_only();
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

// get's answer for a live point: (lat, lon, metadata).
py::object point_tuple(const engine::StoredPoint& point) {
    return py::make_tuple(static_cast<double>(point.lat_deg), static_cast<double>(point.lon_deg),
                          py::str(point.metadata));
}

// A search's answer in the form asked for. `search(reader, caller, texts_wanted)` runs the
// engine's search; `tuples` and `columns` make the reader of each form. A columnar answer is
// built without the interpreter lock whenever the engine let go of it: nothing in it is a
// Python object until the one that holds it.
template <class Reader, class Search>
py::object answered(AnswerForm form, bool distances,
                    Reader (*tuples)(py::object&, InterpreterHandOver&),
                    Reader (*columns)(ColumnBatch&), Search&& search) {
    if (form == AnswerForm::Count) {
        std::size_t hits = 0;
        raise_if_error(handing_over_gil([&](InterpreterHandOver& released) {
            return search(
                Reader([&hits](auto found, engine::HitTexts& /*none*/) { hits = found.size(); }),
                &released, engine::HitTextsWanted::No);
        }));
        return py::int_(hits);
    }
    if (form == AnswerForm::Columns || form == AnswerForm::GeoArrow) {
        auto answer = std::make_shared<ColumnAnswer>();
        answer->kinds.distance_m = distances;
        answer->kinds.geometry = form == AnswerForm::GeoArrow;
        answer->batches.resize(1);
        raise_if_error(handing_over_gil([&](InterpreterHandOver& released) {
            return search(columns(answer->batches[0]), &released, engine::HitTextsWanted::Yes);
        }));
        answer->seal();
        return py::cast(Columns(std::move(answer)));
    }
    py::object hits;
    raise_if_error(handing_over_gil([&](InterpreterHandOver& released) {
        return search(tuples(hits, released), &released, engine::HitTextsWanted::Yes);
    }));
    return hits;
}

// The centres of a batch query: lats and lons, of the same length, which the query column
// can number.
struct Centres {
    std::vector<float> lats;
    std::vector<float> lons;

    explicit Centres(const Arguments& bound) : lats(to_f32s(bound[0])), lons(to_f32s(bound[1])) {
        require_lengths("lats", lats.size(), {{"lons", lons.size()}});
        if (lats.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            raise_with(PyExc_ValueError, "argument 'lats': more than 2^31 - 1 centres");
        }
    }
};

// A batch answer, built with the interpreter lock let go.
py::object columns_of_many(const Centres& centres, const CentreSearch& search) {
    return py::cast(Columns(value_or_raise(interruptible([&](Interrupt* interrupt) {
        return answer_many(centres.lats, centres.lons, search, *interrupt);
    }))));
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
    std::string storage_path = to_path(bound[0]);
    if (storage_path.find('\0') != std::string::npos) {
        raise_with(PyExc_ValueError, "embedded null byte");
    }
    return storage_path;
}

}  // namespace

std::unique_ptr<Vesko> Vesko::create(const Arguments& bound) {
    std::string storage_path = storage_path_argument(bound);
    const bool read_only = to_optional_flag(bound[1]);
    const double timeout_s = to_timeout_s(bound[2]);
    // Without the GIL: opening may wait for another process, or for a thread of this one
    // that is opening the same store.
    auto handle = value_or_raise(without_gil([&] {
        return read_only ? engine::StoreHandle::open_reader(storage_path)
                         : engine::StoreHandle::open(storage_path, timeout_s);
    }));
    return std::unique_ptr<Vesko>(new Vesko(std::move(storage_path), std::move(handle)));
}

std::unique_ptr<Vesko> Vesko::salvage(const Arguments& bound) {
    std::string storage_path = storage_path_argument(bound);
    const bool rebuild = to_optional_flag(bound[1]);
    auto handle = value_or_raise(
        without_gil([&] { return engine::StoreHandle::salvage(storage_path, rebuild); }));
    return std::unique_ptr<Vesko>(new Vesko(std::move(storage_path), std::move(handle)));
}

py::object Vesko::exists(const Arguments& bound) {
    std::string filter_json = to_text(bound[0]);
    engine::Store& store = open_store();
    return py::bool_(value_or_raise(without_gil([&] { return store.exists(filter_json); }),
                                    exists_filter_prefix));
}

py::object Vesko::add(const Arguments& bound) {
    refuse_on_reader();
    const PointArguments point(bound);
    engine::Store& store = open_store();
    raise_if_error(without_gil([&] {
                       return store.add(point.ext_id, point.lat, point.lon, point.metadata,
                                        point.skip());
                   }),
                   metadata_prefix);
    return py::none();
}

py::object Vesko::persist(const Arguments& /*bound*/) {
    refuse_on_reader();
    engine::Store& store = open_store();
    raise_if_error(without_gil([&] { return store.persist(); }));
    return py::none();
}

py::object Vesko::sync(const Arguments& /*bound*/) {
    refuse_on_reader();
    engine::Store& store = open_store();
    raise_if_error(without_gil([&] { return store.sync(); }));
    return py::none();
}

py::object Vesko::add_many(const Arguments& bound) {
    refuse_on_reader();
    TextViews ext_ids;
    to_text_views(bound[0], ext_ids);
    const std::vector<float> lats = to_f32s(bound[1]);
    const std::vector<float> lons = to_f32s(bound[2]);
    TextViews metadatas;
    to_text_views(bound[3], metadatas);
    const auto skip_index = to_optional_names(bound[4]);
    const std::size_t n = ext_ids.views.size();
    require_lengths(
        "ids", n,
        {{"lats", lats.size()}, {"lons", lons.size()}, {"metadatas", metadatas.views.size()}});
    std::vector<engine::NewPoint> points(n);
    for (std::size_t i = 0; i < n; ++i)
        points[i] = engine::NewPoint{ext_ids.views[i], lats[i], lons[i], metadatas.views[i]};
    engine::Store& store = open_store();
    raise_if_error(interruptible([&](Interrupt* interrupt) {
                       return store.add_many(points, skip_index ? &*skip_index : nullptr,
                                             interrupt);
                   }),
                   metadata_prefix);
    return py::none();
}

py::object Vesko::delete_many(const Arguments& bound) {
    refuse_on_reader();
    const std::vector<std::string> ext_ids = to_texts(bound[0]);
    engine::Store& store = open_store();
    return py::int_(value_or_raise(interruptible(
        [&](Interrupt* interrupt) { return store.delete_many(ext_ids, interrupt); })));
}

py::object Vesko::count(const Arguments& /*bound*/) {
    engine::Store& store = open_store();
    return py::int_(value_or_raise(
        handing_over_gil([&](InterpreterHandOver& hand_over) { return store.count(&hand_over); })));
}

py::object Vesko::remove(const Arguments& bound) {
    refuse_on_reader();
    std::string ext_id = to_text(bound[0]);
    engine::Store& store = open_store();
    raise_if_error(without_gil([&] { return store.remove(ext_id); }));
    return py::none();
}

py::object Vesko::delete_by_filter(const Arguments& bound) {
    refuse_on_reader();
    std::string filter_json = to_text(bound[0]);
    engine::Store& store = open_store();
    return py::int_(
        value_or_raise(without_gil([&] { return store.delete_by_filter(filter_json); })));
}

py::object Vesko::vacuum(const Arguments& /*bound*/) {
    refuse_on_reader();
    engine::Store& store = open_store();
    raise_if_error(interruptible([&](Interrupt* interrupt) { return store.vacuum(interrupt); }), "",
                   OsErrorClass::Plain);
    return py::none();
}

py::object Vesko::search_knn(const Arguments& bound) {
    float lat = to_f32(bound[0]);
    float lon = to_f32(bound[1]);
    std::uint32_t k = to_count_u32(bound[2]);
    auto filter_json = to_optional_text(bound[3]);
    const AnswerForm form = to_answer_form(bound[4], true);
    engine::Store& store = open_store();
    return answered(form, true, &distance_hits_into, &distance_columns_into,
                    [&](const engine::DistanceHitsReader& read, engine::CallerLock* caller,
                        engine::HitTextsWanted texts) {
                        return store.search_knn(lat, lon, k, filter_json, read, caller, texts);
                    });
}

py::object Vesko::search_box(const Arguments& bound) {
    auto top_left = to_pair(bound[0]);
    auto bottom_right = to_pair(bound[1]);
    auto filter_json = to_optional_text(bound[2]);
    const AnswerForm form = to_answer_form(bound[3], true);
    engine::Store& store = open_store();
    return answered(form, false, &hits_into, &columns_into,
                    [&](const engine::HitsReader& read, engine::CallerLock* caller,
                        engine::HitTextsWanted texts) {
                        return store.search_box(top_left, bottom_right, filter_json, read, caller,
                                                texts);
                    });
}

py::object Vesko::search_radius(const Arguments& bound) {
    float lat = to_f32(bound[0]);
    float lon = to_f32(bound[1]);
    float radius_m = to_f32(bound[2]);
    auto filter_json = to_optional_text(bound[3]);
    const AnswerForm form = to_answer_form(bound[4], true);
    engine::Store& store = open_store();
    return answered(form, true, &distance_hits_into, &distance_columns_into,
                    [&](const engine::DistanceHitsReader& read, engine::CallerLock* caller,
                        engine::HitTextsWanted texts) {
                        return store.search_radius(lat, lon, radius_m, filter_json, read, caller,
                                                   texts);
                    });
}

py::object Vesko::search_polygon(const Arguments& bound) {
    auto points = to_pairs(bound[0]);
    auto filter_json = to_optional_text(bound[1]);
    const AnswerForm form = to_answer_form(bound[2], true);
    engine::Store& store = open_store();
    return answered(form, false, &hits_into, &columns_into,
                    [&](const engine::HitsReader& read, engine::CallerLock* caller,
                        engine::HitTextsWanted texts) {
                        return store.search_polygon(points, filter_json, read, caller, texts);
                    });
}

py::object Vesko::search_knn_many(const Arguments& bound) {
    const Centres centres(bound);
    const std::uint32_t k = to_count_u32(bound[2]);
    const auto filter = value_or_raise(engine::SearchFilter::parse(to_optional_text(bound[3])));
    engine::Store& store = open_store();
    return columns_of_many(centres, [&](std::size_t query, ColumnBatch& out) {
        return store.search_knn(centres.lats[query], centres.lons[query], k, filter,
                                distance_columns_into(out));
    });
}

py::object Vesko::search_radius_many(const Arguments& bound) {
    const Centres centres(bound);
    // One radius for every centre, or one per centre.
    const py::handle radius = bound[2].value;
    std::vector<float> radii_m;
    if (py::isinstance<py::buffer>(radius) || py::isinstance<py::sequence>(radius)) {
        radii_m = to_f32s(bound[2]);
        require_lengths("lats", centres.lats.size(), {{"radius_m", radii_m.size()}});
    } else {
        radii_m.assign(centres.lats.size(), to_f32(bound[2]));
    }
    const auto filter = value_or_raise(engine::SearchFilter::parse(to_optional_text(bound[3])));
    engine::Store& store = open_store();
    return columns_of_many(centres, [&](std::size_t query, ColumnBatch& out) {
        return store.search_radius(centres.lats[query], centres.lons[query], radii_m[query], filter,
                                   distance_columns_into(out));
    });
}

Vesko::Vesko(std::string storage_path, std::unique_ptr<engine::StoreHandle> handle)
    : storage_path_(std::move(storage_path)), handle_(std::move(handle)) {
    constructed().insert(this);
}

Vesko::~Vesko() { constructed().erase(this); }

bool Vesko::is_constructed(const Vesko* candidate) {
    return candidate != nullptr && constructed().count(candidate) != 0;
}

py::object Vesko::get(const Arguments& bound) {
    std::string ext_id = to_text(bound[0]);
    engine::Store& store = open_store();
    auto point = value_or_raise(without_gil([&] { return store.get(ext_id); }));
    if (!point) return py::none();
    return point_tuple(*point);
}

py::object Vesko::get_many(const Arguments& bound) {
    TextViews ext_ids;
    to_text_views(bound[0], ext_ids);
    const AnswerForm form = to_answer_form(bound[1], false);
    engine::Store& store = open_store();
    auto points = value_or_raise(without_gil([&] { return store.get_many(ext_ids.views); }));
    if (form != AnswerForm::Tuples) {
        auto answer = std::make_shared<ColumnAnswer>();
        answer->kinds.geometry = form == AnswerForm::GeoArrow;
        ColumnBatch& batch = answer->batches.emplace_back();
        for (const auto& point : points) {
            if (point) append_points(batch, std::span(&*point, 1));
        }
        answer->seal();
        return py::cast(Columns(std::move(answer)));
    }
    py::list out(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        out[i] = points[i] ? point_tuple(*points[i]) : py::object(py::none());
    }
    return out;
}

py::object Vesko::upsert(const Arguments& bound) {
    refuse_on_reader();
    const PointArguments point(bound);
    engine::Store& store = open_store();
    return py::bool_(value_or_raise(without_gil([&] {
                                        return store.upsert(point.ext_id, point.lat, point.lon,
                                                            point.metadata, point.skip());
                                    }),
                                    metadata_prefix));
}

py::object Vesko::items(const Arguments& bound) {
    auto filter_json = to_optional_text(bound[0]);
    const AnswerForm form = to_answer_form(bound[1], false);
    engine::Store& store = open_store();
    if (form != AnswerForm::Tuples) {
        auto answer = std::make_shared<ColumnAnswer>();
        answer->kinds.geometry = form == AnswerForm::GeoArrow;
        ColumnBatch& batch = answer->batches.emplace_back();
        // Read a stretch at a time, as the iterator reads, each under its own hold of the lock.
        raise_if_error(interruptible([&](Interrupt* interrupt) -> Result<void> {
            std::optional<std::uint32_t> after;
            for (bool done = false; !done;) {
                if (interrupt->requested()) {
                    return make_error(ErrorKind::Interrupted, "items interrupted: no answer");
                }
                auto chunk = store.points_after(after, columns_chunk_points, filter_json,
                                                columns_into(batch));
                if (!chunk) return chunk.error();
                after = chunk->last_int_id;
                done = chunk->done;
            }
            return {};
        }));
        answer->seal();
        return py::cast(Columns(std::move(answer)));
    }
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
    engine::Store& store = open_store();
    return py::bool_(value_or_raise(without_gil([&] { return store.contains(ext_id); })));
}

py::object Vesko::len(const Arguments& /*bound*/) {
    engine::Store& store = open_store();
    return py::int_(value_or_raise(
        handing_over_gil([&](InterpreterHandOver& hand_over) { return store.count(&hand_over); })));
}

engine::PointChunk Vesko::points_after(std::optional<std::uint32_t> after,
                                       const std::optional<std::string>& filter_json) const {
    engine::Store& store = open_store();
    return value_or_raise(
        without_gil([&] { return store.points_after(after, items_chunk_points, filter_json); }));
}

void Vesko::refuse_on_reader() const { raise_if_error(handle_->check_writable()); }

py::object Vesko::refresh(const Arguments& /*bound*/) {
    engine::Store& store = open_store();
    raise_if_error(without_gil([&] { return store.refresh(); }));
    return py::none();
}

py::object Vesko::close(const Arguments& /*bound*/) {
    // Closing the last handle waits for calls in other threads to finish, which may need the
    // GIL to do so.
    without_gil([&] { handle_->close(); });
    return py::none();
}

py::object Vesko::enter(const Arguments& bound) {
    engine::Store& store = open_store();
    // Without the interpreter lock, as every wait for the store's lock: a search in another
    // thread may hold the index lock and wait for the interpreter lock, and a long call holding
    // the store's lock takes the interpreter lock at its boundaries to run signal handlers.
    raise_if_error(without_gil([&] { return store.check_open(); }));
    return py::reinterpret_borrow<py::object>(bound.self());
}

py::object Vesko::exit(const Arguments& /*bound*/) {
    without_gil([&] { handle_->close(); });
    return py::bool_(false);
}

engine::Store& Vesko::open_store() const { return *value_or_raise(handle_->store()); }

std::string Vesko::repr() const {
    return "Vesko(" + py::repr(py::str(storage_path_)).cast<std::string>() +
           (handle_->read_only() ? ", read_only=True)" : ")");
}

}  // namespace vesko::binding
