// The Python class Vesko: one open store. Methods receive their arguments bound against the
// signature table of module.cpp, convert them, call the engine, raise its errors and convert
// its results; the engine takes every lock itself.
#pragma once

#include "binding/args.h"
#include "engine/store_handle.h"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vesko::binding {

namespace py = pybind11;

class Vesko {
  public:
    // Vesko(storage_path, *, read_only=False, timeout=0).
    static std::unique_ptr<Vesko> create(const Arguments& bound);
    // vesko.salvage(storage_path): the store opened after its damaged parts were moved aside.
    static std::unique_ptr<Vesko> salvage(const Arguments& bound);
    ~Vesko();
    Vesko(const Vesko&) = delete;
    Vesko& operator=(const Vesko&) = delete;

    // False for memory that was never constructed as a Vesko: an instance made by
    // Vesko.__new__ without __init__ gets raw storage when its methods are called.
    static bool is_constructed(const Vesko* candidate);

    py::object exists(const Arguments& bound);
    py::object add(const Arguments& bound);
    py::object persist(const Arguments& bound);
    py::object sync(const Arguments& bound);
    py::object add_many(const Arguments& bound);
    py::object delete_many(const Arguments& bound);
    py::object count(const Arguments& bound);
    py::object remove(const Arguments& bound);
    py::object delete_by_filter(const Arguments& bound);
    py::object vacuum(const Arguments& bound);
    py::object search_knn(const Arguments& bound);
    py::object search_box(const Arguments& bound);
    py::object search_radius(const Arguments& bound);
    py::object search_polygon(const Arguments& bound);
    py::object get(const Arguments& bound);
    py::object get_many(const Arguments& bound);
    py::object search_knn_many(const Arguments& bound);
    py::object search_radius_many(const Arguments& bound);
    py::object upsert(const Arguments& bound);
    py::object items(const Arguments& bound);
    py::object export_points(const Arguments& bound);
    py::object contains(const Arguments& bound);
    py::object len(const Arguments& bound);

    // The next stretch of live points for an ItemIterator.
    engine::PointChunk points_after(std::optional<std::uint32_t> after,
                                    const std::optional<std::string>& filter_json) const;
    py::object refresh(const Arguments& bound);
    bool read_only() const { return handle_->read_only(); }
    py::object close(const Arguments& bound);
    // The context manager: entering returns the object itself, leaving closes it.
    py::object enter(const Arguments& bound);
    py::object exit(const Arguments& bound);
    std::string repr() const;

  private:
    Vesko(std::string storage_path, std::unique_ptr<engine::StoreHandle> handle);
    // The handle's store; raises "store is closed" once this object was closed.
    engine::Store& open_store() const;
    // The first step of every method that changes the store: on a reader it raises
    // io.UnsupportedOperation before any argument is looked at.
    void refuse_on_reader() const;

    std::string storage_path_;
    // Shares its Store with every other Vesko of this process on the same directory.
    std::unique_ptr<engine::StoreHandle> handle_;
};

}  // namespace vesko::binding
