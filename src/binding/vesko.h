// The Python class Vesko: one open store. Methods convert their arguments, call the engine,
// raise its errors and convert its results; the engine takes every lock itself.
#pragma once

#include "engine/store.h"

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

namespace vesko::binding {

namespace py = pybind11;

class Vesko {
  public:
    static std::unique_ptr<Vesko> create(const py::args& args, const py::kwargs& kwargs);
    // vesko.salvage(storage_path): the store opened after its damaged parts were moved aside.
    static std::unique_ptr<Vesko> salvage(const py::args& args, const py::kwargs& kwargs);

    py::object exists(const py::args& args, const py::kwargs& kwargs);
    py::object add(const py::args& args, const py::kwargs& kwargs);
    py::object persist(const py::args& args, const py::kwargs& kwargs);
    py::object count(const py::args& args, const py::kwargs& kwargs);
    py::object remove(const py::args& args, const py::kwargs& kwargs);
    py::object delete_by_filter(const py::args& args, const py::kwargs& kwargs);
    py::object vacuum(const py::args& args, const py::kwargs& kwargs);
    py::object search_knn(const py::args& args, const py::kwargs& kwargs);
    py::object search_box(const py::args& args, const py::kwargs& kwargs);
    py::object search_radius(const py::args& args, const py::kwargs& kwargs);
    py::object search_polygon(const py::args& args, const py::kwargs& kwargs);
    std::string repr() const;

  private:
    Vesko(std::string storage_path, std::unique_ptr<engine::Store> store)
        : storage_path_(std::move(storage_path)), store_(std::move(store)) {}

    std::string storage_path_;
    std::unique_ptr<engine::Store> store_;
};

}  // namespace vesko::binding
