#include "index/numeric_bsi.h"

#ifdef VESKO_FAULT_HOOKS
#include "index/forced_plan.h"
#endif

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
    set_code(int_id, e);
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
        set_code(ids[i], e);
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
    set_code(int_id, 0);
}

void NumericBsiIndex::set_code(std::uint32_t int_id, std::uint32_t code) {
    if (!column_->ready.load(std::memory_order_relaxed)) return;
    std::vector<std::uint32_t>& codes = column_->codes;
    if (int_id >= codes.size()) codes.resize(std::size_t{int_id} + 1, 0);
    codes[int_id] = code;
}

std::vector<std::uint32_t> NumericBsiIndex::decode_codes(std::size_t ids) const {
    std::vector<std::uint32_t> codes(ids, 0);
    for (int i = 0; i < slice_count; ++i) {
        slices_[static_cast<std::size_t>(i)].for_each([&](std::uint32_t int_id) {
            if (int_id < codes.size()) codes[int_id] |= 1U << i;
        });
    }
    return codes;
}

const std::vector<std::uint32_t>& NumericBsiIndex::code_column() const {
    if (!column_->ready.load(std::memory_order_acquire)) {
        std::lock_guard making(column_->making);
        if (!column_->ready.load(std::memory_order_relaxed)) {
            column_->codes = existence_.empty()
                                 ? std::vector<std::uint32_t>()
                                 : decode_codes(std::size_t{existence_.maximum()} + 1);
            column_->ready.store(true, std::memory_order_release);
        }
    }
    return column_->codes;
}

namespace {

// The cost model of a comparison, in nanoseconds: a bitmap operation's fixed part per
// 65,536-id block it touches, each id of an array block it touches, a code read from the
// column, and each id of the whole field combined over dense slices. A combination settles an
// id within a few of the slices it could read (values of one field share their top bits, and
// part at the next ones), but its fixed parts go on for every slice down to bit 0 while any id
// still equals the bound so far, up to three operations a slice.
// Measured on bench/filters.py's stores (2,400 candidates of a 5 km radius, over 4 blocks of
// ids among 200,000 points and 31 among 2,000,000 when the near points are spread among the
// far ones): by whole slices, "rating" >= 4 costs about 0.2 ms in the small store and 1.6 ms
// more in the large one (2,976 block operations, 500 ns each: every operation makes a new
// bitmap); over the whole field it costs 4.3 ms through exists() (2.2 ns an id). A code read
// is a load from a column that fits the caches of such stores, and the walk over the set.
constexpr double block_op_ns = 500.0;
constexpr double array_id_ns = 1.5;
constexpr double code_read_ns = 5.0;
constexpr double dense_id_ns = 2.2;
constexpr double slices_read_per_id = 10.0;
constexpr double operations_per_slice = 3.0;
constexpr double ids_per_block = 65536.0;
// How many ids ahead a read of the column of codes is asked for (as for coordinates).
constexpr std::size_t code_prefetch_distance = 16;

}  // namespace

double NumericBsiIndex::per_id_ns(double ids) const { return ids * code_read_ns; }

double NumericBsiIndex::slices_ns(double ids, double blocks) const {
    return operations_per_slice *
           ((top_bit_ + 1) * blocks * block_op_ns +
            std::min<double>(slices_read_per_id, top_bit_ + 1) * ids * array_id_ns);
}

double NumericBsiIndex::index_wide_ns() const {
    return static_cast<double>(existence_.cardinality()) * dense_id_ns;
}

double NumericBsiIndex::comparison_ns(double within_ids) const {
    // Unknown spread: the set is taken to meet as many blocks as the field's ids fill, or as
    // it has ids when fewer (counted, not looked up: a bitmap's largest id is a scan of its
    // last block's words, which cost more than the rest of a small search's planning).
    const double blocks =
        std::min(within_ids,
                 std::floor(static_cast<double>(existence_.cardinality()) / ids_per_block) + 1.0);
    return std::min(per_id_ns(within_ids), slices_ns(within_ids, blocks));
}

bool NumericBsiIndex::reads_per_id(const Bitmap& within) const {
    const auto ids = static_cast<double>(within.cardinality());
    if (ids == 0.0) return true;
    // The blocks the set spans, at most one per id: its ids are ascending, so no block
    // between its first and last is counted twice.
    const double blocks = std::min(
        ids, static_cast<double>(within.maximum() / 65536 - within.minimum() / 65536) + 1.0);
#ifdef VESKO_FAULT_HOOKS
    if (plan::forced_comparison) return *plan::forced_comparison == plan::Comparison::PerId;
#endif
    return per_id_ns(ids) <= slices_ns(ids, blocks);
}

Bitmap NumericBsiIndex::existing(const Bitmap* within) const {
    return within != nullptr ? existence_ & *within : existence_;
}

template <class Fn>
void NumericBsiIndex::read_codes(std::span<const std::uint32_t> ids, Fn&& fn) const {
    const std::vector<std::uint32_t>& codes = code_column();
    // Each read is asked for a few ids ahead: a search window's ids lie far apart in the
    // column when its points were added among others, and each read is then a miss in the
    // caches, which these overlap (bench/filters.py with the near points spread among
    // 1,800,000 far ones: a 5 km "rating" >= 4 in 0.160 ms of engine time instead of 0.182).
    const std::size_t n = ids.size();
    for (std::size_t i = 0; i < std::min(n, code_prefetch_distance); ++i) {
        if (ids[i] < codes.size()) __builtin_prefetch(codes.data() + ids[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (i + code_prefetch_distance < n && ids[i + code_prefetch_distance] < codes.size())
            __builtin_prefetch(codes.data() + ids[i + code_prefetch_distance]);
        const std::uint32_t int_id = ids[i];
        fn(int_id, int_id < codes.size() ? codes[int_id] : std::uint32_t{0});
    }
}

void NumericBsiIndex::keep_codes_between(std::vector<std::uint32_t>& ids, std::uint32_t lo,
                                         std::uint32_t hi) const {
    if (lo > hi) {
        ids.clear();
        return;
    }
    std::size_t kept = 0;
    // Unsigned wrap-around makes the range test one comparison.
    const std::uint32_t width = hi - lo;
    read_codes(ids, [&](std::uint32_t int_id, std::uint32_t code) {
        if (code - lo <= width) ids[kept++] = int_id;
    });
    ids.resize(kept);
}

template <class Keep>
Bitmap NumericBsiIndex::pick_by_code(const Bitmap& within, Keep keep) const {
    // The set's ids come out as an array, so that each read can be asked for ahead.
    std::vector<std::uint32_t> ids = within.to_vector();
    std::size_t kept = 0;
    std::vector<std::uint32_t> dropped;
    read_codes(ids, [&](std::uint32_t int_id, std::uint32_t code) {
        if (keep(code)) {
            ids[kept++] = int_id;
        } else {
            dropped.push_back(int_id);
        }
    });
    // The smaller side is filed id by id: a complement ("$ne") keeps nearly every id, and
    // taking its few others out of a copy of the set costs less than filing the rest anew (a
    // 10 km "rating" != 3 of bench/filters.py, 11,000 candidates: 0.72 ms of engine time
    // instead of 0.77, against 0.70 without the filter).
    if (dropped.size() < kept) {
        Bitmap others;
        others.add_many(dropped.data(), dropped.size());
        return within - others;
    }
    Bitmap r;
    r.add_many(ids.data(), kept);
    return r;
}

Bitmap NumericBsiIndex::equal_to(float value, const Bitmap* within) const {
    if (std::isnan(value)) return Bitmap();
    const std::uint32_t c = sortable_bits(value);
    if (highest_bit(c) > top_bit_) return Bitmap();
    if (within != nullptr && reads_per_id(*within))
        return pick_by_code(*within, [c](std::uint32_t code) { return code == c; });
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

Bitmap NumericBsiIndex::not_equal_to(float value, const Bitmap& within) const {
    const std::uint32_t c = sortable_bits(value);
    // No recorded value is NaN or has a bit above top_bit_: every id differs.
    if (std::isnan(value) || highest_bit(c) > top_bit_) return within;
    // One read per id keeps the ids without a value (code 0) along with the other values.
    if (reads_per_id(within))
        return pick_by_code(within, [c](std::uint32_t code) { return code != c; });
    Bitmap r = within;
    r -= equal_to(value, &r);
    return r;
}

Bitmap NumericBsiIndex::less_than_encoded(std::uint32_t bound, const Bitmap* within) const {
    if (bound <= min_encoded_) return Bitmap();
    if (bound > max_encoded_) return existing(within);
    const int top = scan_top(bound);
    if (within != nullptr && reads_per_id(*within))
        return pick_by_code(*within,
                            [bound](std::uint32_t code) { return code != 0 && code < bound; });
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
    if (within != nullptr && reads_per_id(*within))
        return pick_by_code(*within, [bound](std::uint32_t code) { return code > bound; });
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
    if (within != nullptr && reads_per_id(*within) && bound > min_encoded_ &&
        bound <= max_encoded_) {
        return pick_by_code(*within, [bound](std::uint32_t code) { return code >= bound; });
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
