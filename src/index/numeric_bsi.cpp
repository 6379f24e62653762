#include "index/numeric_bsi.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vesko::index {

namespace {

bool bit_set(std::uint32_t v, int i) { return ((v >> i) & 1U) != 0; }

}  // namespace

std::uint32_t sortable_bits(float value) {
    return sortable_bits(std::bit_cast<std::uint32_t>(value));
}

float from_sortable_bits(std::uint32_t code) {
    std::uint32_t bits = (code & 0x80000000U) != 0 ? code & 0x7FFFFFFFU : ~code;
    return std::bit_cast<float>(bits);
}

void NumericBsiIndex::set_value(std::uint32_t int_id, float value) {
    if (std::isnan(value)) return;
    const bool had_value = existence_.contains(int_id);
    existence_.add(int_id);
    const std::uint32_t e = sortable_bits(value);
    min_encoded_ = std::min(min_encoded_, e);
    max_encoded_ = std::max(max_encoded_, e);
    if (e != 0)
        top_bit_ = std::max<std::uint8_t>(top_bit_, static_cast<std::uint8_t>(highest_bit(e)));
    for (int i = 0; i < slice_count; ++i) {
        if (bit_set(e, i)) {
            slices_[static_cast<std::size_t>(i)].add(int_id);
        } else if (had_value) {
            // A fresh id is in no slice yet, so only an overwrite has stale bits to clear.
            slices_[static_cast<std::size_t>(i)].remove(int_id);
        }
    }
}

void NumericBsiIndex::set_new_values(std::span<const std::uint32_t> ids,
                                     std::span<const float> values) {
    std::vector<std::uint32_t> present;
    std::vector<std::uint32_t> codes;
    present.reserve(ids.size());
    codes.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (std::isnan(values[i])) continue;
        const std::uint32_t e = sortable_bits(values[i]);
        min_encoded_ = std::min(min_encoded_, e);
        max_encoded_ = std::max(max_encoded_, e);
        if (e != 0)
            top_bit_ = std::max<std::uint8_t>(top_bit_, static_cast<std::uint8_t>(highest_bit(e)));
        present.push_back(ids[i]);
        codes.push_back(e);
    }
    existence_.add_many(present.data(), present.size());
    // One pass hands each id to the slices of its set bits, in ascending id order.
    std::array<std::vector<std::uint32_t>, slice_count> in_slice;
    for (std::size_t i = 0; i < present.size(); ++i) {
        for (std::uint32_t e = codes[i]; e != 0; e &= e - 1)
            in_slice[static_cast<std::size_t>(std::countr_zero(e))].push_back(present[i]);
    }
    for (std::size_t bit = 0; bit < in_slice.size(); ++bit)
        slices_[bit].add_many(in_slice[bit].data(), in_slice[bit].size());
}

void NumericBsiIndex::remove_id(std::uint32_t int_id) {
    if (!existence_.contains(int_id)) return;
    existence_.remove(int_id);
    for (auto& slice : slices_) slice.remove(int_id);
}

Bitmap NumericBsiIndex::existing(const Bitmap* within) const {
    return within != nullptr ? existence_ & *within : existence_;
}

int NumericBsiIndex::compare_code(std::uint32_t int_id, std::uint32_t bound, int top) const {
    for (int i = top; i >= 0; --i) {
        const bool mine = slices_[static_cast<std::size_t>(i)].contains(int_id);
        if (mine != bit_set(bound, i)) return mine ? 1 : -1;
    }
    return 0;
}

template <class Keep>
Bitmap NumericBsiIndex::pick_few(const Bitmap& within, std::uint32_t bound, int top,
                                 Keep keep) const {
    std::array<std::uint32_t, few_ids> kept;
    std::size_t n = 0;
    within.for_each([&](std::uint32_t int_id) {
        if (existence_.contains(int_id) && keep(compare_code(int_id, bound, top)))
            kept[n++] = int_id;
    });
    Bitmap r;
    r.add_many(kept.data(), n);
    return r;
}

Bitmap NumericBsiIndex::equal_to(float value, const Bitmap* within) const {
    if (std::isnan(value)) return Bitmap();
    const std::uint32_t c = sortable_bits(value);
    if (highest_bit(c) > top_bit_) return Bitmap();
    if (within != nullptr && within->cardinality() <= few_ids)
        return pick_few(*within, c, top_bit_, [](int sign) { return sign == 0; });
    Bitmap r = existing(within);
    for (int i = 0; i <= top_bit_ && !r.empty(); ++i) {
        if (bit_set(c, i)) {
            r &= slices_[static_cast<std::size_t>(i)];
        } else {
            r -= slices_[static_cast<std::size_t>(i)];
        }
    }
    return r;
}

Bitmap NumericBsiIndex::less_than_encoded(std::uint32_t bound, const Bitmap* within) const {
    if (bound <= min_encoded_) return Bitmap();
    if (bound > max_encoded_) return existing(within);
    const int top = scan_top(bound);
    if (within != nullptr && within->cardinality() <= few_ids)
        return pick_few(*within, bound, top, [](int sign) { return sign < 0; });
    Bitmap result;
    Bitmap eq = existing(within);  // ids whose bits above i equal the bound's
    for (int i = top; i >= 0 && !eq.empty(); --i) {
        const Bitmap& slice = slices_[static_cast<std::size_t>(i)];
        if (bit_set(bound, i)) {
            result |= eq - slice;
            eq &= slice;
        } else {
            eq -= slice;
        }
    }
    return result;
}

Bitmap NumericBsiIndex::greater_than_encoded(std::uint32_t bound, const Bitmap* within) const {
    if (bound >= max_encoded_) return Bitmap();
    if (bound < min_encoded_) return existing(within);
    const int top = scan_top(bound);
    if (within != nullptr && within->cardinality() <= few_ids)
        return pick_few(*within, bound, top, [](int sign) { return sign > 0; });
    Bitmap result;
    Bitmap eq = existing(within);
    for (int i = top; i >= 0 && !eq.empty(); --i) {
        const Bitmap& slice = slices_[static_cast<std::size_t>(i)];
        if (bit_set(bound, i)) {
            eq &= slice;
        } else {
            result |= eq & slice;
            eq -= slice;
        }
    }
    return result;
}

Bitmap NumericBsiIndex::at_least_encoded(std::uint32_t bound, const Bitmap* within) const {
    if (within != nullptr && within->cardinality() <= few_ids && bound > min_encoded_ &&
        bound <= max_encoded_) {
        const int top = scan_top(bound);
        return pick_few(*within, bound, top, [](int sign) { return sign >= 0; });
    }
    Bitmap r = existing(within);
    r -= less_than_encoded(bound, &r);
    return r;
}

NumericBsiIndex NumericBsiIndex::from_parts(std::array<Bitmap, slice_count> slices,
                                            Bitmap existence, std::uint32_t min_encoded,
                                            std::uint32_t max_encoded, std::uint8_t top_bit) {
    NumericBsiIndex index;
    index.slices_ = std::move(slices);
    index.existence_ = std::move(existence);
    index.min_encoded_ = min_encoded;
    index.max_encoded_ = max_encoded;
    // Slices above bit 31 do not exist; a larger stored value would make the scans index past
    // the array.
    index.top_bit_ = std::min<std::uint8_t>(top_bit, 31);
    return index;
}

}  // namespace vesko::index
