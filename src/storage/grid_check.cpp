#include "storage/grid_check.h"

#include "storage/codec.h"

#include <algorithm>
#include <bit>
#include <string>
#include <utility>
#include <vector>

namespace vesko::storage {

namespace {

// How often a live id is filed: the walk over the cells counts to two and stops there.
enum Filings : std::uint8_t { Unfiled = 0, Once = 1, Twice = 2 };

// Messages are built by appending: GCC 12 warns (-Wrestrict, wrongly) about some chains of
// operator+ on temporary strings.
std::string cell_text(std::uint64_t cell_key) {
    std::string text = "cell (";
    text.append(std::to_string(spatial::key_lat_cell(cell_key)));
    text.append(", ");
    text.append(std::to_string(spatial::key_lon_cell(cell_key)));
    text.append(")");
    return text;
}

std::string degrees_text(float deg) {
    std::string text = std::to_string(deg);
    // std::to_string prints six decimals; their trailing zeros say nothing.
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    return text;
}

// The keys of the cells that hold `int_id`, for a message: damage is rare, so a second walk
// costs nothing that matters.
std::vector<std::uint64_t> cells_holding(const spatial::GridIndex& grid, std::uint32_t int_id) {
    std::vector<std::uint64_t> keys;
    grid.for_each_cell([&](std::uint64_t key, const spatial::CellIds& ids) {
        if (std::binary_search(ids.begin(), ids.end(), int_id)) keys.push_back(key);
    });
    std::sort(keys.begin(), keys.end());
    return keys;
}

}  // namespace

std::pair<float, float> StoredCoords::at(std::uint32_t int_id) const {
    const std::size_t at = std::size_t{int_id} * slot_bytes;
    if (at > bytes_.size() || bytes_.size() - at < slot_bytes) return {0.0f, 0.0f};
    const unsigned char* p = bytes_.data() + at;
    return {std::bit_cast<float>(load_u32(p)), std::bit_cast<float>(load_u32(p + 4))};
}

std::optional<std::string> grid_damage(const PersistedIndexes& indexes, StoredCoords coords,
                                       Bitmap* irregular) {
    const Bitmap& live = indexes.valid_ids;
    if (irregular != nullptr) *irregular = Bitmap();
    if (live.empty()) return std::nullopt;
    // Indexed by id up to the largest live one: where the grid files it and how often. The
    // cells are walked in whatever order the grid keeps them, so the ids arrive scattered;
    // an array indexed by id takes them without a lookup, and the pass over the live ids
    // then reads coords.bin front to back.
    const std::size_t span = std::size_t{live.maximum()} + 1;
    std::vector<std::uint64_t> filed_under(span);
    std::vector<std::uint8_t> filings(span, Unfiled);
    indexes.grid_index.for_each_cell([&](std::uint64_t key, const spatial::CellIds& ids) {
        for (const std::uint32_t int_id : ids) {
            // A cell's ids ascend; those beyond every live id are deleted ones.
            if (int_id >= span) break;
            std::uint8_t& times = filings[int_id];
            if (times == Unfiled) filed_under[int_id] = key;
            if (times != Twice) ++times;
        }
    });

    std::optional<std::string> why;
    std::vector<std::uint32_t> off_chart;
    live.for_each_until([&](std::uint32_t int_id) {
        const auto [lat_deg, lon_deg] = coords.at(int_id);
        if (!regular_position(lat_deg, lon_deg)) off_chart.push_back(int_id);
        const std::uint64_t key = spatial::grid_cell_key(lat_deg, lon_deg);
        if (filings[int_id] == Once && filed_under[int_id] == key) return true;
        const std::string id = "id " + std::to_string(int_id);
        std::string stored = "its coordinates in coords.bin, (";
        stored.append(degrees_text(lat_deg));
        stored.append(", ");
        stored.append(degrees_text(lon_deg));
        stored.append("), lie in ");
        stored.append(cell_text(key));
        if (filings[int_id] == Unfiled) {
            why = "the grid files the live " + id + " under no cell; " + stored;
        } else if (filings[int_id] == Twice) {
            std::string cells;
            for (const std::uint64_t cell_key : cells_holding(indexes.grid_index, int_id)) {
                cells.append(cells.empty() ? "" : " and ");
                cells.append(cell_text(cell_key));
            }
            why = "the grid files " + id + " under more than one cell, " + cells + "; " + stored;
        } else {
            why = "the grid files " + id + " under " + cell_text(filed_under[int_id]) + ", but " +
                  stored;
        }
        return false;
    });
    if (why) return why;
    if (irregular != nullptr) irregular->add_many(off_chart.data(), off_chart.size());
    return std::nullopt;
}

spatial::GridIndex grid_of_live_points(const Bitmap& valid_ids, StoredCoords coords) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
    keyed.reserve(static_cast<std::size_t>(valid_ids.cardinality()));
    valid_ids.for_each([&](std::uint32_t int_id) {
        const auto [lat_deg, lon_deg] = coords.at(int_id);
        keyed.emplace_back(spatial::grid_cell_key(lat_deg, lon_deg), int_id);
    });
    spatial::GridIndex grid;
    grid.file_points(keyed);
    return grid;
}

}  // namespace vesko::storage
