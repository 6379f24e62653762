// A search window of grid cells, and the eligible candidates in it found by the cheaper plan:
// the cells' ids narrowed by the filter, or the filter's ids narrowed by the cells. Both give
// the same set, because a point's cell is computed from exactly its stored coordinates.
#pragma once

#include "common/shared_parts.h"
#include "spatial/search.h"

#include <algorithm>
#include <cstdint>
#include <span>
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
std::vector<std::uint32_t> window_candidates(const index::CoreIndex& index,
                                             const CellWindow& window, const Eligible& eligible,
                                             const Bitmap* extra);

// Calls visit(int_id, lat, lon) for each candidate in order, with the coordinates of the
// candidates up to coords_prefetch_distance ahead already asked for. Caller holds the index lock.
template <class Visit>
void for_each_coords(const index::CoreIndex& index, std::span<const std::uint32_t> candidates,
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

// Candidate lists at least this long are examined in parts that this thread and a helper
// share (SharedParts): below it, waking the helper costs more than the parts it takes over.
inline constexpr std::size_t split_min_candidates = 8192;
inline constexpr std::size_t split_part_candidates = 1024;

// What keep(int_id, lat, lon, out) appends to `out` for each candidate, in candidate order.
// `keep` may run on two threads at once, each with its own `out`. Caller holds the index lock.
template <class T, class Keep>
std::vector<T> collect_kept(const index::CoreIndex& index,
                            std::span<const std::uint32_t> candidates, const Keep& keep) {
    auto examine = [&index, &keep](std::span<const std::uint32_t> part, std::vector<T>& out) {
        for_each_coords(index, part, [&](std::uint32_t int_id, float lat, float lon) {
            keep(int_id, lat, lon, out);
        });
    };
    std::vector<T> kept;
    if (candidates.size() < split_min_candidates) {
        examine(candidates, kept);
        return kept;
    }
    SharedParts<std::vector<T>> parts(
        (candidates.size() + split_part_candidates - 1) / split_part_candidates,
        [&](std::size_t k, std::vector<T>& out) {
            const std::size_t begin = k * split_part_candidates;
            examine(candidates.subspan(begin,
                                       std::min(split_part_candidates, candidates.size() - begin)),
                    out);
        },
        SharedParts<std::vector<T>>::HelperStart::Back);
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const std::vector<T>& part = parts.get(k);
        kept.insert(kept.end(), part.begin(), part.end());
    }
    return kept;
}

}  // namespace vesko::spatial
