#include "persist/grid_check.h"

#include "common/check.h"
#include "storage/codec.h"

#include <algorithm>
#include <bit>
#include <string>
#include <utility>
#include <vector>

namespace vesko::persist {

namespace {

// How often a live id is filed: the walk over the cells counts to two and stops there.
enum Filings : std::uint8_t { Unfiled = 0, Once = 1, Twice = 2 };

// Messages are built by appending: GCC 12 warns (-Wrestrict, wrongly) about some chains of
// operator+ on temporary strings.
std::string cell_text(std::uint64_t cell_key) {
    std::string text = "cell (";
    text.append(std::to_string(index::key_lat_cell(cell_key)));
    text.append(", ");
    text.append(std::to_string(index::key_lon_cell(cell_key)));
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
std::vector<std::uint64_t> cells_holding(const index::GridIndex& grid, std::uint32_t int_id) {
    std::vector<std::uint64_t> keys;
    grid.for_each_cell([&](std::uint64_t key, const index::CellIds& ids) {
        if (std::binary_search(ids.begin(), ids.end(), int_id)) keys.push_back(key);
    });
    std::sort(keys.begin(), keys.end());
    return keys;
}

// A bijection of 64-bit values that spreads every input bit over every output bit
// (splitmix64's finalizer).
std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// One filing of an id under a cell, as a summand: two lists of filings with the same sum hold
// the same filings (in any order), but for a chance of about one in 2^64. Distinct ids under
// one key, or one id under distinct keys, never give the same summand.
std::uint64_t filing_hash(std::uint64_t cell_key, std::uint32_t int_id) {
    return mix(mix(cell_key) ^ int_id);
}

// Which live id the grid misfiles, and how: run only once the sums of grid_damage disagree.
std::string misfiled_id(const index::PersistedIndexes& indexes, StoredCoords coords) {
    const Bitmap& live = indexes.valid_ids;
    // Indexed by id up to the largest live one: where the grid files it and how often.
    const std::size_t span = std::size_t{live.maximum()} + 1;
    std::vector<std::uint64_t> filed_under(span);
    std::vector<std::uint8_t> filings(span, Unfiled);
    indexes.grid_index.for_each_cell([&](std::uint64_t key, const index::CellIds& ids) {
        for (const std::uint32_t int_id : ids) {
            // A cell's ids ascend; those beyond every live id are deleted ones.
            if (int_id >= span) break;
            std::uint8_t& times = filings[int_id];
            if (times == Unfiled) filed_under[int_id] = key;
            if (times != Twice) ++times;
        }
    });

    std::optional<std::string> why;
    live.for_each_until([&](std::uint32_t int_id) {
        const auto [lat_deg, lon_deg] = coords.at(int_id);
        const std::uint64_t key = index::grid_cell_key(lat_deg, lon_deg);
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
    VESKO_CHECK(why.has_value(), "the grid's filings differ in sum but not one by one");
    return *why;
}

}  // namespace

std::pair<float, float> StoredCoords::at(std::uint32_t int_id) const {
    const std::size_t at = std::size_t{int_id} * storage::slot_bytes;
    if (at > bytes_.size() || bytes_.size() - at < storage::slot_bytes) return {0.0f, 0.0f};
    const unsigned char* p = bytes_.data() + at;
    return {std::bit_cast<float>(storage::load_u32(p)),
            std::bit_cast<float>(storage::load_u32(p + 4))};
}

std::optional<std::string> grid_damage(const index::PersistedIndexes& indexes, StoredCoords coords,
                                       Bitmap* irregular) {
    const Bitmap& live = indexes.valid_ids;
    if (irregular != nullptr) *irregular = Bitmap();
    if (live.empty()) return std::nullopt;
    // The filings of the live ids that the coordinates give, and those the grid holds, are
    // compared as two sums of filing_hash: each list is then read in its own order, coords.bin
    // front to back and the cells one after another, with no lookup from one into the other
    // but a bit per live id (a small array that stays in cache). Only when the sums differ is
    // the misfiled id looked for.
    const std::size_t span = std::size_t{live.maximum()} + 1;
    std::vector<std::uint64_t> live_bits((span + 63) / 64, 0);
    std::vector<std::uint32_t> off_chart;
    std::uint64_t from_coords = 0;
    live.for_each([&](std::uint32_t int_id) {
        const auto [lat_deg, lon_deg] = coords.at(int_id);
        if (!index::regular_position(lat_deg, lon_deg)) off_chart.push_back(int_id);
        from_coords += filing_hash(index::grid_cell_key(lat_deg, lon_deg), int_id);
        live_bits[int_id >> 6] |= std::uint64_t{1} << (int_id & 63);
    });
    std::uint64_t from_grid = 0;
    indexes.grid_index.for_each_cell([&](std::uint64_t key, const index::CellIds& ids) {
        const std::uint64_t key_hash = mix(key);
        for (const std::uint32_t int_id : ids) {
            // A cell's ids ascend; those beyond every live id are deleted ones.
            if (int_id >= span) break;
            if ((live_bits[int_id >> 6] >> (int_id & 63) & 1) != 0)
                from_grid += mix(key_hash ^ int_id);
        }
    });
    if (from_grid != from_coords) return misfiled_id(indexes, coords);
    if (irregular != nullptr) irregular->add_many(off_chart.data(), off_chart.size());
    return std::nullopt;
}

index::GridIndex grid_of_live_points(const Bitmap& valid_ids, StoredCoords coords) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
    keyed.reserve(static_cast<std::size_t>(valid_ids.cardinality()));
    valid_ids.for_each([&](std::uint32_t int_id) {
        const auto [lat_deg, lon_deg] = coords.at(int_id);
        keyed.emplace_back(index::grid_cell_key(lat_deg, lon_deg), int_id);
    });
    index::GridIndex grid;
    grid.file_points(keyed);
    return grid;
}

}  // namespace vesko::persist
