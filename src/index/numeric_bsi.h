// NumericBsiIndex: one numeric metadata field as a bit-sliced index. Each value is kept as the
// order-preserving 32-bit code of its f32 (sortable_bits), spread over 32 slice bitmaps, so
// equality and range comparisons cost at most 33 bitmap operations whatever the data.
#pragma once

#include "common/bitmap.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace vesko::index {

// Order-preserving code of an f32: negative values have all bits inverted, others only the
// sign bit. Unsigned order of codes is numeric order, with -0.0 (0x7FFFFFFF) just below +0.0
// (0x80000000). Code 0 belongs to a NaN pattern only.
constexpr std::uint32_t sortable_bits(std::uint32_t f32_bits) {
    return (f32_bits & 0x80000000U) != 0 ? ~f32_bits : f32_bits ^ 0x80000000U;
}
std::uint32_t sortable_bits(float value);
// Inverse of sortable_bits.
float from_sortable_bits(std::uint32_t code);
// Position of the highest set bit of a code, 0 for code 0: the top_bit of an index whose
// largest code is `code`.
constexpr int highest_bit(std::uint32_t code) {
    return code == 0 ? 0 : 31 - std::countl_zero(code);
}

class NumericBsiIndex {
  public:
    static constexpr int slice_count = 32;

    // Records or overwrites the id's value; a NaN records nothing.
    void set_value(std::uint32_t int_id, float value);
    // set_value for many ids at once: `ids` ascending, none of them holding a value yet (new
    // points), values[i] belonging to ids[i]. Each slice takes its ids in one bulk add.
    void set_new_values(std::span<const std::uint32_t> ids, std::span<const float> values);
    // Forgets the id's value. The bounds stay where they are.
    void remove_id(std::uint32_t int_id);

    // Each comparison with `within` given answers only for those ids (the result is the full
    // answer intersected with it), touching no more of the slices than they need.
    Bitmap equal_to(float value, const Bitmap* within = nullptr) const;
    // The ids of `within` that hold no value equal to `value`: those with another value and
    // those with none.
    Bitmap not_equal_to(float value, const Bitmap& within) const;
    // Ids whose code is below / above the bound.
    Bitmap less_than_encoded(std::uint32_t bound, const Bitmap* within = nullptr) const;
    Bitmap greater_than_encoded(std::uint32_t bound, const Bitmap* within = nullptr) const;
    // Ids whose code is at or above the bound: the existing ids less_than_encoded leaves out.
    Bitmap at_least_encoded(std::uint32_t bound, const Bitmap* within = nullptr) const;
    // existence, or existence intersected with `within`.
    Bitmap existing(const Bitmap* within) const;

    // The expected time of one comparison over the whole field, and within a set of
    // `within_ids` ids (the cheaper of the two ways below); the filter's planner weighs them.
    double index_wide_ns() const;
    double comparison_ns(double within_ids) const;
    // The time of reading `ids` ids' codes one by one (a comparison read id by id).
    double per_id_ns(double ids) const;

    // Keeps the ids of `ids` (in any order, which is kept) whose code lies in [lo, hi], each
    // read from the column of codes: a comparison of ids not yet sorted into a bitmap. Every
    // comparison but "$ne" keeps a range of codes without code 0 (no value).
    void keep_codes_between(std::vector<std::uint32_t>& ids, std::uint32_t lo,
                            std::uint32_t hi) const;

    // Each id's code by id, for ids below `ids`: 0 for an id without a value (no recorded
    // value has code 0). Made from the slices in one pass over them.
    std::vector<std::uint32_t> decode_codes(std::size_t ids) const;

    const Bitmap& existence() const { return existence_; }
    const std::array<Bitmap, slice_count>& slices() const { return slices_; }
    std::uint32_t min_encoded() const { return min_encoded_; }
    std::uint32_t max_encoded() const { return max_encoded_; }
    std::uint8_t top_bit() const { return top_bit_; }

    // Rebuilds an index from its stored parts (a snapshot). The parts are taken as they are;
    // a damaged combination gives wrong answers, never undefined behaviour.
    static NumericBsiIndex from_parts(std::array<Bitmap, slice_count> slices, Bitmap existence,
                                      std::uint32_t min_encoded, std::uint32_t max_encoded,
                                      std::uint8_t top_bit);

  private:
    // A comparison within a set of ids goes one of two ways. It can read each id's code from a
    // column of codes by id, made from the slices on the first such comparison and kept in step
    // with every change after it: a load per id, whatever the set's shape. Or it can combine
    // the set with whole slices, a bitmap operation per slice and 65,536-id block of the set,
    // each costing its fixed part plus the ids it touches. The first wins for a set scattered
    // thinly over the field (a search window), the second for dense ones. per_id_ns and
    // slices_ns are the two costs (the cost model in numeric_bsi.cpp).
    double slices_ns(double ids, double blocks) const;
    bool reads_per_id(const Bitmap& within) const;
    // The codes by id, made on first use. A search may ask while others read (the index lock
    // held shared): the first makes it under the mutex. Changes hold the lock exclusively, so
    // no reader runs while they keep it in step.
    struct CodeColumn {
        std::mutex making;
        std::atomic<bool> ready{false};
        std::vector<std::uint32_t> codes;
    };
    const std::vector<std::uint32_t>& code_column() const;
    void set_code(std::uint32_t int_id, std::uint32_t code);
    // The ids of `within` whose code (0 for an id without a value) `keep` accepts, each read
    // from the column of codes.
    template <class Keep>
    Bitmap pick_by_code(const Bitmap& within, Keep keep) const;
    // Calls fn(int_id, code) for each id of `ids` in order, the column's reads asked for a few
    // ids ahead. `fn` may overwrite ids already visited.
    template <class Fn>
    void read_codes(std::span<const std::uint32_t> ids, Fn&& fn) const;

    // The highest bit a comparison with `bound` reads: above it every present code and the
    // bound hold only zeros.
    int scan_top(std::uint32_t bound) const {
        return std::max(highest_bit(bound), static_cast<int>(top_bit_));
    }

    // Slice i holds the ids whose code has bit i set; an id outside existence_ is in no slice.
    std::array<Bitmap, slice_count> slices_;
    Bitmap existence_;
    // Bounds over every code ever recorded: they only move outward (removal never shrinks them),
    // so each present code lies within them and has no bit above top_bit_.
    std::uint32_t min_encoded_ = 0xFFFFFFFFU;
    std::uint32_t max_encoded_ = 0;
    std::uint8_t top_bit_ = 0;
    std::unique_ptr<CodeColumn> column_ = std::make_unique<CodeColumn>();
};

}  // namespace vesko::index
