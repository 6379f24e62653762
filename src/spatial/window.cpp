#include "spatial/window.h"

#include "index/grid.h"

#include <algorithm>
#include <iterator>

namespace vesko::spatial {

bool CellWindow::holds(std::uint32_t lat_cell_no, std::uint32_t lon_cell_no) const {
    if (lat_cell_no < lat.lo || lat_cell_no > lat.hi) return false;
    for (const CellRange& r : lon) {
        if (lon_cell_no >= r.lo && lon_cell_no <= r.hi) return true;
    }
    return false;
}

std::vector<std::uint32_t> window_candidates(const index::CoreIndex& index,
                                             const CellWindow& window, const Eligible& eligible,
                                             const Bitmap* extra) {
    std::uint64_t window_ids = extra == nullptr ? 0 : extra->cardinality();
    for (const CellRange& r : window.lon) {
        window_ids += index.grid_index.ids_in(window.lat.lo, window.lat.hi, r.lo, r.hi);
    }
    eligible.window_holds(window_ids);
    if (const Bitmap* matching = eligible.filter_first(window_ids)) {
        std::vector<std::uint32_t> out;
        matching->for_each([&](std::uint32_t int_id) {
            const auto [lat, lon] = index.files.coords(int_id);
            if (window.holds(index::lat_cell(lat), index::lon_cell(lon)) ||
                (extra != nullptr && extra->contains(int_id))) {
                out.push_back(int_id);
            }
        });
        return out;
    }
    std::vector<std::uint32_t> filed;
    filed.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(window_ids, 1u << 20)));
    for (const CellRange& r : window.lon) {
        gather_cells(index.grid_index, window.lat.lo, window.lat.hi, r.lo, r.hi, filed);
    }
    eligible.thin(filed, window_ids);
    index::sort_unique(filed);
    if (extra != nullptr && !extra->empty()) {
        const std::vector<std::uint32_t> more = extra->to_vector();
        std::vector<std::uint32_t> both;
        both.reserve(filed.size() + more.size());
        std::set_union(filed.begin(), filed.end(), more.begin(), more.end(),
                       std::back_inserter(both));
        filed = std::move(both);
    }
    eligible.keep(filed);
    return filed;
}

}  // namespace vesko::spatial
