#include "index/batch_indexes.h"

#include "common/check.h"
#include "index/grid.h"
#include "index/key_sort.h"

#include <algorithm>

namespace vesko::index {

namespace {

std::uint64_t group_hash(std::string_view field, std::string_view value) {
    const std::uint64_t a = std::hash<std::string_view>{}(field);
    return a ^ (std::hash<std::string_view>{}(value) + 0x9E3779B97F4A7C15ULL + (a << 6) + (a >> 2));
}

// The slot a hash starts probing from. The mask is below the table's length, so the masked
// hash fits a size_t on a 32-bit machine too: the narrowing drops only bits already zero.
std::size_t home_slot(std::uint64_t hash, std::size_t mask) {
    return static_cast<std::size_t>(hash & mask);
}

}  // namespace

void BatchIndexes::clear() {
    places_ = 0;
    cells_.clear();
    runs_.clear();
    for (std::size_t i = 0; i < strings_used_; ++i) strings_[i].places.clear();
    strings_used_ = 0;
    for (std::size_t i = 0; i < numbers_used_; ++i) {
        numbers_[i].places.clear();
        numbers_[i].values.clear();
    }
    numbers_used_ = 0;
    std::fill(string_slots_.begin(), string_slots_.end(), GroupSlot{0, no_group});
    number_at_.clear();
}

void BatchIndexes::grow_string_slots() {
    std::vector<GroupSlot> grown(std::max<std::size_t>(1024, 2 * string_slots_.size()),
                                 GroupSlot{0, no_group});
    const std::size_t mask = grown.size() - 1;
    for (std::uint32_t g = 0; g < strings_used_; ++g) {
        const std::uint64_t hash = group_hash(strings_[g].field, strings_[g].value);
        std::size_t at = home_slot(hash, mask);
        while (grown[at].group != no_group) at = (at + 1) & mask;
        grown[at] = {static_cast<std::uint32_t>(hash), g};
    }
    string_slots_.swap(grown);
}

void BatchIndexes::add_string(std::string_view field, std::string_view value) {
    if (2 * (strings_used_ + 1) > string_slots_.size()) grow_string_slots();
    const std::uint64_t hash = group_hash(field, value);
    const auto tag = static_cast<std::uint32_t>(hash);
    const std::size_t mask = string_slots_.size() - 1;
    std::size_t at = home_slot(hash, mask);
    for (;; at = (at + 1) & mask) {
        const GroupSlot slot = string_slots_[at];
        if (slot.group == no_group) break;
        const Strings& group = strings_[slot.group];
        if (slot.tag == tag && group.value == value && group.field == field) {
            strings_[slot.group].places.push_back(places_);
            return;
        }
    }
    if (strings_used_ == strings_.size()) strings_.emplace_back();
    Strings& group = strings_[strings_used_];
    group.field = field;
    group.value = value;
    group.places.push_back(places_);
    string_slots_[at] = {tag, static_cast<std::uint32_t>(strings_used_)};
    ++strings_used_;
}

void BatchIndexes::add_number(std::string_view field, float value) {
    auto [it, created] = number_at_.try_emplace(field, numbers_used_);
    if (created) {
        if (numbers_used_ == numbers_.size()) numbers_.emplace_back();
        numbers_[numbers_used_++].field = field;
    }
    Numbers& group = numbers_[it->second];
    group.places.push_back(places_);
    group.values.push_back(value);
}

template <class Meta>
void BatchIndexes::add_members(float lat_deg, float lon_deg, const Meta& meta,
                               const std::vector<std::string>* skip_index) {
    VESKO_CHECK(places_ < max_places, "a batch holds at most max_places points");
    cells_.emplace_back(grid_cell_key(lat_deg, lon_deg), places_);
    text::for_each_indexed(meta, skip_index,
                           [this](std::string_view field, const text::IndexedValue& value) {
                               if (value.kind == text::IndexedValue::Kind::String) {
                                   add_string(field, value.text);
                               } else {
                                   add_number(field, value.number);
                               }
                           });
    ++places_;
}

void BatchIndexes::add_point(float lat_deg, float lon_deg, std::span<const text::FlatMember> meta,
                             const std::vector<std::string>* skip_index) {
    add_members(lat_deg, lon_deg, meta, skip_index);
}

void BatchIndexes::add_point(float lat_deg, float lon_deg, const text::Json& meta,
                             const std::vector<std::string>* skip_index) {
    add_members(lat_deg, lon_deg, meta, skip_index);
}

void BatchIndexes::finish() {
    // Blocks are numbered in the order of their first place (places arrive ascending), so one
    // stable sort by (block number, cell in block) groups the cells, leaves each block's cells
    // in cell order with their places ascending, and puts the runs in the order the grid
    // creates blocks; no second ordering of the runs is needed.
    constexpr unsigned local_bits = 14;  // a cell's number in its block is below 10,000
    static_assert((std::uint64_t{max_places} << local_bits) <= std::uint64_t{1} << 32,
                  "a block number and a cell number share 32 bits");
    block_numbers_.clear();
    sort_scratch_.clear();
    sort_scratch_.reserve(cells_.size());
    for (const auto& [cell, place] : cells_) {
        const auto number = static_cast<std::uint32_t>(block_numbers_.size());
        const auto at = block_numbers_.try_emplace(block_of(cell), number).first;
        sort_scratch_.push_back({at->second << local_bits | local_of(cell), place});
    }
    stable_sort_by_key(sort_scratch_, [](const SortKey& k) { return k.key; });
    sorted_cells_.resize(cells_.size());
    runs_.clear();
    for (std::size_t i = 0; i < sort_scratch_.size(); ++i) {
        sorted_cells_[i] = cells_[sort_scratch_[i].place];
        if (i == 0 || sort_scratch_[i].key >> local_bits != sort_scratch_[i - 1].key >> local_bits)
            runs_.emplace_back(i, i);
        runs_.back().second = i + 1;
    }
    cells_.swap(sorted_cells_);
}

}  // namespace vesko::index
