// The filter language: a parsed JSON filter evaluated into the bitmap of live ids it matches.
// Evaluation never fails; what the language does not recognise matches nothing (or is skipped,
// for "$"-members among field conditions). Callers hold the index lock, shared or exclusive.
//
// Every evaluation may be narrowed to a set `within` of live ids: the answer is then the full
// answer intersected with it, and its cost follows the smaller of the two. So a search narrows
// its candidates by the filter, an "$and" narrows each element by the ones before it, and the
// elements of a conjunction go in the order that leaves the least work to the next (the
// answer does not depend on it).
#pragma once

#include "common/bitmap.h"
#include "index/core_index.h"
#include "text/json_text.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace vesko::filter {

// With `within` absent the result is a subset of valid_ids; with it, a subset of `within`
// (which must itself be a subset of valid_ids).
Bitmap evaluate_filter(const index::CoreIndex& index, const text::Json& filter,
                       const Bitmap* within = nullptr);
// The same with the narrowing set handed over (a subset of valid_ids), for a caller that no
// longer needs it: the filter narrows it in place instead of narrowing a copy.
Bitmap evaluate_filter(const index::CoreIndex& index, const text::Json& filter, Bitmap&& within);

// One member (field, condition) of a filter object, narrowing `within` (valid_ids when
// absent): the result is a subset of it.
Bitmap evaluate_field_condition(const index::CoreIndex& index, std::string_view field,
                                const text::Json& condition, const Bitmap* within);

// Ids whose field equals the string, or the text "true"/"false" of a boolean; other values
// match nothing. The fields "_id" and "id" compare the external id instead. May contain ids
// of deleted points: callers intersect. With `within`, only ids of that set are returned.
Bitmap get_bitmap_str_eq(const index::CoreIndex& index, std::string_view field,
                         const text::Json& value, const Bitmap* within = nullptr);

// A numeric comparison ("$eq", "$ne", "$gt", "$gte", "$lt", "$lte") on the field's index; a
// field that never held a number matches nothing, whatever the operator.
Bitmap evaluate_numeric_op(const index::CoreIndex& index, std::string_view field,
                           std::string_view op, float value, const Bitmap* within);

// What evaluating a filter within a set of `within_ids` live ids (the live count for the whole
// store) gives and costs, from counts the index keeps -- a string value's ids, a numeric
// field's existence, the live count -- before any bitmap is combined. `matches` is an upper
// bound on the answer's size; `cost_ns` the evaluation's expected time.
struct Estimate {
    double matches = 0.0;
    double cost_ns = 0.0;
};
Estimate estimate_filter(const index::CoreIndex& index, const text::Json& filter,
                         std::uint64_t within_ids);

// A search window's ids, gathered from its cells in no order, thinned before they are sorted
// and combined: the filter's plan over `within_ids` ids (the window's count) reads the codes of
// a numeric comparison of its conjunction id by id, over every one of them (no element before
// it in the plan is expected to narrow them), so reading them here first costs no more, and the
// ids it rejects, which cannot match, are never sorted, filed in a bitmap or narrowed further.
// With `whatever_the_cost` the first such comparison is read whatever the plan says (the tests'
// forced plan). `ids` keeps its order; false, and `ids` unchanged, when nothing was read.
// Measured on bench/compare.py's clustered store (1,000,000 points; category = X and rating >= 4
// over a 10 km radius; the slowest windows hold about 2,000 ids, of which "rating" keeps a fifth):
// the 20 slowest queries, each repeated, from 46 to 29 us; the whole row in turn, p50 from 17.6
// to 13.5 us and p99 from 75 to 60 us (a loaded machine).
bool thin_by_codes(const index::CoreIndex& index, const text::Json& filter,
                   std::uint64_t within_ids, bool whatever_the_cost,
                   std::vector<std::uint32_t>& ids);

}  // namespace vesko::filter
