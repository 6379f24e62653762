// A search window of grid cells, and the eligible candidates in it found by the cheaper plan:
// the cells' ids narrowed by the filter, or the filter's ids narrowed by the cells. Both give
// the same set, because a point's cell is computed from exactly its stored coordinates.
#pragma once

#include "common/processors.h"
#include "spatial/search.h"

#include <algorithm>
#include <cstdint>
#include <future>
#include <span>
#include <system_error>
#include <vector>

namespace vesko::spatial {

// How many candidates ahead a search asks for coordinates: their loads then overlap with the
// distance or containment test of the candidates before them.
inline constexpr std::size_t coords_prefetch_distance = 16;

struct CellRange {
    std::uint32_t lo;
    std::uint32_t hi;
};

// Latitude cells [lat.lo, lat.hi] by the union of the longitude ranges.
struct CellWindow {
    CellRange lat;
    std::vector<CellRange> lon;

    bool holds(std::uint32_t lat_cell_no, std::uint32_t lon_cell_no) const;
};

// The eligible ids filed in the window's cells, plus the eligible ones of `extra` (may be
// null), ascending. Caller holds the index lock.
std::vector<std::uint32_t> window_candidates(const storage::CoreIndex& index,
                                             const CellWindow& window, const Eligible& eligible,
                                             const Bitmap* extra);

// Calls visit(int_id, lat, lon) for each candidate in order, with the coordinates of the
// candidates up to coords_prefetch_distance ahead already asked for. Caller holds the index lock.
template <class Visit>
void for_each_coords(const storage::CoreIndex& index, std::span<const std::uint32_t> candidates,
                     Visit&& visit) {
    for (std::size_t i = 0; i < std::min(coords_prefetch_distance, candidates.size()); ++i) {
        index.files.prefetch_coords(candidates[i]);
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i + coords_prefetch_distance < candidates.size()) {
            index.files.prefetch_coords(candidates[i + coords_prefetch_distance]);
        }
        const auto [lat, lon] = index.files.coords(candidates[i]);
        visit(candidates[i], lat, lon);
    }
}

// Candidate lists at least this long are examined in two halves at once, the second on a
// thread of its own, when the machine has a second processor: below it, starting the thread
// costs more than the half it takes over.
inline constexpr std::size_t split_min_candidates = 8192;

// What keep(int_id, lat, lon, out) appends to `out` for each candidate, in candidate order.
// `keep` may run on two threads at once, each with its own `out`. Caller holds the index lock.
template <class T, class Keep>
std::vector<T> collect_kept(const storage::CoreIndex& index,
                            std::span<const std::uint32_t> candidates, const Keep& keep) {
    auto examine = [&index, &keep](std::span<const std::uint32_t> part, std::vector<T>& out) {
        for_each_coords(index, part, [&](std::uint32_t int_id, float lat, float lon) {
            keep(int_id, lat, lon, out);
        });
    };
    std::vector<T> kept;
    if (candidates.size() < split_min_candidates || !has_second_processor()) {
        examine(candidates, kept);
        return kept;
    }
    const std::size_t half = candidates.size() / 2;
    std::vector<T> second_half;
    std::future<void> other;
    try {
        other =
            std::async(std::launch::async, [&] { examine(candidates.subspan(half), second_half); });
    } catch (const std::system_error&) {
        examine(candidates, kept);
        return kept;
    }
    // Should this half throw, the future's destructor waits for the other before unwinding.
    examine(candidates.first(half), kept);
    other.get();
    kept.insert(kept.end(), second_half.begin(), second_half.end());
    return kept;
}

}  // namespace vesko::spatial
