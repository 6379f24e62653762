// The filter language: a parsed JSON filter evaluated into the bitmap of live ids it matches.
// Evaluation never fails; what the language does not recognise matches nothing (or is skipped,
// for "$"-members among field conditions). Callers hold the index lock, shared or exclusive.
#pragma once

#include "common/bitmap.h"
#include "index/core_index.h"
#include "text/json_text.h"

#include <string_view>

namespace vesko::filter {

// With restrict absent the result is a subset of valid_ids; with it, a subset of restrict
// (which must itself be a subset of valid_ids).
Bitmap evaluate_filter(const index::CoreIndex& index, const text::Json& filter,
                       const Bitmap* restrict = nullptr);
// The same with the restricting set handed over (a subset of valid_ids), for a caller that no
// longer needs it: the filter narrows it in place instead of narrowing a copy.
Bitmap evaluate_filter(const index::CoreIndex& index, const text::Json& filter, Bitmap&& restrict);

// One member (field, condition) of a filter object, narrowing `candidates` (valid_ids when
// absent): the result is a subset of them.
Bitmap evaluate_field_condition(const index::CoreIndex& index, std::string_view field,
                                const text::Json& condition, const Bitmap* candidates);

// Ids whose field equals the string, or the text "true"/"false" of a boolean; other values
// match nothing. The fields "_id" and "id" compare the external id instead. May contain ids
// of deleted points: callers intersect. With `within`, only ids of that set are returned.
Bitmap get_bitmap_str_eq(const index::CoreIndex& index, std::string_view field,
                         const text::Json& value, const Bitmap* within = nullptr);

// A numeric comparison ("$eq", "$ne", "$gt", "$gte", "$lt", "$lte") on the field's index; a
// field that never held a number matches nothing, whatever the operator.
Bitmap evaluate_numeric_op(const index::CoreIndex& index, std::string_view field,
                           std::string_view op, float value, const Bitmap* restrict);

}  // namespace vesko::filter
