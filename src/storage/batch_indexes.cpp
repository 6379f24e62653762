#include "storage/batch_indexes.h"

#include "spatial/grid.h"

#include <algorithm>

namespace vesko::storage {

namespace {

bool skipped(const std::vector<std::string>* skip_index, std::string_view field) {
    return skip_index != nullptr && !skip_index->empty() &&
           std::find(skip_index->begin(), skip_index->end(), field) != skip_index->end();
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
    string_at_.clear();
    number_at_.clear();
}

void BatchIndexes::add_string(std::string_view field, std::string_view value) {
    auto [it, created] = string_at_.try_emplace({field, value}, strings_used_);
    if (created) {
        if (strings_used_ == strings_.size()) strings_.emplace_back();
        Strings& group = strings_[strings_used_++];
        group.field = field;
        group.value = value;
    }
    strings_[it->second].places.push_back(places_);
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

void BatchIndexes::add_point(float lat_deg, float lon_deg, std::span<const FlatMember> meta,
                             const std::vector<std::string>* skip_index) {
    using Kind = FlatMember::Kind;
    cells_.emplace_back(spatial::grid_cell_key(lat_deg, lon_deg), places_);
    // Members come in ascending key order, as the fields of an object do.
    for (const FlatMember& m : meta) {
        if (skipped(skip_index, m.key)) continue;
        switch (m.kind) {
            case Kind::String:
            case Kind::True:
            case Kind::False:
                // A boolean's literal is its index text, "true" or "false".
                add_string(m.key, m.raw);
                break;
            case Kind::Unsigned:
            case Kind::Negative:
            case Kind::Float:
                add_number(m.key, flat_number_as_f32(m));
                break;
            case Kind::Null:
                break;
        }
    }
    ++places_;
}

void BatchIndexes::add_point(float lat_deg, float lon_deg, const filter::Json& meta,
                             const std::vector<std::string>* skip_index) {
    cells_.emplace_back(spatial::grid_cell_key(lat_deg, lon_deg), places_);
    for (const auto& [field, value] : meta.items()) {
        if (skipped(skip_index, field)) continue;
        if (value.is_string()) {
            add_string(field, value.get_ref<const std::string&>());
        } else if (value.is_boolean()) {
            add_string(field, value.get<bool>() ? "true" : "false");
        } else if (value.is_number()) {
            add_number(field, filter::json_number_as_f32(value));
        }
    }
    ++places_;
}

void BatchIndexes::finish() {
    std::sort(cells_.begin(), cells_.end(), [](const auto& a, const auto& b) {
        const std::uint64_t block_a = spatial::block_of(a.first);
        const std::uint64_t block_b = spatial::block_of(b.first);
        if (block_a != block_b) return block_a < block_b;
        return a < b;
    });
    runs_.clear();
    std::vector<std::uint32_t> first_place;
    for (std::size_t begin = 0; begin < cells_.size();) {
        const std::uint64_t block = spatial::block_of(cells_[begin].first);
        std::size_t end = begin;
        std::uint32_t first = cells_[begin].second;
        for (; end < cells_.size() && spatial::block_of(cells_[end].first) == block; ++end)
            first = std::min(first, cells_[end].second);
        runs_.emplace_back(begin, end);
        first_place.push_back(first);
        begin = end;
    }
    std::vector<std::size_t> order(runs_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return first_place[a] < first_place[b]; });
    std::vector<std::pair<std::size_t, std::size_t>> ordered;
    ordered.reserve(runs_.size());
    for (std::size_t i : order) ordered.push_back(runs_[i]);
    runs_ = std::move(ordered);
}

}  // namespace vesko::storage
