// ItemIterator: what Vesko.items returns. It walks the live points in internal-id order a
// chunk at a time, each chunk read under the index lock shared, so it never holds a lock
// between two steps and never builds the whole list.
//
// What it sees while the store changes: each point as it was when its chunk was read. A point
// added or replaced (upsert gives a new internal id) after the walk passed its position comes
// later and is seen; one deleted before its chunk is read is not; a vacuum renumbers the
// points, so a walk across it may skip or repeat points.
#pragma once

#include "engine/store.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string>

namespace vesko::binding {

namespace py = pybind11;

class Vesko;

// Points per chunk: large enough that the lock and call overhead disappear, small enough that
// a writer waits only briefly for a chunk to be read.
inline constexpr std::uint32_t items_chunk_points = 1000;
// Points per stretch when items answers as columns: nothing waits on the caller between two.
inline constexpr std::uint32_t columns_chunk_points = 65536;

class ItemIterator {
  public:
    // `owner` is the Python object of `vesko`, kept alive by the iterator.
    ItemIterator(py::object owner, const Vesko& vesko, std::optional<std::string> filter_json,
                 engine::PointChunk first);

    // (id, lat, lon, metadata); raises StopIteration at the end.
    py::tuple next();

    static void register_type(py::module_& module);

  private:
    py::object owner_;
    const Vesko* vesko_;
    std::optional<std::string> filter_json_;
    engine::PointChunk chunk_;
    std::size_t position_ = 0;
};

}  // namespace vesko::binding
